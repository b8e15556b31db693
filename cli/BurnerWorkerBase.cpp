#include "BurnerWorkerBase.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "Burn.h"
#include "Common.h"
#include "CommonUtil.h"
#include "Interrupt.h"
#include "PendingOutput.h"

using BurnInfo::BurnContext;
using BurnInfo::PartitionItem;

bool BurnerWorkerBase::m_isPrintProgress = false;
std::vector<uint64_t> BurnerWorkerBase::m_partSizeList;
uint64_t BurnerWorkerBase::m_totalLength = 0;
uint32_t BurnerWorkerBase::m_partIndex = 0;
bool BurnerWorkerBase::m_isProgressLineOpen = false;

namespace {

constexpr int PROGRESS_CELLS = 30;
constexpr int PERCENT_FULL = 100;
constexpr int RAW_COMMAND_TIMEOUT_MS = 5000;
constexpr int TEXT_COMMAND_TIMEOUT_MS = 3000;
constexpr int TEXT_REPLY_SIZE = 1024;
constexpr unsigned char GO_COMMAND = 0xBA;
constexpr unsigned char ERASE_COMMAND = 0xE4;
constexpr unsigned char RESET_COMMAND = 0x87;
constexpr uint32_t GO_ENTRY_OFFSET = 4;
constexpr unsigned long UPLOAD_BYTES_PER_SECOND = 20480;
const char* const UPLOAD_FILE_NAME = "upload.bin";

// The path the library was handed and the one the console shows in its place (see ShownPath).
std::string g_handedPath;
std::string g_shownPath;

std::string AsShown(const char* text)
{
    std::string shown = text;
    if (g_handedPath.empty() || g_handedPath == g_shownPath) {
        return shown;
    }
    for (size_t at = shown.find(g_handedPath); at != std::string::npos;
         at = shown.find(g_handedPath, at + g_shownPath.size())) {
        shown.replace(at, g_handedPath.size(), g_shownPath);
    }
    return shown;
}

bool IsOnlyHashes(const char* text)
{
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c != '#') {
            return false;
        }
    }
    return true;
}

bool IsCancelNotice(const std::string& text)
{
    const char* const blanks = " \t\r\n";
    size_t begin = text.find_first_not_of(blanks);
    size_t end = text.find_last_not_of(blanks);
    return begin != std::string::npos &&
           CommonUtil::EqualsIgnoreCase(text.substr(begin, end + 1 - begin), "user cancelled!");
}

// Wide enough for 100 times the sum of any number of 64-bit sizes a table can list, and for any
// percentage times one of them: no FileSize of an XML table makes the share overflow.
using WideCount = __int128;

WideCount SizeOfPartitionsBefore(size_t end)
{
    WideCount sum = 0;
    for (size_t i = 0; i < end; ++i) {
        sum += BurnerWorkerBase::m_partSizeList[i];
    }
    return sum;
}

uint64_t SaturatingSum(uint64_t left, uint64_t right)
{
    uint64_t sum = 0;
    return __builtin_add_overflow(left, right, &sum) ? UINT64_MAX : sum;
}

// The share of the whole partition table that is done, in percent: the finished partitions and the
// given percentage of the one under way, over all of them.
int PartitionTablePercent(int percent)
{
    size_t index = BurnerWorkerBase::m_partIndex;
    uint64_t size = BurnerWorkerBase::m_partSizeList[index];
    WideCount total = SizeOfPartitionsBefore(BurnerWorkerBase::m_partSizeList.size());
    WideCount done = SizeOfPartitionsBefore(index) * PERCENT_FULL + static_cast<WideCount>(percent) * size;
    if (percent == PERCENT_FULL) {
        ++BurnerWorkerBase::m_partIndex;
    }
    if (total == 0 || done <= 0) {
        return 0;
    }
    WideCount shown = done / total;
    return shown > PERCENT_FULL ? PERCENT_FULL : static_cast<int>(shown);
}

bool HasPartitionTable()
{
    return !BurnerWorkerBase::m_partSizeList.empty() && BurnerWorkerBase::m_totalLength != 0 &&
           BurnerWorkerBase::m_partIndex < BurnerWorkerBase::m_partSizeList.size();
}

bool ReadWholeFile(const std::string& path, std::unique_ptr<unsigned char[]>& data, unsigned long& length)
{
    if (CommonUtil::GetFileContent(path, data, length)) {
        return true;
    }
    std::printf("\nread %s failed.\n", Common::Printable(path).c_str());
    return false;
}

}  // namespace

