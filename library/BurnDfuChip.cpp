#include "BurnDfuChip.h"

#include <cstdio>
#include <new>

#include "ChipDriverFactory.h"
#include "Common.h"

namespace Dfu {

namespace {
constexpr size_t CRC_LENGTH = 4;
}  // namespace

uint32_t DfuCrc32(const unsigned char* data, size_t length)
{
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
        }
    }
    return crc;
}

bool ParseDfuSuffix(const unsigned char* data, size_t length, DfuSuffixInfo& info)
{
    info = DfuSuffixInfo();
    if (data == nullptr || length < DFU_SUFFIX_LENGTH) {
        return false;
    }
    const unsigned char* suffix = data + length - DFU_SUFFIX_LENGTH;
    size_t suffixLength = suffix[11];
    if (suffix[8] != 'U' || suffix[9] != 'F' || suffix[10] != 'D' || suffixLength < DFU_SUFFIX_LENGTH ||
        suffixLength > length) {
        return false;
    }
    info.present = true;
    info.length = suffixLength;
    info.bcdDevice = Common::GetLe16(suffix);
    info.productId = Common::GetLe16(suffix + 2);
    info.vendorId = Common::GetLe16(suffix + 4);
    info.bcdDfu = Common::GetLe16(suffix + 6);
    info.storedCrc = Common::GetLe32(suffix + 12);
    info.crcCorrect = DfuCrc32(data, length - CRC_LENGTH) == info.storedCrc;
    return true;
}

}  // namespace Dfu

namespace {

bool IdFits(uint16_t fileId, int32_t deviceId)
{
    return fileId == Dfu::SUFFIX_ANY_ID || fileId == deviceId;
}

// As dfu-util takes it, a device that detached and came back under other ids is named by either its
// ids in DFU mode or those it had in runtime mode; the runtime ids of -1 that a device found in DFU
// mode has fit no file.
bool SuffixFitsDevice(const Dfu::DfuSuffixInfo& suffix, const Dfu::DfuDeviceInfo& device)
{
    auto fits = [&suffix](int32_t vendorId, int32_t productId) {
        return IdFits(suffix.vendorId, vendorId) && IdFits(suffix.productId, productId);
    };
    return fits(device.vendorId, device.productId) || fits(device.runtimeVendorId, device.runtimeProductId);
}

}  // namespace

BurnDfuChip::BurnDfuChip() : m_device(ChipDriverFactory::NewDfuPort()) {}

// The protocol talks through the device, so it goes first.
BurnDfuChip::~BurnDfuChip()
{
    m_protocol.reset();
}

Dfu::DfuPortBase* BurnDfuChip::Port()
{
    return m_device.get();
}

void BurnDfuChip::SetTimeLimits(const TimeLimits& limits)
{
    m_limits = limits;
    if (m_protocol != nullptr) {
        m_protocol->SetTimeLimits(limits.protocol);
    }
}

bool BurnDfuChip::OpenPort()
{
    if (m_device == nullptr) {
        Dfu::Report("error: new USB DFU device failed.\n");
        return false;
    }
    return m_device->Open(m_vid, m_pid, m_serial.c_str(), [this] { return CheckIsCancel(); });
}

bool BurnDfuChip::OpenUsbDfu(int vid, int pid, const char* serial)
{
    m_vid = vid;
    m_pid = pid;
    m_serial = serial == nullptr ? "" : serial;
    return OpenPort() && BuildProtocol();
}

bool BurnDfuChip::BuildProtocol()
{
    m_protocol.reset();
    if (Port() == nullptr) {
        return false;
    }
    m_protocol.reset(new (std::nothrow) Dfu::DfuProtocol(this, Port()));
    if (m_protocol == nullptr) {
        Port()->Close();
        return false;
    }
    m_protocol->SetTimeLimits(m_limits.protocol);
    if (m_transferSize > 0) {
        m_protocol->SetTransferSize(m_transferSize);
    }
    if (m_timeout > 0) {
        m_protocol->SetTimeout(m_timeout);
    }
    return true;
}

bool BurnDfuChip::ReopenUsbDfu()
{
    m_protocol.reset();
    if (m_device != nullptr) {
        m_device->Close();
    }
    // Give the device time to leave the bus before it is looked for again; a cancel cuts it short
    // and the search then ends at once.
    (void)Dfu::Pause(m_limits.reopenPauseMs, m_limits.reopenPauseMs, [this] { return CheckIsCancel(); });
    return OpenPort() && BuildProtocol();
}

