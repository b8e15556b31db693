// The virtual chip and the sample package as programs: a burn through the library into the qx71chip
// program, its report, its flash map file and its exit status.
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Burn.h"
#include "BurnChipBase.h"
#include "Common.h"
#include "FwpkgBuilder.h"
#include "PrintCapture.h"
#include "PtyBench.h"
#include "ProgramRunner.h"
#include "ScratchDir.h"

namespace {

using testing::HasSubstr;

const std::string CHIP_PROGRAM = std::string(VEXIL_BUILD_DIR) + "/qx71chip";
const std::string PACKAGE_PROGRAM = std::string(VEXIL_BUILD_DIR) + "/samplepkg";
const std::vector<unsigned char> RESET_FRAME = {0xEF, 0xBE, 0xAD, 0xDE, 0x0C, 0x00, 0x87, 0x78, 0x00, 0x00, 0x61, 0x94};

class Qx71ChipProgramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        package = dir / "sample.fwpkg";
        ASSERT_EQ(Sim::RunProgram({PACKAGE_PROGRAM, package}).exitCode, 0);
    }

    void TearDown() override
    {
        SetChipType(0);
    }

    // Burns the sample package as the Qx71 worker of the tool does; true when the library says so.
    bool BurnThroughLibrary(const std::string& port, int chipType, bool switchAfterLoader, bool reset)
    {
        SetChipType(chipType);
        BurnChipBase* handle = OpenSerialPort(port.c_str(), 921600, 0, 0);
        if (handle == nullptr) {
            return false;
        }
        handle->SetTargetBaudRate(921600);
        SetSwitchAfterLoader(handle, switchAfterLoader ? 1 : 0);
        bool burnt = DownloadAllinoneBin(handle, package.c_str(), 0) == 1;
        if (burnt && reset) {
            SendBytes(handle, RESET_FRAME.data(), static_cast<int>(RESET_FRAME.size()));
        }
        DestroyDevice(handle);
        return burnt;
    }

    Sim::ScratchDir dir;
    Sim::PrintCapture capture;
    std::string package;
};

TEST_F(Qx71ChipProgramTest, SamplePackageIsAValidPackageWithTheLoaderFirst)
{
    Sim::Bytes bytes = Sim::ReadBinaryFile(package);
    std::vector<Common::FileHead> images;
    std::string version;
    std::string error;
    ASSERT_TRUE(Common::ParseFwpkg(bytes.data(), bytes.size(), images, version, error, true)) << error;
    ASSERT_EQ(images.size(), 3u);
    EXPECT_EQ(images[0].type, 0u);
    EXPECT_STREQ(images[0].fileName, "loader.bin");
    EXPECT_EQ(images[1].burnAddr, 0x00020000u);
}

TEST_F(Qx71ChipProgramTest, ReportsEveryImageOfABurnAndWritesTheFlashMap)
{
    std::string flashMap = dir / "flash.txt";
    Sim::BackgroundProgram chip({CHIP_PROGRAM, "--expect", package, "--flash-map", flashMap});
    std::string port;
    ASSERT_TRUE(chip.ReadLine(port, 10000));
    ASSERT_TRUE(BurnThroughLibrary(port, 0x30004, true, true)) << capture.Text();

    Sim::ProgramResult report = chip.Finish(10000);
    EXPECT_EQ(report.exitCode, 0) << report.output;
    for (const char* line : {"qx71 chip: reset frame received\n", "loader.bin",
                             "loader, run from RAM      12288 bytes  at  115200 baud  matches the package",
                             "0x00020000                98304 bytes  at  921600 baud  matches the package",
                             "burn complete\n"}) {
        EXPECT_THAT(report.output, HasSubstr(line));
    }
    std::string expectedMap = "0x00020000 98304\n0x003f0000 4096\n";
    EXPECT_EQ(Sim::ReadBinaryFile(flashMap), Sim::Bytes(expectedMap.begin(), expectedMap.end()));
}

TEST_F(Qx71ChipProgramTest, ClosingThePortEndsTheServiceOfAKp7715)
{
    Sim::BackgroundProgram chip({CHIP_PROGRAM, "--kp7715", "--expect", package});
    std::string port;
    ASSERT_TRUE(chip.ReadLine(port, 10000));
    ASSERT_TRUE(BurnThroughLibrary(port, 0x30005, false, false)) << capture.Text();
    Sim::ProgramResult report = chip.Finish(10000);
    EXPECT_EQ(report.exitCode, 0) << report.output;
    EXPECT_THAT(report.output, HasSubstr("kp7715 chip: the tool closed the port\n"));
    EXPECT_THAT(report.output, HasSubstr("at  921600 baud  matches the package"));
}

TEST_F(Qx71ChipProgramTest, NoBurnWithinTheTimeLimitIsNotComplete)
{
    Sim::BackgroundProgram chip({CHIP_PROGRAM, "--expect", package, "--time-limit", "1"});
    std::string port;
    ASSERT_TRUE(chip.ReadLine(port, 10000));
    Sim::ProgramResult report = chip.Finish(10000);
    EXPECT_EQ(report.exitCode, 1);
    EXPECT_THAT(report.output, HasSubstr("qx71 chip: time limit reached\n"));
    EXPECT_THAT(report.output, HasSubstr("loader.bin               NOT RECEIVED\n"));
    EXPECT_THAT(report.output, HasSubstr("burn NOT complete\n"));
}

TEST_F(Qx71ChipProgramTest, UnknownOptionGivesTheUsage)
{
    Sim::ProgramResult result = Sim::RunProgram({CHIP_PROGRAM, "--fast"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_THAT(result.output, HasSubstr("usage: qx71chip"));
}

}  // namespace
