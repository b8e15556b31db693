// vexil erase and read through the built executable against the virtual Qx71 and Kp7715 chips on a
// pty: the package's loader goes first, then the erase-all or upload frame; the flash, the file
// written, the console and the exit status.
#include <functional>
#include <set>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "FwpkgBuilder.h"
#include "Qx71Chip.h"
#include "Qx71Session.h"
#include "ProgramRunner.h"
#include "Qx71Wire.h"
#include "ScratchDir.h"
#include "TestSupport.h"
#include "ToolChipBench.h"
#include "ToolChipTest.h"

namespace {

using Sim::Bytes;
using Sim::ProgramResult;
using Sim::Qx71Chip;
using Sim::Qx71Faults;

constexpr int LOADER_FAILED = 4;
constexpr int READ_FAILED = 7;
constexpr int ERASE_FAILED = 12;
constexpr unsigned FAST_RATE = 921600;

const Bytes ERASE_ALL_FRAME = {0xEF, 0xBE, 0xAD, 0xDE, 0x18, 0x00, 0xD2, 0x2D, 0x00, 0x00, 0x00, 0x00,
                               0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0xFF, 0xA2, 0xE6};
const Bytes UPLOAD_4096_FROM_800000 = {0xEF, 0xBE, 0xAD, 0xDE, 0x12, 0x00, 0xB4, 0x4B, 0x00,
                                       0x10, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0xBF, 0xB5};

Bytes Joined(const Bytes& first, const Bytes& second)
{
    Bytes joined = first;
    joined.insert(joined.end(), second.begin(), second.end());
    return joined;
}

class ChipCommandTest : public Sim::ToolChipTest {
protected:
    void SetUp() override
    {
        Sim::ToolChipTest::SetUp();
        ASSERT_FALSE(package.empty());
    }

    // The loader's lines: no bar, since neither erase nor read prints progress.
    static std::string LoaderLines()
    {
        return Sim::PLEASE_RESET_LINE + Sim::ImageLines("loader.bin");
    }

    // A read into output that the chip holds back after its first data frame while meanwhile is done to
    // the file beside the output that the read is written into.
    ProgramResult ReadHeldBack(const std::string& output, const std::function<void(const std::string&)>& meanwhile)
    {
        Qx71Faults faults;
        faults.stalledDataFrame = 1;
        Qx71Chip& chip = tool.StartChip(faults);
        auto program = tool.Start("read", {"-f", package, "-z", "4096", "-o", output});
        size_t slash = output.rfind('/') + 1;
        EXPECT_TRUE(chip.WaitUntil(&Qx71Chip::Stalled, 5000));
        for (const std::string& name : Sim::FilesIn(output.substr(0, slash))) {
            part = name.find(".part") != std::string::npos ? output.substr(0, slash) + name : part;
        }
        meanwhile(part);
        chip.ResumeUpload();
        return program->Finish(5000);
    }

    std::string package = tool.WritePackage(Sim::NamedPackageImages());
    std::string part;
};

// ---- Erase ----

using EraseTest = ChipCommandTest;

TEST_P(EraseTest, LoaderThenEraseAllFrameEmptiesTheFlash)
{
    Qx71Chip& chip = tool.StartChip();
    chip.Preload(0x10000, Sim::PatternBytes(5000, 1));
    ProgramResult result = tool.Run("erase", {"-f", package});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output, LoaderLines() + "\nErase all flash successfully.\nErase successfully.\n");
    EXPECT_EQ(Sim::ImageNames(chip.Images()), std::vector<std::string>{"loader.bin"});
    EXPECT_EQ(Sim::CommandBytes(chip), std::vector<Bytes>{ERASE_ALL_FRAME});
    EXPECT_EQ(Sim::Tail(chip.Wire(), ERASE_ALL_FRAME.size()), ERASE_ALL_FRAME);
    EXPECT_EQ(chip.EraseAlls(), 1u);
    EXPECT_TRUE(chip.FlashMap().empty());
    EXPECT_FALSE(chip.WaitUntil([](const Qx71Chip& served) { return served.ResetSeen(); }, 300));
}

TEST_P(EraseTest, WithResetTheResetFrameFollowsTheEraseAllFrame)
{
    Qx71Chip& chip = tool.StartChip();
    ProgramResult result = tool.Run("erase", {"-f", package, "-r"});
    EXPECT_EQ(result.exitCode, 0);
    ASSERT_TRUE(chip.WaitUntil([](const Qx71Chip& served) { return served.ResetSeen(); }, 5000));
    EXPECT_EQ(Sim::Tail(chip.Wire(), ERASE_ALL_FRAME.size() + Sim::RESET_FRAME.size()),
              Joined(ERASE_ALL_FRAME, Sim::RESET_FRAME));
}

