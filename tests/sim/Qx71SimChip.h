#ifndef VEXIL_TESTS_SIM_QX71SIMCHIP_H
#define VEXIL_TESTS_SIM_QX71SIMCHIP_H

#include "Qx71Machine.h"
#include "SimPort.h"

// The Qx71-family chip's state machine behind an in-process port: it answers each byte the moment
// the library sends it, with no pty, thread or sleep. A chip that stops reading or goes away does so
// through the port's own faults.
namespace Sim {

class Qx71SimChip : public SimPortPeer {
public:
    explicit Qx71SimChip(Qx71Variant variant = Qx71Variant::Qx71, Qx71Faults faults = {});

    // What the port must do wrong for the chip's faults: stop taking bytes, go away.
    SimPortFaults PortFaults() const;
    Qx71Machine& Machine() { return m_machine; }

    void OnHostBytes(SimPort& port, const Bytes& bytes) override;
    void OnIdle(SimPort& port, long long nowMs) override;
    void OnSpeed(unsigned baudRate) override;

private:
    Qx71Machine m_machine;
    SimPort* m_port = nullptr;
    unsigned m_lineBaudRate = 115200;
    long long m_lastBytesMs = 0;
};

}  // namespace Sim

#endif
