#ifndef VEXIL_LIBRARY_DFUPORTBASE_H
#define VEXIL_LIBRARY_DFUPORTBASE_H

#include <cstdint>
#include <functional>
#include <string>

#include "WaitTime.h"

namespace Dfu {

// Results of a port's requests keep libusb's numbers, so that the protocol can tell them apart
// without knowing libusb.
constexpr int PORT_NO_DEVICE = -4;   // LIBUSB_ERROR_NO_DEVICE: the device has left the bus
constexpr int PORT_NOT_FOUND = -5;   // LIBUSB_ERROR_NOT_FOUND

// The class requests and the length of a GETSTATUS reply.
constexpr unsigned char DFU_DETACH = 0;
constexpr unsigned char DFU_DNLOAD = 1;
constexpr unsigned char DFU_UPLOAD = 2;
constexpr unsigned char DFU_GETSTATUS = 3;
constexpr unsigned char DFU_CLRSTATUS = 4;
constexpr unsigned char DFU_ABORT = 6;
constexpr unsigned short DFU_STATUS_LENGTH = 6;

// One DFU interface (one alternate setting of one interface of one device).
struct DfuDeviceInfo {
    int32_t vendorId = 0;
    int32_t productId = 0;
    // The ids it had in runtime mode before it detached and came back under these; -1 when it was
    // found in DFU mode.
    int32_t runtimeVendorId = -1;
    int32_t runtimeProductId = -1;
    std::string serial;
    std::string name;
    uint8_t configurationValue = 0;
    uint8_t interfaceNumber = 0;     // also the wIndex of every class request
    uint8_t alternateSetting = 0;
    bool hasAlternateSettings = false;
    bool dfuMode = false;            // bInterfaceProtocol 2; false is runtime mode
    uint16_t bcdDfu = 0x0100;
    uint16_t transferSize = 0;       // wTransferSize; 0 = not given
    uint16_t detachTimeout = 1000;
    uint8_t attributes = 0;          // bmAttributes; bit 3 = bitWillDetach
    uint8_t busNumber = 0;
    uint8_t deviceAddress = 0;
};

// The way to one USB DFU interface: the protocol sends its class requests through it and never
// touches libusb itself.
class DfuPortBase {
public:
    virtual ~DfuPortBase() = default;
    // Class requests to the interface: bytes moved or a negative libusb error.
    virtual int RequestOut(unsigned char request, unsigned short value, const unsigned char* data,
                           unsigned short length, int timeoutMs) = 0;
    virtual int RequestIn(unsigned char request, unsigned short value, unsigned char* data, unsigned short length,
                          int timeoutMs) = 0;
    virtual const DfuDeviceInfo& Info() const = 0;
    // 0 on success, else a negative libusb error.
    virtual int ResetDevice() = 0;
    // Finds, waits for and claims the interface; vid or pid below 0 and an empty serial match any.
    // The waits end early when cancelled() turns true.
    virtual bool Open(int vid, int pid, const char* serial, const std::function<bool()>& cancelled) = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
};

// Waits ms milliseconds, at most limitMs; false when the wait was cancelled first.
bool Pause(long long ms, long long limitMs, std::function<bool()> cancelled);

// "[vid:pid] serial=... intf=... alt=... (mode) name=..." with its newline.
std::string DeviceLine(const DfuDeviceInfo& info);
// A message of the DFU road; an empty one is not printed.
void Report(const std::string& text);

// What the DFU waits watch: a cancel check, and the moment the next try is due, so that a device
// asked again after its poll time-out is asked exactly then, and a wait for a cancel still ends
// within 100 ms. The due time is kept in microseconds: one kept in whole milliseconds can come up to
// a millisecond early, and a device still busy stalls a request that comes before its time.
class DfuWatch : public WaitTime::Watch {
public:
    explicit DfuWatch(std::function<bool()> cancelled);
    void Wait(int ms) override;
    bool Cancelled() override;

    void DueIn(long long ms);
    void DueNow();

    // WaitTime::PollUntil on this watch whose tries run only once the next one is due.
    WaitTime::Outcome PollWhenDue(long long limitMs, int sliceMs, const std::function<WaitTime::Step()>& tryWhenDue);

private:
    bool Due() const;

    std::function<bool()> m_cancelled;
    long long m_dueUs;  // on the clock of Common::GetTimeUs
};

}  // namespace Dfu

#endif
