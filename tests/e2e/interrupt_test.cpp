// Ctrl-C, SIGTERM and SIGHUP through the built vexil against the virtual Qx71 chip on a pty: the running step
// stops within a moment, the tool says why once, nothing of an unfinished read is left (a file of the
// output's name stays as it was), the terminal gets its cursor and colours back, and the status is
// 128 + the signal.
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <unistd.h>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "FileDescriptor.h"
#include "FwpkgBuilder.h"
#include "ProgramRunner.h"
#include "ScratchDir.h"
#include "Qx71Chip.h"
#include "Qx71Session.h"
#include "TestSupport.h"
#include "ToolChipBench.h"

namespace {

using Sim::Bytes;
using Sim::Console;
using Sim::ProgramResult;
using Sim::Qx71Chip;
using Sim::Qx71Faults;

constexpr int CHIP_WAIT_MS = 5000;
// The library looks at the cancel query every 100 ms; a loaded machine gets some slack.
constexpr long long UNWIND_LIMIT_MS = 1000;
// Where the tool cannot say when it has stopped, its end is timed, with a sanitizer's pause at the exit.
constexpr long long EXIT_LIMIT_MS = 2 * UNWIND_LIMIT_MS;

Qx71Faults Silent()
{
    Qx71Faults faults;
    faults.silent = true;
    return faults;
}

Qx71Faults StalledAt(int dataFrame)
{
    Qx71Faults faults;
    faults.stalledDataFrame = dataFrame;
    return faults;
}

// Where the chip must be before the signal goes.
using ChipReady = std::function<bool(const Qx71Chip&)>;

bool Handshaking(const Qx71Chip& chip)
{
    return chip.HandshakeFrames() > 0;
}

class InterruptTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tool.Ready());
        package = tool.WritePackage(Sim::NamedPackageImages());
        ASSERT_FALSE(package.empty());
    }

    // Starts the command, signals it once the chip is where the test wants it, and waits for its end.
    ProgramResult Interrupt(const std::string& command, const std::vector<std::string>& words, int signalNumber,
                            const ChipReady& chipReady, const Sim::ProgramOptions& options = {},
                            int secondSignal = 0, const std::string& printedFirst = "")
    {
        std::unique_ptr<Sim::BackgroundProgram> program = tool.Start(command, words, options);
        EXPECT_TRUE(chipReady ? tool.chip->WaitUntil(chipReady, CHIP_WAIT_MS)
                              : program->BlockedWritingItsOutput(CHIP_WAIT_MS));
        std::string line;
        while (!printedFirst.empty() && program->ReadLine(line, CHIP_WAIT_MS) && line.find(printedFirst) == line.npos) {
        }
        return SignalAndFinish(*program, signalNumber, secondSignal);
    }

    // The time counted is until the tool has said why it stopped, else until it ended: a sanitizer may add
    // its own pause at the exit. A second signal, if any, follows the first at once.
    static ProgramResult SignalAndFinish(Sim::BackgroundProgram& program, int signalNumber, int secondSignal = 0)
    {
        long long signalled = Sim::NowMs();
        EXPECT_TRUE(program.Signal(signalNumber));
        EXPECT_TRUE(secondSignal == 0 || program.Signal(secondSignal));
        std::string printed;
        std::string line;
        while (printed.find("error: Interrupted") == std::string::npos && program.ReadLine(line, CHIP_WAIT_MS)) {
            printed += line + "\n";
        }
        EXPECT_TRUE(printed.empty() || Sim::NowMs() - signalled < UNWIND_LIMIT_MS) << printed;
        ProgramResult result = program.Finish(CHIP_WAIT_MS);
        EXPECT_TRUE(!printed.empty() || Sim::NowMs() - signalled < EXIT_LIMIT_MS) << result.output;
        result.output = printed + result.output;
        return result;
    }

    Sim::ToolChipBench tool{VEXIL_BUILD_DIR, "qx71"};
    std::string package;
};

