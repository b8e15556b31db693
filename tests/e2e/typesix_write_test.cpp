// vexil write through the built executable into the virtual TypeSix chip on a pty: what the chip
// booted and wrote, the extracted images and their companions, the console and the exit status.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "FwpkgBuilder.h"
#include "ProgramRunner.h"
#include "PtyBench.h"
#include "ScratchDir.h"
#include "ToolInstall.h"
#include "TypeSixChip.h"

namespace {

using Sim::Bytes;
using Sim::PackageImage;
using Sim::ProgramResult;
using Sim::TypeSixChip;
using Sim::TypeSixFaults;

constexpr int PARAM_ERROR = 1;
constexpr int BOOT_FAILED = 4;
constexpr int PARTITION_FAILED = 5;
const Bytes RESET_FRAME = {0x00, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x0C};

// The chip puts nv.bin and fs.bin in areas of its own: their burn sizes never reach it.
const std::vector<PackageImage> PACKAGE = {
    {"loader.bin", Sim::PatternBytes(9000, 1), 0, 0, 0},
    {"nv.bin", Sim::PatternBytes(5000, 2), 0x3000, 0x1000, 20},
    {"fs.bin", Sim::PatternBytes(4096, 3), 0x8000, 0, 18},
    {"app.bin", Sim::PatternBytes(10000, 4), 0x100000, 0x80000, 100},
    {"extra.bin", Sim::PatternBytes(300, 5), 0x9000, 0x1000, 2},
};

using Sim::FilesIn;

std::string Hex(const Bytes& bytes)
{
    static const char DIGITS[] = "0123456789abcdef";
    std::string text;
    for (uint8_t byte : bytes) {
        text += DIGITS[byte >> 4];
        text += DIGITS[byte & 0x0F];
    }
    return text;
}

class TypeSixWriteTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(install.Ready() && bench.IsOpen()); }

    void StartChip(const TypeSixFaults& faults = {})
    {
        chip = std::make_unique<Sim::TypeSixPtyChip>(bench, faults);
        chip->Start();
    }
    ProgramResult Run(const std::string& command, const std::vector<std::string>& words, int timeoutMs = 20000)
    {
        std::vector<std::string> all = {command, "-c", "typesix", "-p", bench.PortPath()};
        all.insert(all.end(), words.begin(), words.end());
        Sim::ProgramOptions options;
        options.timeoutMs = timeoutMs;
        return install.Run(all, options);
    }
    ProgramResult Write(const std::string& package, std::vector<std::string> words = {}, int timeoutMs = 20000)
    {
        words.insert(words.begin(), {"-f", package});
        return Run("write", words, timeoutMs);
    }
    // A copy of the chip as the tool left it.
    TypeSixChip Served() const
    {
        TypeSixChip served;
        chip->Inspect([&](const TypeSixChip& now) { served = now; });
        return served;
    }
    std::vector<Sim::TypeSixFrameSeen> Frames() const { return Served().Frames(); }
    std::vector<Sim::TypeSixFlashImage> Images() const { return Served().Images(); }
    std::vector<Sim::TypeSixBoot> Boots() const { return Served().Boots(); }
    std::string Sha256sum(const Bytes& bytes)
    {
        std::string path = install.Path("digested.bin");
        EXPECT_TRUE(Sim::WriteBinaryFile(path, bytes));
        ProgramResult result = Sim::RunProgram({"/usr/bin/sha256sum", path});
        return result.output.substr(0, 64);
    }
    std::unique_ptr<Sim::BackgroundProgram> StartWrite(const Sim::PtyBench& port, const std::string& package) const
    {
        return std::make_unique<Sim::BackgroundProgram>(
            std::vector<std::string>{install.Binary(), "write", "-c", "typesix", "-p", port.PortPath(), "-f", package});
    }
    // A chip whose SSB, once booted, waits to start until the flag is raised.
    static TypeSixFaults SsbHeldUntil(const std::shared_ptr<std::atomic<bool>>& flag)
    {
        TypeSixFaults faults;
        faults.ssbStartsWhen = [flag] { return flag->load(); };
        return faults;
    }
    static bool SsbBooted(const TypeSixChip& chip) { return !chip.Boots().empty() && chip.Boots()[0].started; }
    static bool SendingImageData(const TypeSixChip& chip) { return SsbBooted(chip) && chip.Commands().back() == 0x04; }

    Sim::ToolInstall install{VEXIL_BUILD_DIR};
    Sim::PtyBench bench;
    std::unique_ptr<Sim::TypeSixPtyChip> chip;
};

