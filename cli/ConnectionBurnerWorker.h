#ifndef VEXIL_CLI_CONNECTIONBURNERWORKER_H
#define VEXIL_CLI_CONNECTIONBURNERWORKER_H

#include "BurnerWorkerBase.h"

// The worker of every chip of the connection department that has no worker of its own.
// It burns like the base, a package as one image, and refuses erase and read as the base does.
class ConnectionBurnerWorker : public BurnerWorkerBase {
public:
    explicit ConnectionBurnerWorker(std::unique_ptr<BurnInfo::BurnContext> context);
    ~ConnectionBurnerWorker() override;

    int Burn() override;
    bool DownloadBootData() override;
    bool DownloadSmallSsb();
};

#endif
