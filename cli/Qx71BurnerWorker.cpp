#include "Qx71BurnerWorker.h"

#include <cstdio>
#include <memory>
#include <string>

#include "Burn.h"
#include "BurnChipBase.h"
#include "Common.h"
#include "CommonUtil.h"
#include "FwpkgCheck.h"
#include "PendingOutput.h"

namespace Qx71BurnerWorkerSp {

namespace {

constexpr size_t CRC_SIZE = 2;
const char* const READ_FILE_SUFFIX = "_read.bin";

// The images the package lists, none when it cannot be read as a package: the driver then says why.
std::vector<Common::FileHead> ListedImages(const std::string& handed)
{
    std::unique_ptr<unsigned char[]> data;
    unsigned long length = 0;
    std::vector<Common::FileHead> images;
    std::string version;
    std::string error;
    if (CommonUtil::ReadRegularFile(handed, 0, data, length) != CommonUtil::FileRead::DONE ||
        !Common::ParseFwpkg(data.get(), length, images, version, error, true)) {
        images.clear();
    }
    return images;
}

bool Refused(const std::string& fault)
{
    if (!fault.empty()) {
        std::printf("error: %s\n", fault.c_str());
    }
    return !fault.empty();
}

}  // namespace

std::vector<unsigned char> BuildSebootReset()
{
    // Magic, frame length, command and its complement, a zero payload, then the CRC of all before it.
    std::vector<unsigned char> frame(RESET_PACKET_SIZE, 0);
    CommonUtil::PutLittleEndian(frame, 0, RESET_START_FLAG, 4);
    CommonUtil::PutLittleEndian(frame, 4, RESET_PACKET_SIZE, 2);
    frame[6] = RESET_FRAME_TYPE;
    frame[7] = RESET_FRAME_TYPE_REVERSE;
    unsigned int crc = Common::SopCrc16(frame.data(), RESET_PACKET_SIZE - CRC_SIZE);
    CommonUtil::PutLittleEndian(frame, RESET_PACKET_SIZE - CRC_SIZE, crc, CRC_SIZE);
    return frame;
}

std::string ReadOutputPath(const std::string& package, const std::string& output)
{
    if (!output.empty()) {
        return output;
    }
    return CommonUtil::GetParentDir(package) + CommonUtil::GetBaseNameWithoutExt(package) + READ_FILE_SUFFIX;
}

Qx71BurnerWorker::Qx71BurnerWorker(std::unique_ptr<BurnInfo::BurnContext> context)
    : BurnerWorkerBase(std::move(context)), onlyBurnNames(Context().GetOnlyBurnNames())
{
}

Qx71BurnerWorker::~Qx71BurnerWorker() = default;

void Qx71BurnerWorker::HandBurnSettingsToDriver()
{
    BurnChipBase* chip = Device();
    chip->SetTargetBaudRate(static_cast<unsigned>(Context().GetBaudRate()));
    chip->SetSwitchAfterLoader(Context().IsSwitchAfterLoader());
    chip->SetOnlyBurnNames(onlyBurnNames);
    chip->SetCtrlPeriod(Context().GetBurnInterval());
    chip->SetBeforeReset(Context().IsBeforeReset());
    chip->SetAtResetCommand(Context().GetResetAtCommand());
}

// An erase or a read burns the package's loader as a write does, so none of them takes a partition table.
std::string Qx71BurnerWorker::RoadText(const std::string& command) const
{
    return command + " of chip " + Common::Printable(Context().GetChipName()) + " over a serial port";
}

// The reset goes out raw; whether the chip took it does not change the result, since what was asked
// before it is done, but a reset that did not go out is told.
void Qx71BurnerWorker::ResetChipWhenAsked()
{
    if (Context().GetReboot() == 0) {
        return;
    }
    std::vector<unsigned char> frame = BuildSebootReset();
    if (SendBytes(Device(), frame.data(), static_cast<int>(frame.size())) != static_cast<int>(frame.size())) {
        WorkerText::PrintResetNotSent();
    }
}

// What the road cannot carry of the package is refused before the prompt, so that it costs no port and
// no loader transfer; the driver refuses the same on the bytes it reads. A read or an erase burns the
// package only up to its first image, the loader that then reads or erases.
int Qx71BurnerWorker::RoadRefusal(bool loaderAlone, int loaderOrderStatus) const
{
    std::string file = Context().GetBurnFile();
    std::vector<Common::FileHead> images = ListedImages(HandedPath(file));
    if (images.empty()) {
        return BurnInfo::SUCCESS;
    }
    // The list of --only-burn is not handed to the driver for a read or an erase.
    Common::ImagePick pick =
        Common::SerialRoadPick(loaderAlone ? std::vector<std::string>() : onlyBurnNames, loaderAlone);
    if (Refused(Common::LoaderOrderFault(images, pick, file))) {
        return loaderOrderStatus;
    }
    if (Refused(Common::SentNameFault(images, pick))) {
        return BurnInfo::BURN_BOOT_FAILED;
    }
    return BurnInfo::SUCCESS;
}

int Qx71BurnerWorker::Burn()
{
    if (!NoPartitionTable(RoadText("a burn")) || !OpenBurnFile()) {
        return BurnInfo::BURN_BOOT_FAILED;
    }
    if (RoadRefusal(false, BurnInfo::BURN_BOOT_FAILED) != BurnInfo::SUCCESS) {
        WorkerText::PrintBurnFailed(Context().GetBurnFile());
        return BurnInfo::BURN_BOOT_FAILED;
    }
    if (!InitTransport()) {
        return BurnInfo::INIT_TRANSFER_WAY_FAILED;
    }
    HandBurnSettingsToDriver();
    m_isPrintProgress = true;
    if (!DownloadWholeFile(Context().GetBurnFile())) {
        return BurnInfo::BURN_BOOT_FAILED;
    }
    ResetChipWhenAsked();
    return BurnInfo::SUCCESS;
}

int Qx71BurnerWorker::Erase()
{
    std::string file = Context().GetBurnFile();
    if (!NoPartitionTable(RoadText("an erase")) || !OpenBurnFile()) {
        return BurnInfo::BURN_BOOT_FAILED;
    }
    int refusal = RoadRefusal(true, BurnInfo::ERASE_FAILED);
    if (refusal != BurnInfo::SUCCESS) {
        return refusal;
    }
    if (!InitTransport()) {
        return BurnInfo::INIT_TRANSFER_WAY_FAILED;
    }
    Device()->SetBeforeReset(Context().IsBeforeReset());
    Device()->SetAtResetCommand(Context().GetResetAtCommand());
    // The loader of the package does the erasing, so the package goes no further than its loader.
    SetIsOnlyBurnLoader(1);
    if (!EraseWholeFlash(HandedPath(file).c_str())) {
        return BurnInfo::ERASE_FAILED;
    }
    ResetChipWhenAsked();
    return BurnInfo::SUCCESS;
}

// Checked before the port is opened, so that a mistake costs no loader transfer.
bool Qx71BurnerWorker::ReadArgumentsValid() const
{
    if (Context().GetReadSize() <= 0) {
        std::puts("error: The read size must be greater than 0, give it with -z <size>.");
        return false;
    }
    return true;
}

// The file the output's path reached is compared with the package that was opened, so that no spelling
// of the package's path turns it into the output.
bool Qx71BurnerWorker::OutputIsNotThePackage(const PendingOutput& output) const
{
    if (!ReadsIntoBurnFile(output)) {
        return true;
    }
    std::printf("error: The read output file must not be the package itself: %s\n",
                Common::Printable(output.Output()).c_str());
    return false;
}

int Qx71BurnerWorker::Read()
{
    std::string file = Context().GetBurnFile();
    if (!ReadArgumentsValid()) {
        return BurnInfo::PARAM_ERROR;
    }
    if (!NoPartitionTable(RoadText("a read")) || !OpenBurnFile()) {
        return BurnInfo::BURN_BOOT_FAILED;
    }
    PendingOutput pending(ReadOutputPath(file, Context().GetOutputPath()));
    if (!pending.Find()) {
        return BurnInfo::READ_PARTITION_FAILED;
    }
    if (!OutputIsNotThePackage(pending)) {
        return BurnInfo::PARAM_ERROR;
    }
    if (RoadRefusal(true, BurnInfo::BURN_BOOT_FAILED) != BurnInfo::SUCCESS) {
        return BurnInfo::BURN_BOOT_FAILED;
    }
    if (!pending.Check()) {
        return BurnInfo::READ_PARTITION_FAILED;
    }
    if (!InitTransport()) {
        return BurnInfo::INIT_TRANSFER_WAY_FAILED;
    }
    // The loader of the package does the reading, so the package goes no further than its loader.
    SetIsOnlyBurnLoader(1);
    if (!DownloadWholeFile(file)) {
        return BurnInfo::BURN_BOOT_FAILED;
    }
    return UploadFlash(pending) ? BurnInfo::SUCCESS : BurnInfo::READ_PARTITION_FAILED;
}

}  // namespace Qx71BurnerWorkerSp