TEST_F(TypeSixWriteTest, PackageBurnsTheLoaderAsSsbAndEveryImageWithItsFileKind)
{
    std::string package = install.WritePackage("app.fwpkg", PACKAGE);
    StartChip();
    ProgramResult result = Write(package, {"-r"});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    for (const char* name : {"loader.bin", "nv.bin", "fs.bin", "app.bin"}) {
        EXPECT_NE(result.output.find("Burn " + std::string(name) + " successfully.\n"), std::string::npos) << name;
    }
    EXPECT_EQ(result.output.find("extra.bin successfully"), std::string::npos);
    EXPECT_LT(result.output.find("Please reset the device, the waiting time is about 30 seconds.\n"),
              result.output.find("Burn loader.bin successfully.\n"));
    EXPECT_EQ(result.output.substr(result.output.size() - 21), "\nWrite successfully.\n");

    std::vector<Sim::TypeSixBoot> boots = Boots();
    ASSERT_EQ(boots.size(), 1u);
    EXPECT_EQ(boots[0].image, PACKAGE[0].data);
    EXPECT_TRUE(boots[0].pagesGood && boots[0].started);
    std::vector<Sim::TypeSixFlashImage> images = Images();
    ASSERT_EQ(images.size(), 3u);
    EXPECT_FALSE(images[0].appRoad);
    EXPECT_EQ(images[0].kind, 0);
    EXPECT_EQ(images[0].data, PACKAGE[1].data);
    EXPECT_EQ(images[1].kind, 2);
    EXPECT_EQ(images[1].data, PACKAGE[2].data);
    EXPECT_TRUE(images[2].appRoad);
    EXPECT_EQ(images[2].address, 0x100000u);
    EXPECT_EQ(images[2].binHeadType, 0);
    EXPECT_EQ(images[2].data, PACKAGE[3].data);
    EXPECT_EQ(images[2].shaFileSize, 10000u);
    for (const auto& image : images) {
        EXPECT_TRUE(image.complete);
    }
    std::vector<Sim::TypeSixFrameSeen> frames = Frames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back().frame, RESET_FRAME) << "the write ends with a reset";
    EXPECT_EQ(frames[0].baudRate, 115200u) << "the boot ROM is reached at 115200";

    // The digests were made from the run's own unpacked files, which went with it.
    EXPECT_EQ(FilesIn(install.Path("app_extract")), std::set<std::string>{});
    EXPECT_EQ(Hex(boots[0].digest), Sha256sum(PACKAGE[0].data));
    for (size_t i = 0; i < images.size(); ++i) {
        EXPECT_EQ(Hex(images[i].sha), Sha256sum(PACKAGE[i + 1].data)) << i;
    }
}

TEST_F(TypeSixWriteTest, OnlyBurnNamesMatchWholeNamesIgnoringCase)
{
    // An image left out may bear the name of a kept one's digest file.
    std::vector<PackageImage> withDigestName = PACKAGE;
    withDigestName.push_back({"app_sha256.bin", Bytes(32, 6), 0, 0, 20});
    std::string package = install.WritePackage("app.fwpkg", withDigestName);
    StartChip();
    ProgramResult result = Write(package, {"--only-burn", "LOADER.BIN", "--only-burn", "App.Bin"});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(Boots().size(), 1u);
    std::vector<Sim::TypeSixFlashImage> images = Images();
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0].data, PACKAGE[3].data);
}

TEST_F(TypeSixWriteTest, FailingFirstDownloadIsTriedOnceMore)
{
    std::string package = install.WritePackage("app.fwpkg", PACKAGE);
    TypeSixFaults faults;
    faults.refusedCommand = 0x11;
    faults.refusals = 1;
    StartChip(faults);
    ProgramResult result = Write(package, {"--after-reset=1"});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("return code error:0\n"), std::string::npos);
    EXPECT_NE(result.output.find("Burn nv.bin successfully.\n"), std::string::npos);
    std::vector<Sim::TypeSixFlashImage> images = Images();
    ASSERT_EQ(images.size(), 3u) << "the refused try never started flashing";
    EXPECT_EQ(images[0].data, PACKAGE[1].data);
    EXPECT_EQ(Served().Resets(), 2u) << "after the failure and at the end";
}