TEST_P(EraseTest, RefusedEraseAllFailsWithTwelveAndKeepsTheFlash)
{
    Qx71Faults faults;
    faults.refusedCommand = 0;
    Qx71Chip& chip = tool.StartChip(faults);
    chip.Preload(0x10000, Sim::PatternBytes(5000, 1));
    ProgramResult result = tool.Run("erase", {"-f", package, "-r"});
    EXPECT_EQ(result.exitCode, ERASE_FAILED);
    EXPECT_EQ(result.output, LoaderLines() + Sim::ACK_REFUSED_LINE +
                                 "Send erase all flash image command failed.\n"
                                 "\nerror: Erase all flash failed!\nErase failed.\n");
    EXPECT_EQ(chip.FlashMap().size(), 1u);
    EXPECT_FALSE(chip.WaitUntil([](const Qx71Chip& served) { return served.ResetSeen(); }, 300));
}

TEST_P(EraseTest, EraseWhoseLoaderIsRefusedSendsNoEraseAllFrame)
{
    Qx71Faults faults;
    faults.refusedImage = 0;
    Qx71Chip& chip = tool.StartChip(faults);
    chip.Preload(0x10000, Sim::PatternBytes(5000, 1));
    ProgramResult result = tool.Run("erase", {"-f", package});
    EXPECT_EQ(result.exitCode, ERASE_FAILED);
    EXPECT_EQ(result.output, Sim::PLEASE_RESET_LINE + "C\nStart download: loader.bin.\n" +
                                 Sim::ACK_REFUSED_LINE +
                                 "Download: loader.bin failed, the board refused it.\n"
                                 "\nerror: Erase all flash failed!\nErase failed.\n");
    EXPECT_TRUE(Sim::CommandBytes(chip).empty());
    EXPECT_EQ(chip.FlashMap().size(), 1u);
}

TEST_P(EraseTest, EraseWithAFileThatIsNoPackageFailsBeforeAnythingIsSent)
{
    Qx71Chip& chip = tool.StartChip();
    std::string image = tool.install.Path("app.bin");
    ASSERT_TRUE(Sim::WriteBinaryFile(image, Sim::PatternBytes(300, 1)));
    ProgramResult result = tool.Run("erase", {"-f", image});
    EXPECT_EQ(result.exitCode, ERASE_FAILED);
    EXPECT_EQ(result.output, Sim::PLEASE_RESET_LINE + "not a fwpkg (bad magic flag)\nFile: " + image +
                                 " format error!\n\nerror: Erase all flash failed!\nErase failed.\n");
    EXPECT_TRUE(chip.Wire().empty());
}

// A request the erase would drop, or a burn.config line it cannot read as meant, reaches no chip.
TEST_P(EraseTest, EraseThatCannotBeDoneAsAskedFailsWithOneBeforeAnythingIsSent)
{
    Qx71Chip& chip = tool.StartChip();
    for (const char* option : {"-e", "--address", "-z", "--only-burn"}) {
        ProgramResult result = tool.Run("erase", {"-f", package, option, "0x1000"});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.output,
                  "error: Erase always erases the whole flash; it takes no " + std::string(option) + ".\n");
    }
    std::string config = tool.install.Path("commented.config");
    ASSERT_TRUE(Sim::WriteTextFile(config, "reset=1 # on\n"));
    ProgramResult commented = tool.Run("erase", {"-f", package, "--config", config});
    EXPECT_EQ(commented.exitCode, 1);
    EXPECT_EQ(commented.output, "error: " + config + " line 1: 'reset=1 # on' holds a '#'; a comment takes a line of its own.\n");
    EXPECT_TRUE(chip.Wire().empty());
}

INSTANTIATE_TEST_SUITE_P(Chips, EraseTest, ::testing::Values("qx71", "kp7715"), Sim::ChipParamName);

// ---- Read ----

using ReadTest = ChipCommandTest;

