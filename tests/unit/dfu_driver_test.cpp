#include <gtest/gtest.h>

#include <chrono>
#include <iterator>
#include <memory>

#include "Burn.h"
#include "FwpkgBuilder.h"
#include "BurnDfuChip.h"
#include "PrintCapture.h"
#include "ProgramRunner.h"
#include "ScratchDir.h"
#include "TestSupport.h"
#include "VirtualDfuPort.h"

using namespace Sim;

namespace {

constexpr uint32_t GENERIC_CHIP_TYPE = 0x40001;

// A suffix made by hand: ids, bLength and a CRC that is right unless told otherwise.
std::vector<uint8_t> WithSuffix(std::vector<uint8_t> data, uint16_t vid, uint16_t pid, uint8_t length = 16,
                                bool rightCrc = true)
{
    data.insert(data.end(), length - 16, 0xAB);
    const uint8_t tail[] = {0x00, 0x01, static_cast<uint8_t>(pid), static_cast<uint8_t>(pid >> 8),
                            static_cast<uint8_t>(vid), static_cast<uint8_t>(vid >> 8), 0x00, 0x01, 'U', 'F', 'D',
                            length};
    data.insert(data.end(), std::begin(tail), std::end(tail));
    uint32_t crc = Dfu::DfuCrc32(data.data(), data.size()) ^ (rightCrc ? 0 : 1);
    for (int i = 0; i < 4; ++i) {
        data.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    }
    return data;
}

// The device API over a virtual DFU device: the generic DFU driver gets the virtual port.
class DfuDriverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetChipType(GENERIC_CHIP_TYPE);
    }
    void TearDown() override
    {
        DestroyDevice(handle);
        SetChipType(0);
    }

    void Open()
    {
        DfuDescription description = device.Description();
        handle = OpenUsbDfuDevice(description.vendorId, description.productId, "");
        ASSERT_NE(handle, nullptr);
    }

    // The driver under the device API, its pause before a reopen set.
    BurnDfuChip* Chip(int reopenPauseMs)
    {
        auto* chip = static_cast<BurnDfuChip*>(handle);
        BurnDfuChip::TimeLimits limits;
        limits.reopenPauseMs = reopenPauseMs;
        chip->SetTimeLimits(limits);
        return chip;
    }

    int Burn(const std::vector<uint8_t>& file)
    {
        WriteBinaryFile(dir / "app.bin", file);
        return DownloadAllinoneBin(handle, (dir / "app.bin").c_str(), 0);
    }

    PrintCapture capture;
    VirtualDfuDevice device;
    VirtualDfuPortMaker portMaker{device};
    BurnChipBase* handle = nullptr;
    ScratchDir dir;
};

TEST(DfuSuffix, CrcIsTheSuffixVariant)
{
    const unsigned char check[] = "123456789";
    EXPECT_EQ(0x340BC6D9u, Dfu::DfuCrc32(check, 9));
    EXPECT_EQ(0xFFFFFFFFu, Dfu::DfuCrc32(check, 0));
}

TEST(DfuSuffix, NeverReadsOutsideTheBufferWhateverBLengthSays)
{
    for (unsigned length = 0; length < 256; ++length) {
        std::vector<uint8_t> file = WithSuffix({1, 2, 3}, 0xFFFF, 0xFFFF);
        file[file.size() - 5] = static_cast<uint8_t>(length);
        // Exactly sized copy, so that a sanitizer sees any read past either end.
        std::unique_ptr<unsigned char[]> exact(new unsigned char[file.size()]);
        std::copy(file.begin(), file.end(), exact.get());
        Dfu::DfuSuffixInfo info;
        bool found = Dfu::ParseDfuSuffix(exact.get(), file.size(), info);
        EXPECT_EQ(length >= 16 && length <= file.size(), found) << length;
        EXPECT_EQ(found ? length : 0u, info.length);
    }
}

struct BurnCase : NamedRow {
    std::vector<uint8_t> file;
    size_t payload;       // bytes of the file that must arrive
    const char* line;     // printed once
    int result;
};

class DfuBurnTest : public DfuDriverTest, public ::testing::WithParamInterface<BurnCase> {};

TEST_P(DfuBurnTest, SendsThePayloadOrRefuses)
{
    const BurnCase& c = GetParam();
    Open();
    EXPECT_EQ(c.result, Burn(c.file));
    EXPECT_EQ(1u, capture.Count(c.line)) << capture.Text();
    if (c.result == 1) {
        EXPECT_EQ(std::vector<uint8_t>(c.file.begin(), c.file.begin() + static_cast<long>(c.payload)),
                  device.Manifested());
        EXPECT_EQ(1u, capture.Count("Download completed.\n"));
    } else {
        EXPECT_TRUE(device.RequestsOf(DfuRequest::DNLOAD).empty());
    }
}

const char* const NO_SUFFIX = "Warning: the burn file has no DFU suffix, sending it as-is.\n";
const char* const STRIPPED = "Valid DFU suffix found, stripping it before the download.\n";

std::vector<uint8_t> ClaimsSuffixLongerThanFile()
{
    std::vector<uint8_t> file = WithSuffix(PatternBytes(4, 1), 0xFFFF, 0xFFFF);
    file[file.size() - 5] = 40;
    return file;
}