struct FailingChip {
    const char* name;
    TypeSixFaults faults;
    std::string line;
    long long maxMs;
    bool talkedTo;
};

// A chip that was sent a frame is put back to its boot ROM; one never talked to is left alone.
TEST_F(TypeSixWriteTest, ChipThatNeverConfirmsEndsWithStatusFiveAndAResetOnceTalkedTo)
{
    TypeSixFaults badCheck;
    badCheck.badCheckByte = true;
    TypeSixFaults silent;
    silent.silent = true;
    const std::vector<FailingChip> cases = {
        {"wrong check byte", badCheck, "error: Burn loader loader.bin failed!\n", 10000, true},
        {"silent", silent, "ready failed.\nerror: Burn loader loader.bin failed!\n", 40000, false},
    };
    std::string package = install.WritePackage("app.fwpkg", PACKAGE);
    for (const FailingChip& c : cases) {
        SCOPED_TRACE(c.name);
        StartChip(c.faults);
        long long start = Sim::NowMs();
        ProgramResult result = Write(package, {}, 60000);
        EXPECT_LT(Sim::NowMs() - start, c.maxMs);
        EXPECT_EQ(result.exitCode, PARTITION_FAILED) << result.output;
        EXPECT_NE(result.output.find(c.line), std::string::npos) << result.output;
        EXPECT_EQ(result.output.substr(result.output.size() - 15), "\nWrite failed.\n");
        std::vector<Sim::TypeSixFrameSeen> frames = Frames();
        ASSERT_EQ(frames.empty(), !c.talkedTo);
        EXPECT_TRUE(!c.talkedTo || frames.back().frame == RESET_FRAME);
        EXPECT_TRUE(Images().empty());
    }
}

TEST_F(TypeSixWriteTest, EraseAndReadRefuseWithoutTouchingThePort)
{
    std::string package = install.WritePackage("app.fwpkg", PACKAGE);
    StartChip();
    ProgramResult erase = Run("erase", {"-f", package});
    EXPECT_EQ(erase.exitCode, 12);
    EXPECT_EQ(erase.output, "chip: typesix does not support the erase function.\nErase failed.\n");
    ProgramResult read = Run("read", {"-f", package});
    EXPECT_EQ(read.exitCode, 7);
    EXPECT_EQ(read.output, "chip: typesix does not support the read function.\n");
    EXPECT_TRUE(Frames().empty());
}

struct RefusedPackage {
    const char* name;
    std::vector<PackageImage> images;
    int cutBytes;          // taken off the package's end
    std::string line;
    std::vector<std::string> words = {};
    int status = PARTITION_FAILED;
};

