// The DFU worker's USB road through the device API, with the generic DFU driver talking to a virtual
// DFU device in the same process.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "Burn.h"
#include "BurnCommands.h"
#include "BurnContext.h"
#include "BurnerWorkerBase.h"
#include "FwpkgBuilder.h"
#include "TestSupport.h"
#include "ToolInstall.h"
#include "VirtualDfuPort.h"

using BurnInfo::BurnContext;
using namespace Sim;

namespace {

class DfuWorkerTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(install.Ready());
        ASSERT_TRUE(install.AddChip("mcu", "ChipType=0x40001\nSupportedTransports=usb\n"));
        BurnContext::m_isOpenDebug = false;
        BurnerWorkerBase::m_isPrintProgress = false;
    }
    void TearDown() override { SetChipType(0); }

    // "vexil <command> -c mcu -d 1209:7d01 <words>" in-process: the set-up, the worker, one operation.
    int Run(const std::string& command, const std::vector<std::string>& words)
    {
        std::vector<std::string> arguments = {"vexil", command, "-c", "mcu", "-d", "1209:7d01"};
        arguments.insert(arguments.end(), words.begin(), words.end());
        std::vector<char*> argv = Sim::ArgumentPointers(arguments);
        auto context = std::make_unique<BurnContext>();
        context->InitExePath(install.ExeLink().c_str());
        testing::internal::CaptureStdout();
        if (InitBurnParam(static_cast<int>(arguments.size()), argv.data(), context.get()) != 0) {
            output = testing::internal::GetCapturedStdout();
            return -1;
        }
        int chipType = context->GetChipType();
        std::unique_ptr<BurnerWorkerBase> worker = NewBurnerWorker(chipType, std::move(context));
        int result = command == "read" ? worker->Read() : command == "erase" ? worker->Erase() : worker->Burn();
        worker.reset();
        output = testing::internal::GetCapturedStdout();
        return result;
    }

    size_t Count(const std::string& text) const
    {
        size_t count = 0;
        for (size_t at = output.find(text); at != std::string::npos; at = output.find(text, at + 1)) {
            ++count;
        }
        return count;
    }

    ToolInstall install{VEXIL_BUILD_DIR, ToolInstall::Executable::LinkOnly};
    VirtualDfuDevice device;
    VirtualDfuPortMaker portMaker{device};
    std::string output;
};

struct WriteCase : NamedRow {
    DfuFaults faults;
    int status;
    const char* line;
};

class DfuWriteTest : public DfuWorkerTest, public testing::WithParamInterface<WriteCase> {};

// A device that goes away or refuses a block mid-download never gives a success.
TEST_P(DfuWriteTest, BurnsThePlainFileWholeElseEndsWithFourAndAClearLine)
{
    const WriteCase& c = GetParam();
    device = VirtualDfuDevice({}, c.faults);
    std::vector<uint8_t> image = PatternBytes(5000, 7);
    ASSERT_TRUE(WriteBinaryFile(install.Path("app.bin"), image));
    EXPECT_EQ(c.status, Run("write", {"-f", install.Path("app.bin")}));
    EXPECT_EQ(1u, Count(c.line)) << output;
    bool burnt = c.status == 0;
    EXPECT_EQ(burnt ? 1u : 0u, Count("Download completed.\n"));
    EXPECT_EQ(burnt ? 1u : 0u, device.Manifests());
    EXPECT_EQ(burnt ? image : std::vector<uint8_t>(), device.Manifested());
}

INSTANTIATE_TEST_SUITE_P(
    Dfu, DfuWriteTest,
    testing::Values(WriteCase{"Whole", {}, 0, "Download completed.\n"},
                    WriteCase{"LeavesWhileProgramming", LeavesAtBlock(2), 4,
                              "error: Lost contact with the device while it was programming (last "
                              "GETSTATUS=-4).\n"},
                    WriteCase{"StallsABlock", StallAtBlock(2), 4,
                              "error: DFU_DNLOAD transfer failed (device unplugged?).\n"}),
    testing::PrintToStringParamName());

TEST_F(DfuWorkerTest, TransferSizeAboveWhatLinuxTakesIsCappedWithOneNote)
{
    DfuDescription description;
    description.transferSize = 0;
    device = VirtualDfuDevice(description);
    ASSERT_TRUE(WriteBinaryFile(install.Path("app.bin"), PatternBytes(10000, 3)));
    EXPECT_EQ(0, Run("write", {"-f", install.Path("app.bin"), "--transfer-size", "8192"}));
    EXPECT_EQ((std::vector<uint16_t>{4096, 4096, 1808, 0}), device.DnloadLengths());
    EXPECT_EQ(1u, Count("Linux allows")) << output;
}

