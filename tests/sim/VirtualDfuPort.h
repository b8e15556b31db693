#ifndef VEXIL_TESTS_SIM_VIRTUALDFUPORT_H
#define VEXIL_TESTS_SIM_VIRTUALDFUPORT_H

#include "DfuPortBase.h"
#include "VirtualDfuDevice.h"

// The DFU port of the library over a virtual DFU device in the same process: every request is
// answered at once on the caller's thread. A STALL comes back as libusb's LIBUSB_ERROR_PIPE, a
// device gone from the bus as LIBUSB_ERROR_NO_DEVICE.
namespace Sim {

class VirtualDfuPort : public Dfu::DfuPortBase {
public:
    static constexpr int PIPE_ERROR = -9;

    explicit VirtualDfuPort(VirtualDfuDevice& device);

    int RequestOut(unsigned char request, unsigned short value, const unsigned char* data, unsigned short length,
                   int timeoutMs) override;
    int RequestIn(unsigned char request, unsigned short value, unsigned char* data, unsigned short length,
                  int timeoutMs) override;
    const Dfu::DfuDeviceInfo& Info() const override { return m_info; }
    int ResetDevice() override;
    // Opens a present device whose ids match; one in runtime mode is detached and reset first.
    bool Open(int vid, int pid, const char* serial, const std::function<bool()>& cancelled) override;
    void Close() override { m_open = false; }
    bool IsOpen() const override { return m_open; }

    size_t Opens() const { return m_opens; }
    // Runs after every request the device answered, e.g. to raise a cancel between two blocks.
    void AfterRequest(std::function<void(const DfuRequestRecord&)> hook) { m_afterRequest = std::move(hook); }

private:
    int Answer(int result);
    void TakeDescription();

    VirtualDfuDevice& m_device;
    Dfu::DfuDeviceInfo m_info;
    bool m_open = false;
    size_t m_opens = 0;
    std::function<void(const DfuRequestRecord&)> m_afterRequest;
};

// While it lives the library's clock is virtual: it moves when the library waits, and by readCostUs
// each time the library reads it, as time passes in a host between reading its clock and sending the
// request it timed. The device reads the same time for free.
class VirtualDfuClock {
public:
    VirtualDfuClock(VirtualDfuDevice& device, long long readCostUs);
    ~VirtualDfuClock();
    VirtualDfuClock(const VirtualDfuClock&) = delete;
    VirtualDfuClock& operator=(const VirtualDfuClock&) = delete;
};

// While it lives, every DFU driver the library makes talks to device through a VirtualDfuPort.
class VirtualDfuPortMaker {
public:
    explicit VirtualDfuPortMaker(VirtualDfuDevice& device);
    ~VirtualDfuPortMaker();
    VirtualDfuPortMaker(const VirtualDfuPortMaker&) = delete;
    VirtualDfuPortMaker& operator=(const VirtualDfuPortMaker&) = delete;
};

}  // namespace Sim

#endif
