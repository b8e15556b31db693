#include "SerportTransport.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <utility>

#include "WaitTime.h"

namespace {

constexpr int RECEIVE_CHUNK = 512;
constexpr int RECEIVE_PERIOD_MS = 50;
constexpr int NODE_CHECK_PERIODS = 10;   // the path is looked at every half second
constexpr int SEND_POLL_MS = 100;        // a raised cancel ends a blocked send within this
constexpr size_t KEPT_BEHIND = 64 * 1024;        // taken bytes a give-back may still need
constexpr size_t DROP_FROM = 1024 * 1024;         // taken bytes dropped at once, so that drops are rare
constexpr long long DRAIN_MARGIN_MS = 1000;
constexpr int DRAIN_POLL_MS = 10;
// The output queue does not count what a USB-serial bridge still holds in its own buffer: the line
// settings are put back only after a pause in which those last bytes leave at the working rate.
constexpr int LINE_RESTORE_SETTLE_MS = 100;

// Errors that say the device itself has gone (unplugged, hung up), not that the call was unlucky.
bool MeansDeviceGone(int error)
{
    return error == EIO || error == ENXIO || error == ENODEV;
}

// The transport's own waits (a send, the drain at close) as the one wait loop watches them: between
// tries it waits for the descriptor to take bytes, or sleeps when there is none to watch.
class PortWatch : public WaitTime::Watch {
public:
    PortWatch(int fd, std::function<bool()> cancelled, const std::atomic<bool>& gone)
        : m_fd(fd), m_cancelled(std::move(cancelled)), m_gone(gone)
    {
    }
    void Wait(int ms) override
    {
        struct pollfd port = {m_fd, POLLOUT, 0};
        poll(&port, 1, ms);
    }
    bool Cancelled() override { return m_cancelled(); }
    bool DeviceGone() override { return m_gone.load(); }

private:
    int m_fd;
    std::function<bool()> m_cancelled;
    const std::atomic<bool>& m_gone;
};

// The registered cancel query, asked without the report that the step after the send makes.
bool CancelQueried()
{
    return g_isCancelled != nullptr && g_isCancelled() != 0;
}

void CloseDescriptor(int& fd)
{
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

}  // namespace

namespace RecvThreadFuncSp {

void* RecvThreadFunc(void* argument)
{
    if (argument != nullptr) {
        static_cast<SerportTransport*>(argument)->ReceiveLoop();
    }
    return nullptr;
}

}  // namespace RecvThreadFuncSp

SerportTransport::~SerportTransport()
{
    SerportTransport::Close();
}

bool SerportTransport::Open(const Common::TRANSPORT_MODE_ATTR_U& attr)
{
    if (m_fd >= 0) {
        ReleasePort();
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_recvBuffer.clear();
        m_readPos = 0;
        m_lastTake = 0;
    }
    m_stop.store(false);
    m_gone.store(false);

    m_path.assign(attr.portName, strnlen(attr.portName, sizeof(attr.portName)));
    m_baudRate = attr.baudRate;
    // Never our controlling terminal (its hang-up would end the process), and no wait for carrier;
    // the descriptor stays non-blocking so that no write can outlast its time limit.
    m_fd = open(m_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) {
        if (errno == EBUSY) {
            ReportBusy();
        } else if (errno == EACCES) {
            Common::PrintPlain(Common::FormatInfo("Serial port %s: permission denied; on Linux the user is usually "
                                                  "added to the port's group (e.g. dialout).\n",
                                                  Common::Printable(m_path).c_str()).c_str());
        }
        return false;
    }
    if (!TakeExclusiveUse()) {
        CloseDescriptor(m_fd);
        return false;
    }
    SettingSerialParameters(static_cast<int>(attr.baudRate));
    // Bytes that arrived before the receive thread runs are stale; dropping them here rather than in
    // the thread keeps bytes that arrive just after Open returns.
    tcflush(m_fd, TCIFLUSH);
    return StartReceiveThread();
}

// Only a terminal is a serial port: anything else (a file, /dev/zero) would feed the receive thread
// without end. Two programs on one port would both talk to the chip, so the second is refused.
bool SerportTransport::TakeExclusiveUse()
{
    struct termios options = {};
    m_hasSavedLine = false;
    m_lastSendMs = -1;
    if (tcgetattr(m_fd, &options) != 0) {
        Common::PrintPlain(Common::FormatInfo("%s is not a serial port.\n", Common::Printable(m_path).c_str()).c_str());
        return false;
    }
    if (flock(m_fd, LOCK_EX | LOCK_NB) != 0 || ioctl(m_fd, TIOCEXCL) != 0) {
        ReportBusy();
        return false;
    }
    m_savedLine = options;
    m_hasSavedLine = true;
    return true;
}

void SerportTransport::ReportBusy() const
{
    Common::PrintPlain(Common::FormatInfo("Serial port %s is busy.\n", Common::Printable(m_path).c_str()).c_str());
}

bool SerportTransport::StartReceiveThread()
{
    if (pipe2(m_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        m_wakePipe[0] = -1;
        m_wakePipe[1] = -1;  // the thread then notices a stop within one select period
    }
    if (pthread_create(&m_thread, nullptr, RecvThreadFuncSp::RecvThreadFunc, this) != 0) {
        return false;
    }
    m_hasThread = true;
    return true;
}

void SerportTransport::StopReceiveThread()
{
    if (m_hasThread) {
        m_stop.store(true);
        if (m_wakePipe[1] >= 0) {
            const char wake = 0;
            ssize_t written = write(m_wakePipe[1], &wake, 1);
            (void)written;  // a full pipe already wakes the thread
        }
        pthread_join(m_thread, nullptr);
        m_hasThread = false;
    }
    CloseDescriptor(m_wakePipe[0]);
    CloseDescriptor(m_wakePipe[1]);
}

void SerportTransport::ReleasePort()
{
    StopReceiveThread();
    // Let the last frame leave the UART; then only unread input is discarded, since on a pty an
    // output flush takes back bytes the other side has not read yet.
    if (!m_gone.load()) {
        DrainOutput();
        tcflush(m_fd, TCIFLUSH);
        // The next program on the port (a console, another flasher) finds the line as we found it,
        // not raw at the working speed.
        if (m_hasSavedLine) {
            long long settleMs = m_lastSendMs + LINE_RESTORE_SETTLE_MS - Common::GetTime();
            if (m_lastSendMs >= 0 && settleMs > 0) {
                Common::DelayUs(static_cast<double>(settleMs) * 1000.0);
            }
            tcsetattr(m_fd, TCSANOW, &m_savedLine);
        }
        ioctl(m_fd, TIOCNXCL);  // the exclusive mark would outlive us while another descriptor is open
    }
    CloseDescriptor(m_fd);
}

// tcdrain would wait for ever on a line whose other side has stopped taking bytes.
void SerportTransport::DrainOutput()
{
    int queued = 0;
    if (ioctl(m_fd, TIOCOUTQ, &queued) != 0 || queued <= 0) {
        return;
    }
    long long bitsPerSecond = m_baudRate > 0 ? m_baudRate : 9600;
    long long limitMs = DRAIN_MARGIN_MS + static_cast<long long>(queued) * 10 * 1000 / bitsPerSecond;
    PortWatch sleeper(-1, []() { return false; }, m_gone);
    WaitTime::PollUntil(sleeper, limitMs, DRAIN_POLL_MS, [this, &queued]() {
        bool drained = ioctl(m_fd, TIOCOUTQ, &queued) != 0 || queued <= 0;
        return drained ? WaitTime::Step::DONE : WaitTime::Step::AGAIN;
    });
}

void SerportTransport::Close()
{
    if (m_fd < 0) {
        return;
    }
    ReleasePort();
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<unsigned char>().swap(m_recvBuffer);
    m_readPos = 0;
    m_lastTake = 0;
}

void SerportTransport::SettingSerialParameters(int baudRate)
{
    if (m_fd < 0) {
        return;
    }
    fcntl(m_fd, F_SETFL, O_NONBLOCK);
    struct termios options = {};
    if (tcgetattr(m_fd, &options) != 0) {
        return;
    }
    int speed = Common::GetUartBaudRate(baudRate);
    if (speed != -1) {
        cfsetospeed(&options, static_cast<speed_t>(speed));
        cfsetispeed(&options, static_cast<speed_t>(speed));
    }
    // Flow control left on by an earlier program would block writes on a three-wire board and
    // pass XON/XOFF bytes through to the chip.
    options.c_iflag &= ~(IXON | IXOFF | IXANY | ICRNL | IGNCR | INPCK);
    options.c_oflag &= ~(OPOST | ONLCR | OCRNL);
    options.c_cflag &= ~(CSIZE | CSTOPB | PARENB | CRTSCTS);
    options.c_cflag |= (CS8 | CREAD | CLOCAL);
    options.c_lflag &= ~(ISIG | ICANON | ECHO | ECHOE);
    options.c_cc[VMIN] = 0;
    options.c_cc[VTIME] = 0;
    // A new speed applies only once the bytes already written have left at the old one.
    tcsetattr(m_fd, TCSADRAIN, &options);
}

void SerportTransport::ChangeSpeed(int baudRate)
{
    SettingSerialParameters(baudRate);
}

void SerportTransport::ReceiveLoop()
{
    unsigned char chunk[RECEIVE_CHUNK];
    int quietPeriods = 0;
    while (!m_stop.load() && m_fd >= 0) {
        struct pollfd watched[2] = {{m_fd, POLLIN, 0}, {m_wakePipe[0], POLLIN, 0}};
        int ready = poll(watched, m_wakePipe[0] >= 0 ? 2 : 1, RECEIVE_PERIOD_MS);
        if (m_stop.load()) {
            break;
        }
        if (ready < 0) {
            if (errno != EINTR) {
                BackOff();
            }
            continue;
        }
        if (ready == 0 || (watched[0].revents == 0)) {
            if (++quietPeriods >= NODE_CHECK_PERIODS) {
                quietPeriods = 0;
                CheckNodeStillThere();
            }
            if (m_gone.load()) {
                break;
            }
            continue;
        }
        ssize_t got = read(m_fd, chunk, sizeof(chunk));
        if (got > 0) {
            OnReceive(chunk, static_cast<unsigned long>(got));
            continue;
        }
        bool hungUp = (watched[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        if (hungUp || (got < 0 && MeansDeviceGone(errno))) {
            MarkDeviceGone();
            break;
        }
        if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
            BackOff();
        }
    }
}

// A USB adapter that is pulled out may leave a quiet descriptor behind; its node goes away.
void SerportTransport::CheckNodeStillThere()
{
    struct stat node = {};
    if (stat(m_path.c_str(), &node) != 0 && errno == ENOENT) {
        MarkDeviceGone();
    }
}

// Every waiter wakes at once: nothing will arrive any more.
void SerportTransport::MarkDeviceGone()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_gone.store(true);
    }
    m_dataArrived.notify_all();
}

bool SerportTransport::IsDeviceGone() const
{
    return m_gone.load();
}

bool SerportTransport::SetTimeout(unsigned long writeMs, unsigned long readMs)
{
    (void)readMs;
    m_writeLimitMs = writeMs > 0 ? static_cast<long long>(writeMs) : static_cast<long long>(Common::SERIAL_WRITE_TIMEOUT);
    return true;
}

void SerportTransport::BackOff()
{
    struct pollfd wake = {m_wakePipe[0], POLLIN, 0};
    poll(&wake, m_wakePipe[0] >= 0 ? 1 : 0, RECEIVE_PERIOD_MS);
}

void SerportTransport::OnReceive(const unsigned char* data, unsigned long length)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (data != nullptr) {
            m_recvBuffer.insert(m_recvBuffer.end(), data, data + length);
        }
    }
    m_dataArrived.notify_all();
}