struct ReadCase : NamedRow {
    bool withOutput;
    bool burnFileIsPackage;
    int result;
    const char* writtenTo;  // "out.bin", "app.bin" or nullptr
    size_t packageCutTo = 0;  // bytes of the package left, when it is cut short
};

class DfuReadTest : public DfuWorkerTest, public testing::WithParamInterface<ReadCase> {};

TEST_P(DfuReadTest, WritesToTheOutputOptionElseTheBurnFileButNeverOverAPackage)
{
    const ReadCase& c = GetParam();
    std::vector<uint8_t> flash = PatternBytes(3000, 9);
    device.Preload(0, flash);
    std::vector<uint8_t> before = c.burnFileIsPackage ? BuildFwpkg({{"app", PatternBytes(100, 1), 0, 100, 18}})
                                                      : std::vector<uint8_t>{1, 2, 3};
    before.resize(c.packageCutTo > 0 ? c.packageCutTo : before.size());
    std::string burnFile = install.Path("app.bin");
    ASSERT_TRUE(WriteBinaryFile(burnFile, before));
    std::vector<std::string> words = {"-f", burnFile};
    if (c.withOutput) {
        words.insert(words.end(), {"-o", install.Path("out.bin")});
    }
    EXPECT_EQ(c.result, Run("read", words)) << output;
    if (c.writtenTo == nullptr) {
        EXPECT_EQ(before, ReadBinaryFile(burnFile));
        EXPECT_TRUE(device.Requests().empty());
        EXPECT_EQ(1u, Count("error: " + burnFile + " is a firmware package")) << output;
        return;
    }
    std::string written = install.Path(c.writtenTo);
    EXPECT_EQ(flash, ReadBinaryFile(written));
    EXPECT_EQ(1u, Count("\nRead " + written + " successfully.\n")) << output;
    if (c.withOutput) {
        EXPECT_EQ(before, ReadBinaryFile(burnFile));
    }
}

INSTANTIATE_TEST_SUITE_P(Dfu, DfuReadTest,
                         testing::Values(ReadCase{"IntoOutput", true, false, 0, "out.bin"},
                                         ReadCase{"IntoOutputBesideAPackage", true, true, 0, "out.bin"},
                                         ReadCase{"IntoTheBurnFile", false, false, 0, "app.bin"},
                                         ReadCase{"NeverOverADamagedPackage", false, true, 1, nullptr, 16},
                                         ReadCase{"NeverOverAPackage", false, true, 1, nullptr}),
                         testing::PrintToStringParamName());

// Each is refused before the device is asked anything.
TEST_F(DfuWorkerTest, WhatTheRoadCannotHonourIsRefusedBeforeTheDevice)
{
    ASSERT_TRUE(install.AddChip("qx71", "ChipType=0x30004\nSupportedTransports=usb\n"));
    ASSERT_TRUE(WriteBinaryFile(install.Path("a.bin"), {1, 2, 3}));
    ASSERT_TRUE(WriteTextFile(install.Path("t.xml"), "<P><A Sel=\"1\" PartitionName=\"a\" FileSystem=\"n\" "
                                                     "FlashType=\"n\" Start=\"0\" Length=\"-\" SelectFile=\"\"/></P>"));
    const std::string table = "is a partition table; a burn over USB DFU does not burn partition tables.\n";
    const std::vector<std::tuple<std::string, std::vector<std::string>, int, std::string>> rows = {
        {"write", {"a.bin", "-a", "0x8004000"}, 1, "-a cannot be used here: a generic USB DFU write has no address.\n"},
        {"read", {"a.bin", "-a", "0x1000"}, 1, "-a cannot be used here: a USB DFU read has no address.\n"},
        {"read", {"a.bin", "-c", "qx71", "-a", "1"}, 1, "-a cannot be used here: a USB DFU read has no address.\n"},
        {"write", {"a.bin", "--only-burn", "a"}, 1, "a generic USB DFU write sends the file whole.\n"},
        {"write", {"t.xml"}, 4, table},
        {"write", {"t.xml", "-c", "qx71"}, 4, table},
        {"erase", {"missing.bin"}, 4, "missing.bin (No such file or directory).\n"},
    };
    for (auto [command, words, status, line] : rows) {
        words.front() = install.Path(words.front());
        words.insert(words.begin(), "-f");
        EXPECT_EQ(status, Run(command, words)) << line;
        EXPECT_EQ(1u, Count(line)) << output;
    }
    EXPECT_TRUE(device.Requests().empty());
}

}  // namespace
