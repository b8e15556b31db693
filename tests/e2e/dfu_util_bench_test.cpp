// The virtual DFU device against a DFU host it was not written with: Debian's dfu-util, through the
// real libusb under umockdev, downloads into it and uploads from it byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FwpkgBuilder.h"
#include "ScratchDir.h"
#include "UsbBench.h"

namespace {

struct TransferCase {
    size_t size;
    const char* transferSize;
};

void PrintTo(const TransferCase& row, std::ostream* out)
{
    *out << row.size << "_in_" << row.transferSize;
}

class DfuUtilBench : public ::testing::TestWithParam<TransferCase> {
protected:
    Sim::ProgramResult RunDfuUtil(const std::vector<std::string>& benchOptions, const std::vector<std::string>& words)
    {
        std::vector<std::string> options = {"--dfu", "1209:7d01", "--transfer-size", GetParam().transferSize};
        options.insert(options.end(), benchOptions.begin(), benchOptions.end());
        std::vector<std::string> command = {"dfu-util"};
        command.insert(command.end(), words.begin(), words.end());
        return Sim::RunUnderUsbBench(VEXIL_BUILD_DIR, options, command);
    }

    Sim::ScratchDir dir;
};

TEST_P(DfuUtilBench, DownloadArrivesWhole)
{
    std::vector<uint8_t> image = Sim::PatternBytes(GetParam().size, 11);
    ASSERT_TRUE(Sim::WriteBinaryFile(dir / "app.bin", image));
    Sim::ProgramResult result = RunDfuUtil({"--save-download", dir / "arrived.bin"}, {"-D", dir / "app.bin"});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("Download done."), std::string::npos) << result.output;
    EXPECT_EQ(Sim::ReadBinaryFile(dir / "arrived.bin"), image);
}

TEST_P(DfuUtilBench, UploadGivesBackTheFlash)
{
    std::vector<uint8_t> flash = Sim::PatternBytes(GetParam().size, 12);
    ASSERT_TRUE(Sim::WriteBinaryFile(dir / "flash.bin", flash));
    Sim::ProgramResult result = RunDfuUtil({"--flash", dir / "flash.bin"}, {"-U", dir / "read.bin"});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(Sim::ReadBinaryFile(dir / "read.bin"), flash);
}

// A last block cut short, and an image of whole blocks that ends with a zero-length upload block.
INSTANTIATE_TEST_SUITE_P(Sizes, DfuUtilBench,
                         ::testing::Values(TransferCase{5000, "1024"}, TransferCase{8192, "4096"}),
                         [](const ::testing::TestParamInfo<TransferCase>& info) {
                             return std::to_string(info.param.size) + "_in_" + info.param.transferSize;
                         });

}  // namespace