TEST_F(TypeSixWriteTest, PackagesThatCannotBeBurntAsAskedAreRefusedBeforeTheResetPrompt)
{
    std::string longName(31, 'n');
    Sim::ScratchDir dir;
    const std::string package = dir / "pkg.fwpkg";
    const std::string matchesNoBurntImage = " matches no image of " + package + " that is burnt.\n";
    const std::vector<RefusedPackage> cases = {
        {"leaves the directory", {PACKAGE[0], {"../evil.bin", Bytes(64, 9), 0, 0, 20}}, 0,
         "error: Invalid image name in fwpkg: \"../evil.bin\"\n"},
        {"backslash", {PACKAGE[0], {"a\\b.bin", Bytes(64, 9), 0, 0, 20}}, 0,
         "error: Invalid image name in fwpkg: \"a\\b.bin\"\n"},
        {"control bytes shown as '?'", {PACKAGE[0], {"../\x1b[2J\a", Bytes(64, 9), 0, 0, 20}}, 0,
         "error: Invalid image name in fwpkg: \"../?[2J?\"\n"},
        {"dot dot", {PACKAGE[0], {"..", Bytes(64, 9), 0, 0, 20}}, 0, "error: Invalid image name in fwpkg: \"..\"\n"},
        {"names cut to the same 31 characters",
         {PACKAGE[0], {longName + "_a", Bytes(64, 1), 0, 0, 20}, {longName + "_b", Bytes(64, 2), 0x1000, 0, 20}}, 0,
         "error: Two images in fwpkg are named " + longName + "\n"},
        {"image past the end", PACKAGE, 1,
         "error: Image extra.bin runs past the end of the package (offset 28368, length 300, package 28667 bytes).\n"},
        {"image named as another's digest file", {PACKAGE[0], PACKAGE[3], {"app_sha256.bin", Bytes(32, 7), 0, 0, 20}},
         0, "error: Image app_sha256.bin in fwpkg has the name of the SHA-256 file of image app.bin\n"},
        // A medium that ignores letter case would unpack the never burnt EFUSE image over the APP image.
        {"names that differ only in letter case", {PACKAGE[0], {"App.bin", Bytes(64, 1), 0, 0, 18},
         {"APP.BIN", Bytes(16, 2), 0, 0, 3}}, 0,
         "error: Two images in fwpkg are named App.bin and APP.BIN, which differ only in letter case\n"},
        {"another's digest file in other letter case", {PACKAGE[0], {"App.bin", Bytes(64, 1), 0, 0, 18},
         {"app_SHA256.bin", Bytes(32, 7), 0, 0, 20}}, 0,
         "error: Image app_SHA256.bin in fwpkg has the name of the SHA-256 file of image App.bin\n"},
        {"the separator of the loader's files", {{"a|notes.txt", Bytes(64, 9), 0, 0, 0}}, 0,
         "error: Invalid image name in fwpkg: \"a|notes.txt\"\n"},
        {"only-burn name without an image", PACKAGE, 0, "error: --only-burn NV" + matchesNoBurntImage,
         {"--only-burn", "loader.bin", "--only-burn", "NV", "--only-burn", "nothing"}},
        {"only-burn name of an image without a file kind", PACKAGE, 0,
         "error: --only-burn extra.bin" + matchesNoBurntImage, {"--only-burn", "extra.bin"}},
        {"only-burn name of the loader's digest", {PACKAGE[0], {"loader_sha", Bytes(32, 8), 0, 0, 24}}, 0,
         "error: --only-burn loader_sha" + matchesNoBurntImage, {"--only-burn", "loader_sha"}},
        {"image longer than its burn size", {PACKAGE[0], {"flash.full.bin", Bytes(0x1100, 1), 0, 0x1000, 100}}, 0,
         "error: Image flash.full.bin has a burn size of 4096 bytes, less than its length of 4352 bytes.\n", {},
         BOOT_FAILED},
        {"eMMC image longer than its burn size", {PACKAGE[0], {"emmc.bin", Bytes(0x1100, 1), 0, 0x1000, 101}}, 0,
         "error: Image emmc.bin has a burn size of 4096 bytes, less than its length of 4352 bytes.\n", {},
         BOOT_FAILED},
        {"two images of one file kind", {PACKAGE[0], PACKAGE[2], {"fs2.bin", Bytes(64, 1), 0x20000, 0x1000, 18}}, 0,
         "error: Images fs.bin and fs2.bin both go to the area of file kind 2; the second would replace the first.\n",
         {}, BOOT_FAILED},
        {"OTP image sent to the DSP's file kind", {PACKAGE[0], {"dsp.bin", Bytes(64, 1), 0, 0, 26},
         {"otp.bin", Bytes(16, 2), 0, 0, 4}}, 0,
         "error: Images dsp.bin and otp.bin both go to the area of file kind 4; the second would replace the first.\n",
         {}, BOOT_FAILED},
        {"empty image", {PACKAGE[0], {"flash.full.bin", {}, 0, 0x1000, 100}}, 0,
         "error: Image flash.full.bin is empty.\n", {}, BOOT_FAILED},
        {"nothing but the loader burnt", {PACKAGE[0], PACKAGE[4]}, 0,
         "error: " + package + " holds nothing this road burns, the loader aside.\n", {}, BOOT_FAILED},
        {"only-burn of the loader alone", PACKAGE, 0, "error: --only-burn selects nothing of " + package +
         " that this road burns, the loader aside.\n", {"--only-burn", "loader.bin"}, BOOT_FAILED},
        // The eMMC image at the same address lands on another device, fs.bin where the chip puts its kind.
        {"images that overlap", {PACKAGE[0], {"emmc.bin", Bytes(64, 1), 0x8000, 0x1000, 101}, PACKAGE[2],
         {"a.bin", Bytes(64, 2), 0x8000, 0x2000, 100}, {"b.bin", Bytes(64, 3), 0x9000, 0x1000, 100}}, 0,
         "error: Images a.bin and b.bin overlap in flash.\n", {}, BOOT_FAILED},
        {"image past 32 bits", {PACKAGE[0], {"top.bin", Bytes(64, 1), 0xFFFFF000, 0x2000, 100}}, 0,
         "error: Image top.bin at 0xfffff000 runs past the end of the 32-bit address space.\n", {}, BOOT_FAILED},
        {"no reset after the write", PACKAGE, 0,
         "error: --after-reset=0 is not supported by chip typesix: its write always ends with a reset.\n",
         {"--after-reset=0"}, PARAM_ERROR},
        {"a reset before the write", PACKAGE, 0,
         "error: --before-reset is not supported by chip typesix: the device is reset by hand before the write.\n",
         {"--before-reset"}, PARAM_ERROR},
    };
    for (const RefusedPackage& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bytes = Sim::BuildFwpkg(c.images);
        bytes.resize(bytes.size() - static_cast<size_t>(c.cutBytes));
        ASSERT_TRUE(Sim::WriteBinaryFile(package, bytes));
        StartChip();
        ProgramResult result = Write(package, c.words);
        EXPECT_EQ(result.exitCode, c.status);
        EXPECT_EQ(result.output, c.line + "\nWrite failed.\n");
        EXPECT_EQ(FilesIn(dir.Path()), std::set<std::string>{"pkg.fwpkg"}) << "not even the extract directory";
        EXPECT_TRUE(Frames().empty());
    }
}

