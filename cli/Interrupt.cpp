#include "Interrupt.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <unistd.h>

#include "BurnerWorkerBase.h"
#include "CommonUtil.h"

namespace Interrupt {

namespace {

constexpr int SIGNAL_STATUS_BASE = 128;

std::atomic<int> g_received{0};
std::atomic<bool> g_settled{false};
std::atomic<int> g_settledStatus{0};
sigset_t g_watched;
// The main thread names the file while the watching thread may be ending the tool: the lock keeps
// the watcher from reading a name half written, and reading it allocates nothing. A step run with the
// end held off holds the lock too, and may name its scratch file or directory meanwhile; so does the
// settling of the outcome, which ending at once then sees whole or not at all.
std::recursive_mutex g_scratchLock;
int g_scratchDirectory = -1;
std::string g_scratchFile;
int g_scratchParent = -1;
std::string g_scratchSubdirectory;

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

// The operation did not stop after the first signal: end now, with the status of an outcome already
// settled, else with that of the first signal. Standard output may be in the middle of a print on the
// main thread, so the lines go straight to the descriptor; no line says that a success failed.
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
    int status = g_settled.load() ? g_settledStatus.load() : SIGNAL_STATUS_BASE + firstSignal;
    if (status != 0) {
        WriteAll("\nerror: Interrupted again, ending at once.\n");
    }
    _exit(status);
}

// The watching thread interrupts a console write with this signal, whose handler does nothing and lets
// the write end with EINTR; a thread lets it through only while it writes the console.
constexpr int KICK_SIGNAL = SIGURG;
// How often a console write that a signal found blocked is interrupted: one that was about to start when
// it was first interrupted is interrupted again.
constexpr long KICK_PERIOD_NS = 20 * 1000 * 1000;
// Once a signal has come, a console that has had this long to take a line gets only what it has room for.
constexpr int CONSOLE_GRACE_MS = 100;

sigset_t g_kick;
std::mutex g_writerLock;  // keeps the thread that writes the console alive while it is interrupted
pthread_t g_writer;
bool g_writing = false;
std::atomic<bool> g_consoleTakesNothing{false};

void DoNothing(int unused)
{
    (void)unused;
}

// A write to the console that the watching thread may interrupt; the descriptor stays blocking, since
// its open file may be shared with the user's shell.
ssize_t WriteInterruptibly(const char* data, size_t length)
{
    {
        std::lock_guard<std::mutex> lock(g_writerLock);
        g_writer = pthread_self();
        g_writing = true;
    }
    pthread_sigmask(SIG_UNBLOCK, &g_kick, nullptr);
    ssize_t written = write(STDOUT_FILENO, data, length);
    int error = errno;
    pthread_sigmask(SIG_BLOCK, &g_kick, nullptr);
    {
        std::lock_guard<std::mutex> lock(g_writerLock);
        g_writing = false;
    }
    errno = error;
    return written;
}

void InterruptConsoleWrite()
{
    std::lock_guard<std::mutex> lock(g_writerLock);
    if (g_writing) {
        pthread_kill(g_writer, KICK_SIGNAL);
    }
}

// Once a signal has come, a console is given a moment to take the rest; one that did not take it then gets
// only what it has room for, so that it holds the tool no longer.
bool ConsoleTakes()
{
    if (g_received.load() == 0) {
        return true;
    }
    pollfd room = {STDOUT_FILENO, POLLOUT, 0};
    if (poll(&room, 1, g_consoleTakesNothing.load() ? 0 : CONSOLE_GRACE_MS) > 0) {
        return true;
    }
    g_consoleTakesNothing.store(true);
    return false;
}

// What the console does not take is dropped, as stdio drops it after a failed write.
ssize_t WriteConsole(void* unused, const char* data, size_t length)
{
    (void)unused;
    size_t written = 0;
    while (written < length && ConsoleTakes()) {
        ssize_t done = WriteInterruptibly(data + written, length - written);
        if (done > 0) {
            written += static_cast<size_t>(done);
        } else if (done == 0 || errno != EINTR) {
            break;
        }
    }
    return static_cast<ssize_t>(length);
}

// Standard output is written through a stream whose writes a signal can end, whatever the console is (a
// pipe, a terminal stopped with Ctrl-S, a socket) and whoever made it.
void InterruptibleConsole()
{
    struct sigaction kick = {};
    kick.sa_handler = DoNothing;  // without SA_RESTART: the write ends
    cookie_io_functions_t functions = {nullptr, WriteConsole, nullptr, nullptr};
    if (sigaction(KICK_SIGNAL, &kick, nullptr) != 0) {
        return;
    }
    FILE* console = fopencookie(nullptr, "w", functions);
    if (console == nullptr) {
        return;
    }
    if (isatty(STDOUT_FILENO) != 0) {
        setvbuf(console, nullptr, _IOLBF, BUFSIZ);
    }
    std::fflush(stdout);
    stdout = console;
}

// After the first signal the watcher interrupts, every moment, a console write that has not ended.
int NextSignal()
{
    int signalNumber = 0;
    if (g_received.load() == 0) {
        return sigwait(&g_watched, &signalNumber) == 0 ? signalNumber : 0;
    }
    InterruptConsoleWrite();
    timespec period = {0, KICK_PERIOD_NS};
    signalNumber = sigtimedwait(&g_watched, nullptr, &period);
    return signalNumber > 0 ? signalNumber : 0;
}

void* WatchSignals(void* unused)
{
    (void)unused;
    while (true) {
        int signalNumber = NextSignal();
        if (signalNumber == 0) {
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
    sigemptyset(&g_kick);
    sigaddset(&g_kick, KICK_SIGNAL);
    sigset_t blocked = g_watched;
    sigaddset(&blocked, KICK_SIGNAL);
    if (pthread_sigmask(SIG_BLOCK, &blocked, nullptr) != 0) {
        return;
    }
    InterruptibleConsole();
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

bool Settle(int status)
{
    std::lock_guard<std::recursive_mutex> lock(g_scratchLock);
    // An outcome settled once stays settled, however often the command asks again.
    if (!g_settled.load() && g_received.load() != 0) {
        return false;
    }
    g_settledStatus.store(status);
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
