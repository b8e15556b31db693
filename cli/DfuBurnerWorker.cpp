#include "DfuBurnerWorker.h"

#include <cstdio>

#include "Burn.h"
#include "BurnChipBase.h"
#include "FwpkgInfo.h"
#include "PendingOutput.h"

namespace DfuBurnerWorkerSp {

namespace {

bool IsFirmwarePackage(const std::string& path)
{
    std::vector<BurnInfo::FwImageInfo> rows;
    std::string error;
    return BurnInfo::ParseFwpkgInfo(path, rows, error, nullptr);
}

}  // namespace

DfuBurnerWorker::DfuBurnerWorker(std::unique_ptr<BurnInfo::BurnContext> context)
    : BurnerWorkerBase(std::move(context))
{
}

DfuBurnerWorker::~DfuBurnerWorker() = default;

// The driver's reset; whether it worked does not change the result.
void DfuBurnerWorker::ResetChipWhenAsked()
{
    if (Context().GetReboot() != 0) {
        (void)Reset(Device());
    }
}

int DfuBurnerWorker::Burn()
{
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
    std::string output = Context().GetOutputPath().empty() ? Context().GetBurnFile() : Context().GetOutputPath();
    if (IsFirmwarePackage(output)) {
        std::printf("error: %s is a firmware package; a read does not overwrite it, name the output file with -o.\n",
                    output.c_str());
        return BurnInfo::PARAM_ERROR;
    }
    PendingOutput file(output);
    if (!file.Check()) {
        return BurnInfo::READ_PARTITION_FAILED;
    }
    if (!InitTransport()) {
        return BurnInfo::INIT_TRANSFER_WAY_FAILED;
    }
    m_isPrintProgress = true;
    return UploadFlash(file) ? BurnInfo::SUCCESS : BurnInfo::READ_PARTITION_FAILED;
}

int DfuBurnerWorker::Erase()
{
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