// The package in a sticky directory that all may write, as /tmp, and a file of root's outside it.
TEST_F(TypeSixWriteTest, ExtractDirectoryNotThisUsersOwnIsRefusedAndNothingIsWrittenThroughIt)
{
    if (!Sim::MayActAsNobody()) {
        GTEST_SKIP() << Sim::NOT_AS_NOBODY;
    }
    const std::string links = " && for f in loader app app_sha256; do ln -s ../../secret fw_extract/$f.bin; done";
    // Whether the other user makes the directory beside the package, the shell lines, the reason to refuse it.
    const std::vector<std::tuple<bool, std::string, std::string>> cases = {
        {true, "mkdir fw_extract" + links, "Owned by another user"},
        {false, "mkdir -m 755 real && ln -s real fw_extract", "Is a symbolic link"},
        {false, "mkdir -m 1777 fw_extract" + links, "Writable by group or others"},
    };
    for (const auto& [byNobody, madeBy, reason] : cases) {
        SCOPED_TRACE(madeBy);
        Sim::ScratchDir dir;
        const std::string shared = dir / "tmp";
        std::string make = "cd " + shared + " && " + madeBy;
        ASSERT_TRUE(chmod(dir.Path().c_str(), 0711) == 0 && mkdir(shared.c_str(), 0) == 0 &&
                    chmod(shared.c_str(), 01777) == 0 && Sim::WriteBinaryFile(dir / "secret", Bytes(16, 7)) &&
                    Sim::WriteBinaryFile(shared + "/fw.fwpkg", Sim::BuildFwpkg(PACKAGE)));
        ASSERT_TRUE(byNobody ? Sim::RunAsNobody(make) : Sim::RunProgram({"/bin/sh", "-c", make}).exitCode == 0);
        StartChip();
        ProgramResult result = Write(shared + "/fw.fwpkg");
        EXPECT_EQ(result.exitCode, PARTITION_FAILED);
        EXPECT_EQ(result.output, "error: Cannot use the extract directory " + shared + "/fw_extract/ (" + reason +
                                     ").\n\nWrite failed.\n");
        EXPECT_EQ(Sim::ReadBinaryFile(dir / "secret"), Bytes(16, 7));
        EXPECT_TRUE(Frames().empty());
    }
}

