#include "Qx71SimChip.h"

#include <utility>

namespace Sim {

namespace {
// As on the pty: a frame that stops arriving for this long has lost bytes on the line.
constexpr long long QUIET_GAP_MS = 200;
}  // namespace

Qx71SimChip::Qx71SimChip(Qx71Variant variant, Qx71Faults faults) : m_machine(variant, std::move(faults))
{
    m_machine.SetSink([this](const Bytes& bytes) {
        if (m_port != nullptr) {
            m_port->Deliver(bytes);
        }
    });
}

SimPortFaults Qx71SimChip::PortFaults() const
{
    SimPortFaults faults;
    faults.takesNoBytesAfter = m_machine.Faults().stopReadingAfterBytes;
    faults.goneAfterHostBytes = m_machine.Faults().goneAfterBytes;
    return faults;
}

void Qx71SimChip::OnHostBytes(SimPort& port, const Bytes& bytes)
{
    m_port = &port;
    m_lastBytesMs = SimPortSession::NowMs();
    m_machine.OnBytes(bytes, m_lineBaudRate);
}

void Qx71SimChip::OnIdle(SimPort& port, long long nowMs)
{
    m_port = &port;
    if (nowMs - m_lastBytesMs >= QUIET_GAP_MS) {
        m_machine.OnQuiet();
        m_lastBytesMs = nowMs;
    }
}

void Qx71SimChip::OnSpeed(unsigned baudRate)
{
    m_lineBaudRate = baudRate;
}

}  // namespace Sim
