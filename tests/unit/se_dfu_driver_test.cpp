// The package-aware DFU driver through the device API against the virtual DFU device with the
// department-3 boot loader behind it.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Burn.h"
#include "BurnDfuChip.h"
#include "DfuBootLoader.h"
#include "FwpkgBuilder.h"
#include "PrintCapture.h"
#include "ScratchDir.h"
#include "VirtualDfuPort.h"

using namespace Sim;

namespace {

constexpr int QX71_CHIP_TYPE = 0x30004;
constexpr int KP7715_CHIP_TYPE = 0x30005;

// Every kind of entry a package holds; the data lengths make images span several 256-byte blocks.
std::vector<PackageImage> FullPackage()
{
    return {PatternImage("loader.bin", 0, 0, 700),
            PatternImage("app.bin", 1, 0x10000, 1000, 0x1001),
            PatternImage("nv.bin", 2, 0x80000, 300),
            PatternImage("otp.bin", 3, 0, 32),
            PatternImage("factory.bin", 6, 0x90000, 256),
            PatternImage("version.bin", 7, 0, 16),
            PatternImage("mode2.bin", 14, 0xA0000, 513),
            PatternImage("mode3.bin", 15, 0xB0000, 10),
            PatternImage("skipped.bin", 16, 0xC0000, 64)};
}

class SeDfuDriverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        device.SetDownloadHandler(&bootLoader);
    }
    void TearDown() override
    {
        DestroyDevice(handle);
        SetChipType(0);
    }

    void Open(int chipType)
    {
        SetChipType(chipType);
        DfuDescription description = device.Description();
        handle = OpenUsbDfuDevice(description.vendorId, description.productId, "");
        ASSERT_NE(handle, nullptr);
        auto* chip = dynamic_cast<BurnDfuChip*>(handle);
        ASSERT_NE(chip, nullptr);
        BurnDfuChip::TimeLimits limits;
        limits.reopenPauseMs = 0;
        chip->SetTimeLimits(limits);
    }

    int Burn(const std::vector<uint8_t>& file, unsigned long address = 0)
    {
        WriteBinaryFile(dir / "app.fwpkg", file);
        return DownloadAllinoneBin(handle, (dir / "app.fwpkg").c_str(), address);
    }

    size_t Opens() const
    {
        return static_cast<VirtualDfuPort*>(dynamic_cast<BurnDfuChip*>(handle)->Port())->Opens();
    }

    // Each image that carries an address is in the flash at that address, and nothing else is.
    void ExpectFlashHolds(const std::vector<PackageImage>& images)
    {
        std::map<uint32_t, Bytes> expected;
        for (const PackageImage& image : images) {
            expected[image.burnAddr] = image.data;
        }
        EXPECT_EQ(bootLoader.FlashMap(), expected);
    }

    static DfuDescription SmallBlocks()
    {
        DfuDescription description;
        description.transferSize = 256;
        return description;
    }

    PrintCapture capture;
    DfuBootLoader bootLoader;
    VirtualDfuDevice device{SmallBlocks(), {}, 0};
    VirtualDfuPortMaker portMaker{device};
    BurnChipBase* handle = nullptr;
    ScratchDir dir;
};

TEST_F(SeDfuDriverTest, Qx71PackageGoesImageByImageWithItsFrameInBlockZeroAndNeverItsLoader)
{
    Open(QX71_CHIP_TYPE);
    std::vector<PackageImage> images = FullPackage();
    ASSERT_EQ(1, Burn(BuildFwpkg(images)));

    EXPECT_EQ(bootLoader.Commands(), (std::vector<uint8_t>{BOOT_FLASH_IMAGE, BOOT_NV, BOOT_OTP_EFUSE, BOOT_FACTORY,
                                                          BOOT_VERSION, BOOT_FLASH_IMAGE, BOOT_FLASH_IMAGE}));
    EXPECT_FALSE(bootLoader.LoaderRan());
    ExpectFlashHolds({images[1], images[2], images[4], images[6], images[7]});
    // Every frame opened a download of its own as a whole zero-padded block 0.
    size_t frameBlocks = 0;
    for (const DfuRequestRecord& request : device.RequestsOf(DfuRequest::DNLOAD)) {
        if (request.value == 0) {
            ++frameBlocks;
            EXPECT_EQ(request.length, 256u);
        }
    }
    EXPECT_EQ(frameBlocks, 7u);
    EXPECT_EQ(device.Manifests(), 7u);
    const std::vector<DfuBootImage>& done = bootLoader.Done();
    ASSERT_EQ(done.size(), 7u);
    EXPECT_EQ(done[0].frame.eraseSize, 0x2000u);   // burn size 0x1001 rounded up
    EXPECT_EQ(done[0].frame.mode, 0);
    EXPECT_EQ(done[2].data, images[3].data);       // OTP
    EXPECT_EQ(done[4].data, images[5].data);       // version
    EXPECT_EQ(done[5].frame.mode, 2);
    EXPECT_EQ(done[6].frame.mode, 3);
    EXPECT_EQ(capture.Count("Burning image: app.bin (addr=0x00010000, size=0x3E8)\n"), 1u);
    EXPECT_EQ(capture.Count("Downloaded mode3.bin successfully.\n"), 1u);
    EXPECT_EQ(capture.Count("Download completed.\n"), 1u);
    device.Unplug();  // a reset frame cannot reach a device that has gone since
    EXPECT_EQ(0, Reset(handle));
    EXPECT_EQ(capture.Count("The device has disconnected.\n"), 1u);
}

