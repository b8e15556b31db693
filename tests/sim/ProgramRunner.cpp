#include "ProgramRunner.h"

#include "TestSupport.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <climits>
#include <fcntl.h>
#include <fstream>
#include <linux/capability.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace Sim {

namespace {

const char* const SETPRIV = "/usr/bin/setpriv";

struct Channel {
    int reader = -1;
    int writer = -1;
};

bool OpenChannel(OutputKind kind, Channel& channel)
{
    int ends[2] = {-1, -1};
    if (kind == OutputKind::Terminal) {
        if (openpty(&ends[0], &ends[1], nullptr, nullptr, nullptr) != 0) {
            return false;
        }
    } else if (pipe(ends) != 0) {
        return false;
    }
    channel.reader = ends[0];
    channel.writer = ends[1];
    return true;
}

bool TakeNothing(const ProgramOptions& options)
{
    int ends[2] = {-1, -1};
    std::vector<char> filler(1 << 20, 'x');  // more than a socket's buffer
    Console kind = options.console;
    bool made = kind == Console::StoppedTerminal
                    ? openpty(&ends[0], &ends[1], nullptr, nullptr, nullptr) == 0 && tcflow(ends[1], TCOOFF) == 0
                : kind == Console::FullPipe
                    ? pipe(ends) == 0 && fcntl(ends[1], F_SETPIPE_SZ, PIPE_BUF) == PIPE_BUF &&
                          fchmod(ends[1], 0) == 0 && write(ends[1], filler.data(), PIPE_BUF - options.consoleRoom) > 0
                    : socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0 &&
                          send(ends[1], filler.data(), filler.size(), MSG_DONTWAIT) > 0;
    prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE);  // root, too, may then not open the pipe anew
    return made && dup2(ends[1], STDOUT_FILENO) >= 0;
}

[[noreturn]] void StartChild(const std::vector<std::string>& arguments, const ProgramOptions& options,
                             const Channel& channel)
{
    int input = open("/dev/null", O_RDONLY);
    dup2(input, STDIN_FILENO);
    dup2(channel.writer, STDOUT_FILENO);
    dup2(channel.writer, STDERR_FILENO);
    close(channel.reader);
    close(channel.writer);
    int gone[2] = {-1, -1};
    if (options.closedOutput && pipe(gone) == 0 && dup2(gone[1], STDOUT_FILENO) >= 0 && close(gone[0]) == 0) {
        signal(SIGPIPE, SIG_DFL);  // as a shell starts a pipeline
    }
    if ((options.console != Console::Reading && !TakeNothing(options)) ||
        (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0)) {
        _exit(126);
    }
    sigset_t held;
    if (options.pendingSignal != 0 && (sigemptyset(&held) != 0 || sigaddset(&held, options.pendingSignal) != 0 ||
                                       sigprocmask(SIG_BLOCK, &held, nullptr) != 0 ||
                                       kill(getpid(), options.pendingSignal) != 0)) {
        _exit(126);
    }
    std::vector<char*> argv;
    if (!options.emptyArgumentVector) {
        for (const std::string& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
    }
    argv.push_back(nullptr);
    execve(arguments[0].c_str(), argv.data(), environ);
    _exit(127);
}

using Clock = std::chrono::steady_clock;

enum class Got { DATA, END, NOTHING_IN_TIME };

// One read of what is there before the deadline; END when the writing side is gone (EOF on a pipe,
// EIO on a terminal).
Got ReadSome(int reader, Clock::time_point deadline, std::string& into)
{
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return Got::NOTHING_IN_TIME;
        }
        struct pollfd waiting = {reader, POLLIN, 0};
        int ready = poll(&waiting, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return Got::NOTHING_IN_TIME;
        }
        char chunk[4096];
        ssize_t got = read(reader, chunk, sizeof(chunk));
        if (got <= 0) {
            return Got::END;
        }
        into.append(chunk, static_cast<size_t>(got));
        return Got::DATA;
    }
}

// Reads until the writing side is gone or the time is up.
bool Collect(int reader, int timeoutMs, std::string& output)
{
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    Got got = Got::DATA;
    while (got == Got::DATA) {
        got = ReadSome(reader, deadline, output);
    }
    return got == Got::END;
}

// Waits for the child and gives its exit status; -1 when it was killed or did not exit normally.
int Reap(pid_t child, bool finished)
{
    if (!finished) {
        kill(child, SIGKILL);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return finished && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

bool MayActAsNobody()
{
    return geteuid() == 0 && access(SETPRIV, X_OK) == 0;
}

bool RunAsNobody(const std::string& shellCommand)
{
    std::string user = std::to_string(NOBODY);
    return RunProgram({SETPRIV, "--reuid=" + user, "--regid=" + user, "--clear-groups", "/bin/sh", "-c", shellCommand})
               .exitCode == 0;
}

ProgramResult RunProgram(const std::vector<std::string>& arguments, const ProgramOptions& options)
{
    return BackgroundProgram(arguments, options).Finish(options.timeoutMs);
}

BackgroundProgram::BackgroundProgram(const std::vector<std::string>& arguments, const ProgramOptions& options)
{
    Channel channel;
    if (arguments.empty() || !OpenChannel(options.output, channel)) {
        return;
    }
    pid_t child = fork();
    if (child == 0) {
        StartChild(arguments, options, channel);
    }
    close(channel.writer);
    m_reader = channel.reader;
    m_child = child;
}

BackgroundProgram::~BackgroundProgram()
{
    if (m_child > 0) {
        Reap(m_child, false);
    }
    if (m_reader >= 0) {
        close(m_reader);
    }
}

bool BackgroundProgram::ReadLine(std::string& line, int timeoutMs)
{
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_pending.find('\n') == std::string::npos) {
        if (m_reader < 0 || ReadSome(m_reader, deadline, m_pending) != Got::DATA) {
            return false;
        }
    }
    size_t end = m_pending.find('\n');
    line = m_pending.substr(0, end);
    m_pending.erase(0, end + 1);
    return true;
}

bool BackgroundProgram::BlockedWritingItsOutput(int timeoutMs) const
{
    Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (std::string line; line.rfind(std::to_string(SYS_write) + " 0x1 ", 0) != 0; poll(nullptr, 0, 1)) {
        std::ifstream blocked("/proc/" + std::to_string(m_child) + "/syscall");
        if (!std::getline(blocked, line) || Clock::now() > end) {
            return false;
        }
    }
    return true;
}

bool BackgroundProgram::Signal(int signalNumber) const
{
    return m_child > 0 && kill(m_child, signalNumber) == 0;
}

ProgramResult BackgroundProgram::Finish(int timeoutMs)
{
    ProgramResult result;
    if (m_child <= 0) {
        return result;
    }
    result.output = m_pending;
    m_pending.clear();
    bool finished = Collect(m_reader, timeoutMs, result.output);
    result.exitCode = Reap(m_child, finished);
    m_child = -1;
    return result;
}

}  // namespace Sim