struct InterruptCase : Sim::NamedRow {
    const char* command;
    Qx71Faults faults;
    ChipReady chipReady;
    int signalNumber;
    int status;
    std::string ending;   // from the end of the command's own failure line; OUTPUT stands for the read's file
    int secondSignal = 0;  // of another kind than the first, so that the two are not merged into one
    bool outputClosed = false;
    bool intoFifo = false;  // that no one reads: the signal goes once the loader is burnt
    bool fifoHeld = false;  // by a reader that takes nothing, smaller than the read that goes into it
    // One that takes nothing: the signal goes once the tool is blocked writing to it. After a read whose
    // status is 0, it has room for every line but the read's verdict, which comes once the outcome is settled.
    Console console = Console::Reading;
};

const InterruptCase INTERRUPT_CASES[] = {
    {"WriteDuringTheHandshake", "write", Silent(), Handshaking, SIGTERM, 143,
     "\nWrite failed.\nerror: Interrupted by SIGTERM.\n"},
    {"ReadDuringTheHandshake", "read", Silent(), Handshaking, SIGINT, 130,
     " failed!\nerror: Interrupted by SIGINT.\n"},
    {"ReadMidUpload", "read", StalledAt(1), &Qx71Chip::Stalled, SIGINT, 130,
     " failed.\nnote: Removed the incomplete read; OUTPUT is as it was before.\nerror: Interrupted by SIGINT.\n"},
    // The tool ends at once, or has unwound before the second signal came: either way none of the read stays.
    {"ReadMidUploadSignalledTwice", "read", StalledAt(1), &Qx71Chip::Stalled, SIGINT, 130, "", SIGTERM},
    // The terminal is gone: nothing can be printed, yet the read unwinds as for SIGTERM.
    {"ReadMidUploadHungUpWithItsOutputClosed", "read", StalledAt(1), &Qx71Chip::Stalled, SIGHUP, 129, "", 0, true},
    {"ReadIntoAFifoWithoutAReader", "read", Qx71Faults(), Handshaking, SIGTERM, 143,
     " failed.\nerror: Interrupted by SIGTERM.\n", 0, false, true},
    {"ReadIntoAFifoWhoseReaderTakesNothing", "read", StalledAt(8), &Qx71Chip::Stalled, SIGHUP, 129,
     " failed.\nerror: Interrupted by SIGHUP.\n", 0, false, true, true},
    {"ReadToAFullPipe", "read", Silent(), nullptr, SIGTERM, 143, "", 0, false, false, false, Console::FullPipe},
    {"ReadToATerminalStoppedByCtrlS", "read", Silent(), nullptr, SIGTERM, 143, "", 0, false, false, false,
     Console::StoppedTerminal},
    {"ReadToAFullSocket", "read", Silent(), nullptr, SIGTERM, 143, "", 0, false, false, false, Console::FullSocket},
    {"ReadEndedTwiceWhenSettled", "read", Qx71Faults(), nullptr, SIGTERM, 0, "", SIGINT, false, false, false,
     Console::FullPipe},
};

class InterruptStepTest : public InterruptTest, public ::testing::WithParamInterface<InterruptCase> {};

