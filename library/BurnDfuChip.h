#ifndef VEXIL_LIBRARY_BURNDFUCHIP_H
#define VEXIL_LIBRARY_BURNDFUCHIP_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "BurnChipBase.h"
#include "DfuPortBase.h"
#include "DfuProtocol.h"

namespace Dfu {

constexpr size_t DFU_SUFFIX_LENGTH = 16;
constexpr uint16_t SUFFIX_ANY_ID = 0xFFFF;
constexpr int MAX_TRANSFER_SIZE = 0xFFFF;  // a class request's wLength is 16 bits

// The DFU 1.1 file suffix found at the end of a burn file.
struct DfuSuffixInfo {
    bool present = false;
    bool crcCorrect = false;
    uint16_t bcdDfu = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t bcdDevice = 0;
    uint32_t storedCrc = 0;
    size_t length = 0;
};

// Looks only at the last 16 bytes and at no byte outside data, whatever bLength says.
bool ParseDfuSuffix(const unsigned char* data, size_t length, DfuSuffixInfo& info);
// CRC-32 with reflected polynomial 0xEDB88320, start 0xFFFFFFFF and no final XOR (the suffix's dwCRC).
uint32_t DfuCrc32(const unsigned char* data, size_t length);

}  // namespace Dfu

// The driver of any chip reached over generic USB DFU: one plain file per burn, its DFU suffix
// stripped; reads back by UPLOAD, resets by a USB reset, cannot erase.
class BurnDfuChip : public BurnChipBase {
public:
    struct TimeLimits {
        int reopenPauseMs = 1500;     // between closing and reopening a re-enumerating device
        Dfu::DfuProtocol::TimeLimits protocol;
    };

    BurnDfuChip();
    ~BurnDfuChip() override;

    bool EraseAllFlash() override;
    bool DownloadAllinoneBin(const char* file, unsigned long address) override;
    bool EraseFlash(unsigned long address, unsigned long length) override;
    bool UploadFile(unsigned long address, int length, const char* outFile) override;
    bool Reset() override;
    void SetOnlyBurnNames(const std::vector<std::string>& names) override;
    std::vector<std::string> GetOnlyBurnNames() const override;
    virtual Dfu::DfuPortBase* Port();

    bool OpenUsbDfu(int vid, int pid, const char* serial);
    bool ReopenUsbDfu();
    // Sizes above 65535 would be cut to 16 bits on the wire, so they are ignored like those below 1.
    void SetDfuTransferSize(int size);
    void SetDfuTimeout(int ms);
    void SetTimeLimits(const TimeLimits& limits);

protected:
    Dfu::DfuProtocol* Protocol() { return m_protocol.get(); }
    // True when the device is open; else says so.
    bool ReadyForUse();
    std::unique_ptr<unsigned char[]> ReadWholeFile(const char* path, size_t& length);

private:
    bool OpenPort();
    bool BuildProtocol();

    std::unique_ptr<Dfu::DfuPortBase> m_device;
    std::unique_ptr<Dfu::DfuProtocol> m_protocol;
    std::vector<std::string> m_onlyBurnNames;
    int m_transferSize = 0;
    int m_timeout = 0;
    int m_vid = -1;
    int m_pid = -1;
    std::string m_serial;
    TimeLimits m_limits;
};

#endif
