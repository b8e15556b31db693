#include "Kp7715BurnerWorker.h"

namespace Kp7715BurnerWorkerSp {

Kp7715BurnerWorker::Kp7715BurnerWorker(std::unique_ptr<BurnInfo::BurnContext> context)
    : Qx71BurnerWorker(std::move(context))
{
}

Kp7715BurnerWorker::~Kp7715BurnerWorker() = default;

}  // namespace Kp7715BurnerWorkerSp
