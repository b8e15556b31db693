#ifndef VEXIL_TESTS_SIM_VIRTUALDFUDEVICE_H
#define VEXIL_TESTS_SIM_VIRTUALDFUDEVICE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A USB device speaking DFU 1.1 on its control pipe: one interface that is either in runtime mode
// (appIDLE, takes DETACH) or in DFU mode (the full DFU state machine over a flash map).
//
// It answers one control request at a time, synchronously, and owns no thread and no lock: the
// in-process port calls it directly, the umockdev harness calls it from its ioctl handler under a
// mutex of its own.
//
// Virtual time. The device never sleeps. How long it stays busy after a block is counted in the
// host's GETSTATUS requests: after each DNLOAD block the first `busyPolls` status reads answer
// dfuDNBUSY with bwPollTimeout = `pollTimeoutMs`, the next one dfuDNLOAD-IDLE. With a clock set
// (SetClock, microseconds on any monotonic scale), a request that comes while the device is busy,
// more than EARLY_TOLERANCE_US before the last bwPollTimeout has passed, is early: it is counted
// (EarlyPolls) and stalls, as a device still programming its flash does. Every request record carries
// the clock's time so that tests can also see late polls.
namespace Sim {

namespace DfuRequest {
constexpr uint8_t DETACH = 0;
constexpr uint8_t DNLOAD = 1;
constexpr uint8_t UPLOAD = 2;
constexpr uint8_t GETSTATUS = 3;
constexpr uint8_t CLRSTATUS = 4;
constexpr uint8_t GETSTATE = 5;
constexpr uint8_t ABORT = 6;
}  // namespace DfuRequest

enum class DfuState : uint8_t {
    APP_IDLE = 0,
    APP_DETACH = 1,
    IDLE = 2,
    DNLOAD_SYNC = 3,
    DNBUSY = 4,
    DNLOAD_IDLE = 5,
    MANIFEST_SYNC = 6,
    MANIFEST = 7,
    MANIFEST_WAIT_RESET = 8,
    UPLOAD_IDLE = 9,
    ERROR = 10,
};

namespace DfuStatusCode {
constexpr uint8_t OK = 0x00;
constexpr uint8_t ERR_WRITE = 0x03;
constexpr uint8_t ERR_ADDRESS = 0x08;
constexpr uint8_t ERR_NOTDONE = 0x09;
constexpr uint8_t ERR_STALLEDPKT = 0x0F;
}  // namespace DfuStatusCode

// bmAttributes bits of the DFU functional descriptor.
namespace DfuAttribute {
constexpr uint8_t CAN_DNLOAD = 0x01;
constexpr uint8_t CAN_UPLOAD = 0x02;
constexpr uint8_t MANIFESTATION_TOLERANT = 0x04;
constexpr uint8_t WILL_DETACH = 0x08;
}  // namespace DfuAttribute

// How much sooner than its bwPollTimeout a busy device still takes a request.
constexpr uint64_t EARLY_TOLERANCE_US = 200;

// Ends the serial number and the interface name under controlBytesInStrings: clears the screen,
// turns the text red, rings the bell.
constexpr const char* TERMINAL_CONTROL_TEXT = "\x1b[2J\x1b[31m\a\x7f";

// What the host sees of the device in its descriptors. The umockdev harness builds the sysfs
// descriptors from this; Description() gives the one of the current mode.
struct DfuDescription {
    uint16_t vendorId = 0x1209;
    uint16_t productId = 0x7d01;         // in DFU mode
    uint16_t runtimeProductId = 0x7d00;  // in runtime mode
    std::string serial = "VDFU0001";
    std::string interfaceName = "Virtual flash";
    uint8_t configurationValue = 1;
    uint8_t interfaceNumber = 0;
    uint8_t alternateSetting = 0;
    uint16_t transferSize = 1024;        // wTransferSize
    uint16_t detachTimeout = 1000;       // wDetachTimeOut, ms
    uint16_t bcdDfu = 0x0110;
    uint8_t attributes = DfuAttribute::CAN_DNLOAD | DfuAttribute::CAN_UPLOAD | DfuAttribute::MANIFESTATION_TOLERANT;
    bool runtimeMode = false;            // bInterfaceProtocol 1 (runtime) instead of 2 (DFU mode)
};

// What the device does wrong or slowly when told to. Blocks are counted by wValue.
struct DfuFaults {
    uint32_t pollTimeoutMs = 0;       // bwPollTimeout of every busy answer
    int busyPolls = 1;                // dfuDNBUSY answers after each DNLOAD block
    bool staysBusy = false;           // never leaves dfuDNBUSY
    int manifestPolls = 1;            // dfuMANIFEST answers after the final block
    int stallAtBlock = -1;            // the DNLOAD of this block stalls (dfuERROR, errSTALLEDPKT)
    int errorAtBlock = -1;            // the status read after this block reports errorStatus in dfuERROR
    uint8_t errorStatus = DfuStatusCode::ERR_WRITE;
    int leavesAtBlock = -1;           // takes this block, then leaves the bus before its status read
    bool leavesDuringManifest = false;  // gone right after taking the final zero-length block
    bool stallsManifestStatus = false;  // the first status read of the manifest phase stalls
    uint16_t transferSize = 0;        // a wTransferSize of its own in the descriptor; larger blocks stall
    DfuState startState = DfuState::IDLE;  // the DFU-mode state it is found in (left by another host)
    bool stuckInError = false;        // CLRSTATUS does not leave dfuERROR
    int manifestEndsIn = -1;          // the DfuState the manifest phase ends in; -1: as the attributes say
    uint8_t manifestEndStatus = DfuStatusCode::OK;  // the status it reports there
    bool controlBytesInStrings = false;  // serial number and interface name end with TERMINAL_CONTROL_TEXT
};

// One fault each, for tables of cases.
DfuFaults StallAtBlock(int block);
DfuFaults ErrorAtBlock(int block);
DfuFaults LeavesAtBlock(int block);
DfuFaults LeavesDuringManifest();
DfuFaults StallsManifestStatus();
DfuFaults ManifestEndsIn(DfuState state, uint8_t status = DfuStatusCode::OK);

// One control request as it arrived.
struct DfuRequestRecord {
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t length = 0;              // wLength
    std::vector<uint8_t> data;        // the OUT data
    int result = 0;                   // what the device answered
    uint64_t timeUs = 0;              // the clock's time, 0 without a clock
};

// Stands a boot loader behind the DFU state machine: it takes the blocks of each download in place of
// the flat flash and says how each block and each manifest phase ends (a DFU status).
class DfuDownloadHandler {
public:
    virtual ~DfuDownloadHandler() = default;
    virtual uint8_t OnBlock(uint16_t block, const uint8_t* data, uint16_t length) = 0;
    virtual uint8_t OnManifest() = 0;
    // The device leaves the bus once it has answered the request that made this true.
    virtual bool LeavesBus() const = 0;
};

class VirtualDfuDevice {
public:
    static constexpr int STALL = -1;
    static constexpr int GONE = -4;   // the device has left the bus

