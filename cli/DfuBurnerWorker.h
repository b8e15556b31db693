#ifndef VEXIL_CLI_DFUBURNERWORKER_H
#define VEXIL_CLI_DFUBURNERWORKER_H

#include <memory>

#include "BurnerWorkerBase.h"

namespace DfuBurnerWorkerSp {

// The worker of every chip reached over USB DFU: the chip driver burns the whole package or image.
class DfuBurnerWorker : public BurnerWorkerBase {
public:
    explicit DfuBurnerWorker(std::unique_ptr<BurnInfo::BurnContext> context);
    ~DfuBurnerWorker() override;

    int Burn() override;
    int Read() override;
    int Erase() override;

private:
    bool BurnWordsFit() const;
    void ResetChipWhenAsked();
};

}  // namespace DfuBurnerWorkerSp

#endif