TEST_P(ReadTest, FlashRangeGoesIntoTheOutputFile)
{
    Qx71Chip& chip = tool.StartChip();
    Bytes flash = Sim::PatternBytes(4096, 7);
    chip.Preload(0x800000, flash);
    std::string output = tool.install.Path("flash\x1b[2J.bin");
    ProgramResult result = tool.Run("read", {"-f", package, "-a", "0x800000", "-z", "4096", "-o", output});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output, LoaderLines() + "\nBurn " + package + " successfully.\n\nRead " +
                                 tool.install.Path("flash?[2J.bin") + " successfully.\n");
    EXPECT_EQ(Sim::ReadBinaryFile(output), flash);
    EXPECT_EQ(Sim::ImageNames(chip.Images()), std::vector<std::string>{"loader.bin"});
    EXPECT_EQ(Sim::CommandBytes(chip), std::vector<Bytes>{UPLOAD_4096_FROM_800000});
    // The receiver's last ACK may still be on its way to the chip when the tool has ended.
    EXPECT_TRUE(chip.WaitUntil([](const Qx71Chip& served) { return served.Uploads() == 1; }, 5000));
}

TEST_P(ReadTest, WithoutOutputTheFileGoesBesideThePackageEvenOverADamagedLine)
{
    Qx71Faults faults;
    faults.corruptUploadFrame = 1;
    Qx71Chip& chip = tool.StartChip(faults);
    // Two written stretches with erased flash around and between them.
    chip.Preload(0x10000, Sim::PatternBytes(5000, 1));
    chip.Preload(0x12000, Sim::PatternBytes(3000, 2));
    std::string output = tool.install.Path("app_read.bin");
    ProgramResult result = tool.Run("read", {"-f", package, "-b", "921600", "-a", "0xF000", "-z", "12000"});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(result.output,
              LoaderLines() + "\nBurn " + package + " successfully.\n\nRead " + output + " successfully.\n");
    EXPECT_EQ(Sim::ReadBinaryFile(output), chip.ReadFlash(0xF000, 12000));
    EXPECT_EQ(chip.Images().front().baudRate, FAST_RATE);
    EXPECT_EQ(chip.Commands().back().baudRate, FAST_RATE);
}

TEST_P(ReadTest, RefusedUploadFailsWithSevenAndNamesTheOutput)
{
    Qx71Faults faults;
    faults.refusedCommand = 0;
    tool.StartChip(faults);
    std::string output = tool.install.Path("flash.bin");
    ProgramResult result = tool.Run("read", {"-f", package, "-z", "4096", "-o", output});
    EXPECT_EQ(result.exitCode, READ_FAILED);
    EXPECT_EQ(result.output, LoaderLines() + "\nBurn " + package + " successfully.\n" + Sim::ACK_REFUSED_LINE +
                                 "Send upload data command failed.\n\nerror: Read " + output + " failed.\nnote: Removed the "
                                 "incomplete read; nothing was made at " + output + ".\n");
}

TEST_P(ReadTest, OutputThatCannotBeCreatedFailsWithSeven)
{
    tool.StartChip();
    std::string output = tool.install.Path("no-such-dir/flash.bin");
    ProgramResult result = tool.Run("read", {"-f", package, "-z", "4096", "-o", output});
    EXPECT_EQ(result.exitCode, READ_FAILED);
    EXPECT_EQ(result.output, "error: Cannot create the output file: " + output + " (No such file or directory).\n");
}

// The output is a pipe that the caller holds, named as bash names the one of -o >(gzip >dump.gz).
TEST_P(ReadTest, PipeNamedByTheKernelsLinkIsWrittenInto)
{
    Qx71Chip& chip = tool.StartChip();
    chip.Preload(0, Sim::PatternBytes(4096, 3));
    int ends[2] = {-1, -1};
    ASSERT_EQ(pipe(ends), 0);  // the tool inherits both ends
    ProgramResult result = tool.Run("read", {"-f", package, "-z", "4096", "-o", "/dev/fd/" + std::to_string(ends[1])});
    close(ends[1]);
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(Sim::ReadBinaryFile("/dev/fd/" + std::to_string(ends[0])), chip.ReadFlash(0, 4096));
    close(ends[0]);
}

// The output's name becomes a directory while the chip holds the upload back.
TEST_P(ReadTest, WholeReadThatCannotBePutInPlaceIsKeptAndTold)
{
    std::string output = tool.install.Path("flash.bin");
    ProgramResult result =
        ReadHeldBack(output, [&](const std::string&) { ASSERT_EQ(mkdir(output.c_str(), 0700), 0); });
    EXPECT_EQ(result.exitCode, READ_FAILED);
    EXPECT_THAT(result.output, testing::EndsWith("in place of " + output + " (Is a directory).\n\nerror: Read " +
                                                 output + " failed.\nnote: The whole read is kept in " + part + ".\n"));
    EXPECT_EQ(Sim::ReadBinaryFile(part), tool.chip->ReadFlash(0, 4096));
}