void DeviceCloser::operator()(BurnChipBase* device) const
{
    DestroyDevice(device);
}

ShownPath::ShownPath(const std::string& handed, const std::string& shown)
    : m_outerHanded(g_handedPath), m_outerShown(g_shownPath)
{
    // The library prints the paths it is handed through the printable filter, so the filtered texts are
    // what a message holds and what takes their place.
    g_handedPath = Common::Printable(handed);
    g_shownPath = Common::Printable(shown);
}

ShownPath::~ShownPath()
{
    g_handedPath = m_outerHanded;
    g_shownPath = m_outerShown;
}

namespace WorkerText {

// The file may be named by a partition table.
void PrintBurnSucceeded(const std::string& file)
{
    BurnerWorkerBase::StartLineAfterProgress("\n");
    std::printf("\nBurn %s successfully.\n", Common::Printable(file).c_str());
}

void PrintBurnFailed(const std::string& file)
{
    BurnerWorkerBase::StartLineAfterProgress("\n");
    std::printf("\nerror: Burn %s failed!\n", Common::Printable(file).c_str());
}

void PrintResetNotSent()
{
    std::puts("note: The reset asked for was not sent.");
}

}  // namespace WorkerText

BurnerWorkerBase::BurnerWorkerBase(std::unique_ptr<BurnContext> context) : m_context(std::move(context))
{
    SetChipType(m_context->GetChipType());
    RegisterCall();
    m_partitions = m_context->GetPartitionInfo();
    for (const PartitionItem& partition : m_partitions) {
        if (partition.sel) {
            AddPartitionSize(partition.fileSize);
        }
    }
}

void BurnerWorkerBase::AddPartitionSize(uint64_t size)
{
    m_partSizeList.push_back(size);
    m_totalLength = SaturatingSum(m_totalLength, size);
}

BurnerWorkerBase::~BurnerWorkerBase()
{
    // The context goes first, then the device.
    m_context.reset();
    m_device.reset();
}

void BurnerWorkerBase::RegisterCall() const
{
    // The tool cancels only when a signal asks it to stop.
    RegisterCallback(SetPrint, Interrupt::CancelQuery, SetProgress);
}

unsigned long BurnerWorkerBase::Address() const
{
    return static_cast<uint32_t>(m_context->GetAddress());
}

bool BurnerWorkerBase::OpenBurnFile()
{
    std::string file = m_context->GetBurnFile();
    std::string reason;
    m_burnFile.Reset(CommonUtil::OpenRegularFileToRead(file, reason));
    if (!m_burnFile.IsOpen()) {
        std::printf("error: Cannot open the burn file %s (%s).\n", Common::Printable(file).c_str(), reason.c_str());
        return false;
    }
    m_shownBurnFile = std::make_unique<ShownPath>(m_burnFile.HeldPath(), file);
    return true;
}

bool BurnerWorkerBase::NoPartitionTable(const std::string& road) const
{
    if (!m_context->IsPartitionTable()) {
        return true;
    }
    std::printf("error: %s is a partition table; %s does not burn partition tables.\n",
                Common::Printable(m_context->GetBurnFile()).c_str(), road.c_str());
    return false;
}

std::string BurnerWorkerBase::HandedPath(const std::string& file) const
{
    return m_burnFile.IsOpen() && file == m_context->GetBurnFile() ? m_burnFile.HeldPath() : file;
}

bool BurnerWorkerBase::InitTransport()
{
    switch (m_context->GetTransportWay()) {
        case BurnInfo::TRANSPORT_SERIAL:
            return InitSerialPortTransport();
        case BurnInfo::TRANSPORT_USB:
            return InitUsbDfuTransport();
        default:
            std::puts("error: Unknow transport!");
            return false;
    }
}

bool BurnerWorkerBase::InitSerialPortTransport()
{
    return InitSerialPortTransport(static_cast<unsigned>(m_context->GetBaudRate()));
}

bool BurnerWorkerBase::InitSerialPortTransport(unsigned baudRate)
{
    PromptDeviceReset();
    return OpenSerialDevice(baudRate);
}

void BurnerWorkerBase::PromptDeviceReset()
{
    std::puts("Please reset the device, the waiting time is about 30 seconds.");
    std::fflush(stdout);
}

