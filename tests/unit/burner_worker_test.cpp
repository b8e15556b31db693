// The burner workers through the device API, with a recording chip driver behind a real pty port.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <climits>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Burn.h"
#include "BurnChipBase.h"
#include "BurnCommands.h"
#include "BurnContext.h"
#include "ConnectionBurnerWorker.h"
#include "TypeSixBurnerWorker.h"
#include "DfuBurnerWorker.h"
#include "FileDescriptor.h"
#include "FwpkgBuilder.h"
#include "Kp7715BurnerWorker.h"
#include "PendingOutput.h"
#include "ProgramRunner.h"
#include "PtyBench.h"
#include "Qx71BurnerWorker.h"
#include "RecordingChip.h"
#include "SerialWire.h"
#include "TestSupport.h"
#include "ToolChipBench.h"
#include "ToolInstall.h"

using BurnInfo::BurnContext;
using Sim::Bytes;

namespace {

using Sim::PLEASE_RESET_LINE;
using Sim::RESET_FRAME;
const std::string BAR_HALF_THEN_FULL = Sim::ProgressBar(50) + Sim::ProgressBar(100);
constexpr int WIRE_SETTLE_MS = 30;

std::vector<std::string> Strings(std::initializer_list<std::string> texts)
{
    return std::vector<std::string>(texts.begin(), texts.end());
}

// The words name burn files as a user beside them would: the tests run in the install's directory.
class WorkerTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(install.Ready());
        ASSERT_TRUE(Sim::WriteBinaryFile(install.Path("a.fwpkg"), {}) &&
                    Sim::WriteBinaryFile(install.Path("a.bin"), {}));
        std::filesystem::current_path(install.Dir());
        ASSERT_TRUE(bench.IsOpen());
        ASSERT_TRUE(install.AddChip("conn", "ChipType=0x30001\nSupportedTransports=serial\n"));
        ASSERT_TRUE(install.AddChip("mcu", "ChipType=0x40001\nSupportedTransports=serial,usb\n"));
        SetIsOnlyBurnLoader(0);
        BurnContext::m_isOpenDebug = false;
        Sim::ResetWorkerProgress();
    }

    // The filled context of "vexil write <words>" as the set-up leaves it, read from the private install.
    std::unique_ptr<BurnContext> Context(const std::vector<std::string>& words)
    {
        std::vector<std::string> arguments = {"vexil", "write"};
        arguments.insert(arguments.end(), words.begin(), words.end());
        std::vector<char*> argv = Sim::ArgumentPointers(arguments);
        auto context = std::make_unique<BurnContext>();
        context->InitExePath(install.ExeLink().c_str());
        testing::internal::CaptureStdout();
        int ready = InitBurnParam(static_cast<int>(arguments.size()), argv.data(), context.get());
        output = testing::internal::GetCapturedStdout();
        EXPECT_EQ(ready, 0) << output;
        return ready == 0 ? std::move(context) : nullptr;
    }

    std::unique_ptr<BurnerWorkerBase> Worker(const std::vector<std::string>& words)
    {
        std::unique_ptr<BurnContext> context = Context(words);
        if (context == nullptr) {
            return nullptr;
        }
        int chipType = context->GetChipType();
        testing::internal::CaptureStdout();
        std::unique_ptr<BurnerWorkerBase> worker = NewBurnerWorker(chipType, std::move(context));
        output = testing::internal::GetCapturedStdout();
        return worker;
    }

    // Runs one operation and deletes the worker, as the commands do; output keeps what was printed and
    // wire what reached the port. The port discards what is still unread when it closes, so the wire is
    // read while it is open (unless a device thread of the bench reads it).
    int Run(std::unique_ptr<BurnerWorkerBase> worker, int (BurnerWorkerBase::*operation)())
    {
        testing::internal::CaptureStdout();
        int result = ((*worker).*operation)();
        if (readWireBeforeClose) {
            wire = bench.ReadFor(WIRE_SETTLE_MS);
        }
        worker.reset();
        output = testing::internal::GetCapturedStdout();
        return result;
    }

    int RunWords(const std::vector<std::string>& words, int (BurnerWorkerBase::*operation)())
    {
        std::unique_ptr<BurnerWorkerBase> worker = Worker(words);
        if (worker == nullptr) {
            ADD_FAILURE() << "no worker: " << output;
            return -1;
        }
        return Run(std::move(worker), operation);
    }

    std::vector<std::string> Port(std::vector<std::string> words)
    {
        words.insert(words.end(), {"-p", bench.PortPath()});
        return words;
    }

    void TearDown() override { std::filesystem::current_path(testDirectory); }

    Sim::ToolInstall install{VEXIL_BUILD_DIR, Sim::ToolInstall::Executable::LinkOnly};
    std::filesystem::path testDirectory = std::filesystem::current_path();
    Sim::PtyBench bench;
    Sim::RecordingChips chips;
    std::string output;
    Bytes wire;
    bool readWireBeforeClose = true;
};

