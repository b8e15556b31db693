#include <gtest/gtest.h>

#include "ToolInstall.h"

namespace {

const char* const USAGE = R"(vexil - embedded chip flash tool over UART / USB DFU

Usage:
  vexil <write|erase|read|parse|list> [options]

Commands:
  write     Burn an image / firmware package to flash
  erase     Erase the flash
  read      Read flash data back into a file
  parse     Print the image table of a .fwpkg file (-f), no device needed
  list <hid|serial>
            hid: attached HID devices (how chips appear in normal mode)
            and USB DFU devices, filterable by -d <vid>:<pid>;
            serial: available serial ports

General:
  -h, --help                 Show this help
  -v, --version              Show version

Connection / target:
  -c, --chip <name>          Chip name, e.g. qx71
  -p, --port <port>          Serial port, e.g. /dev/ttyUSB0 (implies serial transport)
  -b, --baud <rate>          Baud rate (default 115200)
  -s, --stop-bits <n>        Stop bits
      --parity <n>           Parity
  -d, --device [<vid>:<pid>] USB DFU device (implies USB transport; hex ids,
                             bare -d auto-detects a single device); excludes -p
  -S, --serial-number <sn>   Pick one of several identical USB devices
  -f, --file <path>          Image / partition table (.fwpkg / .bin / .xml)
      --config <path>        Path to burn.config

USB DFU control:
      --transfer-size <n>    DFU chunk size 64-65535 (device value wins)
      --timeout <ms>         DFU control-transfer timeout (default 5000)

Burn control:
  -r, --after-reset[=N]      Reset after finishing (bare = reset, --after-reset=0 = no)
      --only-burn <part>     Burn only the given partition (repeatable)
      --burn-interval <ms>   Inter-frame interval
      --packet-size <n>      Transfer packet size (1024 / 2048 / 4096 / 8192)
      --switch-after-loader  Switch baud after loader
      --before-reset         Reset before burning

Erase control:
  -e, --erase-size <size>    Erase size

Export control:
  -a, --address <addr>       Read start address
  -o, --output <path>        File the read writes to (default <package>_read.bin)
  -z, --size <size>          Read size

Example:
  vexil write -c qx71 -p /dev/ttyUSB0 -b 921600 -f qx71-nimbos-app_all.fwpkg
  vexil write -c tn48 -d 0483:df11 -f app.fwpkg     (USB DFU)
  vexil list serial
)";

Sim::ProgramResult Vexil(const std::vector<std::string>& words, const Sim::ProgramOptions& options = {})
{
    return Sim::RunVexil(VEXIL_BINARY, words, options);
}

TEST(CommandEntryTest, NoCommandWordPrintsUsageAndFails)
{
    Sim::ProgramResult result = Vexil({});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output, USAGE);
}

TEST(CommandEntryTest, EmptyArgumentVectorIsNoCommandWord)
{
    Sim::ProgramOptions options;
    options.emptyArgumentVector = true;
    Sim::ProgramResult result = Vexil({"parse", "-f", "x"}, options);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output, USAGE);
}

TEST(CommandEntryTest, HelpSucceedsAndUnknownWordsFailWithTheUsage)
{
    const std::pair<const char*, int> words[] = {{"-h", 0},    {"--help", 0}, {"flash", 1},
                                                 {"WRITE", 1}, {"Parse", 1},  {"-x", 1}};
    for (const auto& word : words) {
        Sim::ProgramResult result = Vexil({word.first, "-c"});
        EXPECT_EQ(result.exitCode, word.second) << word.first;
        EXPECT_EQ(result.output, USAGE) << word.first;
    }
}

TEST(CommandEntryTest, VersionIsOneLine)
{
    for (const char* word : {"-v", "--version"}) {
        Sim::ProgramResult result = Vexil({word, "-h"});
        EXPECT_EQ(result.exitCode, 0) << word;
        EXPECT_EQ(result.output, "vexil Version: 26.07.1\n") << word;
    }
}

// Wherever help or the version is asked for, it is all the run does: nothing is opened or sent.
TEST(CommandEntryTest, HelpAndVersionAfterTheCommandAreAllARunDoes)
{
    const std::pair<std::vector<std::string>, std::string> runs[] = {
        {{"erase", "-c", "qx71", "-p", "/nonexistent/ttyVX0", "-f", "fw.fwpkg", "-h"}, USAGE},
        {{"write", "--help", "-c", "qx71"}, USAGE},
        {{"parse", "-h"}, USAGE},
        {{"read", "-z", "4k", "-v", "-h"}, "vexil Version: 26.07.1\n"},
    };
    for (const auto& run : runs) {
        Sim::ProgramResult result = Vexil(run.first);
        EXPECT_EQ(result.exitCode, 0) << run.first[0];
        EXPECT_EQ(result.output, run.second) << run.first[0];
    }
}

TEST(CommandEntryTest, DeviceCommandsAreDispatched)
{
    for (const char* command : {"write", "erase", "read"}) {
        Sim::ProgramResult result = Vexil({command, "--config", "/nonexistent/burn.config", "-c", "qx71"});
        EXPECT_EQ(result.exitCode, 1) << command;
        EXPECT_EQ(result.output, "error: Open burn.config failed: /nonexistent/burn.config (No such file or "
                                 "directory).\n") << command;
    }
    Sim::ProgramResult list = Vexil({"list", "SERIAL"});
    EXPECT_EQ(list.exitCode, 1);
    EXPECT_EQ(list.output.rfind("error: Unknown list type 'SERIAL'.\n\nUsage: vexil list", 0), 0u);
}

TEST(CommandEntryTest, NoEscapeByteWhenOutputIsAPipe)
{
    const std::vector<std::vector<std::string>> runs = {
        {}, {"-h"}, {"-v"}, {"parse"}, {"parse", "-f", "/nonexistent.fwpkg"}, {"write"}, {"unknown"}};
    for (const auto& words : runs) {
        Sim::ProgramResult result = Vexil(words);
        EXPECT_NE(result.exitCode, -1);
        EXPECT_EQ(result.output.find('\x1b'), std::string::npos) << (words.empty() ? "" : words[0]);
    }
}

TEST(CommandEntryTest, TerminalGetsTheCursorShownAtExit)
{
    Sim::ProgramOptions options;
    options.output = Sim::OutputKind::Terminal;
    Sim::ProgramResult result = Vexil({"-v"}, options);
    EXPECT_EQ(result.exitCode, 0);
    // the terminal turns "\n" into "\r\n"; the version line itself stays plain
    EXPECT_EQ(result.output, "vexil Version: 26.07.1\r\n\x1b[?25h");
}

}  // namespace
