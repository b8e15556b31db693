#ifndef VEXIL_CLI_BURNERWORKERBASE_H
#define VEXIL_CLI_BURNERWORKERBASE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "BurnContext.h"
#include "CommonUtil.h"
#include "FileDescriptor.h"

class BurnChipBase;
class PendingOutput;
class ShownPath;

// Releases a device handle through the device API.
struct DeviceCloser {
    void operator()(BurnChipBase* device) const;
};
using DeviceHandle = std::unique_ptr<BurnChipBase, DeviceCloser>;

// The base of the burner workers: one worker carries out one write, erase or read for one family of chips.
// It owns the burn context and, once opened, the device.
class BurnerWorkerBase {
public:
    explicit BurnerWorkerBase(std::unique_ptr<BurnInfo::BurnContext> context);
    virtual ~BurnerWorkerBase();
    BurnerWorkerBase(const BurnerWorkerBase&) = delete;
    BurnerWorkerBase& operator=(const BurnerWorkerBase&) = delete;

    // Each returns a worker result code (BurnInfo::ResultCode), the exit status of the command.
    virtual int Burn();
    virtual int Read();
    virtual int Erase();
    virtual bool DownloadBootData();
    virtual bool InitTransport();
    virtual bool BurnTargetBinByXml();

    bool InitSerialPortTransport();
    // Opens the port at the given rate rather than the context's.
    bool InitSerialPortTransport(unsigned baudRate);
    // The two halves of it, for a worker that opens the port before it knows it will ask for the reset.
    static void PromptDeviceReset();
    bool OpenSerialDevice(unsigned baudRate);
    bool InitUsbDfuTransport();
    void RegisterCall() const;

    // The console callbacks handed to the library.
    static void SetPrint(long long handle, const char* tag, const char* message, const char* debugMessage,
                         int level);
    static void SetProgress(long long handle, int percent);
    static void PrintProgressBar(int percent, bool done);
    // A text printed while the bar's line is open starts on a line of its own, and the cursor that
    // the bar hid shows again.
    static void StartLineAfterProgress(const char* text);

    // The single-image road over raw commands.
    int BurnUART();
    int BurnTargetByUart(const std::string& file, unsigned long address);
    int RebootMcu();
    bool Go(unsigned long address);
    bool SendEraseCmd(unsigned long address, unsigned long size);
    static std::vector<unsigned char> GoCommandBytes(unsigned long address);
    static std::vector<unsigned char> EraseCommandBytes(unsigned long address, unsigned long size);

    // Operations of the base that no command calls.
    int CheckBurnResult();
    bool ResetBySerial();
    bool SendTextCommand(const std::string& command);
    bool ResetBoard();

    // Progress state of the one command a process runs; the library reports on the main thread only.
    // A selected partition's size joins the list and the total (which stops at the largest value).
    static void AddPartitionSize(uint64_t size);
    static bool m_isPrintProgress;
    static std::vector<uint64_t> m_partSizeList;
    static uint64_t m_totalLength;
    static uint32_t m_partIndex;
    // The bar was drawn and its line not ended yet.
    static bool m_isProgressLineOpen;

protected:
    BurnInfo::BurnContext& Context() const { return *m_context; }
    BurnChipBase* Device() const { return m_device.get(); }
    const std::vector<BurnInfo::PartitionItem>& Partitions() const { return m_partitions; }
    // The context's address as the library takes it: the low 32 bits, never sign-extended.
    unsigned long Address() const;
    // Opens the burn file before the device, so that one that cannot be read is refused in one line,
    // with the system's reason, before the reset prompt and without device time.
    bool OpenBurnFile();
    // Only the base burn sends a partition table; a road that hands its driver one file refuses one,
    // naming itself, before anything opens.
    bool NoPartitionTable(const std::string& road) const;
    // The path a file is read through: the burn file once open is read as that very file, whatever its
    // name now leads to; the library's messages still show its name.
    std::string HandedPath(const std::string& file) const;
    bool BootDownloadPartition(const BurnInfo::PartitionItem& partition, const char* file);
    // The steps of the workers whose chip driver does the whole job, each with its verdict line.
    bool DownloadWholeFile(const std::string& file);
    bool EraseWholeFlash(const char* bootFile);
    // The flash contents go to the output only when the whole read succeeded. The workers check the
    // output first, before anything is transferred.
    bool UploadFlash(PendingOutput& file);
    // After the output was found: whether it is the burn file that was opened, by whatever path.
    bool ReadsIntoBurnFile(const PendingOutput& output) const;
    void PrintRefusal(const char* function) const;

private:
    int BurnPartitionsByXml();
    bool UploadInto(const std::string& path, const std::string& output);
    bool SendCommandBytes(std::vector<unsigned char> command, int timeoutMs, int replySize = 0);

    std::vector<BurnInfo::PartitionItem> m_partitions;
    std::unique_ptr<BurnInfo::BurnContext> m_context;
    DeviceHandle m_device;
    FileDescriptor m_burnFile;
    std::unique_ptr<ShownPath> m_shownBurnFile;
};

// While it lives, the library's messages name the file or directory handed to it by the shown path
// instead: the library is handed files through descriptors held open, the console names them as the
// user knows them. One made while another lives stands in for it until it goes.
class ShownPath {
public:
    ShownPath(const std::string& handed, const std::string& shown);
    ~ShownPath();
    ShownPath(const ShownPath&) = delete;
    ShownPath& operator=(const ShownPath&) = delete;

private:
    std::string m_outerHanded;
    std::string m_outerShown;
};

// Messages shared by the workers.
namespace WorkerText {
void PrintBurnSucceeded(const std::string& file);
void PrintBurnFailed(const std::string& file);
// A reset asked for after the work was done that did not go out: the work stands.
void PrintResetNotSent();
}  // namespace WorkerText

#endif