// Packages of one name share the extract directory: the first chip holds its SSB back until the second
// run has unpacked and is talking to its own chip, and still gets only its own package's images, even
// once another directory, with other bytes under each of its names, is put at the extract directory's.
TEST_F(TypeSixWriteTest, RunsAtOnceBurnOnlyTheirOwnPackagesImages)
{
    const std::vector<std::vector<PackageImage>> packages = {
        {{"loader.bin", Sim::PatternBytes(2000, 1), 0, 0, 0}, {"nv.bin", Sim::PatternBytes(900, 2), 0x3000, 0x1000, 20},
         {"app.bin", Sim::PatternBytes(3000, 3), 0x100000, 0x1000, 100}},
        {{"loader.bin", Sim::PatternBytes(2000, 4), 0, 0, 0}, {"nv.bin", Sim::PatternBytes(900, 5), 0x3000, 0x1000, 20},
         {"app.bin", Sim::PatternBytes(3000, 6), 0x100000, 0x1000, 100}}};
    auto secondTalks = std::make_shared<std::atomic<bool>>(false);
    StartChip(SsbHeldUntil(secondTalks));
    Sim::PtyBench otherBench;
    Sim::TypeSixPtyChip other(otherBench);
    other.Start();
    auto first = StartWrite(bench, install.WritePackage("prod.fwpkg", packages[0]));
    ASSERT_TRUE(chip->WaitUntil(SsbBooted, 5000));
    auto second = StartWrite(otherBench, install.WritePackage("prod.old", packages[1]));
    std::string swap = "cd " + install.Dir() + " && mv prod_extract unpacked && cp -r unpacked prod_extract && "
                       "find prod_extract -type f -exec sh -c 'echo other > \"$0\"' {} \\;";
    secondTalks->store(other.WaitUntil([](const TypeSixChip& c) { return !c.Frames().empty(); }, 5000) &&
                       Sim::RunProgram({"/bin/sh", "-c", swap}).exitCode == 0);
    EXPECT_EQ(first->Finish(5000).exitCode, 0);
    EXPECT_EQ(second->Finish(5000).exitCode, 0);
    TypeSixChip seen[2] = {Served(), TypeSixChip()};
    other.Inspect([&](const TypeSixChip& now) { seen[1] = now; });
    for (size_t run = 0; run < 2; ++run) {
        ASSERT_TRUE(seen[run].Boots().size() == 1 && seen[run].Images().size() == 2) << run;
        EXPECT_EQ(seen[run].Boots()[0].image, packages[run][0].data) << run;
        EXPECT_EQ(seen[run].Images()[0].data, packages[run][1].data) << run;
        EXPECT_EQ(seen[run].Images()[1].data, packages[run][2].data) << run;
    }
    EXPECT_EQ(FilesIn(install.Path("unpacked")), std::set<std::string>{});
}

// The run's own directory goes when the run is stopped, and when a second signal ends the tool at once.
TEST_F(TypeSixWriteTest, StoppedWriteLeavesNothingUnpacked)
{
    std::string package = install.WritePackage("app.fwpkg", PACKAGE);
    TypeSixFaults held = SsbHeldUntil(std::make_shared<std::atomic<bool>>(false));
    TypeSixFaults midImage;  // stopped while an image's data go unanswered, a download is not tried again
    midImage.unansweredCommand = 0x04;
    const std::tuple<TypeSixFaults, bool (*)(const TypeSixChip&), int> runs[] = {
        {held, SsbBooted, 0}, {midImage, SendingImageData, 0}, {held, SsbBooted, SIGTERM}};
    for (const auto& [faults, chipReady, secondSignal] : runs) {
        StartChip(faults);
        auto write = StartWrite(bench, package);
        ASSERT_TRUE(chip->WaitUntil(chipReady, 5000));
        EXPECT_TRUE(write->Signal(SIGINT) && (secondSignal == 0 || write->Signal(secondSignal)));
        EXPECT_EQ(write->Finish(5000).exitCode, 130) << secondSignal;
        EXPECT_EQ(FilesIn(install.Path("app_extract")), std::set<std::string>{}) << secondSignal;
        EXPECT_TRUE(secondSignal != 0 || (chip->WaitUntil([](const TypeSixChip& c) { return c.Resets() > 0; }, 5000) &&
                                          Served().Resets() == 1u));
    }
}

