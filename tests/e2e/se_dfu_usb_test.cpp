// Packages over USB through the built executable and real libusb: the department-3 boot loader
// behind a virtual DFU device takes boot command frames in block 0 and lands each image at its
// address.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "FwpkgBuilder.h"
#include "ScratchDir.h"
#include "UsbBench.h"

namespace {

using testing::EndsWith;
using testing::HasSubstr;
using testing::Not;

using Sim::PatternImage;

const std::string DEVICE = "1209:7d01";

std::string ReadText(const std::string& path)
{
    std::vector<uint8_t> bytes = Sim::ReadBinaryFile(path);
    return std::string(bytes.begin(), bytes.end());
}

class SeDfuUsbTest : public ::testing::Test {
protected:
    Sim::ProgramResult Vexil(const std::string& bootLoader, const std::vector<std::string>& words,
                             const std::vector<std::string>& faults = {})
    {
        std::vector<std::string> command = {VEXIL_BINARY};
        command.insert(command.end(), words.begin(), words.end());
        std::vector<std::string> bench = {"--dfu", DEVICE, "--boot-loader", bootLoader, "--save-boot", dir.Path()};
        bench.insert(bench.end(), faults.begin(), faults.end());
        Sim::ProgramOptions options;
        options.timeoutMs = 30000;
        return Sim::RunUnderUsbBench(VEXIL_BUILD_DIR, bench, command, options);
    }

    std::string Package(const std::vector<Sim::PackageImage>& images)
    {
        std::string path = dir / "app.fwpkg";
        EXPECT_TRUE(Sim::WriteBinaryFile(path, Sim::BuildFwpkg(images)));
        return path;
    }

    // The images the flash holds, at their addresses, and nothing more.
    void ExpectFlash(const std::vector<Sim::PackageImage>& images)
    {
        for (const Sim::PackageImage& image : images) {
            char name[32];
            std::snprintf(name, sizeof(name), "flash-%08x.bin", image.burnAddr);
            EXPECT_EQ(Sim::ReadBinaryFile(dir / name), image.data) << image.name;
        }
        size_t flashFiles = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
            flashFiles += entry.path().filename().string().rfind("flash-", 0) == 0 ? 1 : 0;
        }
        EXPECT_EQ(flashFiles, images.size());
    }

    std::string Frames() const { return ReadText(dir / "frames.txt"); }
    std::string State() const { return ReadText(dir / "state.txt"); }

    Sim::ScratchDir dir;
};

TEST_F(SeDfuUsbTest, Qx71WriteSendsEveryImageAfterItsFrameButNotTheLoaderAndResetsAfterR)
{
    // The loader, which this road never sends, may stand anywhere.
    std::vector<Sim::PackageImage> images = {PatternImage("app.bin", 1, 0x10000, 5000),
                                             PatternImage("loader.bin", 0, 0, 3000),
                                             PatternImage("nv.bin", 2, 0x80000, 700),
                                             PatternImage("version.bin", 7, 0, 16),
                                             PatternImage("skip.bin", 16, 0x90000, 64)};
    Sim::ProgramResult result = Vexil("loader", {"write", "-c", "qx71", "-d", DEVICE, "-f", Package(images), "-r"});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    // One frame per sent image, each as a whole 1024-byte block 0, then the reset frame.
    EXPECT_EQ(Frames(), "d2 1024\n4b 1024\n69 1024\n87 1024\n");
    EXPECT_EQ(State(), "loader 0\nerase-alls 0\nleft 1\n");
    ExpectFlash({images[0], images[2]});
    EXPECT_THAT(result.output, HasSubstr("Sending the reset command.\n"));
    EXPECT_THAT(result.output, HasSubstr("\nWrite successfully.\n"));
}

TEST_F(SeDfuUsbTest, Kp7715WriteRunsTheLoaderReopensAndBurnsOnlyTheNamedImages)
{
    // data.bin, left out, is another build for the flash of app.bin.
    std::vector<Sim::PackageImage> images = {PatternImage("loader.bin", 0, 0, 3000),
                                             PatternImage("app.bin", 1, 0x10000, 5000),
                                             PatternImage("data.bin", 1, 0x10000, 900),
                                             PatternImage("my_app.bin", 1, 0x20000, 100)};
    Sim::ProgramResult result =
        Vexil("rom", {"write", "-c", "kp7715", "-d", DEVICE, "-f", Package(images), "--only-burn", "app"});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(Frames(), "e1 1024\nd2 1024\nd2 1024\n");
    EXPECT_EQ(State(), "loader 1\nerase-alls 0\nleft 0\n");
    ExpectFlash({images[1], images[3]});
    EXPECT_THAT(result.output, HasSubstr("Downloaded loader loader.bin successfully.\n"
                                         "Loader downloaded; waiting for the device to re-enter DFU mode...\n"));
}