bool BurnerWorkerBase::OpenSerialDevice(unsigned baudRate)
{
    std::string port = m_context->GetSerialPort();
    m_device.reset(OpenSerialPort(port.c_str(), baudRate, m_context->GetStopBit(), m_context->GetParity()));
    if (m_device == nullptr) {
        std::printf("error: Open serial port :%s failed, It may be caused by the following reasons:\n",
                    Common::Printable(port).c_str());
        std::puts("1. Serial port is occupied or does not exist.");
        std::puts("2. Check baud rate, stop bits, parity is correct.");
        std::fflush(stdout);
        return false;
    }
    return true;
}

bool BurnerWorkerBase::InitUsbDfuTransport()
{
    std::puts("Scanning for USB DFU devices...");
    std::fflush(stdout);
    std::string serialNumber = m_context->GetUsbSerialNumber();
    m_device.reset(OpenUsbDfuDevice(m_context->GetUsbVid(), m_context->GetUsbPid(), serialNumber.c_str()));
    if (m_device == nullptr) {
        std::fflush(stdout);  // the library has said why
        return false;
    }
    SetDfuTransferSize(m_device.get(), m_context->GetUsbTransferSize());
    SetDfuTimeout(m_device.get(), m_context->GetUsbTimeout());
    return true;
}

void BurnerWorkerBase::SetPrint(long long handle, const char* tag, const char* message, const char* debugMessage,
                                int level)
{
    (void)handle;
    (void)tag;
    (void)level;
    if (message != nullptr && message[0] != '\0') {
        if (IsOnlyHashes(message)) {
            return;  // the library's separator lines carry nothing for the console
        }
        if (IsCancelNotice(message)) {
            return;  // the library repeats it at every check; the tool says once why it stopped
        }
        std::string shown = AsShown(message);
        StartLineAfterProgress(shown.c_str());
        std::printf("%s", CommonUtil::ColorizeBySeverity(shown).c_str());
    }
    if (BurnContext::m_isOpenDebug && debugMessage != nullptr && debugMessage[0] != '\0') {
        std::string shown = AsShown(debugMessage);
        StartLineAfterProgress(shown.c_str());
        std::printf("%s", shown.c_str());
    }
    std::fflush(stdout);
}

void BurnerWorkerBase::StartLineAfterProgress(const char* text)
{
    if (!m_isProgressLineOpen) {
        return;
    }
    m_isProgressLineOpen = false;
    if (text[0] != '\n') {
        std::printf("\n");
    }
    CommonUtil::ShowCursor();
}

void BurnerWorkerBase::SetProgress(long long /*handle*/, int percent)
{
    if (!m_isPrintProgress) {
        std::fflush(stdout);
        return;
    }
    bool done = percent > PERCENT_FULL - 1;
    int shown = HasPartitionTable() ? PartitionTablePercent(percent) : percent;
    PrintProgressBar(shown, done);
    std::fflush(stdout);
}

void BurnerWorkerBase::PrintProgressBar(int percent, bool done)
{
    int value = percent < 0 ? 0 : (percent > PERCENT_FULL ? PERCENT_FULL : percent);
    int filled = value * PROGRESS_CELLS / PERCENT_FULL;
    char cells[PROGRESS_CELLS + 1] = {0};
    for (int i = 0; i < PROGRESS_CELLS; ++i) {
        cells[i] = i < filled ? '=' : '-';
    }
    CommonUtil::HideCursor();
    std::printf("\r  [%s] %3d%%", cells, value);
    m_isProgressLineOpen = !done;
    if (done) {
        std::printf("\n");
        CommonUtil::ShowCursor();
    }
    std::fflush(stdout);
}

int BurnerWorkerBase::Burn()
{
    // A partition table was read whole by the set-up.
    if (!m_context->IsPartitionTable() && !OpenBurnFile()) {
        return BurnInfo::BURN_BOOT_FAILED;
    }
    if (!InitTransport()) {
        return BurnInfo::INIT_TRANSFER_WAY_FAILED;
    }
    m_isPrintProgress = true;
    if (m_context->IsPartitionTable()) {
        return BurnPartitionsByXml();
    }
    return BurnUART();
}

int BurnerWorkerBase::BurnPartitionsByXml()
{
    if (!DownloadBootData()) {
        return BurnInfo::BURN_BOOT_FAILED;
    }
    for (size_t i = 1; i < m_partitions.size(); ++i) {
        const PartitionItem& partition = m_partitions[i];
        if (!partition.sel) {
            continue;
        }
        if (DownloadToFlash(Device(), partition.selectFile.c_str(), 0, 0, partition.start, partition.length, 0,
                            partition.fileType) == 0) {
            WorkerText::PrintBurnFailed(partition.selectFile);
            return BurnInfo::BURN_BOOT_FAILED;
        }
        WorkerText::PrintBurnSucceeded(partition.selectFile);
    }
    return BurnInfo::SUCCESS;
}