    explicit VirtualDfuDevice(DfuDescription description = {}, DfuFaults faults = {}, size_t flashSize = 1 << 20);

    // Class requests to the interface. Bytes moved, STALL or GONE.
    int ControlOut(uint8_t request, uint16_t value, uint16_t index, const uint8_t* data, uint16_t length);
    int ControlIn(uint8_t request, uint16_t value, uint16_t index, uint8_t* data, uint16_t length);
    // A USB bus reset: a detached runtime device comes back in DFU mode, a device waiting for the
    // reset after manifest starts again in dfuIDLE.
    void UsbReset();
    // Takes the device off the bus: every request finds it GONE.
    void Unplug() { m_present = false; }

    void SetClock(std::function<uint64_t()> clock);
    // Not owned; null gives the flat flash back.
    void SetDownloadHandler(DfuDownloadHandler* handler) { m_handler = handler; }

    DfuDescription Description() const;  // of the current mode and transfer size
    bool Present() const { return m_present; }
    bool InDfuMode() const { return m_dfuMode; }
    DfuState State() const { return m_state; }
    // Grows whenever the device shows itself anew on the bus (detach, reset to DFU mode, replug).
    int Enumerations() const { return m_enumerations; }

    const std::vector<uint8_t>& Flash() const { return m_flash; }
    void Preload(size_t offset, const std::vector<uint8_t>& data);
    // The bytes an upload serves: the flash up to its last written byte (all of it when preloaded so).
    void SetUploadLength(size_t length);
    // The bytes of the last download that reached the end of its manifest phase.
    const std::vector<uint8_t>& Manifested() const { return m_manifested; }
    size_t Manifests() const { return m_manifests; }
    const std::vector<DfuRequestRecord>& Requests() const { return m_requests; }
    std::vector<DfuRequestRecord> RequestsOf(uint8_t request) const;
    // The wLength and the wValue (block number) of every DNLOAD, in order.
    std::vector<uint16_t> DnloadLengths() const { return DnloadFields(&DfuRequestRecord::length); }
    std::vector<uint16_t> DnloadBlocks() const { return DnloadFields(&DfuRequestRecord::value); }
    size_t EarlyPolls() const { return m_earlyPolls; }

private:
    std::vector<uint16_t> DnloadFields(uint16_t DfuRequestRecord::*field) const;
    bool ForThisInterface(uint16_t index, const void* data, uint16_t length) const;
    int Out(uint8_t request, uint16_t value, const uint8_t* data, uint16_t length);
    int In(uint8_t request, uint16_t value, uint8_t* data, uint16_t length);
    int Dnload(uint16_t value, const uint8_t* data, uint16_t length);
    int Upload(uint8_t* data, uint16_t length);
    int GetStatus(uint8_t* data, uint16_t length);
    void AdvanceOnStatus();
    void AdvanceBusy();
    void AdvanceManifest();
    int Stall();
    bool Early();
    void Fail(uint8_t status);
    uint64_t Now() const;
    uint16_t EffectiveTransferSize() const;
    int Record(uint8_t request, uint16_t value, uint16_t length, const uint8_t* data, int result);

    DfuDescription m_description;
    DfuFaults m_faults;
    std::function<uint64_t()> m_clock;
    DfuDownloadHandler* m_handler = nullptr;

    bool m_present = true;
    bool m_dfuMode;
    int m_enumerations = 0;
    DfuState m_state;
    uint8_t m_status = DfuStatusCode::OK;
    uint32_t m_pollTimeout = 0;       // of the last status answer
    uint64_t m_lastStatusAtUs = 0;

    std::vector<uint8_t> m_flash;
    size_t m_uploadLength = 0;
    std::vector<uint8_t> m_download;  // bytes of the download under way
    std::vector<uint8_t> m_manifested;
    size_t m_manifests = 0;
    int m_lastBlock = -1;
    uint8_t m_blockError = DfuStatusCode::OK;  // reported by the status read after the block
    int m_busyLeft = 0;
    int m_manifestLeft = 0;
    size_t m_uploadOffset = 0;

    std::vector<DfuRequestRecord> m_requests;
    size_t m_earlyPolls = 0;
};

}  // namespace Sim

#endif