void BurnDfuChip::SetDfuTransferSize(int size)
{
    if (size < 1 || size > Dfu::MAX_TRANSFER_SIZE) {
        return;
    }
    m_transferSize = size;
    if (m_protocol != nullptr) {
        m_protocol->SetTransferSize(size);
    }
}

void BurnDfuChip::SetDfuTimeout(int ms)
{
    if (ms < 1) {
        return;
    }
    m_timeout = ms;
    if (m_protocol != nullptr) {
        m_protocol->SetTimeout(ms);
    }
}

std::unique_ptr<unsigned char[]> BurnDfuChip::ReadWholeFile(const char* path, size_t& length)
{
    FILE* file = nullptr;
    if (path == nullptr || Common::fopen_s(&file, path, "rb") != 0 || file == nullptr) {
        Dfu::Report("error: Open burn file failed.\n");
        return nullptr;
    }
    long size = -1;
    if (std::fseek(file, 0, SEEK_END) == 0) {
        size = std::ftell(file);
    }
    if (size < 1 || std::fseek(file, 0, SEEK_SET) != 0) {
        Common::CloseFile(file);
        Dfu::Report("error: Burn file is empty.\n");
        return nullptr;
    }
    std::unique_ptr<unsigned char[]> data(new (std::nothrow) unsigned char[static_cast<size_t>(size)]);
    if (data == nullptr) {
        Common::CloseFile(file);
        Dfu::Report("error: Out of memory reading the burn file.\n");
        return nullptr;
    }
    Common::PieceRead read =
        Common::ReadInPieces(file, data.get(), static_cast<size_t>(size), [this]() { return CheckIsCancel(); });
    Common::CloseFile(file);
    if (read != Common::PieceRead::DONE) {
        Dfu::Report("error: Reading the burn file failed.\n");
        return nullptr;
    }
    length = static_cast<size_t>(size);
    return data;
}

bool BurnDfuChip::ReadyForUse()
{
    if (m_protocol == nullptr) {
        Dfu::Report("error: DFU device is not open.\n");
        return false;
    }
    return true;
}

bool BurnDfuChip::DownloadAllinoneBin(const char* file, unsigned long address)
{
    if (!ReadyForUse()) {
        return false;
    }
    size_t length = 0;
    std::unique_ptr<unsigned char[]> data = ReadWholeFile(file, length);
    if (data == nullptr) {
        return false;
    }
    Dfu::DfuSuffixInfo suffix;
    size_t payload = length;
    if (!Dfu::ParseDfuSuffix(data.get(), length, suffix)) {
        Dfu::Report("Warning: the burn file has no DFU suffix, sending it as-is.\n");
    } else if (!suffix.crcCorrect) {
        Dfu::Report("error: The DFU suffix CRC of the burn file does not match: file corrupted?\n");
        return false;
    } else if (!SuffixFitsDevice(suffix, Port()->Info())) {
        const Dfu::DfuDeviceInfo& device = Port()->Info();
        Dfu::Report(Common::FormatInfo("error: The burn file is for [%04x:%04x] but the device is [%04x:%04x].\n",
                                       suffix.vendorId, suffix.productId, device.vendorId, device.productId));
        return false;
    } else {
        Dfu::Report("Valid DFU suffix found, stripping it before the download.\n");
        payload = length - suffix.length;
    }
    if (payload == 0) {
        Dfu::Report("error: The burn file contains no payload.\n");
        return false;
    }
    if (!m_protocol->DownloadData(data.get(), payload, address, 0)) {
        return false;
    }
    Dfu::Report("Download completed.\n");
    return true;
}

bool BurnDfuChip::UploadFile(unsigned long address, int length, const char* outFile)
{
    if (!ReadyForUse()) {
        return false;
    }
    return m_protocol->UploadFile(outFile, length, address);
}

bool BurnDfuChip::EraseAllFlash()
{
    Dfu::Report("error: erase is not supported over generic USB DFU.\n");
    return false;
}

// Not the virtual erase-all: the package-aware driver's erases the whole flash, while a ranged erase
// is refused on every DFU driver.
bool BurnDfuChip::EraseFlash(unsigned long address, unsigned long length)
{
    (void)address;
    (void)length;
    return BurnDfuChip::EraseAllFlash();
}

bool BurnDfuChip::Reset()
{
    if (m_device == nullptr || !m_device->IsOpen()) {
        return false;
    }
    Dfu::Report("Resetting the USB device.\n");
    return m_device->ResetDevice() == 0;
}

void BurnDfuChip::SetOnlyBurnNames(const std::vector<std::string>& names)
{
    m_onlyBurnNames = names;
}

std::vector<std::string> BurnDfuChip::GetOnlyBurnNames() const
{
    return m_onlyBurnNames;
}