bool BurnerWorkerBase::BootDownloadPartition(const PartitionItem& partition, const char* file)
{
    bool booted = BootDownload(Device(), file, partition.start, 0, nullptr, nullptr) != 0;
    if (booted) {
        WorkerText::PrintBurnSucceeded(partition.selectFile);
    } else {
        WorkerText::PrintBurnFailed(partition.selectFile);
    }
    return booted;
}

bool BurnerWorkerBase::DownloadWholeFile(const std::string& file)
{
    if (DownloadAllinoneBin(Device(), HandedPath(file).c_str(), Address()) == 0) {
        WorkerText::PrintBurnFailed(file);
        return false;
    }
    WorkerText::PrintBurnSucceeded(file);
    return true;
}

bool BurnerWorkerBase::EraseWholeFlash(const char* bootFile)
{
    if (EraseAllFlash(Device(), bootFile) == 0) {
        std::puts("\nerror: Erase all flash failed!");
        return false;
    }
    std::puts("\nErase all flash successfully.");
    return true;
}

bool BurnerWorkerBase::UploadFlash(PendingOutput& file)
{
    const std::string& output = file.Output();
    bool read = file.Create() && UploadInto(file.Path(), output) && file.Keep();
    if (!read) {
        std::printf("\nerror: Read %s failed.\n", Common::Printable(output).c_str());
        file.Discard();
        return false;
    }
    std::printf("\nRead %s successfully.\n", Common::Printable(output).c_str());
    return true;
}

bool BurnerWorkerBase::ReadsIntoBurnFile(const PendingOutput& output) const
{
    return m_burnFile.IsOpen() && output.IsTheFileOpenAt(m_burnFile.Get());
}

// The read writes into a file of its own, which the console names as the output the user gave.
bool BurnerWorkerBase::UploadInto(const std::string& path, const std::string& output)
{
    ShownPath shown(path, output);
    return UploadFile(Device(), Address(), m_context->GetReadSize(), path.c_str()) != 0;
}

bool BurnerWorkerBase::DownloadBootData()
{
    if (m_partitions.empty()) {
        return false;  // a partition table always has its loader; the set-up refuses an empty one
    }
    const PartitionItem& loader = m_partitions[0];
    // Without a loader file the library only shakes hands.
    return BootDownloadPartition(loader, loader.sel ? loader.selectFile.c_str() : nullptr);
}

int BurnerWorkerBase::BurnUART()
{
    int result = BurnTargetByUart(m_context->GetBurnFile(), Address());
    if (result != BurnInfo::SUCCESS) {
        return result;
    }
    return RebootMcu();
}

int BurnerWorkerBase::BurnTargetByUart(const std::string& file, unsigned long address)
{
    std::string handed = HandedPath(file);
    unsigned long long length = CommonUtil::GetFileLen(handed);
    if (!SendEraseCmd(address, static_cast<unsigned long>(length))) {
        return BurnInfo::ERASE_FAILED;
    }
    if (DownloadToFlash(Device(), handed.c_str(), 0, 0, address, 0, 0, 0) == 0) {
        WorkerText::PrintBurnFailed(file);
        return BurnInfo::BURN_PARTITION_FAILED;
    }
    return BurnInfo::SUCCESS;
}

int BurnerWorkerBase::RebootMcu()
{
    if (m_context->GetReboot() == 0) {
        return BurnInfo::SUCCESS;
    }
    if (!Go(static_cast<uint32_t>(Address() + GO_ENTRY_OFFSET))) {
        std::puts("error: Go failed.");
        return BurnInfo::SEND_CMD_FAILED;
    }
    std::puts("\nreboot successful!");
    return BurnInfo::SUCCESS;
}

// The device API takes the bytes as writable, so the command comes as a copy of its own. A reply, when
// one is waited for, is not looked at.
bool BurnerWorkerBase::SendCommandBytes(std::vector<unsigned char> command, int timeoutMs, int replySize)
{
    std::vector<unsigned char> reply(static_cast<size_t>(replySize), 0);
    return SendCmd(Device(), command.data(), static_cast<int>(command.size()), replySize > 0 ? reply.data() : nullptr,
                   replySize, timeoutMs) != 0;
}

std::vector<unsigned char> BurnerWorkerBase::GoCommandBytes(unsigned long address)
{
    std::vector<unsigned char> command = {GO_COMMAND};
    CommonUtil::AppendBigEndian32(command, static_cast<uint32_t>(address));
    return command;
}

