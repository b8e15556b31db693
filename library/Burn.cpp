#include "Burn.h"

#include <memory>
#include <string>
#include <vector>

#include "BurnChipBase.h"
#include "ChipDriverFactory.h"
#include "Common.h"
#include "DeviceListText.h"

PrintCallback g_printInfo = nullptr;
CancelQueryCallback g_isCancelled = nullptr;
ProgressCallback g_setProgress = nullptr;

namespace {

constexpr unsigned OPEN_BAUD_RATE = 115200;

using Common::PrintPlain;

bool IsValid(const BurnChipBase* handle)
{
    if (handle == nullptr) {
        PrintPlain("invalid handle.\n");
        return false;
    }
    return true;
}

template <typename Action>
void OnDevice(BurnChipBase* handle, Action action)
{
    if (IsValid(handle)) {
        action(*handle);
    }
}

// A negative length is refused like 0: it must not reach the port as a huge size.
bool BufferArgumentsValid(const BurnChipBase* handle, const void* data, int length, const char* nullMessage,
                          const char* zeroMessage)
{
    if (!IsValid(handle)) {
        return false;
    }
    if (data == nullptr) {
        PrintPlain(nullMessage);
        return false;
    }
    if (length <= 0) {
        PrintPlain(zeroMessage);
        return false;
    }
    return true;
}

bool IsEmpty(const char* text)
{
    return text == nullptr || text[0] == '\0';
}

int FillUsbList(bool (*list)(std::vector<std::string>&, int, int), char* buffer, int length, int vid, int pid)
{
    if (buffer == nullptr || length < 1) {
        return -1;
    }
    buffer[0] = '\0';
    std::vector<std::string> lines;
    if (!list(lines, vid, pid)) {
        return -1;
    }
    return DeviceListText::Fill(buffer, length, lines);
}

}  // namespace

void RegisterCallback(PrintCallback print, CancelQueryCallback isCancelled, ProgressCallback progress)
{
    g_printInfo = print;
    g_isCancelled = isCancelled;
    g_setProgress = progress;
}

void SetChipType(int chipType)
{
    BurnChipBase::m_chipType = static_cast<uint32_t>(chipType);
    BurnChipBase::m_department = (BurnChipBase::m_chipType >> 16) & 0xFF;
}

void SetIsEraseBeforeBurn(int flag)
{
    BurnChipBase::m_isEraseBeforeBurn = (flag != 0);
}

void SetIsOnlyBurnLoader(int flag)
{
    BurnChipBase::m_isOnlyBurnLoader = (flag != 0);
}

void SetIsBurnDeviceInfo(unsigned flag)
{
    BurnChipBase::m_isBurnDeviceInfo = (flag != 0);
}

void SetPacketSize(unsigned size)
{
    BurnChipBase::m_packetSize = size;
}

int GetSerialPortList(char* buffer, int length)
{
    return BurnChipBase::InitSerialPortList(buffer, length);
}

int GetHidDeviceList(char* buffer, int length, int vid, int pid)
{
    return FillUsbList(ChipDriverFactory::ListHidDevices, buffer, length, vid, pid);
}

int GetUsbDfuDeviceList(char* buffer, int length, int vid, int pid)
{
    return FillUsbList(ChipDriverFactory::ListUsbDfuDevices, buffer, length, vid, pid);
}

BurnChipBase* OpenSerialPort(const char* port, unsigned baud, int stopBits, int parity)
{
    if (port == nullptr) {
        PrintPlain("com name is null\n");
        return nullptr;
    }
    ChipDriverFactory::DriverKind kind =
        ChipDriverFactory::SerialDriverFor(BurnChipBase::m_chipType, BurnChipBase::m_department);
    std::unique_ptr<BurnChipBase> chip;
    if (kind != ChipDriverFactory::DriverKind::NONE) {
        chip = ChipDriverFactory::NewChip(kind);
    }
    if (chip == nullptr) {
        PrintPlain("new transport failed\n");
        return nullptr;
    }
    chip->SetPortBaudRate(baud);
    chip->SetComName(port);
    chip->SetStopBit(stopBits);
    chip->SetParity(parity);
    // The chip's boot ROM listens at 115200 8N1; the drivers move to the stored rate later.
    if (!chip->OpenSerialPort(port, OPEN_BAUD_RATE, 0, 0)) {
        return nullptr;
    }
    return chip.release();
}

