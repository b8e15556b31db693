#include "SimPort.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "ChipDriverFactory.h"
#include "Common.h"

namespace Sim {

namespace {

struct SessionState {
    SimPortPeer* peer = nullptr;
    SimPortFaults faults;
    SimPort* lastPort = nullptr;
    long long nowMs = 0;
    double spareUs = 0;
};
SessionState g_session;

std::unique_ptr<TransportTypeBase> NewSimPort()
{
    auto port = std::unique_ptr<SimPort>(new (std::nothrow) SimPort(*g_session.peer, g_session.faults));
    g_session.lastPort = port.get();
    return port;
}

long long VirtualNow()
{
    return g_session.nowMs;
}

void VirtualDelay(double microseconds)
{
    g_session.spareUs += microseconds;
    long long whole = static_cast<long long>(g_session.spareUs / 1000.0);
    g_session.spareUs -= static_cast<double>(whole) * 1000.0;
    g_session.nowMs += whole;
}

}  // namespace

SimPort::SimPort(SimPortPeer& peer, SimPortFaults faults) : m_peer(peer), m_faults(faults) {}

SimPort::~SimPort()
{
    if (g_session.lastPort == this) {
        g_session.lastPort = nullptr;
    }
}

bool SimPort::Open(const Common::TRANSPORT_MODE_ATTR_U& attr)
{
    if (m_faults.openFails) {
        return false;
    }
    m_portName.assign(attr.portName, strnlen(attr.portName, sizeof(attr.portName)));
    m_openBaudRate = attr.baudRate;
    m_open = true;
    m_received.clear();
    m_readPos = 0;
    return true;
}

void SimPort::Close()
{
    m_open = false;
}

unsigned long SimPort::Send(const unsigned char* data, unsigned long length)
{
    if (data == nullptr || length == 0 || !m_open || m_gone) {
        return 0;
    }
    unsigned long taken = length;
    if (m_faults.takesNoBytesAfter >= 0) {
        long long room = std::max<long long>(0, m_faults.takesNoBytesAfter - static_cast<long long>(m_hostBytes.size()));
        taken = static_cast<unsigned long>(std::min<long long>(room, static_cast<long long>(length)));
    }
    if (taken == 0) {
        return 0;
    }
    Bytes bytes(data, data + taken);
    m_hostBytes.insert(m_hostBytes.end(), bytes.begin(), bytes.end());
    if (m_faults.goneAfterHostBytes >= 0 && static_cast<long long>(m_hostBytes.size()) >= m_faults.goneAfterHostBytes) {
        GoAway();
        return taken;
    }
    m_peer.OnHostBytes(*this, bytes);
    return taken;
}

unsigned long SimPort::Receive(unsigned char* buffer, unsigned long length)
{
    if (buffer == nullptr) {
        return 0;
    }
    size_t count = std::min<size_t>(length, m_received.size() - m_readPos);
    if (count > 0) {
        std::memcpy(buffer, m_received.data() + m_readPos, count);
        m_readPos += count;
    }
    return static_cast<unsigned long>(count);
}

int SimPort::WaitForData(int ms)
{
    if (m_received.size() == m_readPos && ms > 0 && !m_gone) {
        g_session.nowMs += ms;
        m_peer.OnIdle(*this, g_session.nowMs);
    }
    return static_cast<int>(m_received.size() - m_readPos);
}

void SimPort::UngetReceived(int count)
{
    if (count > 0) {
        m_readPos -= std::min<size_t>(m_readPos, static_cast<size_t>(count));
    }
}

int SimPort::OnAdataAvailable(std::string& out)
{
    size_t count = m_received.size() - m_readPos;
    out.append(reinterpret_cast<const char*>(m_received.data() + m_readPos), count);
    m_readPos = m_received.size();
    return static_cast<int>(count);
}

bool SimPort::IsDeviceGone() const
{
    return m_gone;
}

void SimPort::ChangeSpeed(int baudRate)
{
    m_peer.OnSpeed(static_cast<unsigned>(baudRate));
}

void SimPort::Deliver(const Bytes& bytes)
{
    if (!m_gone) {
        m_received.insert(m_received.end(), bytes.begin(), bytes.end());
    }
}

void SimPort::GoAway()
{
    m_gone = true;
}

SimPortSession::SimPortSession(SimPortPeer& peer, SimPortFaults faults)
{
    g_session = SessionState();
    g_session.peer = &peer;
    g_session.faults = faults;
    ChipDriverFactory::Makers makers;
    makers.newSerialTransport = NewSimPort;
    ChipDriverFactory::OverrideMakers(makers);
    Common::Clock clock;
    clock.nowMs = VirtualNow;
    clock.delayUs = VirtualDelay;
    Common::OverrideClock(clock);
}

SimPortSession::~SimPortSession()
{
    ChipDriverFactory::OverrideMakers(ChipDriverFactory::Makers());
    Common::OverrideClock(Common::Clock());
    g_session = SessionState();
}

SimPort* SimPortSession::Port() const
{
    return g_session.lastPort;
}

long long SimPortSession::NowMs()
{
    return g_session.nowMs;
}

void SimPortSession::Advance(long long ms)
{
    g_session.nowMs += ms;
}

}  // namespace Sim