// In a directory that the other user owns, that user swaps the file the read is written into for a
// link to a file of root's while the chip holds the upload back: nothing is written through the link,
// and the read is no success.
TEST_P(ReadTest, FileBesideSwappedByAnotherUserIsNeitherPutInPlaceNorWrittenThrough)
{
    if (!Sim::MayActAsNobody()) {
        GTEST_SKIP() << Sim::NOT_AS_NOBODY;
    }
    std::string theirs = tool.install.Path("theirs");
    std::string secret = tool.install.Path("secret.bin");
    ASSERT_TRUE(chmod(tool.install.Dir().c_str(), 0711) == 0 && mkdir(theirs.c_str(), 0755) == 0 &&
                chown(theirs.c_str(), Sim::NOBODY, Sim::NOBODY) == 0 && Sim::WriteTextFile(secret, "secret"));
    std::string output = theirs + "/flash.bin";
    ProgramResult result = ReadHeldBack(output, [&](const std::string& beside) {
        EXPECT_TRUE(Sim::RunAsNobody("mv " + beside + " " + theirs + "/moved && ln -s " + secret + " " + beside));
    });
    EXPECT_EQ(result.exitCode, READ_FAILED);
    EXPECT_THAT(result.output, testing::EndsWith("error: Cannot put the read in place of " + output + ": " + part +
                                                 " no longer names the file it was written into.\n\nerror: Read " +
                                                 output + " failed.\n"));
    EXPECT_EQ(Sim::ReadBinaryFile(secret), (Bytes{'s', 'e', 'c', 'r', 'e', 't'}));
    EXPECT_EQ(Sim::FilesIn(theirs), (std::set<std::string>{"moved", part.substr(theirs.size() + 1)}));
}

TEST_P(ReadTest, RefusedLoaderFailsWithFourAndNothingIsAskedOfTheFlash)
{
    Qx71Faults faults;
    faults.refusedImage = 0;
    Qx71Chip& chip = tool.StartChip(faults);
    std::string output = tool.install.Path("flash.bin");
    ProgramResult result = tool.Run("read", {"-f", package, "-z", "4096", "-o", output});
    EXPECT_EQ(result.exitCode, LOADER_FAILED);
    EXPECT_EQ(result.output, Sim::PLEASE_RESET_LINE + "C\nStart download: loader.bin.\n" +
                                 Sim::ACK_REFUSED_LINE +
                                 "Download: loader.bin failed, the board refused it.\n"
                                 "\nerror: Burn " + package + " failed!\n");
    EXPECT_TRUE(Sim::CommandBytes(chip).empty());
    EXPECT_TRUE(Sim::ReadBinaryFile(output).empty());
}

// The chip goes away in the middle of the upload, the read runs past the file-size limit, or another user's
// link lies on the way to the output: the older file of that name stays as it was, and nothing is left beside it.
struct CutShortCase : Sim::NamedRow {
    int goneAtUploadFrame;
    std::vector<std::string> launcher;
    const char* via = "";  // another user's link on the way from the install's directory to the output
    const char* refusal = "";        // the system's reason, where the output is refused before the read
    const char* file = "flash.bin";  // the output's; the package is app.fwpkg
    int turnsIntoA = 0;              // "a/..//" each, on the way to it
    const char* chip = "";
};

using CutShortReadTest = Sim::ChipCaseTest<CutShortCase>;

TEST_P(CutShortReadTest, FailsWithSevenAndLeavesTheOlderOutputAsItWas)
{
    std::string link = tool.install.Path(Row().via);
    bool theirs = *Row().via != '\0';
    if (theirs && !(Sim::MayActAsNobody() && chmod(tool.install.Dir().c_str(), 01770) == 0 &&
                    symlink(".", link.c_str()) == 0 && lchown(link.c_str(), Sim::NOBODY, 0) == 0)) {
        GTEST_SKIP() << Sim::NOT_AS_NOBODY;
    }
    Qx71Faults faults;
    faults.goneAtUploadFrame = Row().goneAtUploadFrame;
    tool.StartChip(faults);
    std::string output = (theirs ? link : tool.install.Dir()) + "/";
    std::string kept = output + Row().file;
    for (int turn = 0; turn < Row().turnsIntoA; ++turn) {
        output += "a/..//";
    }
    output += Row().file;
    ASSERT_TRUE(Sim::WriteTextFile(kept, "old") && mkdir(tool.install.Path("a").c_str(), 0755) == 0);
    std::string package = tool.WritePackage(Sim::NamedPackageImages());
    Bytes before = Sim::ReadBinaryFile(kept);
    std::set<std::string> files = Sim::FilesIn(tool.install.Dir());
    Sim::ProgramOptions options;
    options.launcher = Row().launcher;
    ProgramResult result = tool.Run("read", {"-f", package, "-z", "4096", "-o", output}, options);
    EXPECT_EQ(result.exitCode, READ_FAILED);
    EXPECT_THAT(result.output, testing::EndsWith(*Row().refusal != '\0' ? "error: Cannot create the output file: " +
                                                 output + " (" + Row().refusal + ").\n" : " failed.\nnote: Removed the "
                                                 "incomplete read; " + output + " is as it was before.\n"));
    EXPECT_EQ(Sim::FilesIn(tool.install.Dir()), files);
    EXPECT_EQ(Sim::ReadBinaryFile(kept), before);
}