TEST_F(SeDfuDriverTest, Kp7715TakesTheLoaderFirstThenTheDeviceIsReopenedForTheRest)
{
    DfuBootLoaderFaults faults;
    faults.needsLoader = true;
    bootLoader = DfuBootLoader(faults);
    Open(KP7715_CHIP_TYPE);
    std::vector<PackageImage> images = {PatternImage("app.bin", 1, 0x10000, 600), PatternImage("loader.bin", 0, 0, 700),
                                        PatternImage("nv.bin", 2, 0x80000, 300)};
    handle->SetOnlyBurnNames({"nv", "loader"});  // the loader goes in any case
    ASSERT_EQ(1, Burn(BuildFwpkg(images)));

    EXPECT_EQ(bootLoader.Commands(), (std::vector<uint8_t>{BOOT_LOADER, BOOT_NV}));
    EXPECT_TRUE(bootLoader.LoaderRan());
    EXPECT_EQ(bootLoader.Done()[0].data, images[1].data);
    ExpectFlashHolds({images[2]});
    EXPECT_EQ(Opens(), 2u);
    EXPECT_EQ(capture.Count("Loader downloaded; waiting for the device to re-enter DFU mode...\n"), 1u);
}

TEST_F(SeDfuDriverTest, OnlyBurnNamesSelectByCaseSensitivePart)
{
    Open(QX71_CHIP_TYPE);
    std::vector<PackageImage> images = {PatternImage("app", 1, 0x10000, 10), PatternImage("App", 1, 0x20000, 10),
                                        PatternImage("my_app", 1, 0x30000, 10), PatternImage("app_b", 1, 0x40000, 10),
                                        PatternImage("data", 1, 0x50000, 10)};
    handle->SetOnlyBurnNames({"app"});
    ASSERT_EQ(1, Burn(BuildFwpkg(images)));
    ExpectFlashHolds({images[0], images[2], images[3]});
}

// A name that selects nothing would leave the burn sending nothing, or the loader alone, and still
// end well: it is refused before the first request. The loader and the images never sent are not
// selected by a name.
TEST_F(SeDfuDriverTest, OnlyBurnNameThatSelectsNoImageIsRefusedBeforeAnyRequest)
{
    Open(KP7715_CHIP_TYPE);
    std::vector<PackageImage> images = {PatternImage("loader.bin", 0, 0, 700), PatternImage("app.bin", 1, 0x10000, 10),
                                        PatternImage("skipped.bin", 16, 0x20000, 10)};
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"app", "nope"}, "nope"}, {{"App"}, "App"}, {{"skipped", "app"}, "skipped"}};
    for (const auto& c : cases) {
        capture.Clear();
        handle->SetOnlyBurnNames(c.first);
        EXPECT_EQ(0, Burn(BuildFwpkg(images)));
        EXPECT_EQ(capture.Count("error: --only-burn " + c.second + " matches no image of " + (dir / "app.fwpkg") +
                                " that is burnt.\n"),
                  1u)
            << capture.Text();
        EXPECT_TRUE(device.Requests().empty()) << c.second;
    }
}

// Only the package-aware driver's erase-all erases; a ranged erase is refused on it as on any DFU device.
TEST_F(SeDfuDriverTest, RangedEraseIsRefusedWithoutARequest)
{
    Open(QX71_CHIP_TYPE);
    EXPECT_EQ(0, EraseFlash(handle, 0x10000, 0x1000));
    EXPECT_EQ(capture.Count("error: erase is not supported over generic USB DFU.\n"), 1u);
    EXPECT_EQ(capture.Count("Erasing all flash...\n"), 0u);
    EXPECT_TRUE(device.Requests().empty());
}