BurnChipBase* OpenUsbDfuDevice(int vid, int pid, const char* serial)
{
    std::unique_ptr<BurnChipBase> chip =
        ChipDriverFactory::NewChip(ChipDriverFactory::UsbDfuDriverFor(BurnChipBase::m_chipType));
    if (chip == nullptr) {
        PrintPlain("new dfu transport failed\n");
        return nullptr;
    }
    if (!ChipDriverFactory::OpenUsbDfu(*chip, vid, pid, serial)) {
        return nullptr;
    }
    return chip.release();
}

int DestroyDevice(BurnChipBase* handle)
{
    std::unique_ptr<BurnChipBase> device(handle);
    return 1;
}

int Reset(BurnChipBase* handle)
{
    if (!IsValid(handle)) {
        return 0;
    }
    return handle->Reset() ? 1 : 0;
}

int EraseFlash(BurnChipBase* handle, unsigned long address, unsigned long length)
{
    if (!IsValid(handle)) {
        return 0;
    }
    return handle->EraseFlash(address, length) ? 1 : 0;
}

int EraseAllFlash(BurnChipBase* handle, const char* bootFile)
{
    if (!IsValid(handle)) {
        return 0;
    }
    if (bootFile != nullptr) {
        if (ChipDriverFactory::IsQx71Family(*handle)) {
            // Sends the loader only, as the caller has set only-burn-loader.
            if (!handle->DownloadAllinoneBin(bootFile, 0)) {
                return 0;
            }
        } else if (BootDownload(handle, bootFile, 0, 0, nullptr, nullptr) == 0) {
            Common::Print("ssb burn failed!", "", handle->GetThisPtr(), "");
            return 0;
        }
    }
    return handle->EraseAllFlash() ? 1 : 0;
}

int DownloadAllinoneBin(BurnChipBase* handle, const char* file, unsigned long address)
{
    if (!IsValid(handle)) {
        return 0;
    }
    if (IsEmpty(file)) {
        PrintPlain("burn file path is null.\n");
        return 0;
    }
    return handle->DownloadAllinoneBin(file, address) ? 1 : 0;
}

int BootDownload(BurnChipBase* handle, const char* bootFile, unsigned long ddrAddress, int param, const char* param2,
                 unsigned long* outDdrAddress)
{
    (void)param;
    (void)param2;
    if (!IsValid(handle)) {
        return 0;
    }
    handle->SetBootDdrAddr(ddrAddress);
    if (!handle->ShakeHand()) {
        return 0;
    }
    if (!IsEmpty(bootFile)) {
        bool booted = handle->FilePrepare(bootFile) && handle->InitBoard() && handle->InitDdr() &&
                      handle->SecurityVerification() && handle->DownloadBootData();
        if (!booted) {
            return 0;
        }
    }
    if (!handle->WaitBootRun()) {
        PrintPlain("Failed to wait the boot to run.\n");
        return 0;
    }
    if (outDdrAddress != nullptr) {
        *outDdrAddress = handle->GetBootDdrAddr();
    }
    return 1;
}

int DownloadToFlash(BurnChipBase* handle, const char* file, unsigned long unused1, unsigned long unused2,
                    unsigned long address, unsigned long length, unsigned long unused3, int fileKind)
{
    (void)unused1;
    (void)unused2;
    (void)unused3;
    if (!IsValid(handle)) {
        return 0;
    }
    return handle->DownloadFile(file, address, length, fileKind);
}