INSTANTIATE_TEST_SUITE_P(Reads, CutShortReadTest,
                         ::testing::ValuesIn(Sim::ForEachChip<CutShortCase>({
                             {"ChipGoneMidway", 2, {}},
                             {"PastTheFileSizeLimit", -1, {"/usr/bin/prlimit", "--fsize=2048"}},
                             {"ThroughAGroupMembersLink", -1, {}, "dumps", "Permission denied"},
                             {"PackageByAPathTooLongForTheKernel", -1, {}, "", "File name too long", "app.fwpkg", 800},
                         })),
                         Sim::ChipCaseName<CutShortCase>);

// A read that replaces a dump but not its owner grants no one more than the dump did: READER, who could
// not read the old dump, cannot read the new one. The tool runs as root, or as a user of two groups.
struct ReplacedDumpCase : Sim::NamedRow {
    const char* put;           // by sh on root's dump of mode 0640, with the dump as $1 and its directory as $2
    const char* readerGroups;  // READER's, "" for none
    std::vector<std::string> launcher = {};
    bool acl = false;
    const char* chip = "qx71";
};

const char* const READER = "4243";
using ReplacedDumpTest = Sim::ChipCaseTest<ReplacedDumpCase>;

TEST_P(ReplacedDumpTest, IsReadByNoOneWhoCouldNotReadTheOldDump)
{
    std::string directory = tool.install.Path("dumps");
    std::string dump = directory + "/flash.bin";
    if (!Sim::MayActAsNobody()) {
        GTEST_SKIP() << Sim::NOT_AS_NOBODY;
    }
    ASSERT_TRUE(mkdir(directory.c_str(), 0755) == 0 && Sim::WriteTextFile(dump, "old") &&
                chmod(dump.c_str(), 0640) == 0 && chmod(tool.install.Dir().c_str(), 0711) == 0 &&
                chmod(tool.bench.PortPath().c_str(), 0666) == 0);
    int put = Sim::RunProgram({"/bin/sh", "-c", Row().put, "sh", dump, directory}).exitCode;
    if (put != 0 && Row().acl) {
        GTEST_SKIP() << "needs setfacl (Debian's acl) and a file system with POSIX ACLs";
    }
    ASSERT_EQ(put, 0);
    tool.StartChip();
    Sim::ProgramOptions options;
    options.launcher = Row().launcher;
    ProgramResult result =
        tool.Run("read", {"-f", tool.WritePackage(Sim::NamedPackageImages()), "-z", "16", "-o", dump}, options);
    EXPECT_EQ(result.exitCode, 0) << result.output;
    std::string groups = *Row().readerGroups != '\0' ? std::string("--groups=") + Row().readerGroups : "--clear-groups";
    EXPECT_NE(Sim::RunProgram({"/usr/bin/setpriv", std::string("--reuid=") + READER, std::string("--regid=") + READER,
                               groups, "/usr/bin/test", "-r", dump}).exitCode, 0);
}

INSTANTIATE_TEST_SUITE_P(Reads, ReplacedDumpTest,
                         ::testing::ValuesIn(std::vector<ReplacedDumpCase>({
                             {"SecondNameInASetgidStickyDirectory", "ln $1 $2/2 && chgrp 4241 $2 && chmod 3777 $2",
                              "4241"},
                             {"SecondNameWhereTheDefaultAclNamesTheReader",
                              "ln $1 $2/2 && chmod 1777 $2 && setfacl -d -m u:4243:r $2", "", {}, true},
                             {"OfAGroupOfTheUserInATeamsDirectory", "chgrp 4241 $1 && chmod 660 $1 && chgrp 4242 $2 && "
                              "chmod 2770 $2", "4242", {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                              "--groups=4241,4242"}},
                         })),
                         Sim::ChipCaseName<ReplacedDumpCase>);

INSTANTIATE_TEST_SUITE_P(Chips, ReadTest, ::testing::Values("qx71", "kp7715"), Sim::ChipParamName);

}  // namespace