TEST(SebootResetTest, FrameBytes)
{
    std::vector<unsigned char> frame = Qx71BurnerWorkerSp::BuildSebootReset();
    EXPECT_EQ(Bytes(frame.begin(), frame.end()), RESET_FRAME);
}

TEST(ReadOutputPathTest, OptionWinsElseTheNameComesFromThePackage)
{
    using Qx71BurnerWorkerSp::ReadOutputPath;
    EXPECT_EQ(ReadOutputPath("fw/app.fwpkg", "flash.bin"), "flash.bin");
    EXPECT_EQ(ReadOutputPath("fw/app.fwpkg", ""), "fw/app_read.bin");
    EXPECT_EQ(ReadOutputPath("app.fwpkg", ""), "app_read.bin");
    EXPECT_EQ(ReadOutputPath("/a.b/fw.v2.fwpkg", ""), "/a.b/fw.v2_read.bin");
    EXPECT_EQ(ReadOutputPath("/a.b/package", ""), "/a.b/package_read.bin");
}

// A FIFO is written through the handle taken when it was checked: one put at its name since gets
// nothing, and no reader of it is waited for.
TEST_F(WorkerTest, FifoPutAtTheOutputsNameAfterTheCheckGetsNothing)
{
    std::string fifo = install.Path("out.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    FileDescriptor checked(open(fifo.c_str(), O_RDONLY | O_NONBLOCK));
    PendingOutput output(fifo);
    ASSERT_TRUE(output.Check() && unlink(fifo.c_str()) == 0 && mkfifo(fifo.c_str(), 0600) == 0);
    FileDescriptor swapped(open(fifo.c_str(), O_RDONLY | O_NONBLOCK));  // a write to it must not wait
    ASSERT_TRUE(output.Create() && Sim::WriteBinaryFile(output.Path(), {7}));
    char byte = 0;
    EXPECT_EQ(read(checked.Get(), &byte, 1), 1);
}

TEST(RawCommandTest, GoAndEraseCommandBytes)
{
    EXPECT_EQ(BurnerWorkerBase::GoCommandBytes(0x08000004), (std::vector<unsigned char>{0xBA, 0x08, 0x00, 0x00, 0x04}));
    EXPECT_EQ(BurnerWorkerBase::EraseCommandBytes(0x08000000, 0x12345),
              (std::vector<unsigned char>{0xE4, 0x08, 0x00, 0x00, 0x00, 0x00, 0x01, 0x23, 0x45}));
    // Only the low 32 bits of an address are sent.
    EXPECT_EQ(BurnerWorkerBase::GoCommandBytes(0x1FFFFFFFFUL),
              (std::vector<unsigned char>{0xBA, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST_F(WorkerTest, WorkerChoiceFollowsTransportAndChipType)
{
    std::unique_ptr<BurnerWorkerBase> worker = Worker(Port({"-c", "qx71", "-f", "a.fwpkg"}));
    ASSERT_NE(worker, nullptr);
    EXPECT_NE(dynamic_cast<Qx71BurnerWorkerSp::Qx71BurnerWorker*>(worker.get()), nullptr);
    EXPECT_EQ(dynamic_cast<Kp7715BurnerWorkerSp::Kp7715BurnerWorker*>(worker.get()), nullptr);
    EXPECT_EQ(BurnChipBase::m_chipType, 0x30004u);

    worker = Worker(Port({"-c", "KP7715", "-f", "a.fwpkg"}));
    EXPECT_NE(dynamic_cast<Kp7715BurnerWorkerSp::Kp7715BurnerWorker*>(worker.get()), nullptr);
    EXPECT_EQ(BurnChipBase::m_chipType, 0x30005u);
    EXPECT_EQ(BurnChipBase::m_department, 3u);

    worker = Worker(Port({"-c", "conn", "-f", "a.bin"}));
    EXPECT_NE(dynamic_cast<ConnectionBurnerWorker*>(worker.get()), nullptr);

    for (const char* chip : {"qx71", "mcu"}) {
        worker = Worker({"-c", chip, "-d", "0483:df11", "-f", "a.fwpkg"});
        EXPECT_NE(dynamic_cast<DfuBurnerWorkerSp::DfuBurnerWorker*>(worker.get()), nullptr) << chip;
    }
    worker = Worker({"-d", "-f", "a.bin"});
    EXPECT_NE(dynamic_cast<DfuBurnerWorkerSp::DfuBurnerWorker*>(worker.get()), nullptr);
    EXPECT_EQ(output, "");
    EXPECT_EQ(chips.Record().chipsMade, 0);  // building a worker opens nothing
}

TEST_F(WorkerTest, NoWorkerForOtherDepartmentsOverSerialButOneForTypeSix)
{
    EXPECT_EQ(Worker(Port({"-c", "mcu", "-f", "a.bin"})), nullptr);
    EXPECT_EQ(output, "error: Invalid chiptype :262145\n");
    output.clear();
    auto worker = Worker(Port({"-c", "typesix", "-f", "a.fwpkg"}));
    EXPECT_NE(dynamic_cast<TypeSixBurnerWorkerSp::TypeSixBurnerWorker*>(worker.get()), nullptr);
    EXPECT_EQ(output, "");
}

class Qx71WorkerTest : public WorkerTest, public testing::WithParamInterface<const char*> {};

TEST_P(Qx71WorkerTest, BurnHandsEverySettingToTheDriverBeforeTheDownload)
{
    std::string package = install.Path("a.fwpkg");
    int result = RunWords(Port({"-c", GetParam(), "-b", "921600", "-f", package, "--switch-after-loader",
                                "--before-reset", "--burn-interval", "20", "--only-burn", "app", "--only-burn",
                                "boot", "-a", "0x1000"}),
                          &BurnerWorkerBase::Burn);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(chips.Record().calls,
              Strings({"SetSwitchAfterLoader(1)", "SetOnlyBurnNames(app,boot)", "SetCtrlPeriod(20)",
                       "SetBeforeReset(1)", "SetAtResetCommand(at+rst\r\n)",
                       "DownloadAllinoneBin(" + package + ",4096)"}));
    EXPECT_EQ(chips.Record().targetBaudAtDownload, 921600u);
    EXPECT_FALSE(chips.Record().onlyBurnLoaderAtDownload);
    EXPECT_EQ(output, PLEASE_RESET_LINE + BAR_HALF_THEN_FULL + "\nBurn " + package + " successfully.\n");
    EXPECT_EQ(wire, Bytes());  // no reset frame unless asked for
}

TEST_P(Qx71WorkerTest, BurnWithDefaultsAndAResetFrame)
{
    ASSERT_TRUE(install.AddChip("qxat", "ChipType=0x30004\nResetAtCommand=AT+REBOOT\n"));
    std::string chip = std::string(GetParam()) == "qx71" ? "qxat" : GetParam();
    EXPECT_EQ(RunWords(Port({"-c", chip, "-f", "a.fwpkg", "-r"}), &BurnerWorkerBase::Burn), 0);
    std::string atCommand = chip == "qxat" ? "AT+REBOOT\r\n" : "at+rst\r\n";
    EXPECT_EQ(chips.Record().calls,
              Strings({"SetSwitchAfterLoader(0)", "SetOnlyBurnNames()", "SetCtrlPeriod(10)", "SetBeforeReset(0)",
                       "SetAtResetCommand(" + atCommand + ")",
                       "DownloadAllinoneBin(" + install.Path("a.fwpkg") + ",0)"}));
    EXPECT_EQ(chips.Record().targetBaudAtDownload, 115200u);
    EXPECT_EQ(wire, RESET_FRAME);
    chips.Record().afterDownload = [this]() { bench.HangUp(); };  // the burn is whole, the device gone
    readWireBeforeClose = false;
    EXPECT_EQ(RunWords(Port({"-c", chip, "-f", "a.fwpkg", "-r"}), &BurnerWorkerBase::Burn), 0);
    EXPECT_THAT(output, testing::EndsWith("The device has disconnected.\nnote: The reset asked for was not sent.\n"));
}

TEST_P(Qx71WorkerTest, FailedBurnSendsNoResetFrame)
{
    chips.Record().downloadSucceeds = false;
    EXPECT_EQ(RunWords(Port({"-c", GetParam(), "-f", "a.fwpkg", "-r"}), &BurnerWorkerBase::Burn), 4);
    EXPECT_EQ(output, PLEASE_RESET_LINE + BAR_HALF_THEN_FULL + "\nerror: Burn a.fwpkg failed!\n");
    EXPECT_EQ(wire, Bytes());
}

TEST_P(Qx71WorkerTest, EraseBringsOnlyTheLoaderUpAndResetsWhenAsked)
{
    int result = RunWords(Port({"-c", GetParam(), "-f", "a.fwpkg", "-r", "--before-reset", "--burn-interval", "20"}),
                          &BurnerWorkerBase::Erase);
    EXPECT_EQ(result, 0);
    const std::vector<std::string>& calls = chips.Record().calls;
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[0], "SetBeforeReset(1)");
    EXPECT_EQ(calls[1], "SetAtResetCommand(at+rst\r\n)");
    EXPECT_EQ(calls.back(), "EraseAllFlash()");
    EXPECT_TRUE(BurnChipBase::m_isOnlyBurnLoader);
    EXPECT_EQ(output, PLEASE_RESET_LINE + "\nErase all flash successfully.\n");
    EXPECT_EQ(wire, RESET_FRAME);
}

TEST_P(Qx71WorkerTest, FailedEraseSendsNoResetFrame)
{
    chips.Record().eraseSucceeds = false;
    EXPECT_EQ(RunWords(Port({"-c", GetParam(), "-f", "a.fwpkg", "-r"}), &BurnerWorkerBase::Erase), 12);
    EXPECT_EQ(output, PLEASE_RESET_LINE + "\nerror: Erase all flash failed!\n");
    EXPECT_EQ(wire, Bytes());
}

TEST_P(Qx71WorkerTest, ReadSendsTheLoaderThenWritesFlashBesideThePackage)
{
    chips.Record().flash = Sim::PatternBytes(4096, 7);
    std::string package = install.Path("a.fwpkg");
    std::string written = install.Path("a_read.bin");
    int result =
        RunWords(Port({"-c", GetParam(), "-f", package, "-a", "0x800000", "-z", "4k"}), &BurnerWorkerBase::Read);
    EXPECT_EQ(result, 0);
    // Into the file this run made beside the output, through its descriptor; it becomes the output once
    // the read is whole.
    EXPECT_THAT(chips.Record().calls,
                testing::ElementsAre("DownloadAllinoneBin(" + package + ",8388608)",
                                     testing::StartsWith("UploadFile(8388608,4096,/proc/self/fd/")));
    EXPECT_TRUE(chips.Record().onlyBurnLoaderAtDownload);
    EXPECT_EQ(Sim::ReadBinaryFile(written), chips.Record().flash);
    // No bar is drawn for the loader of a read.
    EXPECT_EQ(output, PLEASE_RESET_LINE + "\nBurn " + package + " successfully.\n\nRead " + written + " successfully.\n");
}

// The read is no more open than the file it replaces (mode, access ACL and other extended attributes)
// or than a file made in that directory; its name may be as long as a file system takes.
const char* const RIGHTS_CASES[] = {
    "echo old >$1 && chmod 640 $1",
    "echo old >$1 && chmod 600 $1 && setfacl -m u:nobody:r $1",  // group bits that are the ACL's mask
    "echo old >$1 && setfacl -d -m u:nobody:rw $2",              // an ACL the directory gives new files
    "setfacl -d -m u::rw,g::r,o::- $2",                          // a default ACL in place of the umask
};

std::string Rights(const std::string& path)
{
    char note[8] = {0};
    (void)getxattr(path.c_str(), "user.note", note, sizeof(note) - 1);
    return Sim::RunProgram({"/bin/sh", "-c", "getfacl -cp $0", path}).output + note;
}

TEST_P(Qx71WorkerTest, ReadWritesToTheOutputOptionNoMoreOpenThanTheFileItReplacesOrANewOne)
{
    Sim::ScopedUmask mask(022);
    std::string directory = install.Path("rights");
    std::string written = directory + "/" + std::string(NAME_MAX, 'f');
    if (mkdir(directory.c_str(), 0755) != 0 ||
        Sim::RunProgram({"/bin/sh", "-c", "setfacl -m u::rwx $0", directory}).exitCode != 0) {
        GTEST_SKIP() << "needs setfacl (Debian's acl) and a file system with POSIX ACLs";
    }
    chips.Record().flash = {1, 2, 3};
    for (const char* put : RIGHTS_CASES) {
        SCOPED_TRACE(put);
        std::string shell = std::string("rm -f $2/* && setfacl -k $2 && ") + put + " && touch $2/made";
        ASSERT_EQ(Sim::RunProgram({"/bin/sh", "-c", shell, "sh", written, directory}).exitCode, 0);
        (void)setxattr(written.c_str(), "user.note", "kept", 4, 0);  // where the output exists
        std::string expected = Rights(access(written.c_str(), F_OK) == 0 ? written : directory + "/made");
        EXPECT_EQ(RunWords(Port({"-c", GetParam(), "-f", "a.fwpkg", "-z", "3", "-o", written}),
                           &BurnerWorkerBase::Read),
                  0);
        EXPECT_EQ(Rights(written), expected);
        EXPECT_EQ(Sim::ReadBinaryFile(written), chips.Record().flash);
    }
    EXPECT_THAT(chips.Record().calls.back(), testing::StartsWith("UploadFile(0,3,/proc/self/fd/"));
    EXPECT_NE(output.find("\nRead " + written + " successfully.\n"), std::string::npos) << output;
}

TEST_P(Qx71WorkerTest, ReadThroughALinkReplacesTheFileItNamesAndKeepsTheLink)
{
    chips.Record().flash = {4, 5, 6};
    std::string target = install.Path("target.bin");
    std::string link = install.Path("link.bin");
    ASSERT_TRUE(Sim::WriteBinaryFile(target, {1}));
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    EXPECT_EQ(RunWords(Port({"-c", GetParam(), "-f", "a.fwpkg", "-z", "3", "-o", link}), &BurnerWorkerBase::Read), 0);
    EXPECT_EQ(std::filesystem::read_symlink(link), target);
    EXPECT_EQ(Sim::ReadBinaryFile(target), chips.Record().flash);
}

// Another user takes a read's output name in a sticky directory that everyone may write (as /tmp), with
// a link to root's file, a file or FIFO of mode 0666 or a second name of root's file, before the read or
// while the chip is read. The tool runs as root here: root's file is never written, and a read put in
// place is root's, no more open than a new file or the file it replaces.
struct SharedOutputCase {
    const char* name;
    const char* put;  // by sh -c with root's file as $1 and the output as $2
    bool duringUpload;
    int status;
    std::string ending;  // OUTPUT stands for the output
    mode_t mode = 0;     // of the read put in place
};

const char* const THEIR_FILE = "echo theirs >$2 && chmod 666 $2 && chown nobody: $2";
const SharedOutputCase SHARED_OUTPUT_CASES[] = {
    {"link", "ln -s $1 $2 && chown -h nobody: $2", false, 7, "the output file: OUTPUT (Permission denied).\n"},
    {"file", THEIR_FILE, false, 7, "the output file: OUTPUT (Operation not permitted).\n"},
    {"FIFO", "mkfifo -m 666 $2 && chown nobody: $2", false, 7, "the output file: OUTPUT (Operation not permitted).\n"},
    {"file made at the free name meanwhile", THEIR_FILE, true, 0, "\nRead OUTPUT successfully.\n", 0640},
    {"second name of root's file", "chmod 604 $1 && ln $1 $2", false, 0, "\nRead OUTPUT successfully.\n", 0600},
};

TEST_P(Qx71WorkerTest, ReadInADirectoryOthersCanWriteIsNotSteeredByThem)
{
    if (!Sim::MayActAsNobody()) {
        GTEST_SKIP() << Sim::NOT_AS_NOBODY;
    }
    Sim::ScopedUmask mask(027);
    std::string shared = install.Path("shared");
    std::string secret = install.Path("secret.bin");
    ASSERT_TRUE(Sim::WriteTextFile(secret, "secret"));
    for (const SharedOutputCase& row : SHARED_OUTPUT_CASES) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(shared);
        ASSERT_TRUE(mkdir(shared.c_str(), 0700) == 0 && chmod(shared.c_str(), 01777) == 0);
        std::string written = shared + "/out.bin";
        std::function<void()> takeTheName = [&] {
            EXPECT_EQ(Sim::RunProgram({"/bin/sh", "-c", row.put, "sh", secret, written}).exitCode, 0);
        };
        chips.Record() = Sim::ChipRecord();
        chips.Record().flash = {4, 5, 6};
        if (row.duringUpload) {
            chips.Record().duringUpload = takeTheName;
        } else {
            takeTheName();
        }
        FileDescriptor reader(open(written.c_str(), O_RDONLY | O_NONBLOCK));  // no write waits for one
        EXPECT_EQ(RunWords(Port({"-c", GetParam(), "-f", "a.fwpkg", "-z", "3", "-o", written}),
                           &BurnerWorkerBase::Read),
                  row.status);
        std::string ending = row.ending;
        EXPECT_THAT(output, testing::EndsWith(ending.replace(ending.find("OUTPUT"), 6, written)));
        EXPECT_EQ(Sim::ReadBinaryFile(secret), (Bytes{'s', 'e', 'c', 'r', 'e', 't'}));
        if (row.status == 0) {
            struct stat file = {};
            EXPECT_TRUE(lstat(written.c_str(), &file) == 0 && file.st_uid == 0 && (file.st_mode & 07777) == row.mode);
            EXPECT_EQ(Sim::ReadBinaryFile(written), chips.Record().flash);
        }
    }
}

TEST_P(Qx71WorkerTest, ReadFailuresOfLoaderAndUpload)
{
    chips.Record().downloadSucceeds = false;
    EXPECT_EQ(RunWords(Port({"-c", GetParam(), "-f", "a.fwpkg", "-z", "16"}), &BurnerWorkerBase::Read), 4);
    EXPECT_EQ(output, PLEASE_RESET_LINE + "\nerror: Burn a.fwpkg failed!\n");
    EXPECT_EQ(chips.Record().calls.size(), 1u);

    chips.Record() = Sim::ChipRecord();
    chips.Record().uploadSucceeds = false;
    std::string out = install.Path("out.bin");
    EXPECT_EQ(RunWords(Port({"-c", GetParam(), "-f", "a.fwpkg", "-z", "16", "-o", out}), &BurnerWorkerBase::Read), 7);
    EXPECT_EQ(output, PLEASE_RESET_LINE + "\nBurn a.fwpkg successfully.\nWriting the output file " + out +
                          " failed.\n\nerror: Read " + out +
                          " failed.\nnote: Removed the incomplete read; nothing was made at " + out + ".\n");
}

TEST_P(Qx71WorkerTest, ReadRefusesBeforeOpeningAnythingWhenItWouldLoseData)
{
    std::string package = install.Path("app.fwpkg");
    ASSERT_TRUE(Sim::WriteBinaryFile(package, {1, 2, 3}));
    EXPECT_EQ(RunWords(Port({"-c", GetParam(), "-f", package}), &BurnerWorkerBase::Read), 1);
    EXPECT_EQ(output, "error: The read size must be greater than 0, give it with -z <size>.\n");

    std::string samePackage = install.Dir() + "/./app.fwpkg";
    EXPECT_EQ(RunWords(Port({"-c", GetParam(), "-f", package, "-z", "16", "-o", samePackage}),
                       &BurnerWorkerBase::Read),
              1);
    EXPECT_EQ(output, "error: The read output file must not be the package itself: " + samePackage + "\n");
    EXPECT_EQ(
        RunWords(Port({"-c", GetParam(), "-f", package, "-z", "16", "-o", install.Dir()}), &BurnerWorkerBase::Read), 7);
    EXPECT_EQ(output, "error: Cannot create the output file: " + install.Dir() + " (Is a directory).\n");
    FileDescriptor deleted(open(install.Path("deleted.bin").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_EQ(unlink(install.Path("deleted.bin").c_str()), 0);
    std::string named = "/dev/fd/" + std::to_string(deleted.Get());
    EXPECT_EQ(RunWords(Port({"-c", GetParam(), "-f", package, "-z", "16", "-o", named}), &BurnerWorkerBase::Read), 7);
    EXPECT_EQ(output, "error: Cannot create the output file: " + named +
                          " (the file it opens has no name any more).\n");
    EXPECT_EQ(chips.Record().chipsMade, 0);
    EXPECT_EQ(Sim::ReadBinaryFile(package), (Bytes{1, 2, 3}));
}

// A read or an erase sends the package no further than its first image, which must be the loader; an
// image of the never-sent type before it is not sent.
TEST_P(Qx71WorkerTest, ReadAndEraseRefuseAPackageThatDoesNotBeginWithItsLoader)
{
    std::string package = install.Path("app.fwpkg");
    const Sim::PackageImage loader = Sim::PatternImage("loader.bin", 0, 0, 10);
    const Sim::PackageImage app = Sim::PatternImage("app.bin", 1, 0x20000, 10);
    const Sim::PackageImage db = Sim::PatternImage("db.bin", 16, 0x30000, 10);
    const std::vector<std::pair<std::vector<Sim::PackageImage>, bool>> cases = {
        {{app, loader}, true}, {{db, app, loader}, true}, {{db, loader, app}, false}};
    const std::string refusal = "error: The first image of " + package +
                                " that is sent is no loader; a read or an erase sends nothing but the loader.\n";
    for (const auto& [images, refused] : cases) {
        ASSERT_TRUE(Sim::WriteBinaryFile(package, Sim::BuildFwpkg(images)));
        chips.Record() = Sim::ChipRecord();
        EXPECT_EQ(RunWords(Port({"-c", GetParam(), "-f", package}), &BurnerWorkerBase::Erase), refused ? 12 : 0);
        EXPECT_EQ(output == refusal, refused) << output;
        EXPECT_EQ(RunWords(Port({"-c", GetParam(), "-f", package, "-z", "16", "-o", install.Path("out.bin")}),
                           &BurnerWorkerBase::Read),
                  refused ? 4 : 0);
        EXPECT_EQ(output == refusal, refused) << output;
        EXPECT_EQ(chips.Record().chipsMade, refused ? 0 : 2);
    }
}

// A burn file that does not open, or one the road cannot burn, is refused before the reset prompt.
TEST_P(Qx71WorkerTest, PortThatDoesNotOpenGivesThreeAndBurnFileFour)
{
    const std::string openFailed =
        PLEASE_RESET_LINE + "error: Open serial port :/nonexistent/ttyX failed, It may be caused by the following "
                       "reasons:\n1. Serial port is occupied or does not exist.\n2. Check baud rate, stop bits, "
                       "parity is correct.\n";
    for (auto operation : {&BurnerWorkerBase::Burn, &BurnerWorkerBase::Erase, &BurnerWorkerBase::Read}) {
        EXPECT_EQ(RunWords({"-c", GetParam(), "-p", "/nonexistent/ttyX", "-f", "a.fwpkg", "-z", "4"}, operation), 3);
        EXPECT_EQ(output, openFailed);
        EXPECT_EQ(RunWords(Port({"-c", GetParam(), "-f", "config", "-z", "4"}), operation), 4);
        EXPECT_EQ(output, "error: Cannot open the burn file config (Is a directory).\n");
    }
    ASSERT_TRUE(Sim::WriteTextFile("t.xml", "<P><A Sel=\"1\" PartitionName=\"a\" FileSystem=\"n\" FlashType=\"n\" "
                                            "Start=\"0\" Length=\"-\" SelectFile=\"\"/></P>"));
    // An erase and a read burn the package's loader first, as a write burns the whole package.
    for (auto [operation, command] : {std::pair{&BurnerWorkerBase::Burn, "a burn"}, {&BurnerWorkerBase::Erase, "an erase"},
                                      {&BurnerWorkerBase::Read, "a read"}}) {
        EXPECT_EQ(RunWords(Port({"-c", GetParam(), "-f", "./t.xml", "-z", "4"}), operation), 4);
        EXPECT_EQ(output, "error: ./t.xml is a partition table; " + std::string(command) + " of chip " +
                              GetParam() + " over a serial port does not burn partition tables.\n");
    }
}

INSTANTIATE_TEST_SUITE_P(BothChips, Qx71WorkerTest, testing::Values("qx71", "kp7715"));

TEST_F(WorkerTest, DfuWorkerWithoutADeviceGivesThree)
{
    for (auto operation : {&BurnerWorkerBase::Burn, &BurnerWorkerBase::Erase, &BurnerWorkerBase::Read}) {
        EXPECT_EQ(RunWords({"-c", "qx71", "-d", "0483:df11", "-f", "a.fwpkg"}, operation), 3);
        EXPECT_EQ(output.rfind("Scanning for USB DFU devices...\n", 0), 0u) << output;
    }
}

TEST_F(WorkerTest, ConnectionWorkerRefusesWhatItCannotDoWithoutOpeningThePort)
{
    EXPECT_EQ(RunWords(Port({"-c", "conn", "-f", "a.bin", "--only-burn", "a"}), &BurnerWorkerBase::Burn), 1);
    EXPECT_EQ(output, "error: --only-burn selects images of a firmware package; chip conn burns the file whole.\n");
    EXPECT_EQ(RunWords(Port({"-c", "conn", "-f", "a.bin"}), &BurnerWorkerBase::Erase), 12);
    EXPECT_EQ(output, "chip: conn does not support the erase function.\n");
    EXPECT_EQ(RunWords(Port({"-c", "conn", "-f", "a.bin"}), &BurnerWorkerBase::Read), 7);
    EXPECT_EQ(output, "chip: conn does not support the read function.\n");
    EXPECT_EQ(chips.Record().chipsMade, 0);

    std::unique_ptr<BurnerWorkerBase> worker = Worker(Port({"-c", "conn", "-f", "a.bin"}));
    testing::internal::CaptureStdout();
    EXPECT_TRUE(worker->BurnTargetBinByXml());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "chip: conn does not support burn targetbin by xml.\n");
}

TEST_F(WorkerTest, ConnectionWorkerBurnEndsAtThePortWithoutADriver)
{
    EXPECT_EQ(RunWords(Port({"-c", "conn", "-f", "a.bin"}), &BurnerWorkerBase::Burn), 3);
    EXPECT_EQ(chips.Record().chipsMade, 0);
}

// The partition table road of the base burn, on a chip that has a driver to record it.
class PartitionRoadTest : public WorkerTest {
protected:
    std::string Table(const std::string& loaderSel, const std::string& secondSel)
    {
        std::string table = install.Path("table.xml");
        Sim::WriteBinaryFile(install.Path("loader.bin"), Bytes(1000, 1));
        Sim::WriteBinaryFile(install.Path("app.bin"), Bytes(3000, 2));
        std::string partitions;
        const std::pair<std::string, std::string> rows[] = {{"loader", loaderSel}, {"app", secondSel}};
        for (const auto& row : rows) {
            partitions += "  <Partition Sel=\"" + row.second + "\" PartitionName=\"" + row.first +
                          "\" FileSystem=\"none\" FlashType=\"nor\" Start=\"0x2000\" Length=\"0x1000\" SelectFile=\"" +
                          install.Path(row.first + ".bin") + "\" FileType=\"18\"/>\n";
        }
        Sim::WriteTextFile(table, "<?xml version=\"1.0\"?>\n<Programmer>\n" + partitions + "</Programmer>\n");
        return table;
    }

    template <typename Worker>
    int BurnTable(const std::string& table)
    {
        std::unique_ptr<BurnContext> context = Context(Port({"-c", "qx71", "-f", table}));
        if (context == nullptr) {
            return -1;
        }
        return Run(std::make_unique<Worker>(std::move(context)), &BurnerWorkerBase::Burn);
    }
};

TEST_F(PartitionRoadTest, LoaderAloneIsBootedAndGivesSuccess)
{
    EXPECT_EQ(BurnTable<ConnectionBurnerWorker>(Table("1", "0")), 0);
    std::string loader = install.Path("loader.bin");
    EXPECT_EQ(chips.Record().calls,
              (std::vector<std::string>{"ShakeHand()", "FilePrepare(" + loader + ")", "WaitBootRun()"}));
    EXPECT_EQ(output, PLEASE_RESET_LINE + "\nBurn " + loader + " successfully.\n");
    EXPECT_EQ(BurnerWorkerBase::m_partSizeList, (std::vector<uint64_t>{1000}));
    EXPECT_TRUE(BurnerWorkerBase::m_isPrintProgress);
}

TEST_F(PartitionRoadTest, UnselectedLoaderIsHandshakeOnlyForTheBaseAndNothingForTheConnectionWorker)
{
    EXPECT_EQ(BurnTable<BurnerWorkerBase>(Table("0", "0")), 0);
    EXPECT_EQ(chips.Record().calls, Strings({"ShakeHand()", "WaitBootRun()"}));
    chips.Record().calls.clear();
    EXPECT_EQ(BurnTable<ConnectionBurnerWorker>(Table("0", "0")), 0);
    EXPECT_EQ(chips.Record().calls, std::vector<std::string>());
}

TEST_F(PartitionRoadTest, PartitionThatFailsEndsTheBurnWithFour)
{
    // A Qx71-family device has no partition download of its own.
    EXPECT_EQ(BurnTable<ConnectionBurnerWorker>(Table("1", "1")), 4);
    EXPECT_NE(output.find("\nerror: Burn " + install.Path("app.bin") + " failed!\n"), std::string::npos) << output;
    EXPECT_EQ(BurnerWorkerBase::m_totalLength, 4000u);
}

// The single-image road: the erase and go commands go out as command frames to a board that acks them.
class SingleImageRoadTest : public WorkerTest {
protected:
    void SetUp() override
    {
        WorkerTest::SetUp();
        readWireBeforeClose = false;
        bench.StartDevice(board.AsResponder());
        Sim::WriteBinaryFile(image, Bytes(0x1234, 0));
    }

    int BurnImage(const std::string& chip, bool reboot)
    {
        std::vector<std::string> words = Port({"-c", chip, "-f", image, "-a", "0x08000000"});
        if (reboot) {
            words.push_back("-r");
        }
        std::unique_ptr<BurnContext> context = Context(words);
        if (context == nullptr) {
            return -1;
        }
        return Run(std::make_unique<ConnectionBurnerWorker>(std::move(context)), &BurnerWorkerBase::Burn);
    }

    static std::string Command(const std::vector<unsigned char>& bytes)
    {
        return std::string(bytes.begin(), bytes.end());
    }

    Sim::CommandBoard board{Sim::CommandBoard::Options()};
    std::string image = install.Path("app.bin");
};

TEST_F(SingleImageRoadTest, EraseThenDownloadThenGoToTheEntryBehindTheVectorTable)
{
    EXPECT_EQ(BurnImage("typesix", true), 0);
    EXPECT_EQ(board.Commands(), (std::vector<std::string>{Command({0xE4, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x12, 0x34}),
                                                          Command({0xBA, 0x08, 0x00, 0x00, 0x04})}));
    EXPECT_EQ(output, PLEASE_RESET_LINE + "DownloadFile1.\nDownloadFile2.\nDownloadFile3.\n\nreboot successful!\n");
}

TEST_F(SingleImageRoadTest, NoGoWithoutReboot)
{
    EXPECT_EQ(BurnImage("typesix", false), 0);
    EXPECT_EQ(board.Commands().size(), 1u);
}

TEST_F(SingleImageRoadTest, FailedDownloadGivesFive)
{
    // Only a TypeSix device downloads single images.
    EXPECT_EQ(BurnImage("qx71", true), 5);
    EXPECT_EQ(board.Commands().size(), 1u);
    EXPECT_EQ(output, PLEASE_RESET_LINE + "DownloadFile1.\nno chipType is match.\n\nerror: Burn " + image + " failed!\n");
}

}  // namespace

namespace {

TEST_F(SingleImageRoadTest, ResetCommandsOfTheBase)
{
    std::unique_ptr<BurnerWorkerBase> worker = Worker(Port({"-c", "qx71", "-f", image}));
    ASSERT_NE(worker, nullptr);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(worker->InitTransport());
    EXPECT_TRUE(worker->ResetBySerial());
    EXPECT_TRUE(worker->ResetBoard());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), PLEASE_RESET_LINE + "reset success!\n");
    EXPECT_EQ(board.Commands(), (std::vector<std::string>{"\x87", "reset"}));
}

TEST_F(WorkerTest, TextCommandWaitsForTheBoardsReply)
{
    readWireBeforeClose = false;
    Sim::CommandBoard board({{"Loader 1.2\r\n[EOT](OK)"}});
    bench.StartDevice(board.AsResponder());
    std::unique_ptr<BurnerWorkerBase> worker = Worker(Port({"-c", "qx71", "-f", "a.bin"}));
    ASSERT_NE(worker, nullptr);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(worker->InitTransport());
    EXPECT_TRUE(worker->SendTextCommand("version"));
    // The library prints the board's reply, its control bytes as '?' but for its line breaks.
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              PLEASE_RESET_LINE + "\nSend command: versionLoader 1.2\n[EOT](OK)");
    EXPECT_EQ(board.Commands(), std::vector<std::string>{"version"});
    worker.reset();
    bench.StopDevice();
}

TEST_F(WorkerTest, ReadBackCheckComparesTheUploadWithTheBurnFile)
{
    std::string image = install.Path("app.bin");
    std::string upload = install.Path("upload.bin");
    ASSERT_TRUE(Sim::WriteBinaryFile(image, Bytes()));
    auto check = [&]() {
        std::unique_ptr<BurnerWorkerBase> worker = Worker(Port({"-c", "qx71", "-f", image}));
        testing::internal::CaptureStdout();
        int result = worker->InitTransport() ? worker->CheckBurnResult() : -1;
        output = testing::internal::GetCapturedStdout();
        return result;
    };
    EXPECT_EQ(check(), 0);
    EXPECT_EQ(chips.Record().calls.back(), "UploadFile(0,0," + upload + ")");
    EXPECT_NE(access(upload.c_str(), F_OK), 0);  // removed once it matched

    chips.Record().flash = {1, 2, 3};
    EXPECT_EQ(check(), 13);
    EXPECT_EQ(output, PLEASE_RESET_LINE + "\nThe length of file " + image + " is different from that of file " + upload +
                          ".\n");

    chips.Record().uploadSucceeds = false;
    EXPECT_EQ(check(), 7);
    EXPECT_EQ(output, PLEASE_RESET_LINE + "Writing the output file " + upload + " failed.\n\nupload " + upload +
                          " failed.\n");
}

}  // namespace
