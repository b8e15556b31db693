#include "PtyBench.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <utility>

#include "securec.h"

namespace Sim {

long long NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

long long CpuMs()
{
    struct timespec now = {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

Common::TRANSPORT_MODE_ATTR_U PortAttr(const std::string& path, unsigned baudRate)
{
    Common::TRANSPORT_MODE_ATTR_U attr = {};
    memcpy_s(attr.portName, sizeof(attr.portName), path.c_str(), path.size());
    attr.baudRate = baudRate;
    return attr;
}

namespace {

constexpr size_t READ_CHUNK = 4096;
constexpr uint8_t BYTE_ACK = 0xAA;
constexpr uint8_t BYTE_NAK = 0x55;
constexpr uint8_t REPLY_FLAG = 0xCB;


int RemainingMs(long long deadline)
{
    long long left = deadline - NowMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

PtyBench::PtyBench()
{
    // A tool started by the test must not inherit the bench's ends: its copy would keep a line alive
    // that the bench hangs up.
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        return;
    }
    char name[128] = {0};
    if (ptsname_r(m_master, name, sizeof(name)) != 0) {
        return;
    }
    m_portPath = name;
    m_slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slave >= 0) {
        // Nothing echoes or waits for a line before the library sets the line up itself.
        struct termios raw = {};
        tcgetattr(m_slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(m_slave, TCSANOW, &raw);
    }
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
}

PtyBench::~PtyBench()
{
    StopDevice();
    HangUp();
}

bool PtyBench::IsOpen() const
{
    return m_master >= 0 && m_slave >= 0 && !m_portPath.empty();
}

const std::string& PtyBench::PortPath() const
{
    return m_portPath;
}

int PtyBench::SlaveFd() const
{
    return m_slave;
}

bool PtyBench::Write(const Bytes& bytes, int timeoutMs)
{
    long long deadline = NowMs() + timeoutMs;
    size_t written = 0;
    while (written < bytes.size()) {
        ssize_t result = write(m_master, bytes.data() + written, bytes.size() - written);
        if (result > 0) {
            written += static_cast<size_t>(result);
            continue;
        }
        if (result < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        struct pollfd writable = {m_master, POLLOUT, 0};
        if (RemainingMs(deadline) == 0 || poll(&writable, 1, RemainingMs(deadline)) < 0) {
            return false;
        }
    }
    return true;
}

bool PtyBench::Write(const std::string& text)
{
    return Write(Bytes(text.begin(), text.end()));
}

bool PtyBench::WriteSplit(const Bytes& bytes, size_t pieceSize, int gapMs)
{
    for (size_t offset = 0; offset < bytes.size(); offset += pieceSize) {
        if (offset > 0) {
            Delay(gapMs);
        }
        size_t end = std::min(bytes.size(), offset + pieceSize);
        if (!Write(Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                         bytes.begin() + static_cast<std::ptrdiff_t>(end)))) {
            return false;
        }
    }
    return true;
}

void PtyBench::Delay(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

Bytes PtyBench::Garbage(size_t count, uint32_t seed)
{
    Bytes bytes;
    uint32_t state = seed * 2654435761u + 1;
    while (bytes.size() < count) {
        state = state * 1103515245u + 12345u;
        uint8_t byte = static_cast<uint8_t>(state >> 16);
        if (byte != BYTE_ACK && byte != BYTE_NAK && byte != REPLY_FLAG) {
            bytes.push_back(byte);
        }
    }
    return bytes;
}

bool PtyBench::WaitReadable(int timeoutMs) const
{
    struct pollfd readable = {m_master, POLLIN, 0};
    return poll(&readable, 1, timeoutMs) > 0 && (readable.revents & POLLIN) != 0;
}

Bytes PtyBench::ReadFor(int ms)
{
    Bytes bytes;
    long long deadline = NowMs() + ms;
    while (WaitReadable(RemainingMs(deadline))) {
        uint8_t chunk[READ_CHUNK];
        ssize_t got = read(m_master, chunk, sizeof(chunk));
        if (got <= 0) {
            break;
        }
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return bytes;
}

Bytes PtyBench::ReadExactly(size_t count, int timeoutMs)
{
    Bytes bytes;
    long long deadline = NowMs() + timeoutMs;
    while (bytes.size() < count && WaitReadable(RemainingMs(deadline))) {
        uint8_t chunk[READ_CHUNK];
        ssize_t got = read(m_master, chunk, std::min(sizeof(chunk), count - bytes.size()));
        if (got <= 0) {
            break;
        }
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return bytes;
}

Bytes PtyBench::ReadSome(int timeoutMs, bool* hungUp)
{
    if (hungUp != nullptr) {
        *hungUp = false;
    }
    struct pollfd readable = {m_master, POLLIN, 0};
    if (poll(&readable, 1, timeoutMs) <= 0) {
        return {};
    }
    if ((readable.revents & POLLIN) == 0) {
        if (hungUp != nullptr) {
            *hungUp = (readable.revents & POLLHUP) != 0;
        }
        // A master without a slave reports a hang-up at once; wait out the time instead of spinning.
        Delay(timeoutMs);
        return {};
    }
    uint8_t chunk[READ_CHUNK];
    ssize_t got = read(m_master, chunk, sizeof(chunk));
    if (got <= 0) {
        return {};
    }
    return Bytes(chunk, chunk + got);
}

void PtyBench::ReleaseSlave()
{
    if (m_slave >= 0) {
        close(m_slave);
        m_slave = -1;
    }
}

unsigned PtyBench::ChunkRate(unsigned before, unsigned after, unsigned chipRate)
{
    return before == chipRate || after == chipRate ? chipRate : after;
}

unsigned PtyBench::LineBaudRate() const
{
    static const std::pair<speed_t, unsigned> RATES[] = {
        {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
        {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
        {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
        {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    };
    // On a pseudo-terminal the master reads the settings of the slave side.
    struct termios line = {};
    if (tcgetattr(m_master, &line) != 0) {
        return 0;
    }
    speed_t speed = cfgetospeed(&line);
    for (const auto& rate : RATES) {
        if (rate.first == speed) {
            return rate.second;
        }
    }
    return 0;
}

void PtyBench::StartDevice(Responder responder)
{
    StopDevice();
    m_responder = std::move(responder);
    if (pipe2(m_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    m_hasThread = pthread_create(&m_thread, nullptr, DeviceThreadEntry, this) == 0;
}

void PtyBench::StopDevice()
{
    if (m_hasThread) {
        const char wake = 0;
        ssize_t written = write(m_wakePipe[1], &wake, 1);
        (void)written;
        pthread_join(m_thread, nullptr);
        m_hasThread = false;
    }
    for (int& fd : m_wakePipe) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
}

void* PtyBench::DeviceThreadEntry(void* argument)
{
    static_cast<PtyBench*>(argument)->DeviceLoop();
    return nullptr;
}

void PtyBench::DeviceLoop()
{
    while (true) {
        struct pollfd watched[2] = {{m_master, POLLIN, 0}, {m_wakePipe[0], POLLIN, 0}};
        if (poll(watched, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if (watched[1].revents != 0) {
            return;
        }
        if ((watched[0].revents & POLLIN) == 0) {
            if (watched[0].revents != 0) {
                return;  // the line is gone
            }
            continue;
        }
        uint8_t chunk[READ_CHUNK];
        ssize_t got = read(m_master, chunk, sizeof(chunk));
        if (got <= 0) {
            continue;
        }
        Bytes bytes(chunk, chunk + got);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_received.insert(m_received.end(), bytes.begin(), bytes.end());
        }
        m_arrived.notify_all();
        if (m_responder) {
            m_responder(*this, bytes);
        }
    }
}

Bytes PtyBench::Received() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

bool PtyBench::WaitForReceived(size_t count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&]() { return m_received.size() >= count; });
}

void PtyBench::HangUp()
{
    StopDevice();
    if (m_slave >= 0) {
        close(m_slave);
        m_slave = -1;
    }
    if (m_master >= 0) {
        close(m_master);
        m_master = -1;
    }
}

FramedResponder::FramedResponder(Splitter split, Answer answer) : m_state(std::make_shared<State>())
{
    m_state->split = std::move(split);
    m_state->answer = std::move(answer);
}

FramedResponder::Splitter FramedResponder::FixedLength(size_t length)
{
    return [length](const Bytes& pending) { return pending.size() >= length ? length : 0; };
}

PtyBench::Responder FramedResponder::AsResponder()
{
    std::shared_ptr<State> state = m_state;
    return [state](PtyBench& bench, const Bytes& chunk) {
        std::unique_lock<std::mutex> lock(state->mutex);
        state->pending.insert(state->pending.end(), chunk.begin(), chunk.end());
        while (true) {
            size_t length = state->split(state->pending);
            if (length == 0 || length > state->pending.size()) {
                return;
            }
            Bytes frame(state->pending.begin(), state->pending.begin() + static_cast<std::ptrdiff_t>(length));
            state->pending.erase(state->pending.begin(), state->pending.begin() + static_cast<std::ptrdiff_t>(length));
            size_t index = state->frames.size();
            state->frames.push_back(frame);
            lock.unlock();
            state->answer(bench, frame, index);
            lock.lock();
        }
    };
}

std::vector<Bytes> FramedResponder::Frames() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->frames;
}

Script& Script::Then(Step step)
{
    m_steps.push_back(std::move(step));
    return *this;
}

FramedResponder::Answer Script::AsAnswer() const
{
    std::vector<Step> steps = m_steps;
    return [steps](PtyBench& bench, const Bytes& frame, size_t index) {
        if (!steps.empty()) {
            steps[std::min(index, steps.size() - 1)](bench, frame);
        }
    };
}

Script::Step Script::Reply(const Bytes& bytes)
{
    return [bytes](PtyBench& bench, const Bytes&) { bench.Write(bytes); };
}

Script::Step Script::Silence()
{
    return [](PtyBench&, const Bytes&) {};
}

Script::Step Script::Ack()
{
    return Reply({BYTE_ACK});
}

Script::Step Script::Nak()
{
    return Reply({BYTE_NAK});
}

Script::Step Script::ReplySplit(const Bytes& bytes, size_t pieceSize, int gapMs)
{
    return [=](PtyBench& bench, const Bytes&) { bench.WriteSplit(bytes, pieceSize, gapMs); };
}

Script::Step Script::DelayThen(int ms, Step step)
{
    return [ms, step](PtyBench& bench, const Bytes& frame) {
        PtyBench::Delay(ms);
        step(bench, frame);
    };
}

}  // namespace Sim