// An update may rename another package over the one being burnt while it unpacks, or while the chip
// holds its answer: what is burnt is the package that was read and checked, not the other's bytes at
// its offsets.
TEST_F(TypeSixWriteTest, PackageRenamedOverDuringTheWriteBurnsTheBytesThatWereChecked)
{
    const PackageImage big = {"big.bin", Sim::PatternBytes(2 << 20, 7), 0, 0, 2};  // unpacked, never sent
    const std::vector<PackageImage> read = {PACKAGE[0], big, {"app.bin", Sim::PatternBytes(3000, 8), 0, 0x1000, 18}};
    std::string package = install.WritePackage("app.fwpkg", read);
    std::string other = install.WritePackage("new.fwpkg", {PACKAGE[0], {"app.bin", Bytes(3000, 9), 0, 0x1000, 18}, big});
    auto answer = std::make_shared<std::atomic<bool>>(false);
    StartChip(SsbHeldUntil(answer));
    auto write = StartWrite(bench, package);
    std::string prompt;
    ASSERT_TRUE(write->ReadLine(prompt, 5000));
    EXPECT_EQ(std::rename(other.c_str(), package.c_str()), 0);
    answer->store(true);
    EXPECT_EQ(write->Finish(10000).exitCode, 0);
    std::vector<Sim::TypeSixFlashImage> images = Images();
    ASSERT_EQ(images.size(), 1u);
    EXPECT_TRUE(images[0].data == read[2].data) << "app.bin was burnt with other bytes";
}

TEST_F(TypeSixWriteTest, PartitionTableIsNoPackageAndNothingIsSent)
{
    ASSERT_EQ(mkdir(install.Path("images").c_str(), 0755), 0);
    ASSERT_TRUE(Sim::WriteBinaryFile(install.Path("images/ssb.bin"), Bytes(100, 1)));
    std::string table = install.Path("table.xml");
    ASSERT_TRUE(Sim::WriteTextFile(table, "<?xml version=\"1.0\"?>\n<Programmer>\n  <Partition Sel=\"1\" "
                                          "PartitionName=\"ssb\" FileSystem=\"none\" FlashType=\"nor\" "
                                          "Start=\"0x1000\" Length=\"0x10000\" SelectFile=\"images/ssb.bin\" "
                                          "FileType=\"0\"/>\n</Programmer>\n"));
    StartChip();
    ProgramResult result = Write(table);
    EXPECT_EQ(result.exitCode, PARTITION_FAILED) << result.output;
    EXPECT_NE(result.output.find("error: not a fwpkg (bad magic flag)\n"), std::string::npos) << result.output;
    EXPECT_TRUE(Frames().empty());
}

TEST_F(TypeSixWriteTest, PortOrBurnFileThatCannotBeOpenedEndsTheWrite)
{
    std::string package = install.WritePackage("app.fwpkg", PACKAGE);
    for (const std::string& file : {package, install.Path("missing.fwpkg")}) {
        ProgramResult result = install.Run({"write", "-c", "typesix", "-p", "/nonexistent/ttyVX0", "-f", file});
        EXPECT_EQ(result.exitCode, file == package ? 3 : BOOT_FAILED) << file;
        EXPECT_EQ(result.output.rfind(file == package ? "error: Open serial port :/nonexistent/ttyVX0 failed"
                                      : "error: Cannot open the burn file " + file + " (No such file", 0), 0u);
    }
    // One that opens but does not read whole, as a kernel attribute shorter than its size, is named as given.
    StartChip();
    ProgramResult result = Write("/sys/devices/system/cpu/online");
    EXPECT_EQ(result.exitCode, PARTITION_FAILED);
    EXPECT_EQ(result.output, "error: Failed to open fwpkg file: /sys/devices/system/cpu/online\n\nWrite failed.\n");
    EXPECT_TRUE(Frames().empty());
}

}  // namespace