// The port takes bytes as fast as the line lets it; a peer that takes none for the write time-out (a
// stalled bridge, a pty nobody reads) ends the send with the count written so far.
unsigned long SerportTransport::Send(const unsigned char* data, unsigned long length)
{
    if (data == nullptr || length == 0 || m_fd < 0 || m_gone.load()) {
        return 0;
    }
    // A raised cancel ends only a send that is stuck; the step that reports the cancel comes after it.
    bool stuck = false;
    PortWatch watch(m_fd, [this, &stuck]() { return stuck && (CancelRaised() || CancelQueried()); }, m_gone);
    unsigned long written = 0;
    bool moving = true;
    while (written < length && moving) {
        moving = WaitTime::PollUntil(watch, m_writeLimitMs, SEND_POLL_MS, [&]() {
                     ssize_t result = write(m_fd, data + written, length - written);
                     if (result > 0) {
                         written += static_cast<unsigned long>(result);
                         return WaitTime::Step::DONE;
                     }
                     if (result < 0 && (errno == EINTR || errno == EAGAIN)) {
                         stuck = true;
                         return WaitTime::Step::AGAIN;
                     }
                     if (result < 0 && MeansDeviceGone(errno)) {
                         MarkDeviceGone();
                     }
                     return WaitTime::Step::FAILED;
                 }) == WaitTime::Outcome::DONE;
    }
    if (written > 0) {
        m_lastSendMs = Common::GetTime();
    }
    return written;
}

