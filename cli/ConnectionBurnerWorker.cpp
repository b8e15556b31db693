#include "ConnectionBurnerWorker.h"

#include "Burn.h"

ConnectionBurnerWorker::ConnectionBurnerWorker(std::unique_ptr<BurnInfo::BurnContext> context)
    : BurnerWorkerBase(std::move(context))
{
}

ConnectionBurnerWorker::~ConnectionBurnerWorker() = default;

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
