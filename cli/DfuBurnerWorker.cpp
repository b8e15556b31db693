#include "DfuBurnerWorker.h"

#include <cstdio>
#include <vector>

#include "Burn.h"
#include "BurnChipBase.h"
#include "Common.h"
#include "CommonUtil.h"
#include "FwpkgCheck.h"
#include "FwpkgInfo.h"
#include "PendingOutput.h"

namespace DfuBurnerWorkerSp {

namespace {

// As many as the test of a package's magic flag looks at.
constexpr size_t PACKAGE_MAGIC_BYTES = 12;

// The chips whose DFU driver burns a package image by image; every other chip's sends one file whole.
bool BurnsPackages(int chipType)
{
    return chipType == BurnInfo::CHIP_TYPE_TYPESIX || chipType == BurnInfo::CHIP_TYPE_QX71 ||
           chipType == BurnInfo::CHIP_TYPE_KP7715;
}

// DFU moves bytes from and to where the device itself puts them.
bool NoAddressGiven(const BurnInfo::BurnContext& context, const char* road)
{
    if (context.GetAddress() == 0) {
        return true;
    }
    std::printf("error: -a cannot be used here: %s has no address.\n", road);
    return false;
}

}  // namespace

DfuBurnerWorker::DfuBurnerWorker(std::unique_ptr<BurnInfo::BurnContext> context)
    : BurnerWorkerBase(std::move(context))
{
}

DfuBurnerWorker::~DfuBurnerWorker() = default;

// The driver's reset; whether it worked does not change the result, since what was asked before it is
// done. A USB port reset that fails may yet have reset a device that came back as another, so only the
// reset frame of a package chip is known not to have gone out when it fails.
void DfuBurnerWorker::ResetChipWhenAsked()
{
    if (Context().GetReboot() != 0 && Reset(Device()) == 0 && BurnsPackages(Context().GetChipType())) {
        WorkerText::PrintResetNotSent();
    }
}

// What the driver would pass over, or burn otherwise than asked, is refused before the device is opened.
bool DfuBurnerWorker::BurnWordsFit() const
{
    bool packages = BurnsPackages(Context().GetChipType());
    if (!packages && !NoAddressGiven(Context(), "a generic USB DFU write")) {
        return false;
    }
    // The set-up has refused --only-burn with a burn file that is no package.
    if (!Context().GetOnlyBurnNames().empty() && !packages) {
        std::puts("error: --only-burn selects images of a firmware package; a generic USB DFU write sends the "
                  "file whole.");
        return false;
    }
    return true;
}

// The driver checks the package as well, with the images it picks in the same way, but only once the
// device is open, and opening it may already detach it from what it runs.
bool DfuBurnerWorker::PackageCanBeBurnt(const std::string& file) const
{
    std::unique_ptr<unsigned char[]> data;
    unsigned long length = 0;
    if (!BurnsPackages(Context().GetChipType()) ||
        CommonUtil::ReadRegularFile(file, 0, data, length) != CommonUtil::FileRead::DONE ||
        !Common::LooksLikeFwpkg(data.get(), length)) {
        return true;  // burnt as one image, or the driver says why it cannot read it
    }
    Common::ImagePick pick =
        Common::UsbRoadPick(Context().GetOnlyBurnNames(), static_cast<uint32_t>(Context().GetChipType()));
    std::vector<Common::FileHead> sent;
    return Common::CheckFwpkg(data.get(), length, file.c_str(), 0, pick, sent);
}

int DfuBurnerWorker::Burn()
{
    if (!BurnWordsFit()) {
        return BurnInfo::PARAM_ERROR;
    }
    if (!NoPartitionTable("a burn over USB DFU") || !OpenBurnFile()) {
        return BurnInfo::BURN_BOOT_FAILED;
    }
    if (!PackageCanBeBurnt(HandedPath(Context().GetBurnFile()))) {
        WorkerText::PrintBurnFailed(Context().GetBurnFile());
        return BurnInfo::BURN_BOOT_FAILED;
    }
    if (!InitTransport()) {
        return BurnInfo::INIT_TRANSFER_WAY_FAILED;
    }
    Device()->SetOnlyBurnNames(Context().GetOnlyBurnNames());
    m_isPrintProgress = true;
    if (!DownloadWholeFile(Context().GetBurnFile())) {
        return BurnInfo::BURN_BOOT_FAILED;
    }
    ResetChipWhenAsked();
    return BurnInfo::SUCCESS;
}

// The flash contents go to -o, else to the burn file; a firmware package is never overwritten, as
// the same command line without -o burns it.
int DfuBurnerWorker::Read()
{
    if (!NoAddressGiven(Context(), "a USB DFU read")) {
        return BurnInfo::PARAM_ERROR;
    }
    std::string output = Context().GetOutputPath().empty() ? Context().GetBurnFile() : Context().GetOutputPath();
    PendingOutput file(output);
    if (!file.Check()) {
        return BurnInfo::READ_PARTITION_FAILED;
    }
    std::vector<unsigned char> head = file.FirstBytes(PACKAGE_MAGIC_BYTES);
    if (Common::LooksLikeFwpkg(head.data(), head.size())) {
        std::printf("error: %s is a firmware package; a read does not overwrite it, name the output file with -o.\n",
                    Common::Printable(output).c_str());
        return BurnInfo::PARAM_ERROR;
    }
    if (!InitTransport()) {
        return BurnInfo::INIT_TRANSFER_WAY_FAILED;
    }
    m_isPrintProgress = true;
    return UploadFlash(file) ? BurnInfo::SUCCESS : BurnInfo::READ_PARTITION_FAILED;
}

// The erase sends nothing of the burn file, but a file that was named and does not open is a mistake
// that an erase must not pass over, as on the serial road.
int DfuBurnerWorker::Erase()
{
    if (!OpenBurnFile()) {
        return BurnInfo::BURN_BOOT_FAILED;
    }
    if (!InitTransport()) {
        return BurnInfo::INIT_TRANSFER_WAY_FAILED;
    }
    if (!EraseWholeFlash(nullptr)) {
        return BurnInfo::ERASE_FAILED;
    }
    ResetChipWhenAsked();
    return BurnInfo::SUCCESS;
}

}  // namespace DfuBurnerWorkerSp