size_t SerportTransport::UnreadLocked() const
{
    return m_recvBuffer.size() - m_readPos;
}

unsigned long SerportTransport::Receive(unsigned char* buffer, unsigned long length)
{
    if (buffer == nullptr) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t count = std::min<size_t>(length, UnreadLocked());
    if (count > 0) {
        DropTakenLocked();
        m_lastTake = m_readPos;
        std::memcpy(buffer, m_recvBuffer.data() + m_readPos, count);
        m_readPos += count;
    }
    return count;
}

// A read of a whole flash must not hold all of it: bytes taken long ago go, while the last take and
// some bytes before it stay for a give-back.
void SerportTransport::DropTakenLocked()
{
    size_t keepFrom = std::min(m_lastTake, m_readPos > KEPT_BEHIND ? m_readPos - KEPT_BEHIND : 0);
    if (keepFrom < DROP_FROM) {
        return;
    }
    m_recvBuffer.erase(m_recvBuffer.begin(), m_recvBuffer.begin() + static_cast<std::ptrdiff_t>(keepFrom));
    m_readPos -= keepFrom;
    m_lastTake -= keepFrom;
}

int SerportTransport::WaitForData(int ms)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (ms > 0) {
        m_dataArrived.wait_for(lock, std::chrono::milliseconds(ms),
                               [this]() { return UnreadLocked() > 0 || CancelRaised() || m_gone.load(); });
    }
    return static_cast<int>(std::min<size_t>(UnreadLocked(), INT_MAX));
}

void SerportTransport::UngetReceived(int count)
{
    if (count <= 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_readPos -= std::min<size_t>(m_readPos, static_cast<size_t>(count));
}

int SerportTransport::OnAdataAvailable(std::string& out)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t count = UnreadLocked();
    if (count == 0) {
        return 0;
    }
    DropTakenLocked();
    m_lastTake = m_readPos;
    out.reserve(out.size() + count);
    out.append(reinterpret_cast<const char*>(m_recvBuffer.data() + m_readPos), count);
    m_readPos = m_recvBuffer.size();
    return static_cast<int>(std::min<size_t>(count, INT_MAX));
}
