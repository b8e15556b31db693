#ifndef VEXIL_LIBRARY_USBDFUDEVICE_H
#define VEXIL_LIBRARY_USBDFUDEVICE_H

#include <functional>
#include <vector>

#include "DfuPortBase.h"

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;

namespace Dfu {

// One USB DFU interface reached through libusb: found (waiting for it, detaching a device in
// runtime mode), opened and claimed, then carrying the protocol's class requests.
class UsbDfuDevice : public DfuPortBase {
public:
    // How long each wait may last, in milliseconds.
    struct TimeLimits {
        int openWaitMs = 30000;        // for the device to appear
        int searchPeriodMs = 100;
        int dotPeriodMs = 1000;
        int openTries = 21;
        int openRetryMs = 50;
        int reenumerateTries = 150;    // for a detached device to come back in DFU mode
        int reenumeratePeriodMs = 200;
        int controlMs = 5000;          // the requests of the detach
    };

    struct Candidate {
        libusb_device* device = nullptr;
        DfuDeviceInfo info;
    };

    UsbDfuDevice() = default;
    ~UsbDfuDevice() override;
    UsbDfuDevice(const UsbDfuDevice&) = delete;
    UsbDfuDevice& operator=(const UsbDfuDevice&) = delete;

    int RequestOut(unsigned char request, unsigned short value, const unsigned char* data, unsigned short length,
                   int timeoutMs) override;
    int RequestIn(unsigned char request, unsigned short value, unsigned char* data, unsigned short length,
                  int timeoutMs) override;
    const DfuDeviceInfo& Info() const override { return m_info; }
    int ResetDevice() override;
    bool Open(int vid, int pid, const char* serial, const std::function<bool()>& cancelled) override;
    void Close() override;
    bool IsOpen() const override { return m_handle != nullptr; }

    void SetTimeLimits(const TimeLimits& limits) { m_limits = limits; }

    // Every DFU interface that matches, without opening any for use; false when libusb cannot start.
    static bool ListDevices(std::vector<DfuDeviceInfo>& out, int vid, int pid);
    // Finds the DFU functional descriptor in a descriptor run; false leaves info as it was.
    static bool ParseFunctionalDescriptor(const unsigned char* bytes, int length, DfuDeviceInfo& info);

private:
    static bool CollectCandidates(libusb_context* context, std::vector<Candidate>& out, int vid, int pid,
                                  const char* serial);
    static void FreeCandidates(std::vector<Candidate>& candidates);
    static void PrintOpenFailureHint(int error);
    bool WaitForCandidates(std::vector<Candidate>& found, int vid, int pid, const char* serial, DfuWatch& watch);
    bool OpenWithRetry(libusb_device* device, DfuWatch& watch);
    bool ClaimDfuInterface();
    bool DetachAndReopen(int vid, int pid, const char* serial, DfuWatch& watch);
    bool OpenChosen(std::vector<Candidate>& found, int vid, int pid, const char* serial, DfuWatch& watch);

    libusb_context* m_context = nullptr;
    libusb_device_handle* m_handle = nullptr;
    DfuDeviceInfo m_info;
    TimeLimits m_limits;
};

}  // namespace Dfu

#endif
