#include "DfuBurnerWorker.h"

#include "Burn.h"
#include "BurnChipBase.h"

namespace DfuBurnerWorkerSp {

DfuBurnerWorker::DfuBurnerWorker(std::unique_ptr<BurnInfo::BurnContext> context)
    : BurnerWorkerBase(std::move(context)), onlyBurnNames(Context().GetOnlyBurnNames())
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
    Device()->SetOnlyBurnNames(onlyBurnNames);
    m_isPrintProgress = true;
    if (!DownloadWholeFile(Context().GetBurnFile())) {
        return BurnInfo::BURN_BOOT_FAILED;
    }
    ResetChipWhenAsked();
    return BurnInfo::SUCCESS;
}

// Over USB the burn file names the file the flash contents go to.
int DfuBurnerWorker::Read()
{
    if (!InitTransport()) {
        return BurnInfo::INIT_TRANSFER_WAY_FAILED;
    }
    m_isPrintProgress = true;
    return UploadFlash(Context().GetBurnFile()) ? BurnInfo::SUCCESS : BurnInfo::READ_PARTITION_FAILED;
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
