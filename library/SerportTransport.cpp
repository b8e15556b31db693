#include "SerportTransport.h"

#include <fcntl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>

namespace {

constexpr int RECEIVE_CHUNK = 512;
constexpr long SELECT_PERIOD_US = 50000;

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
    }
    m_stop.store(false);

    std::string path(attr.portName, strnlen(attr.portName, sizeof(attr.portName)));
    // Never our controlling terminal (its hang-up would end the process), and no wait for carrier.
    m_fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_fd < 0) {
        return false;
    }
    SettingSerialParameters(static_cast<int>(attr.baudRate));
    // Bytes that arrived before the receive thread runs are stale; dropping them here rather than in
    // the thread keeps bytes that arrive just after Open returns.
    tcflush(m_fd, TCIFLUSH);
    return StartReceiveThread();
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
    tcdrain(m_fd);
    tcflush(m_fd, TCIFLUSH);
    CloseDescriptor(m_fd);
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
}

void SerportTransport::SettingSerialParameters(int baudRate)
{
    if (m_fd < 0) {
        return;
    }
    fcntl(m_fd, F_SETFL, 0);
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
    while (!m_stop.load() && m_fd >= 0) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(m_fd, &readable);
        int highest = m_fd;
        if (m_wakePipe[0] >= 0) {
            FD_SET(m_wakePipe[0], &readable);
            highest = std::max(highest, m_wakePipe[0]);
        }
        struct timeval period = {0, SELECT_PERIOD_US};
        int ready = select(highest + 1, &readable, nullptr, nullptr, &period);
        if (m_stop.load()) {
            break;
        }
        if (ready < 0) {
            if (errno != EINTR) {
                BackOff();
            }
            continue;
        }
        if (ready == 0 || !FD_ISSET(m_fd, &readable)) {
            continue;
        }
        ssize_t got = read(m_fd, chunk, sizeof(chunk));
        if (got > 0) {
            OnReceive(chunk, static_cast<unsigned long>(got));
        } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
            BackOff();  // the device is gone: it would report readable on every select
        }
    }
}

void SerportTransport::BackOff()
{
    fd_set wake;
    FD_ZERO(&wake);
    int highest = -1;
    if (m_wakePipe[0] >= 0) {
        FD_SET(m_wakePipe[0], &wake);
        highest = m_wakePipe[0];
    }
    struct timeval period = {0, SELECT_PERIOD_US};
    select(highest + 1, highest >= 0 ? &wake : nullptr, nullptr, nullptr, &period);
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

unsigned long SerportTransport::Send(const unsigned char* data, unsigned long length)
{
    if (data == nullptr || length == 0 || m_fd < 0) {
        return 0;
    }
    unsigned long written = 0;
    while (written < length) {
        ssize_t result = write(m_fd, data + written, length - written);
        if (result > 0) {
            written += static_cast<unsigned long>(result);
        } else if (result < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
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
        std::memcpy(buffer, m_recvBuffer.data() + m_readPos, count);
        m_readPos += count;
    }
    return count;
}

int SerportTransport::WaitForData(int ms)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    auto unreadCount = [this]() { return static_cast<int>(std::min<size_t>(UnreadLocked(), INT_MAX)); };
    if (UnreadLocked() > 0) {
        return unreadCount();
    }
    if (CancelRaised() || ms <= 0) {
        return 0;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (UnreadLocked() == 0 && !CancelRaised()) {
        if (m_dataArrived.wait_until(lock, deadline) == std::cv_status::timeout) {
            break;
        }
    }
    return CancelRaised() && UnreadLocked() == 0 ? 0 : unreadCount();
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
    out.reserve(out.size() + count);
    out.append(reinterpret_cast<const char*>(m_recvBuffer.data() + m_readPos), count);
    m_readPos = m_recvBuffer.size();
    return static_cast<int>(std::min<size_t>(count, INT_MAX));
}
