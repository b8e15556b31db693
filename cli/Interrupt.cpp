#include "Interrupt.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "BurnerWorkerBase.h"
#include "Common.h"
#include "CommonUtil.h"

namespace Interrupt {

namespace {

constexpr int SIGNAL_STATUS_BASE = 128;

std::atomic<int> g_received{0};
std::atomic<bool> g_settled{false};
sigset_t g_watched;
// The main thread names the file while the watching thread may be ending the tool: the lock keeps
// the watcher from reading a name half written, and reading it allocates nothing. A step run with the
// end held off holds the lock too, and may name its scratch file or directory meanwhile.
std::recursive_mutex g_scratchLock;
int g_scratchDirectory = -1;
std::string g_scratchFile;
int g_scratchParent = -1;
std::string g_scratchSubdirectory;
FILE* g_blockingConsole = nullptr;  // standard output's stream as the tool started with it

const char* SignalName(int signalNumber)
{
    switch (signalNumber) {
        case SIGINT:
            return "SIGINT";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "SIGTERM";
    }
}

// A console whose reader takes nothing gets nothing more: ending at once does not wait for it.
void WriteAll(const char* text)
{
    size_t left = std::strlen(text);
    pollfd room = {STDOUT_FILENO, POLLOUT, 0};
    while (left > 0 && poll(&room, 1, 0) > 0) {
        ssize_t written = write(STDOUT_FILENO, text, left);
        if (written <= 0) {
            return;
        }
        text += written;
        left -= static_cast<size_t>(written);
    }
}

// The operation did not stop after the first signal: end now. Standard output may be in the middle of
// a print on the main thread, so the lines go straight to the descriptor.
[[noreturn]] void EndAtOnce(int firstSignal)
{
    g_scratchLock.lock();  // held until the exit, so that no other file is named after this one goes
    if (!g_scratchFile.empty()) {
        unlinkat(g_scratchDirectory, g_scratchFile.c_str(), 0);
    }
    if (!g_scratchSubdirectory.empty()) {
        CommonUtil::RemoveDirectoryWithFiles(g_scratchParent, g_scratchSubdirectory);
    }
    if (CommonUtil::ColorEnabled()) {
        WriteAll(CommonUtil::CONSOLE_RESTORE);
    }
    WriteAll("\nerror: Interrupted again, ending at once.\n");
    _exit(SIGNAL_STATUS_BASE + firstSignal);
}

void* WatchSignals(void* unused)
{
    (void)unused;
    while (true) {
        int signalNumber = 0;
        if (sigwait(&g_watched, &signalNumber) != 0) {
            continue;
        }
        int first = 0;
        // A hang-up never ends the tool at once: a closed terminal may be reported twice, by the
        // kernel and by the shell, and no one is left there to ask again.
        if (!g_received.compare_exchange_strong(first, signalNumber) && signalNumber != SIGHUP) {
            EndAtOnce(first);
        }
    }
    return nullptr;
}

// At the exit the console's last lines are written out and the stream it came with is put back.
void CloseYieldingConsole()
{
    FILE* yielding = stdout;
    stdout = g_blockingConsole;
    std::fclose(yielding);
}

// A console that is a pipe or FIFO is written through a descriptor of the tool's own that never blocks:
// a line waits for room there only until a signal has come, so that a reader that takes nothing (as the
// pipe of -o /dev/stdout may have) holds the tool no longer than a read's output does.
void YieldingConsole()
{
    struct stat console = {};
    if (fstat(STDOUT_FILENO, &console) != 0 || !S_ISFIFO(console.st_mode)) {
        return;
    }
    FILE* stream = Common::OpenOutputFile("/proc/self/fd/1", []() { return CancelQuery() != 0; });
    if (stream != nullptr) {
        std::fflush(stdout);
        g_blockingConsole = stdout;
        stdout = stream;
        std::atexit(CloseYieldingConsole);
    }
}

// A signal that the starting shell set to be ignored (a background job's SIGINT) stays ignored.
bool IsIgnored(int signalNumber)
{
    struct sigaction current = {};
    return sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

}  // namespace

void Watch()
{
    sigemptyset(&g_watched);
    // A closed standard output (a pipe whose reader is gone) must not cut a burn or a read in half:
    // the writes to it fail instead, and the work goes on to its end.
    std::signal(SIGPIPE, SIG_IGN);
    // A file-size limit (ulimit -f, a service's LimitFSIZE) fails the write that runs past it, as a full
    // disk does, so that the read says so and leaves nothing behind, rather than ending the tool.
    std::signal(SIGXFSZ, SIG_IGN);
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        if (!IsIgnored(signalNumber)) {
            sigaddset(&g_watched, signalNumber);
        }
    }
    if (pthread_sigmask(SIG_BLOCK, &g_watched, nullptr) != 0) {
        return;
    }
    YieldingConsole();
    pthread_t watcher;
    if (pthread_create(&watcher, nullptr, WatchSignals, nullptr) != 0) {
        // Without a watcher the signals end the tool as they always did.
        pthread_sigmask(SIG_UNBLOCK, &g_watched, nullptr);
        return;
    }
    pthread_detach(watcher);
}

int Received()
{
    return g_settled.load() ? 0 : g_received.load();
}

bool Settle()
{
    // An outcome settled once stays settled, however often the command asks again.
    if (g_settled.load()) {
        return true;
    }
    if (g_received.load() != 0) {
        return false;
    }
    g_settled.store(true);
    return true;
}

int CancelQuery()
{
    return g_received.load() != 0 ? 1 : 0;
}

void SetScratchFile(int directory, const std::string& name)
{
    std::lock_guard<std::recursive_mutex> lock(g_scratchLock);
    g_scratchDirectory = directory;
    g_scratchFile = name;
}

void SetScratchDirectory(int parent, const std::string& name)
{
    std::lock_guard<std::recursive_mutex> lock(g_scratchLock);
    g_scratchParent = parent;
    g_scratchSubdirectory = name;
}

void WithEndHeldOff(const std::function<void()>& step)
{
    std::lock_guard<std::recursive_mutex> lock(g_scratchLock);
    step();
}

int CreateScratchFile(int directory, const std::string& name, int flags, mode_t mode)
{
    int file = -1;
    int error = 0;
    WithEndHeldOff([&]() {
        file = openat(directory, name.c_str(), flags, mode);
        error = errno;
        if (file >= 0) {
            SetScratchFile(directory, name);
        }
    });
    errno = error;
    return file;
}

int ExitStatus()
{
    return SIGNAL_STATUS_BASE + Received();
}

void Report()
{
    BurnerWorkerBase::StartLineAfterProgress("");
    std::string line = "error: Interrupted by " + std::string(SignalName(Received())) + ".\n";
    std::printf("%s", CommonUtil::Red(line).c_str());
    std::fflush(stdout);
    CommonUtil::RestoreConsole();
}

}  // namespace Interrupt