TEST_F(SeDfuDriverTest, PlainFileIsOneFlashImageAtTheAddressGiven)
{
    Open(QX71_CHIP_TYPE);
    Bytes file = PatternBytes(10, 7);
    ASSERT_EQ(1, Burn(file, 0x20000));
    ASSERT_EQ(bootLoader.Done().size(), 1u);
    const BootFrame& frame = bootLoader.Done()[0].frame;
    EXPECT_EQ(frame.command, BOOT_FLASH_IMAGE);
    EXPECT_EQ(frame.mode, 0);
    EXPECT_EQ(frame.eraseSize, 4096u);
    EXPECT_EQ(bootLoader.FlashMap(), (std::map<uint32_t, Bytes>{{0x20000, file}}));
    EXPECT_EQ(capture.Count("Burning image: image.bin (addr=0x00020000, size=0xA)\n"), 1u);
}

// Nothing at all goes to the device when the package cannot be burnt as it states its images, nor
// when it holds nothing this road burns.
TEST_F(SeDfuDriverTest, PackageThatCannotBeTrustedIsRefusedBeforeAnyBlock)
{
    std::vector<PackageImage> images = {PatternImage("app.bin", 1, 0x10000, 100),
                                        PatternImage("tail.bin", 1, 0x20000, 50)};
    std::vector<uint8_t> cut = BuildFwpkg(images);
    cut.pop_back();
    FwpkgOptions badCrc;
    badCrc.corruptCrc = true;
    const std::vector<std::pair<std::vector<uint8_t>, std::string>> cases = {
        {cut, "Image tail.bin runs past the end of the package (offset 216, length 50, package 265 bytes).\n"},
        {BuildFwpkg(images, badCrc), "fwpkg crc mismatch\n"},
        {BuildFwpkg({PatternImage("a.bin", 1, 0x20000, 0x2000), PatternImage("b.bin", 1, 0x21000, 10)}),
         "Images a.bin and b.bin overlap in flash.\n"},
        {BuildFwpkg({PatternImage("nv.bin", 2, 0x80000, 0x1800, 0x1000)}),
         "Image nv.bin has a burn size of 4096 bytes, less than its length of 6144 bytes.\n"},
        {BuildFwpkg({PatternImage("top.bin", 1, 0xFFFFF000, 0x2000)}),
         "Image top.bin at 0xfffff000 runs past the end of the 32-bit address space.\n"},
        {BuildFwpkg({PatternImage("loader.bin", 0, 0, 10), PatternImage("skipped.bin", 16, 0x20000, 10)}),
         "error: " + (dir / "app.fwpkg") + " holds nothing this road burns, the loader aside.\n"},
    };
    Open(QX71_CHIP_TYPE);
    for (const auto& c : cases) {
        capture.Clear();
        EXPECT_EQ(0, Burn(c.first));
        EXPECT_EQ(capture.Count(c.second), 1u) << capture.Text();
        EXPECT_TRUE(device.RequestsOf(DfuRequest::DNLOAD).empty());
    }
}

TEST_F(SeDfuDriverTest, DeviceGoneDuringAnImagesManifestFailsTheBurnNamingTheImage)
{
    DfuFaults faults;
    faults.leavesDuringManifest = true;
    device = VirtualDfuDevice(SmallBlocks(), faults, 0);
    device.SetDownloadHandler(&bootLoader);
    Open(QX71_CHIP_TYPE);
    EXPECT_EQ(0, Burn(BuildFwpkg({PatternImage("app.bin", 1, 0x10000, 100),
                                  PatternImage("more.bin", 1, 0x20000, 50)})));
    EXPECT_EQ(capture.Count("Download app.bin failed.\n"), 1u);
    EXPECT_EQ(capture.Count("Download completed.\n"), 0u);
    EXPECT_EQ(bootLoader.Commands().size(), 1u);
}

TEST_F(SeDfuDriverTest, RefusedFrameEndsTheBurnAndLaterImagesAreNotSent)
{
    DfuBootLoaderFaults faults;
    faults.refusedFrame = 1;
    bootLoader = DfuBootLoader(faults);
    Open(QX71_CHIP_TYPE);
    std::vector<PackageImage> images = {PatternImage("a.bin", 1, 0x10000, 100), PatternImage("b.bin", 1, 0x20000, 100),
                                        PatternImage("c.bin", 1, 0x30000, 100)};
    EXPECT_EQ(0, Burn(BuildFwpkg(images)));
    EXPECT_EQ(capture.Count("Send burn command for b.bin failed.\n"), 1u);
    EXPECT_EQ(bootLoader.LastRefusal(), "refused as told");
    ExpectFlashHolds({images[0]});
    EXPECT_EQ(bootLoader.Commands().size(), 2u);
}

}  // namespace
