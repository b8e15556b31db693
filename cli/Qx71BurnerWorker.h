#ifndef VEXIL_CLI_QX71BURNERWORKER_H
#define VEXIL_CLI_QX71BURNERWORKER_H

#include <cstdint>
#include <string>
#include <vector>

#include "BurnerWorkerBase.h"

namespace Qx71BurnerWorkerSp {

// SEBOOT_RESET, the boot command frame that resets a Qx71-family chip.
constexpr uint32_t RESET_START_FLAG = 0xDEADBEEF;
constexpr uint16_t RESET_PACKET_SIZE = 12;
constexpr uint8_t RESET_FRAME_TYPE = 0x87;
constexpr uint8_t RESET_FRAME_TYPE_REVERSE = 0x78;
std::vector<unsigned char> BuildSebootReset();

// Where a read puts the flash contents: the -o path, else "<package name>_read.bin" beside the package.
std::string ReadOutputPath(const std::string& package, const std::string& output);

// The worker of the Qx71 family over a serial port: the chip driver burns the whole package.
class Qx71BurnerWorker : public BurnerWorkerBase {
public:
    explicit Qx71BurnerWorker(std::unique_ptr<BurnInfo::BurnContext> context);
    ~Qx71BurnerWorker() override;

    int Burn() override;
    int Read() override;
    int Erase() override;

private:
    void HandBurnSettingsToDriver();
    void ResetChipWhenAsked();
    // SUCCESS, else the status of the refusal: loaderOrderStatus when the loader is out of place.
    int RoadRefusal(bool loaderAlone, int loaderOrderStatus) const;
    std::string RoadText(const std::string& command) const;
    bool ReadArgumentsValid() const;
    bool OutputIsNotThePackage(const PendingOutput& output) const;

    std::vector<std::string> onlyBurnNames;
};

}  // namespace Qx71BurnerWorkerSp

#endif