TEST_F(SeDfuUsbTest, EraseClearsTheFlashByTheEraseAllFrame)
{
    std::string package = Package({PatternImage("app.bin", 1, 0, 10)});
    Sim::ProgramResult result = Vexil("loader", {"erase", "-c", "qx71", "-d", DEVICE, "-f", package});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(Frames(), "d2 1024\n");
    EXPECT_EQ(State(), "loader 0\nerase-alls 1\nleft 0\n");
    EXPECT_THAT(result.output, HasSubstr("Erasing all flash...\n"));
    EXPECT_THAT(result.output, HasSubstr("Erase successfully.\n"));
}

// Nothing reaches the device when the package does not hold an image whole, when an image without
// bytes or one that would erase all the flash is sent, when a name of --only-burn selects none of its
// images, or when a loader sent comes late or twice; all of it is checked before the device is opened.
TEST_F(SeDfuUsbTest, PackageThatCannotBeBurntAsAskedIsRefusedWithStatusFour)
{
    std::vector<Sim::PackageImage> images = {PatternImage("app.bin", 1, 0x10000, 500),
                                             PatternImage("tail.bin", 1, 0x20000, 50)};
    std::vector<uint8_t> package = Sim::BuildFwpkg(images);
    package.pop_back();
    ASSERT_TRUE(Sim::WriteBinaryFile(dir / "cut.fwpkg", package));
    ASSERT_TRUE(Sim::WriteBinaryFile(dir / "wipe.fwpkg", Sim::BuildFwpkg({images[0], PatternImage("wipe.bin", 1, 0, 16,
                                                                                                  0xFFFFFFFF)})));
    ASSERT_TRUE(Sim::WriteBinaryFile(dir / "empty.fwpkg", Sim::BuildFwpkg({images[0], PatternImage("nv.bin", 2,
                                                                                                   0x80000, 0)})));
    Sim::PackageImage boot = PatternImage("boot.bin", 0, 0, 30);
    ASSERT_TRUE(Sim::WriteBinaryFile(dir / "late.fwpkg", Sim::BuildFwpkg({images[0], boot})));
    ASSERT_TRUE(Sim::WriteBinaryFile(dir / "two.fwpkg", Sim::BuildFwpkg({boot, images[0], boot})));
    std::string whole = Package(images);
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-c", "qx71", "-f", dir / "cut.fwpkg"}, "Image tail.bin runs past the end of the package"},
        {{"-c", "qx71", "-f", dir / "wipe.fwpkg"}, "Images wipe.bin and app.bin overlap in flash.\n"},
        {{"-c", "qx71", "-f", dir / "empty.fwpkg"}, "Image nv.bin is empty.\n"},
        {{"-c", "qx71", "-f", whole, "--only-burn", "app", "--only-burn", "boot"},
         "error: --only-burn boot matches no image of " + whole + " that is burnt.\n"},
        {{"-c", "kp7715", "-f", dir / "late.fwpkg"}, "error: The loader boot.bin of " + (dir / "late.fwpkg") +
         " is not the first image sent; the chip takes no image before its loader.\n"},
        {{"-c", "kp7715", "-f", dir / "two.fwpkg", "--only-burn", "app"}, "error: " + (dir / "two.fwpkg") +
         " sends two loaders, boot.bin and boot.bin; the chip runs one loader.\n"},
    };
    for (const auto& [options, message] : cases) {
        std::vector<std::string> words = {"write", "-d", DEVICE};
        words.insert(words.end(), options.begin(), options.end());
        Sim::ProgramResult result = Vexil("loader", words);
        EXPECT_EQ(result.exitCode, 4) << result.output;
        EXPECT_THAT(result.output, HasSubstr(message));
        EXPECT_THAT(result.output, Not(HasSubstr("Found DFU device")));
        EXPECT_EQ(Frames(), "");
    }
}

// Ctrl-C while the device programs a block of a package: the tool waits the device out and aborts
// the transfer before it ends, so the next write finds the device idle and burns the whole package.
TEST_F(SeDfuUsbTest, WriteAfterACtrlCMidPackageBurnsTheWholePackage)
{
    std::vector<Sim::PackageImage> images = {PatternImage("app.bin", 1, 0x10000, 8192),
                                             PatternImage("nv.bin", 2, 0x80000, 700)};
    Sim::ProgramResult result =
        Vexil("loader", {"write", "-c", "qx71", "-d", DEVICE, "-f", Package(images)},
              {"--poll-ms", "20", "--busy-polls", "3", "--interrupt-at-block", "3", "--again"});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_THAT(result.output, HasSubstr("\nWrite failed.\nerror: Interrupted by SIGINT.\n"
                                         "usbbench: the first run ended with status 130\n"));
    EXPECT_THAT(result.output, Not(HasSubstr("Aborting previous incomplete transfer.")));
    EXPECT_THAT(result.output, EndsWith("\nWrite successfully.\n"));
    EXPECT_EQ(Frames(), "d2 1024\nd2 1024\n4b 1024\n");
    ExpectFlash(images);
}

}  // namespace