std::vector<unsigned char> BurnerWorkerBase::EraseCommandBytes(unsigned long address, unsigned long size)
{
    std::vector<unsigned char> command = {ERASE_COMMAND};
    CommonUtil::AppendBigEndian32(command, static_cast<uint32_t>(address));
    CommonUtil::AppendBigEndian32(command, static_cast<uint32_t>(size));
    return command;
}

bool BurnerWorkerBase::Go(unsigned long address)
{
    if (Device() == nullptr) {
        return false;
    }
    return SendCommandBytes(GoCommandBytes(address), RAW_COMMAND_TIMEOUT_MS);
}

bool BurnerWorkerBase::SendEraseCmd(unsigned long address, unsigned long size)
{
    if (!SendCommandBytes(EraseCommandBytes(address, size), RAW_COMMAND_TIMEOUT_MS)) {
        std::printf("\nerror: erase 0x%lx failed!\n", address);
        return false;
    }
    return true;
}

void BurnerWorkerBase::PrintRefusal(const char* function) const
{
    std::printf("chip: %s does not support the %s function.\n", Common::Printable(m_context->GetChipName()).c_str(),
                function);
}

// A refusal is no success: the command ends with the failure status of what was asked for.
int BurnerWorkerBase::Erase()
{
    PrintRefusal("erase");
    return BurnInfo::ERASE_FAILED;
}

int BurnerWorkerBase::Read()
{
    PrintRefusal("read");
    return BurnInfo::READ_PARTITION_FAILED;
}

bool BurnerWorkerBase::BurnTargetBinByXml()
{
    std::printf("chip: %s does not support burn targetbin by xml.\n",
                Common::Printable(m_context->GetChipName()).c_str());
    return true;
}

int BurnerWorkerBase::CheckBurnResult()
{
    std::string burnFile = m_context->GetBurnFile();
    std::string uploadFile = m_context->GetExePath() + UPLOAD_FILE_NAME;
    unsigned long long length = CommonUtil::GetFileLen(burnFile);
    if (UploadFile(Device(), Address(), static_cast<int>(length), uploadFile.c_str()) == 0) {
        std::printf("\nupload %s failed.\n", Common::Printable(uploadFile).c_str());
        return BurnInfo::READ_PARTITION_FAILED;
    }
    unsigned long startedBlocks = static_cast<unsigned long>((length + UPLOAD_BYTES_PER_SECOND - 1) /
                                                             UPLOAD_BYTES_PER_SECOND);
    sleep(static_cast<unsigned>(startedBlocks));  // the chip goes on writing the file after the upload call
    std::unique_ptr<unsigned char[]> burnData;
    std::unique_ptr<unsigned char[]> uploadData;
    unsigned long burnLength = 0;
    unsigned long uploadLength = 0;
    if (!ReadWholeFile(burnFile, burnData, burnLength) || !ReadWholeFile(uploadFile, uploadData, uploadLength)) {
        return BurnInfo::READ_PARTITION_FAILED;
    }
    if (burnLength != uploadLength) {
        std::printf("\nThe length of file %s is different from that of file %s.\n",
                    Common::Printable(burnFile).c_str(), Common::Printable(uploadFile).c_str());
        return BurnInfo::BURN_CHECK_FAILED;
    }
    if (std::memcmp(burnData.get(), uploadData.get(), burnLength) != 0) {
        std::printf("\nThe bytes of file %s and file %s are different.\n", Common::Printable(burnFile).c_str(),
                    Common::Printable(uploadFile).c_str());
        return BurnInfo::BURN_CHECK_FAILED;
    }
    std::remove(uploadFile.c_str());
    return BurnInfo::SUCCESS;
}

bool BurnerWorkerBase::ResetBySerial()
{
    if (!SendCommandBytes({RESET_COMMAND}, RAW_COMMAND_TIMEOUT_MS)) {
        std::puts("error: Reset board failed.");
        return false;
    }
    return true;
}

bool BurnerWorkerBase::SendTextCommand(const std::string& command)
{
    std::printf("\nSend command: %s", Common::Printable(command).c_str());
    return SendCommandBytes({command.begin(), command.end()}, TEXT_COMMAND_TIMEOUT_MS, TEXT_REPLY_SIZE);
}

bool BurnerWorkerBase::ResetBoard()
{
    bool reset = SendCommandBytes({'r', 'e', 's', 'e', 't'}, TEXT_COMMAND_TIMEOUT_MS);
    std::puts(reset ? "reset success!" : "reset failed!");
    return reset;
}