TEST_P(InterruptStepTest, StopsWithTheSignalsStatusAndOneLineSayingWhy)
{
    const InterruptCase& run = GetParam();
    const std::string kept = "the user's own file\n";
    tool.StartChip(run.faults);
    std::string output = tool.install.Path("flash.bin");
    ASSERT_TRUE(run.intoFifo ? mkfifo(output.c_str(), 0600) == 0 : Sim::WriteTextFile(output, kept));
    FileDescriptor reader(run.fifoHeld ? open(output.c_str(), O_RDONLY | O_NONBLOCK) : -1);
    ASSERT_TRUE(!run.fifoHeld || fcntl(reader.Get(), F_SETPIPE_SZ, 4096) == 4096);
    std::vector<std::string> words = {"-f", package};
    if (std::string(run.command) == "read") {
        words.insert(words.end(), {"-z", "9216", "-o", output});
    }
    std::set<std::string> files = Sim::FilesIn(tool.install.Dir());
    Sim::ProgramOptions options;
    options.closedOutput = run.outputClosed;
    options.console = run.console;
    std::string beforeTheVerdict = Sim::PLEASE_RESET_LINE + Sim::ImageLines("loader.bin") + "\nBurn " + package;
    options.consoleRoom = run.status == 0 ? beforeTheVerdict.size() + std::string(" successfully.\n").size() : 0;
    ProgramResult result = Interrupt(run.command, words, run.signalNumber, run.chipReady, options, run.secondSignal,
                                     run.intoFifo ? "downloaded: loader.bin successfully." : "");
    EXPECT_EQ(result.exitCode, run.status);
    std::string ending = run.ending;
    size_t placeholder = ending.find("OUTPUT");
    if (placeholder != std::string::npos) {
        ending.replace(placeholder, std::string("OUTPUT").size(), output);
    }
    EXPECT_THAT(result.output, testing::EndsWith(ending));
    EXPECT_EQ(result.output.find("ancelled"), std::string::npos) << result.output;
    EXPECT_EQ(Sim::FilesIn(tool.install.Dir()), files);
    Bytes dump = run.status == 0 ? tool.chip->ReadFlash(0, 9216) : Bytes(kept.begin(), kept.end());
    EXPECT_TRUE(run.intoFifo || Sim::ReadBinaryFile(output) == dump);
}

INSTANTIATE_TEST_SUITE_P(Steps, InterruptStepTest, ::testing::ValuesIn(INTERRUPT_CASES),
                         ::testing::PrintToStringParamName());

// No device handle exists yet while a USB device is searched for: the cancel query alone must stop it.
TEST_F(InterruptTest, UsbDeviceSearchStopsAtOnce)
{
    Sim::BackgroundProgram program({tool.install.Binary(), "write", "-d", "1d6b:fff0", "-f", package});
    std::string line;
    while (program.ReadLine(line, CHIP_WAIT_MS) && line.find("Waiting for the USB DFU device") == std::string::npos) {
    }
    ASSERT_NE(line.find("Waiting for the USB DFU device"), std::string::npos) << line;
    ProgramResult result = SignalAndFinish(program, SIGINT);
    EXPECT_EQ(result.exitCode, 130);
    EXPECT_THAT(result.output, testing::EndsWith("\nWrite failed.\nerror: Interrupted by SIGINT.\n"));
}

// A terminal turns each line end into CR LF.
TEST_F(InterruptTest, OnATerminalTheBarsLineEndsAndCursorAndColoursComeBack)
{
    const std::string hide = "\x1b[?25l";
    const std::string show = "\x1b[?25h";
    const std::string red = "\x1b[1;31m";
    const std::string plain = "\x1b[0m";
    tool.StartChip(StalledAt(1));
    std::string loaderFirst = tool.WritePackage({{"loader.bin", Sim::PatternBytes(3000, 1), 0, 0, 0},
                                                 {"app.bin", Sim::PatternBytes(100, 2), 0x10000, 0, 1}},
                                                {}, "l.fwpkg");
    Sim::ProgramOptions options;
    options.output = Sim::OutputKind::Terminal;
    ProgramResult result = Interrupt("write", {"-f", loaderFirst}, SIGINT, &Qx71Chip::Stalled, options);
    EXPECT_EQ(result.exitCode, 130);
    std::string openBar = hide + "\r  [==========--------------------]  34%";
    size_t bar = result.output.find(openBar);
    ASSERT_NE(bar, std::string::npos) << result.output;
    EXPECT_EQ(result.output.substr(bar + openBar.size(), 2 + show.size()), "\r\n" + show);
    EXPECT_THAT(result.output,
                testing::EndsWith(red + "error: Interrupted by SIGINT.\r\n" + plain + plain + show + show));
}

}  // namespace
