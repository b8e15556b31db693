// What a user sees when the serial port or the chip behind it misbehaves: a port another program
// holds, a node that is no serial port, a chip that goes away or stops reading. The tool ends
// quickly with a failure status and says why; it never hangs.
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "FwpkgBuilder.h"
#include "Qx71Chip.h"
#include "Qx71Session.h"
#include "SerportTransport.h"
#include "ToolChipBench.h"

namespace {

using testing::ContainsRegex;
using testing::HasSubstr;
using testing::Not;
using Sim::NowMs;
using Sim::ProgramResult;
using Sim::Qx71Chip;
using Sim::Qx71Faults;

constexpr int OPEN_FAILED = 3;
constexpr int WRITE_FAILED = 4;

class SerialSafetyTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(tool.Ready()); }

    ProgramResult Write(Sim::ProgramOptions options = {})
    {
        std::string package = tool.WritePackage(Sim::SamplePackageImages());
        long long start = NowMs();
        ProgramResult result = tool.Run("write", {"-f", package}, options);
        tookMs = NowMs() - start;
        return result;
    }

    Sim::ToolChipBench tool{VEXIL_BUILD_DIR, "qx71"};
    long long tookMs = 0;
};

TEST_F(SerialSafetyTest, PortHeldByAnotherProgramIsRefusedAtOnceWithThree)
{
    Qx71Chip& chip = tool.StartChip();
    SerportTransport holder;
    ASSERT_TRUE(holder.Open(Sim::PortAttr(tool.bench.PortPath())));
    ProgramResult result = Write();
    EXPECT_EQ(result.exitCode, OPEN_FAILED);
    EXPECT_THAT(result.output, HasSubstr("Serial port " + tool.bench.PortPath() + " is busy.\n"));
    EXPECT_LT(tookMs, 5000);
    EXPECT_TRUE(chip.Wire().empty());
}

TEST_F(SerialSafetyTest, NodeThatIsNoSerialPortIsRefusedWithThree)
{
    std::string package = tool.WritePackage(Sim::SamplePackageImages());
    ProgramResult result = tool.install.Run({"write", "-c", "qx71", "-p", "/dev/zero", "-f", package});
    EXPECT_EQ(result.exitCode, OPEN_FAILED);
    EXPECT_THAT(result.output, HasSubstr("/dev/zero is not a serial port.\n"));
}

TEST_F(SerialSafetyTest, ChipThatGoesAwayInTheMiddleOfAnImageFailsTheBurnAtOnce)
{
    Qx71Faults faults;
    faults.goneAfterBytes = 5000;
    tool.StartChip(faults);
    ProgramResult result = Write();
    EXPECT_EQ(result.exitCode, WRITE_FAILED);
    // The loss shows in the write of a frame or in the wait for its ack, whichever comes first.
    EXPECT_THAT(result.output, ContainsRegex("The device has disconnected\\.\n(Send data frame failed\\.\n)?"
                                             "Send ymodem data frame failed\\.\n"));
    EXPECT_THAT(result.output, Not(HasSubstr("successfully.\n\nWrite successfully")));
    EXPECT_LT(tookMs, 5000) << "no wait runs out its limit once the device has gone";
}

// The chip reads nothing: the handshake frames fill the line until writes are no longer taken.
// The handshake still gives up after its 60 s instead of blocking in a write for ever or past its limit.
TEST_F(SerialSafetyTest, ChipThatStopsReadingDoesNotHangTheTool)
{
    Qx71Faults faults;
    faults.stopReadingAfterBytes = 0;
    tool.StartChip(faults);
    Sim::ProgramOptions options;
    options.timeoutMs = 120000;
    ProgramResult result = Write(options);
    EXPECT_EQ(result.exitCode, WRITE_FAILED);
    EXPECT_THAT(result.output, HasSubstr("Shakehand failed, The board does not respond.\n"));
    EXPECT_LT(tookMs, 64000) << "a send that is not taken ends with the handshake's own limit";
}

}  // namespace
