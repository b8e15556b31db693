// vexil write through the built executable into the virtual Qx71 and Kp7715 chips on a pty: what
// lands in the chip's flash, the frames and rates on the line, the console and the exit status.
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "FwpkgBuilder.h"
#include "Qx71Chip.h"
#include "Qx71Session.h"
#include "Qx71Wire.h"
#include "TestSupport.h"
#include "ToolChipBench.h"
#include "ToolChipTest.h"

namespace {

using Sim::Bytes;
using Sim::PackageImage;
using Sim::ProgramResult;
using Sim::Qx71Chip;
using Sim::Qx71Faults;
using Sim::Qx71Image;

constexpr int WRITE_FAILED = 4;
constexpr unsigned BOOT_RATE = 115200;
constexpr unsigned FAST_RATE = 921600;

std::string Verdict(const std::string& package, bool burnt)
{
    return burnt ? "\nBurn " + package + " successfully.\n\nWrite successfully.\n"
                 : "\nerror: Burn " + package + " failed!\n\nWrite failed.\n";
}

// A write of the package with the words after -f; the chip must have been started.
ProgramResult Write(const Sim::ToolChipBench& tool, const std::string& package, std::vector<std::string> words = {})
{
    words.insert(words.begin(), {"-f", package});
    return tool.Run("write", words);
}

using Sim::ToolChipTest;

// ---- Whole packages ----

struct PackageCase : Sim::NamedRow {
    const char* chip;
    Sim::FwpkgLayout layout;
    unsigned packetSize;  // 0: no --packet-size, the tool's 1024
};

using WritePackageTest = Sim::ChipCaseTest<PackageCase>;

// The erase size each flash-writing frame carries: flash image frames round to the chip's sector
// (4096, or 512 on a Kp7715), NV/KV and factory frames always to 4096.
std::map<std::string, uint32_t> ExpectedEraseSizes(bool kp7715)
{
    return {{"app.bin", 0x3000}, {"nv.bin", 0x1000}, {"factory.bin", 8192}, {"data.bin", kp7715 ? 512u : 4096u}};
}

TEST_P(WritePackageTest, EveryImageLandsAtItsBurnAddressLoaderInKilobyteFramesTheRestAtThePacketSize)
{
    Qx71Chip& chip = tool.StartChip();
    std::vector<PackageImage> images = Sim::SamplePackageImages();
    images.push_back({"never.bin", Bytes(100, 0x77), 0x200000, 0x1000, 16});
    Sim::FwpkgOptions options;
    options.layout = GetParam().layout;
    options.version = "v2.3";
    std::string package = tool.WritePackage(images, options);
    std::vector<std::string> words = {"-b", "921600", "-f", package};
    unsigned packetSize = GetParam().packetSize == 0 ? 1024 : GetParam().packetSize;
    if (GetParam().packetSize != 0) {
        words.insert(words.end(), {"--packet-size", std::to_string(packetSize)});
    }

    ProgramResult result = tool.Run("write", words);
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_THAT(result.output, testing::EndsWith(Verdict(package, true)));

    EXPECT_EQ(chip.FlashMap(), Sim::ExpectedFlashMap(images));
    std::vector<Qx71Image> received = chip.Images();
    ASSERT_EQ(Sim::ImageNames(received), (std::vector<std::string>{"loader.bin", "app.bin", "nv.bin", "factory.bin",
                                                                   "otp.bin", "version.bin", "data.bin"}));
    std::map<std::string, uint32_t> eraseSizes = ExpectedEraseSizes(std::string(GetParam().chip) == "kp7715");
    for (size_t i = 0; i < received.size(); ++i) {
        const Qx71Image& image = received[i];
        SCOPED_TRACE(image.name);
        EXPECT_TRUE(image.complete);
        EXPECT_EQ(image.data, images[i].data);
        EXPECT_EQ(image.frameSizes, std::set<size_t>{i == 0 ? 1024u : packetSize});
        EXPECT_EQ(image.baudRate, FAST_RATE);
        if (eraseSizes.count(image.name) != 0) {
            EXPECT_EQ(image.eraseSize, eraseSizes[image.name]);
        }
        EXPECT_NE(result.output.find("downloaded: " + image.name + " successfully.\n"), std::string::npos);
    }
    EXPECT_EQ(received.back().mode, 2u);  // data.bin is of type 14
    EXPECT_EQ(result.output.find("never.bin"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Packages, WritePackageTest,
    ::testing::Values(PackageCase{"CompactDefaultPacket", "qx71", Sim::FwpkgLayout::Compact, 0},
                      PackageCase{"CompactPacket2048", "qx71", Sim::FwpkgLayout::Compact, 2048},
                      PackageCase{"ExtendedPacket8192", "qx71", Sim::FwpkgLayout::Extended, 8192},
                      PackageCase{"CompactPacket8192", "kp7715", Sim::FwpkgLayout::Compact, 8192},
                      PackageCase{"ExtendedPacket2048", "kp7715", Sim::FwpkgLayout::Extended, 2048},
                      PackageCase{"ExtendedPacket4096", "kp7715", Sim::FwpkgLayout::Extended, 4096}),
    Sim::ChipCaseName<PackageCase>);

// ---- Console ----

using WriteConsoleTest = ToolChipTest;

TEST_P(WriteConsoleTest, ABurnPrintsEachImageWithItsBarThenTheVerdict)
{
    tool.StartChip();
    std::vector<PackageImage> images = {{"loader.bin", Sim::PatternBytes(3000, 1), 0, 0, 0},
                                        {"app.bin", Sim::PatternBytes(5000, 2), 0x10000, 0x2000, 1},
                                        {"otp\x1b[2J\a.bin", Sim::PatternBytes(16, 3), 0, 0, 3}};
    std::string package = tool.WritePackage(images);
    ProgramResult result = Write(tool, package, {"--packet-size", "2048"});
    EXPECT_EQ(result.exitCode, 0);
    // Progress is the share of the image sent after each acknowledged frame.
    EXPECT_EQ(result.output, Sim::PLEASE_RESET_LINE + Sim::ImageLines("loader.bin", {34, 68, 100}) +
                                 Sim::ImageLines("app.bin", {40, 81, 100}) + Sim::ImageLines("otp?[2J?.bin", {100}) +
                                 Verdict(package, true));
}

// A terminal turns each line end into CR LF.
std::string AsOnATerminal(const std::string& text)
{
    std::string shown;
    for (char c : text) {
        shown += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    return shown;
}

TEST_P(WriteConsoleTest, OnATerminalTheBarHidesTheCursorAndSuccessIsGreen)
{
    const std::string hide = "\x1b[?25l";
    const std::string show = "\x1b[?25h";
    const std::string green = "\x1b[32m";
    const std::string plain = "\x1b[0m";
    tool.StartChip();
    std::string package = tool.WritePackage({{"loader.bin", Sim::PatternBytes(3000, 1), 0, 0, 0},
                                             {"app.bin", Sim::PatternBytes(100, 2), 0x10000, 0, 1}});
    Sim::ProgramOptions options;
    options.output = Sim::OutputKind::Terminal;
    ProgramResult result = tool.Run("write", {"-f", package}, options);
    EXPECT_EQ(result.exitCode, 0);
    std::string expected = Sim::PLEASE_RESET_LINE + "C\nStart download: loader.bin.\n" + hide + Sim::ProgressBar(34) +
                           hide + Sim::ProgressBar(68) + hide + Sim::ProgressBar(100) + show + green +
                           "downloaded: loader.bin successfully.\n" + plain + "C\nStart download: app.bin.\n" + hide +
                           Sim::ProgressBar(100) + show + green + "downloaded: app.bin successfully.\n" + plain +
                           "\nBurn " + package + " successfully.\n" +
                           green + "\nWrite successfully.\n" + plain + show;
    EXPECT_EQ(result.output, AsOnATerminal(expected));
}

TEST_P(WriteConsoleTest, ChipConsoleTextAndFramesAskedForAgainDoNotDisturbTheBurn)
{
    Qx71Faults faults;
    faults.consoleText = "boot> ready\r\n";
    faults.askAgainFrame = 2;
    faults.damagedFrame = 5;
    Qx71Chip& chip = tool.StartChip(faults);
    std::vector<PackageImage> images = Sim::SamplePackageImages();
    std::string package = tool.WritePackage(images);
    ProgramResult result = Write(tool, package, {"-b", "921600"});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(chip.FlashMap(), Sim::ExpectedFlashMap(images));
    EXPECT_EQ(result.output.find("boot>"), std::string::npos) << result.output;
    EXPECT_THAT(result.output, testing::EndsWith(Verdict(package, true)));
}

INSTANTIATE_TEST_SUITE_P(Chips, WriteConsoleTest, ::testing::Values("qx71", "kp7715"), Sim::ChipParamName);

// ---- Rates ----

struct RateCase : Sim::NamedRow {
    bool switchAfterLoader;
    const char* chip;
};

using WriteRateTest = Sim::ChipCaseTest<RateCase>;

// Without the switch the handshake names the command line's rate and everything goes at it. With it,
// the handshake and the loader go at 115200, and the switch is the first command, right after the
// loader, sent at the old rate; the rest follow at the new one.
TEST_P(WriteRateTest, TheLoaderGoesAtTheHandshakesRateAndTheRestAtTheCommandLineRate)
{
    const bool switches = Row().switchAfterLoader;
    const unsigned startRate = switches ? BOOT_RATE : FAST_RATE;
    Qx71Chip& chip = tool.StartChip();
    std::vector<PackageImage> images = Sim::SamplePackageImages();
    std::vector<std::string> words = {"-b", "921600"};
    if (switches) {
        words.push_back("--switch-after-loader");
    }
    ProgramResult result = Write(tool, tool.WritePackage(images), words);
    EXPECT_EQ(result.exitCode, 0) << result.output;

    std::vector<Qx71Image> received = chip.Images();
    ASSERT_EQ(received.size(), 7u);
    EXPECT_EQ(received[0].baudRate, startRate);
    for (size_t i = 1; i < received.size(); ++i) {
        EXPECT_EQ(received[i].baudRate, FAST_RATE) << received[i].name;
    }
    for (const Sim::Qx71CommandFrame& frame : chip.CommandFrames()) {
        if (Sim::Qx71Command(frame.bytes) == Sim::QX71_SHAKE_HAND) {
            EXPECT_EQ(frame.bytes, Sim::Qx71BaudFrame(Sim::QX71_SHAKE_HAND, startRate));
        }
    }
    std::vector<Sim::Qx71CommandFrame> commands = chip.Commands();
    size_t first = switches ? 1 : 0;
    ASSERT_EQ(commands.size(), 6u + first);
    if (switches) {
        EXPECT_EQ(commands[0].bytes, Sim::Qx71BaudFrame(Sim::QX71_SWITCH_BAUD, FAST_RATE));
        EXPECT_EQ(commands[0].baudRate, BOOT_RATE);
    }
    for (size_t i = first; i < commands.size(); ++i) {
        EXPECT_NE(Sim::Qx71Command(commands[i].bytes), Sim::QX71_SWITCH_BAUD);
        EXPECT_EQ(commands[i].baudRate, FAST_RATE);
    }
    EXPECT_EQ(chip.FlashMap(), Sim::ExpectedFlashMap(images));
}

INSTANTIATE_TEST_SUITE_P(Rates, WriteRateTest,
                         ::testing::ValuesIn(Sim::ForEachChip<RateCase>({{"SwitchAfterLoader", true, ""},
                                                                         {"OneRate", false, ""}})),
                         Sim::ChipCaseName<RateCase>);

// ---- Choice of images ----

using OnlyBurnTest = ToolChipTest;

TEST_P(OnlyBurnTest, OnlyImagesWhoseNamesHoldAGivenNameLand)
{
    Qx71Chip& chip = tool.StartChip();
    std::vector<PackageImage> images = Sim::NamedPackageImages();
    std::string package = tool.WritePackage(images);
    ProgramResult result = Write(tool, package, {"--only-burn", "myapp", "--only-burn", "App"});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    // Letter case counts, and the loader is no exception.
    EXPECT_EQ(Sim::ImageNames(chip.Images()), (std::vector<std::string>{"myapp_b.bin", "App.bin"}));
    EXPECT_EQ(chip.FlashMap(), Sim::ExpectedFlashMap({images[2], images[3]}));
    EXPECT_EQ(result.output, Sim::PLEASE_RESET_LINE + Sim::ImageLines("myapp_b.bin", {100}) +
                                 Sim::ImageLines("App.bin", {100}) + Verdict(package, true));
}

// Each name must select an image that a burn sends; the first that does not is named: here "never",
// which only an image of the never-sent type holds.
TEST_P(OnlyBurnTest, ANameThatSelectsNoImageSentFailsWithFourBeforeAnythingIsSent)
{
    Qx71Chip& chip = tool.StartChip();
    std::vector<PackageImage> images = Sim::NamedPackageImages();
    images.push_back({"never.bin", Bytes(100, 0x77), 0x200000, 0x1000, 16});
    std::string package = tool.WritePackage(images);
    ProgramResult result = Write(tool, package, {"--only-burn", "app", "--only-burn", "never", "--only-burn", "APP"});
    EXPECT_EQ(result.exitCode, WRITE_FAILED);
    EXPECT_EQ(result.output, Sim::PLEASE_RESET_LINE + "error: --only-burn never matches no image of " + package +
                                 " that is burnt.\n" + Verdict(package, false));
    EXPECT_TRUE(chip.Wire().empty());
}

TEST_P(OnlyBurnTest, AMisspelledOptionFailsWithOneBeforeAnythingIsSent)
{
    Qx71Chip& chip = tool.StartChip();
    ProgramResult result = Write(tool, tool.WritePackage(Sim::NamedPackageImages()), {"--onlyburn", "App.bin"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output, "error: Unknown option '--onlyburn'.\nerror: Parse command arguments failed!\n");
    EXPECT_TRUE(chip.Wire().empty());
}

INSTANTIATE_TEST_SUITE_P(Chips, OnlyBurnTest, ::testing::Values("qx71", "kp7715"), Sim::ChipParamName);

// ---- Reset after the burn ----

using WriteResetTest = ToolChipTest;

TEST_P(WriteResetTest, WithResetTheResetFrameIsTheLastThingOnTheLine)
{
    Qx71Chip& chip = tool.StartChip();
    ProgramResult result = Write(tool, tool.WritePackage(Sim::NamedPackageImages()), {"-r"});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    ASSERT_TRUE(chip.WaitUntil([](const Qx71Chip& served) { return served.ResetSeen(); }, 5000));
    EXPECT_EQ(Sim::Tail(chip.Wire(), 12), Sim::RESET_FRAME);
    EXPECT_EQ(Sim::CommandBytes(chip).back(), Sim::RESET_FRAME);
}

TEST_P(WriteResetTest, WithoutResetTheLineEndsWithTheLastImage)
{
    Qx71Chip& chip = tool.StartChip();
    ProgramResult result = Write(tool, tool.WritePackage(Sim::NamedPackageImages()));
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_FALSE(chip.WaitUntil([](const Qx71Chip& served) { return served.ResetSeen(); }, 300));
    EXPECT_EQ(Sim::Tail(chip.Wire(), 133), Sim::YmodemClosingBlock());
}

INSTANTIATE_TEST_SUITE_P(Chips, WriteResetTest, ::testing::Values("qx71", "kp7715"), Sim::ChipParamName);

// ---- A chip that says no ----

struct RefusalCase : Sim::NamedRow {
    int refusedImage;
    int refusedCommand;
    std::vector<std::string> words;
    std::string tail;     // what the tool says last before its verdict
    size_t imagesSent;    // the first images of the package, which the chip received and kept
    size_t commandsSent;  // command frames but the handshakes
    const char* chip;
};

using WriteRefusalTest = Sim::ChipCaseTest<RefusalCase>;

// The write fails with 4, sends nothing after the refusal (no second try, no reset frame even with
// -r) and says why.
TEST_P(WriteRefusalTest, ARefusalFailsTheWriteWithFourAndNothingFollows)
{
    Qx71Faults faults;
    faults.refusedImage = Row().refusedImage;
    faults.refusedCommand = Row().refusedCommand;
    Qx71Chip& chip = tool.StartChip(faults);
    std::vector<PackageImage> images = Sim::NamedPackageImages();
    std::string package = tool.WritePackage(images);
    ProgramResult result = Write(tool, package, Row().words);
    EXPECT_EQ(result.exitCode, WRITE_FAILED);
    EXPECT_THAT(result.output, testing::EndsWith(Row().tail + Verdict(package, false)));
    std::vector<PackageImage> sent(images.begin(), images.begin() + static_cast<std::ptrdiff_t>(Row().imagesSent));
    std::vector<std::string> sentNames;
    for (const PackageImage& image : sent) {
        sentNames.push_back(image.name);
    }
    EXPECT_EQ(Sim::ImageNames(chip.Images()), sentNames);
    EXPECT_EQ(chip.FlashMap(), Sim::ExpectedFlashMap(sent));
    EXPECT_EQ(Sim::CommandBytes(chip).size(), Row().commandsSent);
    EXPECT_FALSE(chip.WaitUntil([](const Qx71Chip& served) { return served.ResetSeen(); }, 300));
}

std::string AppRefused()
{
    return "downloaded: loader.bin successfully.\nC\nStart download: app.bin.\n" + Sim::ProgressBar(100) +
           Sim::ACK_REFUSED_LINE + "Download: app.bin failed, the board refused it.\n";
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, WriteRefusalTest,
    ::testing::ValuesIn(Sim::ForEachChip<RefusalCase>({
        {"NegativeAckAfterAnImage", 1, -1, {}, AppRefused(), 2, 1, ""},
        {"NegativeAckAfterAnImageWithReset", 1, -1, {"-r"}, AppRefused(), 2, 1, ""},
        {"RefusedCommandFrame", -1, 1, {},  // myapp_b.bin's flash image frame
         "downloaded: app.bin successfully.\n" + Sim::ACK_REFUSED_LINE + "Send download flash image command failed.\n",
         2, 2, ""},
        {"RefusedBaudSwitch", -1, 0, {"-b", "921600", "--switch-after-loader"},  // right after the loader
         "downloaded: loader.bin successfully.\n" + Sim::ACK_REFUSED_LINE + "Wait switch baud rate ACK timeout.\n", 1,
         1, ""},
    })),
    Sim::ChipCaseName<RefusalCase>);

using RefusingChipTest = ToolChipTest;

TEST_P(RefusingChipTest, RefusedAndUnansweredHandshakesAreTriedAgainUntilTheChipAcks)
{
    Qx71Faults faults;
    faults.ignoredHandshakes = 3;
    faults.refusedHandshakes = 4;
    Qx71Chip& chip = tool.StartChip(faults);
    std::vector<PackageImage> images = Sim::NamedPackageImages();
    ProgramResult result = Write(tool, tool.WritePackage(images));
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_GE(chip.HandshakeFrames(), 8u);
    // A refused try is no failure of the command, so the driver says nothing about it.
    EXPECT_EQ(result.output.find("CheckAckFrame"), std::string::npos) << result.output;
    EXPECT_EQ(chip.FlashMap(), Sim::ExpectedFlashMap(images));
}

INSTANTIATE_TEST_SUITE_P(Chips, RefusingChipTest, ::testing::Values("qx71", "kp7715"), Sim::ChipParamName);

// ---- Packages that cannot be burnt ----

struct BadPackage {
    const char* name;
    Bytes bytes;
    std::string parserText;                      // the driver's line, after the prompt
    std::string refusal = "";                    // else the tool's own, before it
    std::vector<std::string> words = {"write"};  // the command, and words after -f
};

using BadPackageTest = ToolChipTest;

// The whole package is checked before the handshake, and what the road cannot carry before the prompt.
TEST_P(BadPackageTest, PackageThatDoesNotParseFailsWithFourBeforeAnythingIsSent)
{
    Qx71Chip& chip = tool.StartChip();
    Sim::FwpkgOptions badCrc;
    badCrc.corruptCrc = true;
    std::string text = "this is no firmware package, just a text file that happens to be long enough\n";
    Bytes cut = Sim::BuildFwpkg(Sim::NamedPackageImages());
    cut.pop_back();
    const PackageImage loader = Sim::NamedPackageImages()[0];
    const PackageImage app = Sim::NamedPackageImages()[1];
    auto named = [](PackageImage image, const char* name) { return image.name = name, image; };
    const std::string unnamed = "; this road would send it without a name.";
    const std::vector<BadPackage> packages = {
        {"crc.fwpkg", Sim::BuildFwpkg(Sim::NamedPackageImages(), badCrc), "fwpkg crc mismatch"},
        {"text.fwpkg", Bytes(text.begin(), text.end()), "not a fwpkg (bad magic flag)"},
        {"short.fwpkg", Bytes{'a', 'b', 'c'}, "fwpkg file too small"},
        {"cut.fwpkg", cut,
         "Image App.bin runs past the end of the package (offset " + std::to_string(cut.size() + 1 - 400) +
             ", length 400, package " + std::to_string(cut.size()) + " bytes)."},
        {"late.fwpkg", Sim::BuildFwpkg({app, loader}), "",
         "The loader loader.bin of " + tool.install.Path("late.fwpkg") +
             " is not the first image sent; the chip takes no image before its loader."},
        {"two.fwpkg", Sim::BuildFwpkg({loader, app, named(loader, "boot2")}), "", tool.install.Path("two.fwpkg") +
         " sends two loaders, loader.bin and boot2; the chip runs one loader.", {"read", "-z", "16"}},
        {"dir.fwpkg", Sim::BuildFwpkg({loader, named(app, "dir/")}), "",
         "Invalid image name in fwpkg: \"dir/\"" + unnamed},
        {"boot.fwpkg", Sim::BuildFwpkg({named(loader, "boot\\"), app}), "",
         "Invalid image name in fwpkg: \"boot\\\"" + unnamed, {"erase"}},
    };
    for (const BadPackage& bad : packages) {
        std::string path = tool.install.Path(bad.name);
        ASSERT_TRUE(Sim::WriteBinaryFile(path, bad.bytes));
        std::vector<std::string> words = {"-f", path};
        words.insert(words.end(), bad.words.begin() + 1, bad.words.end());
        ProgramResult result = tool.Run(bad.words[0], words);
        EXPECT_EQ(result.exitCode, WRITE_FAILED);
        std::string said = bad.refusal.empty()
                               ? Sim::PLEASE_RESET_LINE + bad.parserText + "\nFile: " + path + " format error!\n"
                               : "error: " + bad.refusal + "\n";
        std::map<std::string, std::string> verdicts = {{"write", Verdict(path, false)}, {"erase", "Erase failed.\n"}};
        EXPECT_EQ(result.output, said + verdicts[bad.words[0]]);
    }
    std::string missing = tool.install.Path("missing.fwpkg");
    for (const std::vector<std::string>& words : {std::vector<std::string>{}, {"--only-burn", "app"}}) {
        ProgramResult result = Write(tool, missing, words);
        EXPECT_EQ(result.exitCode, WRITE_FAILED);
        EXPECT_EQ(result.output,
                  "error: Cannot open the burn file " + missing + " (No such file or directory).\n\nWrite failed.\n");
    }
    EXPECT_TRUE(chip.Wire().empty());
}

INSTANTIATE_TEST_SUITE_P(Chips, BadPackageTest, ::testing::Values("qx71", "kp7715"), Sim::ChipParamName);

// ---- A chip that never answers ----

// The one slow test: the handshake gives up after its 60 s, and the tool ends instead of hanging.
TEST(WriteToSilentChipTest, WriteGivesUpAfterTheSixtySecondHandshakeWithFour)
{
    Sim::ToolChipBench tool(VEXIL_BUILD_DIR, "qx71");
    ASSERT_TRUE(tool.Ready());
    Qx71Faults faults;
    faults.silent = true;
    Qx71Chip& chip = tool.StartChip(faults);
    std::string package = tool.WritePackage(Sim::NamedPackageImages());

    long long start = Sim::NowMs();
    Sim::ProgramOptions options;
    options.timeoutMs = 150000;
    ProgramResult result = tool.Run("write", {"-b", "921600", "--before-reset", "-f", package}, options);
    long long elapsedMs = Sim::NowMs() - start;

    EXPECT_EQ(result.exitCode, WRITE_FAILED);
    EXPECT_GE(elapsedMs, 60000);
    EXPECT_LT(elapsedMs, 90000);
    EXPECT_EQ(result.output, Sim::PLEASE_RESET_LINE + "Shakehand failed, The board does not respond.\n" +
                                 Verdict(package, false));
    // Nothing but the handshake frame, again and again, with the at-reset text after every 100th.
    const Bytes handshake = Sim::Qx71BaudFrame(Sim::QX71_SHAKE_HAND, FAST_RATE);
    const std::string atReset = "at+rst\r\n";
    Sim::PtyBench::Delay(500);  // the chip takes what is still on the line
    size_t frames = chip.HandshakeFrames();
    EXPECT_GT(frames, 1000u);
    Bytes expected;
    for (size_t i = 1; i <= frames; ++i) {
        expected.insert(expected.end(), handshake.begin(), handshake.end());
        if (i % 100 == 0) {
            expected.insert(expected.end(), atReset.begin(), atReset.end());
        }
    }
    EXPECT_TRUE(chip.Wire() == expected);
}

}  // namespace
