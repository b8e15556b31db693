// The Qx71-family driver burning, erasing and reading the virtual chip through the device API.
#include <algorithm>
#include <map>
#include <set>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Burn.h"
#include "Qx71Chip.h"
#include "Qx71Session.h"
#include "Qx71Wire.h"
#include "TestSupport.h"

namespace {

using Sim::Bytes;
using Sim::PackageImage;
using Sim::Qx71Chip;
using Sim::Qx71Faults;
using Sim::Qx71Image;

constexpr uint32_t LOADER = 0;
constexpr uint32_t NEVER_SENT = 16;

using Sim::ImageNames;

class Qx71BurnTest : public Sim::Qx71Test {};

// ---- Whole packages ----

struct PackageCase : Sim::NamedRow {
    Sim::FwpkgLayout layout;
    unsigned packetSize;
};

class Qx71PackageTest : public Qx71BurnTest, public ::testing::WithParamInterface<PackageCase> {};

TEST_P(Qx71PackageTest, EveryImageLandsAtItsBurnAddressInFramesOfThePacketSize)
{
    Qx71Chip& chip = StartChip();
    SetPacketSize(GetParam().packetSize);
    std::vector<PackageImage> images = Sim::SamplePackageImages();
    images.push_back({"never.bin", Bytes(100, 0x77), 0x200000, 0x1000, NEVER_SENT});
    Sim::FwpkgOptions options;
    options.layout = GetParam().layout;
    options.version = "v1.0";
    ASSERT_EQ(Burn(images, options), 1);

    EXPECT_EQ(chip.FlashMap(), Sim::ExpectedFlashMap(images));
    std::vector<Qx71Image> received = chip.Images();
    EXPECT_EQ(ImageNames(received), (std::vector<std::string>{"loader.bin", "app.bin", "nv.bin", "factory.bin", "otp.bin",
                                                         "version.bin", "data.bin"}));
    for (size_t i = 0; i < received.size(); ++i) {
        SCOPED_TRACE(received[i].name);
        EXPECT_TRUE(received[i].complete);
        EXPECT_EQ(received[i].data, images[i].data);
        size_t expectedSize = images[i].type == LOADER ? 1024 : GetParam().packetSize;
        EXPECT_EQ(received[i].frameSizes, std::set<size_t>{expectedSize});
        EXPECT_EQ(session.capture.Count("downloaded: " + received[i].name + " successfully.\n"), 1u);
    }
    EXPECT_EQ(chip.GarbledBytes(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Layouts, Qx71PackageTest,
                         ::testing::Values(PackageCase{"Compact1024", Sim::FwpkgLayout::Compact, 1024},
                                           PackageCase{"Compact2048", Sim::FwpkgLayout::Compact, 2048},
                                           PackageCase{"Extended4096", Sim::FwpkgLayout::Extended, 4096},
                                           PackageCase{"Extended8192", Sim::FwpkgLayout::Extended, 8192}),
                         ::testing::PrintToStringParamName());

TEST_F(Qx71BurnTest, WithoutSwitchAfterLoaderEveryImageGoesAtThePortRate)
{
    Qx71Chip& chip = StartChip();
    ASSERT_EQ(Burn(Sim::SamplePackageImages()), 1);
    for (const Qx71Image& image : chip.Images()) {
        EXPECT_EQ(image.baudRate, 921600u) << image.name;
    }
    EXPECT_TRUE(std::none_of(chip.CommandFrames().begin(), chip.CommandFrames().end(),
                             [](const Sim::Qx71CommandFrame& frame) {
                                 return Sim::Qx71Command(frame.bytes) == Sim::QX71_SWITCH_BAUD;
                             }));
}

TEST_F(Qx71BurnTest, SwitchAfterLoaderMovesTheRateOnlyAfterTheLoader)
{
    Qx71Chip& chip = StartChip();
    SetSwitchAfterLoader(session.handle, 1);
    session.handle->SetTargetBaudRate(921600);
    ASSERT_EQ(Burn(Sim::SamplePackageImages()), 1);
    std::vector<Qx71Image> images = chip.Images();
    ASSERT_EQ(images.size(), 7u);
    EXPECT_EQ(images[0].baudRate, 115200u);
    for (size_t i = 1; i < images.size(); ++i) {
        EXPECT_EQ(images[i].baudRate, 921600u) << images[i].name;
    }
    EXPECT_EQ(session.bench.LineBaudRate(), 921600u);
    EXPECT_EQ(chip.GarbledBytes(), 0u);
    EXPECT_EQ(chip.FlashMap(), Sim::ExpectedFlashMap(Sim::SamplePackageImages()));
}

TEST_F(Qx71BurnTest, OnlyBurnNamesPickImagesByCaseSensitiveSubstring)
{
    Qx71Chip& chip = StartChip();
    SetSwitchAfterLoader(session.handle, 1);
    session.handle->SetTargetBaudRate(921600);
    session.handle->SetOnlyBurnNames({"app"});
    // App.bin, left out, is another build for the flash of app.bin.
    std::vector<Sim::PackageImage> images = Sim::NamedPackageImages();
    images[3].burnAddr = images[1].burnAddr;
    ASSERT_EQ(Burn(images), 1);
    EXPECT_EQ(ImageNames(chip.Images()), (std::vector<std::string>{"app.bin", "myapp_b.bin"}));
    // Without the loader there is no switch: everything goes at the handshake's 115200.
    for (const Qx71Image& image : chip.Images()) {
        EXPECT_EQ(image.baudRate, 115200u) << image.name;
    }
    EXPECT_EQ(chip.Commands().size(), 2u);
    EXPECT_EQ(session.handle->GetOnlyBurnNames(), std::vector<std::string>{"app"});
}

TEST_F(Qx71BurnTest, OnlyBurnLoaderEndsAfterTheFirstImageWithoutABaudSwitch)
{
    Qx71Chip& chip = StartChip();
    SetIsOnlyBurnLoader(1);
    SetSwitchAfterLoader(session.handle, 1);
    session.handle->SetTargetBaudRate(921600);
    ASSERT_EQ(Burn(Sim::SamplePackageImages()), 1);
    EXPECT_EQ(ImageNames(chip.Images()), std::vector<std::string>{"loader.bin"});
    EXPECT_TRUE(chip.Commands().empty());
    EXPECT_EQ(session.bench.LineBaudRate(), 115200u);
}

// ---- Acks after an image ----

TEST_F(Qx71BurnTest, NegativeAckAfterAnImageFailsTheBurn)
{
    Qx71Faults faults;
    faults.refusedImage = 1;
    Qx71Chip& chip = StartChip(faults);
    EXPECT_EQ(Burn(Sim::SamplePackageImages()), 0);
    EXPECT_EQ(ImageNames(chip.Images()), (std::vector<std::string>{"loader.bin", "app.bin"}));
    EXPECT_EQ(Sim::LastMessages(session.capture, 2),
              (std::vector<std::string>{"CheckAckFrame: ack result error: 165\n",
                                        "Download: app.bin failed, the board refused it.\n"}));
    EXPECT_EQ(session.capture.Count("downloaded: app.bin successfully.\n"), 0u);
}

TEST_F(Qx71BurnTest, MissingAckAfterAnImageIsReportedTheBurnGoesOnAndFailsAtTheEnd)
{
    BurnQx71ChipSp::BurnQx71Chip::TimeLimits limits = Sim::ShortLimits();
    limits.imageAckMs = 150;
    session.Driver().SetTimeLimits(limits);
    Qx71Faults faults;
    faults.noImageAck = true;
    Qx71Chip& chip = StartChip(faults);
    std::vector<PackageImage> images = Sim::NamedPackageImages();
    ASSERT_EQ(Burn(images), 0);
    EXPECT_EQ(chip.Images().size(), images.size());
    EXPECT_EQ(session.capture.Count("Ack receiving timeout.\n"), images.size());
    EXPECT_EQ(session.capture.Count("downloaded: loader.bin successfully.\n"), 0u);
    EXPECT_EQ(session.capture.Messages().back(),
              "The board never confirmed writing: " + Sim::JoinedNames(images) + ".\n");
}

TEST_F(Qx71BurnTest, CancelWhileWaitingForTheAckOfAnImageEndsTheBurn)
{
    Qx71Faults faults;
    faults.noImageAck = true;
    Qx71Chip& chip = StartChip(faults);
    std::thread canceller([this, &chip]() {
        chip.WaitUntil([](const Qx71Chip& served) { return !served.Images().empty(); }, 5000);
        Sim::PtyBench::Delay(100);  // the driver waits for the ack by now
        Cancel(session.handle);
    });
    long long start = Common::GetTime();
    EXPECT_EQ(Burn(Sim::NamedPackageImages()), 0);
    canceller.join();
    EXPECT_LT(Common::GetTime() - start, Sim::ShortLimits().imageAckMs);
    EXPECT_EQ(ImageNames(chip.Images()), std::vector<std::string>{"loader.bin"});
    EXPECT_EQ(Sim::LastMessages(session.capture, 2),
              (std::vector<std::string>{"\nUser Cancelled!\n", "Download: loader.bin failed.\n"}));
}

// ---- Packages that cannot be burnt ----

TEST_F(Qx71BurnTest, ImageRunningPastTheEndOfThePackageFailsBeforeAnyOfItIsSent)
{
    Qx71Chip& chip = StartChip();
    std::vector<PackageImage> images = Sim::NamedPackageImages();
    std::string package = session.WritePackage(images);
    Bytes bytes = Sim::ReadBinaryFile(package);
    bytes.resize(bytes.size() - 1);
    ASSERT_TRUE(Sim::WriteBinaryFile(package, bytes));
    EXPECT_EQ(DownloadAllinoneBin(session.handle, package.c_str(), 0), 0);

    EXPECT_TRUE(chip.Wire().empty()) << "the whole package is checked before the handshake";
    std::string expected = "Image App.bin runs past the end of the package (offset " +
                           std::to_string(bytes.size() + 1 - 400) + ", length 400, package " +
                           std::to_string(bytes.size()) + " bytes).\n";
    EXPECT_EQ(session.capture.Messages(),
              (std::vector<std::string>{expected, "File: " + package + " format error!\n"}));
}

TEST_F(Qx71BurnTest, OffsetThatWrapsAroundIsCaughtToo)
{
    Qx71Chip& chip = StartChip();
    Bytes bytes = Sim::BuildFwpkg(Sim::NamedPackageImages());
    // The second entry's offset, with the header CRC made to match again.
    size_t offsetAt = 12 + 52 + 32;
    bytes[offsetAt] = 0x00;
    bytes[offsetAt + 1] = 0xFF;
    bytes[offsetAt + 2] = 0xFF;
    bytes[offsetAt + 3] = 0xFF;
    uint16_t crc = Sim::Crc16Xmodem(bytes.data() + 6, 12 + 52 * 4 - 6);
    bytes[4] = static_cast<uint8_t>(crc);
    bytes[5] = static_cast<uint8_t>(crc >> 8);
    std::string package = session.dir / "wrap.fwpkg";
    ASSERT_TRUE(Sim::WriteBinaryFile(package, bytes));
    EXPECT_EQ(DownloadAllinoneBin(session.handle, package.c_str(), 0), 0);
    EXPECT_TRUE(chip.Wire().empty());
    EXPECT_EQ(session.capture.Messages().front().find("Image app.bin runs past the end of the package (offset 4294967040"),
              0u);
}

TEST_F(Qx71BurnTest, PackageWithABadHeaderIsRefusedBeforeAnythingIsSent)
{
    Sim::FwpkgOptions options;
    options.corruptCrc = true;
    std::string package = session.WritePackage(Sim::NamedPackageImages(), options);
    EXPECT_EQ(DownloadAllinoneBin(session.handle, package.c_str(), 0), 0);
    EXPECT_EQ(session.capture.Messages(),
              (std::vector<std::string>{"fwpkg crc mismatch\n", "File: " + package + " format error!\n"}));
    EXPECT_TRUE(session.bench.ReadFor(50).empty());
}

TEST_F(Qx71BurnTest, MissingPackageIsReported)
{
    std::string package = session.dir / "missing.fwpkg";
    EXPECT_EQ(DownloadAllinoneBin(session.handle, package.c_str(), 0), 0);
    EXPECT_EQ(session.capture.Messages().back(), "Get file content failed: " + package + "\n");
    EXPECT_TRUE(session.bench.ReadFor(50).empty());
}

// ---- A line that loses or garbles bytes ----

TEST_F(Qx71BurnTest, FramesAskedForAgainOrDamagedOnTheLineStillLandWhole)
{
    Qx71Faults faults;
    faults.askAgainFrame = 2;
    faults.damagedFrame = 5;
    Qx71Chip& chip = StartChip(faults);
    ASSERT_EQ(Burn(Sim::SamplePackageImages()), 1);
    EXPECT_EQ(chip.FlashMap(), Sim::ExpectedFlashMap(Sim::SamplePackageImages()));
    for (const Qx71Image& image : chip.Images()) {
        EXPECT_TRUE(image.complete) << image.name;
    }
}

// ---- Erase and read through the device API ----

class Kp7715BurnTest : public Sim::Qx71Test {
protected:
    Kp7715BurnTest() : Qx71Test(Sim::KP7715_CHIP_TYPE) {}
};

TEST_F(Kp7715BurnTest, PackageEraseAndReadOnAKp7715)
{
    Qx71Chip& chip = StartChip();
    std::vector<PackageImage> images = Sim::SamplePackageImages();
    ASSERT_EQ(Burn(images), 1);
    EXPECT_EQ(chip.FlashMap(), Sim::ExpectedFlashMap(images));

    chip.PowerCycle();
    ASSERT_NE(session.Reopen(), nullptr);
    SetIsOnlyBurnLoader(1);
    std::string package = session.WritePackage(images);
    ASSERT_EQ(DownloadAllinoneBin(session.handle, package.c_str(), 0), 1);
    std::string out = session.dir / "flash.bin";
    ASSERT_EQ(UploadFile(session.handle, 0x10000, 12000, out.c_str()), 1);
    EXPECT_EQ(Sim::ReadBinaryFile(out), chip.ReadFlash(0x10000, 12000));

    ASSERT_EQ(EraseAllFlash(session.handle, nullptr), 1);
    EXPECT_TRUE(chip.FlashMap().empty());
}

TEST_F(Qx71BurnTest, EraseWhoseLoaderCannotBeBurntSendsNoEraseFrame)
{
    Qx71Chip& chip = StartChip();
    chip.Preload(0x10000, Bytes(10, 1));
    SetIsOnlyBurnLoader(1);
    Sim::FwpkgOptions options;
    options.corruptCrc = true;
    std::string package = session.WritePackage(Sim::NamedPackageImages(), options);
    EXPECT_EQ(EraseAllFlash(session.handle, package.c_str()), 0);
    EXPECT_EQ(session.capture.Messages(),
              (std::vector<std::string>{"fwpkg crc mismatch\n", "File: " + package + " format error!\n"}));
    // The first image a read or an erase sends would be written to the flash unless it is the loader.
    std::vector<PackageImage> appFirst = Sim::NamedPackageImages();
    std::swap(appFirst[0], appFirst[1]);
    std::string reordered = session.WritePackage(appFirst, {}, "reordered.fwpkg");
    EXPECT_EQ(EraseAllFlash(session.handle, reordered.c_str()), 0);
    EXPECT_EQ(DownloadAllinoneBin(session.handle, reordered.c_str(), 0), 0);
    EXPECT_EQ(session.capture.Count("error: The first image of " + reordered + " that is sent is no loader; a read or "
                                    "an erase sends nothing but the loader.\n"), 2u);
    EXPECT_TRUE(chip.Wire().empty());
    EXPECT_EQ(chip.FlashMap().size(), 1u);
}

TEST_F(Qx71BurnTest, ReadGetsAFrameTheLineDamagedAgain)
{
    Qx71Faults faults;
    faults.corruptUploadFrame = 1;
    Qx71Chip& chip = StartChip(faults);
    Bytes flash = Sim::PatternBytes(5000, 12);
    chip.Preload(0x20000, flash);
    SetIsOnlyBurnLoader(1);
    ASSERT_EQ(Burn(Sim::NamedPackageImages()), 1);
    std::string out = session.dir / "flash.bin";
    ASSERT_EQ(UploadFile(session.handle, 0x20000, 5000, out.c_str()), 1);
    EXPECT_EQ(Sim::ReadBinaryFile(out), flash);
}

TEST_F(Qx71BurnTest, ReadOfNoBytesIsRefusedBeforeTheChipIsAsked)
{
    Qx71Chip& chip = StartChip();
    std::string out = session.dir / "flash.bin";
    EXPECT_EQ(UploadFile(session.handle, 0, 0, out.c_str()), 0);
    EXPECT_EQ(UploadFile(session.handle, 0, -1, out.c_str()), 0);
    EXPECT_EQ(session.capture.Messages(),
              (std::vector<std::string>{"Invalid upload length: 0.\n", "Invalid upload length: -1.\n"}));
    EXPECT_TRUE(chip.Wire().empty());
}

TEST_F(Qx71BurnTest, ReadThatTheChipDoesNotAnswerFails)
{
    BurnQx71ChipSp::BurnQx71Chip::TimeLimits limits = Sim::ShortLimits();
    limits.commandTryMs = 100;
    limits.commandOverallMs = 200;
    session.Driver().SetTimeLimits(limits);
    std::string out = session.dir / "flash.bin";
    EXPECT_EQ(UploadFile(session.handle, 0, 100, out.c_str()), 0);
    EXPECT_EQ(session.capture.Messages(),
              (std::vector<std::string>{"Ack receiving timeout.\n", "Send upload data command failed.\n"}));
}

}  // namespace
