#include "ConnectionBurnerWorker.h"

#include <cstdio>

#include "Burn.h"
#include "Common.h"

ConnectionBurnerWorker::ConnectionBurnerWorker(std::unique_ptr<BurnInfo::BurnContext> context)
    : BurnerWorkerBase(std::move(context))
{
}

ConnectionBurnerWorker::~ConnectionBurnerWorker() = default;

// The file goes whole to the chip, so a choice of its images would be dropped; the set-up has refused
// --only-burn with a file that is no package.
int ConnectionBurnerWorker::Burn()
{
    if (!Context().GetOnlyBurnNames().empty()) {
        std::printf("error: --only-burn selects images of a firmware package; chip %s burns the file whole.\n",
                    Common::Printable(Context().GetChipName()).c_str());
        return BurnInfo::PARAM_ERROR;
    }
    return BurnerWorkerBase::Burn();
}

bool ConnectionBurnerWorker::DownloadBootData()
{
    if (Partitions().empty() || !Partitions()[0].sel) {
        return true;  // no loader chosen: nothing to boot
    }
    if (!DownloadSmallSsb()) {
        return false;
    }
    const BurnInfo::PartitionItem& loader = Partitions()[0];
    return BootDownloadPartition(loader, loader.selectFile.c_str());
}

// The TypeSix family boots a small SSB before its loader.
bool ConnectionBurnerWorker::DownloadSmallSsb()
{
    BurnInfo::PartitionItem small = Context().GetSmallInfo();
    if (Context().GetChipType() != BurnInfo::CHIP_TYPE_TYPESIX || small.selectFile.empty()) {
        return true;
    }
    if (BootDownload(Device(), small.selectFile.c_str(), small.start, 0, nullptr, nullptr) == 0) {
        WorkerText::PrintBurnFailed(small.selectFile);
        return false;
    }
    return true;
}