int DownloadToDdr(BurnChipBase* handle, const char* file, unsigned char* data, unsigned long first,
                  unsigned long second)
{
    if (!IsValid(handle)) {
        return 0;
    }
    return handle->DownloadToDdr(file, data, first, second);
}

int UploadFile(BurnChipBase* handle, unsigned long address, int length, const char* outFile)
{
    if (!IsValid(handle)) {
        return 0;
    }
    if (IsEmpty(outFile)) {
        PrintPlain("upload file path is null.\n");
        return 0;
    }
    return handle->UploadFile(address, length, outFile) ? 1 : 0;
}

int SendCmd(BurnChipBase* handle, unsigned char* cmd, int length, unsigned char* reply, int replyLength,
            int timeoutMs)
{
    if (!BufferArgumentsValid(handle, cmd, length, "send cmd data is null.\n", "send cmd data length equals 0.\n")) {
        return 0;
    }
    return handle->SendCmd(cmd, static_cast<unsigned long>(length), reply, replyLength, timeoutMs);
}

int SendBytes(BurnChipBase* handle, const unsigned char* data, int length)
{
    if (!BufferArgumentsValid(handle, data, length, "send bytes is null.\n", "send bytes length equals 0.\n")) {
        return 0;
    }
    return static_cast<int>(handle->Send(data, static_cast<unsigned long>(length)));
}

int ReceiveBytes(BurnChipBase* handle, unsigned char* buffer, int length)
{
    if (!BufferArgumentsValid(handle, buffer, length, "recevie data is null.\n", "recevie length equals 0.\n")) {
        return 0;
    }
    return static_cast<int>(handle->Receive(buffer, static_cast<unsigned long>(length)));
}

void Cancel(BurnChipBase* handle)
{
    OnDevice(handle, [](BurnChipBase& chip) { chip.SetIsCancel(); });
}

void SetHandshakeTimeout(BurnChipBase* handle, int ms)
{
    OnDevice(handle, [ms](BurnChipBase& chip) { chip.SetHandshakeTimeout(ms); });
}

void SetPerPacketSize(BurnChipBase* handle, int size)
{
    OnDevice(handle, [size](BurnChipBase& chip) { chip.SetPerPacketSize(size); });
}

void SetIsReset(BurnChipBase* handle, int flag)
{
    OnDevice(handle, [flag](BurnChipBase& chip) { chip.SetIsReset(flag != 0); });
}

void SetIsReady(BurnChipBase* handle, int flag)
{
    OnDevice(handle, [flag](BurnChipBase& chip) { chip.SetIsReady(flag != 0); });
}

void SetCtrlPeriod(BurnChipBase* handle, int ms)
{
    OnDevice(handle, [ms](BurnChipBase& chip) { chip.SetCtrlPeriod(ms); });
}

void SetSwitchAfterLoader(BurnChipBase* handle, int flag)
{
    OnDevice(handle, [flag](BurnChipBase& chip) { chip.SetSwitchAfterLoader(flag != 0); });
}

void SetBeforeReset(BurnChipBase* handle, int flag)
{
    OnDevice(handle, [flag](BurnChipBase& chip) { chip.SetBeforeReset(flag != 0); });
}

void SetAtResetCommand(BurnChipBase* handle, const char* text)
{
    // The tool never passes a null text; it is taken as an empty command rather than read.
    std::string command = text == nullptr ? std::string() : std::string(text);
    OnDevice(handle, [&command](BurnChipBase& chip) { chip.SetAtResetCommand(command); });
}

void SetDfuTransferSize(BurnChipBase* handle, int size)
{
    if (handle != nullptr && size >= 1) {
        ChipDriverFactory::SetDfuTransferSize(*handle, size);
    }
}

void SetDfuTimeout(BurnChipBase* handle, int ms)
{
    if (handle != nullptr && ms >= 1) {
        ChipDriverFactory::SetDfuTimeout(*handle, ms);
    }
}
