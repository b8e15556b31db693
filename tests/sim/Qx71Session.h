#ifndef VEXIL_TESTS_SIM_QX71SESSION_H
#define VEXIL_TESTS_SIM_QX71SESSION_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "BurnQx71Chip.h"
#include "FwpkgBuilder.h"
#include "PrintCapture.h"
#include "Qx71Chip.h"
#include "PtyBench.h"
#include "ScratchDir.h"

// What the Qx71-family driver tests share: a pty bench, the library-wide settings of one chip type
// (put back when the session ends), packages in a scratch directory and a device opened through the
// device API with time limits short enough for a test.
namespace Sim {

constexpr int QX71_CHIP_TYPE = 0x30004;
constexpr int KP7715_CHIP_TYPE = 0x30005;

// The driver's limits divided by scale; the receiving side keeps enough time to collect a frame.
BurnQx71ChipSp::BurnQx71Chip::TimeLimits ShortLimits(int scale = 20);

class Qx71Session {
public:
    explicit Qx71Session(int chipType = QX71_CHIP_TYPE);
    ~Qx71Session();
    Qx71Session(const Qx71Session&) = delete;
    Qx71Session& operator=(const Qx71Session&) = delete;

    // Null when the port did not open; the session destroys the device.
    BurnChipBase* Open(unsigned baudRate = 921600);
    // The device on the in-process port of a SimPortSession, with the driver's own time limits: the
    // port's clock is virtual.
    BurnChipBase* OpenSimPort(unsigned baudRate = 921600);
    // A new device on the same port, as the next command of the tool makes it.
    BurnChipBase* Reopen(unsigned baudRate = 921600);
    BurnQx71ChipSp::BurnQx71Chip& Driver();
    std::string WritePackage(const std::vector<PackageImage>& images, const FwpkgOptions& options = {},
                             const std::string& name = "app.fwpkg");

    PrintCapture capture;
    PtyBench bench;
    ScratchDir dir;
    BurnChipBase* handle = nullptr;
};

// A test on an opened device, with a virtual chip of the session's chip type once started.
class Qx71Test : public ::testing::Test {
protected:
    explicit Qx71Test(int chipType = QX71_CHIP_TYPE);
    void SetUp() override;

    Qx71Chip& StartChip(const Qx71Faults& faults = {});
    // The device API's burn of a package made of the images.
    int Burn(const std::vector<PackageImage>& images, const FwpkgOptions& options = {});

    int chipType;
    Qx71Session session;
    std::unique_ptr<Qx71Chip> chip;
};

// A loader and images of several kinds, each at its own burn address.
std::vector<PackageImage> SamplePackageImages();
// A loader and flash images whose names differ in letter case and in what surrounds "app".
std::vector<PackageImage> NamedPackageImages();
// True for the images the chip writes to flash at their burn address.
bool LandsInFlash(const PackageImage& image);
// The chip's flash map once every image that carries a burn address has landed.
std::map<uint32_t, Bytes> ExpectedFlashMap(const std::vector<PackageImage>& images);
// The names of the images joined by ", ", as a report lists them.
std::string JoinedNames(const std::vector<PackageImage>& images);
// The last count messages printed (all of them when fewer came).
std::vector<std::string> LastMessages(const PrintCapture& capture, size_t count);
// The names of the files the chip received, in the order they came.
std::vector<std::string> ImageNames(const std::vector<Qx71Image>& images);

}  // namespace Sim

#endif