INSTANTIATE_TEST_SUITE_P(
    Dfu, DfuBurnTest,
    ::testing::Values(
        BurnCase{"PlainFile", PatternBytes(3000, 1), 3000, NO_SUFFIX, 1},
        BurnCase{"TinyFile", PatternBytes(15, 1), 15, NO_SUFFIX, 1},
        BurnCase{"SuffixLongerThanFile", ClaimsSuffixLongerThanFile(), 20, NO_SUFFIX, 1},
        BurnCase{"AnyDeviceSuffix", WithSuffix(PatternBytes(2000, 1), 0xFFFF, 0xFFFF), 2000, STRIPPED, 1},
        BurnCase{"LongSuffix", WithSuffix(PatternBytes(100, 1), 0xFFFF, 0xFFFF, 20), 100, STRIPPED, 1},
        BurnCase{"ForeignSuffix", WithSuffix(PatternBytes(100, 1), 0x0483, 0xdf11), 0,
                 "error: The burn file is for [0483:df11] but the device is [1209:7d01].\n", 0},
        BurnCase{"WrongCrc", WithSuffix(PatternBytes(100, 1), 0xFFFF, 0xFFFF, 16, false), 0,
                 "error: The DFU suffix CRC of the burn file does not match: file corrupted?\n", 0},
        BurnCase{"SuffixOnly", WithSuffix({}, 0xFFFF, 0xFFFF), 0, "error: The burn file contains no payload.\n", 0}),
    ::testing::PrintToStringParamName());

// Files given a suffix by dfu-util's own dfu-suffix tool.
struct ToolCase : NamedRow {
    size_t payload;
    const char* ids;       // vid:pid handed to dfu-suffix
    bool corrupt;          // a payload byte flipped after the suffix was added
    const char* line;
    int result;
};

class DfuSuffixToolTest : public DfuDriverTest, public ::testing::WithParamInterface<ToolCase> {};

TEST_P(DfuSuffixToolTest, FilesFromDfuSuffixBurnAsTheirSuffixSays)
{
    const ToolCase& c = GetParam();
    if (RunProgram({"/bin/sh", "-c", "command -v dfu-suffix"}).exitCode != 0) {
        GTEST_SKIP() << "dfu-suffix (Debian package dfu-util) is not installed";
    }
    Open();
    std::vector<uint8_t> payload = PatternBytes(c.payload, 1);
    std::string path = dir / "app.bin";
    WriteBinaryFile(path, payload);
    std::string ids = c.ids;
    ProgramResult added = RunProgram({"/usr/bin/env", "dfu-suffix", "-a", path, "-v", ids.substr(0, 4), "-p", ids.substr(5)});
    ASSERT_EQ(0, added.exitCode) << added.output;
    std::vector<uint8_t> file = ReadBinaryFile(path);
    ASSERT_EQ(c.payload + 16, file.size());
    if (c.corrupt) {
        file[0] ^= 0x01;
    }
    EXPECT_EQ(c.result, Burn(file));
    EXPECT_EQ(1u, capture.Count(c.line)) << capture.Text();
    if (c.result == 1) {
        EXPECT_EQ(payload, device.Manifested());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Dfu, DfuSuffixToolTest,
    ::testing::Values(
        ToolCase{"ForThisDevice", 5000, "1209:7d01", false, STRIPPED, 1},
        ToolCase{"ForeignIds", 5000, "0483:df11", false,
                 "error: The burn file is for [0483:df11] but the device is [1209:7d01].\n", 0},
        ToolCase{"WrongCrc", 5000, "1209:7d01", true,
                 "error: The DFU suffix CRC of the burn file does not match: file corrupted?\n", 0},
        ToolCase{"SuffixOnly", 0, "1209:7d01", false, "error: The burn file contains no payload.\n", 0}),
    ::testing::PrintToStringParamName());

TEST_F(DfuDriverTest, ReadsTheFlashBackAndRefusesToErase)
{
    std::vector<uint8_t> flash = PatternBytes(2500, 1);
    device.Preload(0, flash);
    Open();
    std::string out = dir / "read.bin";
    EXPECT_EQ(1, UploadFile(handle, 0, 0, out.c_str()));
    EXPECT_EQ(flash, ReadBinaryFile(out));
    size_t requests = device.Requests().size();
    EXPECT_EQ(0, EraseAllFlash(handle, nullptr));
    EXPECT_EQ(0, EraseFlash(handle, 0, 4096));
    EXPECT_EQ(2u, capture.Count("error: erase is not supported over generic USB DFU.\n"));
    EXPECT_EQ(requests, device.Requests().size());
}

TEST_F(DfuDriverTest, TransferSizeOutsideSixteenBitsIsIgnoredAndSurvivesAReopen)
{
    DfuDescription description;
    description.transferSize = 0;
    device = VirtualDfuDevice(description);
    Open();
    SetDfuTransferSize(handle, 70000);  // would be cut to 4464 on the wire
    SetDfuTransferSize(handle, 0);
    SetDfuTransferSize(handle, 512);
    SetDfuTransferSize(handle, 65536);
    ASSERT_TRUE(Chip(0)->ReopenUsbDfu());
    EXPECT_EQ(1, Burn(PatternBytes(1200, 1)));
    EXPECT_EQ((std::vector<uint16_t>{512, 512, 176, 0}), device.DnloadLengths());
}

TEST_F(DfuDriverTest, ResetIsAUsbResetAndAClosedDeviceIsReported)
{
    Open();
    EXPECT_EQ(1, Reset(handle));
    EXPECT_EQ(1u, capture.Count("Resetting the USB device.\n"));
    device.Unplug();
    EXPECT_FALSE(Chip(0)->ReopenUsbDfu());
    EXPECT_EQ(0, Burn(PatternBytes(10, 1)));
    EXPECT_EQ(1u, capture.Count("error: DFU device is not open.\n"));
}

TEST_F(DfuDriverTest, CancelCutsThePauseBeforeAReopenShort)
{
    Open();
    BurnDfuChip* chip = Chip(60000);
    Cancel(handle);
    auto start = std::chrono::steady_clock::now();
    (void)chip->ReopenUsbDfu();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

}  // namespace
