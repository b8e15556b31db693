#ifndef VEXIL_TESTS_SIM_SIMPORT_H
#define VEXIL_TESTS_SIM_SIMPORT_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "PtyBench.h"
#include "TransportTypeBase.h"

// An in-process byte port that a virtual chip serves: the chip sees every byte the library sends the
// moment it is sent and answers at once, so protocol logic runs synchronously, with no pty, thread or
// sleep. The library's clock is virtual while a SimPortSession stands: a wait for data that is not
// there lets the virtual time pass, so a 60 s time-out takes no real time.
namespace Sim {

class SimPort;

// The chip's side of the port.
class SimPortPeer {
public:
    virtual ~SimPortPeer() = default;
    // Bytes the library wrote; the peer answers through port.Deliver.
    virtual void OnHostBytes(SimPort& port, const Bytes& bytes) = 0;
    // Virtual time passed with nothing to read; a chip that acts after a pause does so here.
    virtual void OnIdle(SimPort& port, long long nowMs)
    {
        (void)port;
        (void)nowMs;
    }
    virtual void OnSpeed(unsigned baudRate) { (void)baudRate; }
};

// What the port does wrong when told to.
struct SimPortFaults {
    bool openFails = false;
    long long takesNoBytesAfter = -1;  // bytes the port takes before it stops taking any (-1: never stops)
    long long goneAfterHostBytes = -1; // the device goes away once the library has sent this many bytes
};

class SimPort : public TransportTypeBase {
public:
    SimPort(SimPortPeer& peer, SimPortFaults faults);
    ~SimPort() override;

    bool Open(const Common::TRANSPORT_MODE_ATTR_U& attr) override;
    void Close() override;
    unsigned long Send(const unsigned char* data, unsigned long length) override;
    unsigned long Receive(unsigned char* buffer, unsigned long length) override;
    int WaitForData(int ms) override;
    void UngetReceived(int count) override;
    int OnAdataAvailable(std::string& out) override;
    bool IsDeviceGone() const override;
    void ChangeSpeed(int baudRate) override;

    // Chip to library.
    void Deliver(const Bytes& bytes);
    void GoAway();

    const std::string& PortName() const { return m_portName; }
    unsigned OpenBaudRate() const { return m_openBaudRate; }
    bool IsOpen() const { return m_open; }
    const Bytes& HostBytes() const { return m_hostBytes; }

private:
    SimPortPeer& m_peer;
    SimPortFaults m_faults;
    std::string m_portName;
    unsigned m_openBaudRate = 0;
    bool m_open = false;
    bool m_gone = false;
    Bytes m_hostBytes;
    Bytes m_received;
    size_t m_readPos = 0;
};

// While it stands, every serial port the library opens is a SimPort on the peer, and the library's
// clock is virtual, starting at 0.
class SimPortSession {
public:
    explicit SimPortSession(SimPortPeer& peer, SimPortFaults faults = {});
    ~SimPortSession();
    SimPortSession(const SimPortSession&) = delete;
    SimPortSession& operator=(const SimPortSession&) = delete;

    // The port the library opened last; null before the first open.
    SimPort* Port() const;
    static long long NowMs();
    static void Advance(long long ms);
};

}  // namespace Sim

#endif
