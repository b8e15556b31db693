#ifndef VEXIL_CLI_KP7715BURNERWORKER_H
#define VEXIL_CLI_KP7715BURNERWORKER_H

#include "Qx71BurnerWorker.h"

namespace Kp7715BurnerWorkerSp {

// A Kp7715 chip is served exactly as a Qx71 chip; what differs lives in its chip driver.
class Kp7715BurnerWorker : public Qx71BurnerWorkerSp::Qx71BurnerWorker {
public:
    explicit Kp7715BurnerWorker(std::unique_ptr<BurnInfo::BurnContext> context);
    ~Kp7715BurnerWorker() override;
};

}  // namespace Kp7715BurnerWorkerSp

#endif
