// write, erase, read and list through the built executable.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FwpkgBuilder.h"
#include "ToolChipBench.h"
#include "ToolInstall.h"

namespace {

const char* const NO_PORT = "/nonexistent/ttyVX0";
const std::string RED = "\x1b[1;31m";
const std::string GREEN = "\x1b[32m";
const std::string PLAIN = "\x1b[0m";
const std::string LIST_USAGE =
    "Usage: vexil list <type> [options]\n\nSupported types:\n"
    "  hid      HID devices (how chips appear in normal mode) and USB DFU\n"
    "           devices; filterable by -d <vid>:<pid>\n"
    "  serial   Available serial ports\n";
// A serial port name as the tool lists it: /dev/ttyS<n> or /dev/ttyUSB<n>.
bool IsPortName(const std::string& name)
{
    for (const std::string prefix : {"/dev/ttyS", "/dev/ttyUSB"}) {
        std::string number = name.substr(0, prefix.size()) == prefix ? name.substr(prefix.size()) : "";
        if (!number.empty() && number.find_first_not_of("0123456789") == std::string::npos) {
            return true;
        }
    }
    return false;
}

class BurnCommandTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(install.Ready());
        ASSERT_TRUE(install.AddChip("conn", "ChipType=0x30001\nSupportedTransports=serial\n"));
        ASSERT_TRUE(install.AddChip("mcu", "ChipType=0x40001\nSupportedTransports=serial,usb\n"));
        package = install.WritePackage("app.fwpkg", {{"loader.bin", Sim::PatternBytes(256, 1), 0, 0, 0},
                                                     {"app.bin", Sim::PatternBytes(512, 2), 0x1000, 0x1000, 1}});
        ASSERT_FALSE(package.empty());
    }

    Sim::ProgramResult Run(const std::vector<std::string>& words, Sim::OutputKind output = Sim::OutputKind::Pipe)
    {
        Sim::ProgramOptions options;
        options.output = output;
        return install.Run(words, options);
    }

    Sim::ToolInstall install{VEXIL_BUILD_DIR};
    std::string package;
};

struct SetupFailure {
    std::vector<std::string> words;
    std::string output;
    std::vector<std::string> commands = {"write", "erase", "read"};
};

TEST_F(BurnCommandTest, EverySetupFailureEndsWithStatusOneAndNoVerdict)
{
    ASSERT_TRUE(install.AddChip("badtype", "ChipType=0xqq\n"));
    std::string config = install.Path("bad.config");
    ASSERT_TRUE(Sim::WriteTextFile(config, "reset=yes\n"));
    std::string usbIds = install.Path("usb.config");
    ASSERT_TRUE(Sim::WriteTextFile(usbIds, "mode=usb\nUsbVid=0x1234\n"));
    std::string controls = install.Path("ctl\x1b[2J.config");
    ASSERT_TRUE(Sim::WriteTextFile(controls, "\x1b]0;owned\x07\n"));
    const std::vector<SetupFailure> failures = {
        {{"-p", NO_PORT, "-f", "a.bin"}, "error: Chip name not found!\n"},
        {{"-c", "qx71", "-p", NO_PORT}, "error: Burn file not found!\n"},
        {{"-c", "qx71", "-f", "a.bin"}, "error: Transport way not found!\n"},
        {{"--config", "/nonexistent/burn.config", "-c", "qx71"},
         "error: Open burn.config failed: /nonexistent/burn.config (No such file or directory).\n"},
        {{"--config", config, "-c", "qx71"},
         "error: Invalid number 'yes' for reset in " + config + " line 1, expected 0 to 2147483647.\n"},
        {{"--config", usbIds, "-c", "qx71"}, "error: " + usbIds + " line 2: unknown key 'UsbVid'.\n"},
        {{"--config", controls, "-c", "qx71"},
         "error: " + install.Path("ctl?[2J.config") + " line 1: '?]0;owned?' is not a key=value setting.\n"},
        {{"-c", "qx71", "-p", NO_PORT, "-f", "a.bin", "--only-burn"},
         "error: Option '--only-burn' needs a value.\nerror: Parse command arguments failed!\n"},
        {{"-c", "qx71", "-p", NO_PORT, "-f", "a.bin", "--packet-size", "3000"},
         "error: Invalid packet-size 3000, valid values are 1024, 2048, 4096, 8192\n"
         "error: Parse command arguments failed!\n"},
        {{"-c", "qx71", "-p", NO_PORT, "-d", "-f", "a.bin"},
         "error: -p/--port and -d/--device are mutually exclusive (serial and USB transports cannot be combined)\n"
         "error: Parse command arguments failed!\n"},
        {{"-c", "nochip", "-p", NO_PORT, "-f", "a.bin"},
         "error: Open file failed: " + install.Path("ChipProperties/nochip.txt") +
             "\nerror: Load chip properties file failed!\n"},
        {{"-c", "badtype", "-p", NO_PORT, "-f", "a.bin"},
         "error: Invalid number '0xqq' for ChipType, expected 0 to 0xFFFFFFFF.\n"
         "error: Load chip properties file failed!\n"},
        {{"-c", "dfu", "-p", NO_PORT, "-f", "a.bin"}, "error: Chip dfu does not support the serial transport!\n"},
        {{"-c", "qx71", "-p", NO_PORT, "-f", install.Path("missing.xml.bin")},
         "error: Failed to load xml file: " + install.Path("missing.xml.bin") +
             ".\nMaybe this is not int XML format, or used by other application.\n"
             "error: Parse partition burn file failed!\n"},
        {{"-c", "mcu", "-p", NO_PORT, "-f", "a.bin"}, "error: Invalid chiptype :262145\n"},
        // What the command would drop while the rest goes on.
        {{"-c", "qx71", "-p", NO_PORT, "-f", config, "--only-burn", "nv.bin"},
         "error: --only-burn selects images of a firmware package; " + config + " is not one.\n", {"write"}},
        {{"-c", "qx71", "-p", NO_PORT, "-f", package, "-a", "0x100000"},
         "error: -a places a plain image; " + package + " gives its images addresses of their own.\n", {"write"}},
        {{"-d", "-f", "a.bin", "-o", "r.bin"}, "error: A write reads nothing back; it takes no -o.\n", {"write"}},
        {{"-d", "-f", "a.bin", "-o", "r.bin"}, "error: An erase reads nothing back; it takes no -o.\n", {"erase"}},
        {{"-d", "-f", "r.bin", "-r"}, "error: A read resets nothing; it takes no -r.\n", {"read"}},
        {{"-d", "-f", "r.bin", "--before-reset"}, "error: A read resets nothing; it takes no --before-reset.\n", {"read"}},
        {{"-d", "-f", "r.bin", "--only-burn", "a"}, "error: A read erases and burns nothing; it takes no --only-burn.\n", {"read"}},
        {{"-c", "qx71", "-p", NO_PORT, "-f", "a.bin", "-S", "x"}, "error: A serial port is no USB device; it takes no -S.\n"},
        {{"-d", "-f", "a.bin", "-b", "9600"}, "error: A USB device has no baud rate, stop bits or parity; it takes no -b.\n"},
        {{"-d", "-f", "a.bin", "--before-reset"},
         "error: A USB DFU device has no serial handshake or YMODEM packets; it takes no --before-reset.\n",
         {"write", "erase"}},
        {{"-c", "typesix", "-p", NO_PORT, "-f", package, "--packet-size", "2048"},
         "error: The TypeSix road has a handshake and packets of its own; it takes no --packet-size.\n", {"write"}},
        {{"-c", "typesix", "-p", NO_PORT, "-f", package, "-b", "921600"},
         "error: The TypeSix road runs at its boot ROM's 115200 baud; it takes no -b.\n", {"write"}},
        {{"-c", "conn", "-p", NO_PORT, "-f", "a.bin", "--burn-interval", "5"},
         "error: This chip's road has no Qx71-family handshake or YMODEM packets; it takes no --burn-interval.\n",
         {"write"}},
        {{"-c", "qx71", "-p", NO_PORT, "-f", package, "--packet-size", "2048"},
         "error: An erase burns no image; it takes no --packet-size.\n", {"erase"}},
    };
    for (const SetupFailure& failure : failures) {
        for (const std::string& command : failure.commands) {
            std::vector<std::string> words = {command};
            words.insert(words.end(), failure.words.begin(), failure.words.end());
            Sim::ProgramResult result = Run(words);
            EXPECT_EQ(result.exitCode, 1) << command << " " << failure.output;
            EXPECT_EQ(result.output, failure.output) << command;
        }
    }
}

TEST_F(BurnCommandTest, BurnConfigFillsWhatTheCommandLineLeavesOut)
{
    ASSERT_TRUE(install.WriteConfig("chipName=qx71\nmode=serial\nserialPort=" + std::string(NO_PORT) +
                                    "\nfilePath=" + package + "\nusbTimeout=7000\n"));
    Sim::ProgramResult result = Run({"write"});
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_NE(result.output.find("error: Open serial port :" + std::string(NO_PORT) + " failed"), std::string::npos)
        << result.output;
}

TEST_F(BurnCommandTest, PortThatDoesNotOpenGivesThreeWithTheVerdictOfTheCommand)
{
    const std::string reasons = "error: Open serial port :" + std::string(NO_PORT) +
                                " failed, It may be caused by the following reasons:\n"
                                "1. Serial port is occupied or does not exist.\n"
                                "2. Check baud rate, stop bits, parity is correct.\n";
    for (const char* chip : {"qx71", "kp7715"}) {
        Sim::ProgramResult write = Run({"write", "-c", chip, "-p", NO_PORT, "-f", package});
        EXPECT_EQ(write.exitCode, 3);
        // Between the two the library says why (a chip without a driver, or the port itself).
        EXPECT_EQ(write.output.rfind(Sim::PLEASE_RESET_LINE, 0), 0u) << write.output;
        std::string tail = reasons + "\nWrite failed.\n";
        ASSERT_GE(write.output.size(), tail.size());
        EXPECT_EQ(write.output.substr(write.output.size() - tail.size()), tail);
        Sim::ProgramResult erase = Run({"erase", "-c", chip, "-p", NO_PORT, "-f", package});
        EXPECT_EQ(erase.exitCode, 3);
        EXPECT_EQ(erase.output.substr(erase.output.size() - 14), "Erase failed.\n");
        Sim::ProgramResult read = Run({"read", "-c", chip, "-p", NO_PORT, "-f", package, "-z", "4096"});
        EXPECT_EQ(read.exitCode, 3);
        EXPECT_EQ(read.output.substr(read.output.size() - reasons.size()), reasons);  // read has no verdict
    }
}

TEST_F(BurnCommandTest, RefusalsAreFailures)
{
    Sim::ProgramResult erase = Run({"erase", "-c", "conn", "-p", NO_PORT, "-f", "a.bin"});
    EXPECT_EQ(erase.exitCode, 12);
    EXPECT_EQ(erase.output, "chip: conn does not support the erase function.\nErase failed.\n");
    Sim::ProgramResult read = Run({"read", "-c", "conn", "-p", NO_PORT, "-f", "a.bin"});
    EXPECT_EQ(read.exitCode, 7);
    EXPECT_EQ(read.output, "chip: conn does not support the read function.\n");

    Sim::ProgramResult terminal = Run({"erase", "-c", "conn", "-p", NO_PORT, "-f", "a.bin"}, Sim::OutputKind::Terminal);
    EXPECT_EQ(terminal.exitCode, 12);
    EXPECT_EQ(terminal.output,
              "chip: conn does not support the erase function.\r\n" + RED + "Erase failed.\r\n" + PLAIN + "\x1b[?25h");
}

TEST_F(BurnCommandTest, ColoursOnlyOnATerminal)
{
    Sim::ProgramResult pipe = Run({"write", "-c", "qx71", "-p", NO_PORT, "-f", package});
    EXPECT_EQ(pipe.output.find('\x1b'), std::string::npos);
    Sim::ProgramResult terminal = Run({"write", "-c", "qx71", "-p", NO_PORT, "-f", package}, Sim::OutputKind::Terminal);
    EXPECT_EQ(terminal.exitCode, 3);
    // The worker's own lines stay plain; the verdict is red.
    EXPECT_NE(terminal.output.find("\r\nerror: Open serial port :"), std::string::npos) << terminal.output;
    EXPECT_NE(terminal.output.find(RED + "\r\nWrite failed.\r\n" + PLAIN), std::string::npos) << terminal.output;
    EXPECT_EQ(terminal.output.find(GREEN), std::string::npos);
}

TEST_F(BurnCommandTest, ReadRefusesWhatWouldLoseData)
{
    std::vector<uint8_t> before = Sim::ReadBinaryFile(package);
    Sim::ProgramResult noSize = Run({"read", "-c", "qx71", "-p", NO_PORT, "-f", package});
    EXPECT_EQ(noSize.exitCode, 1);
    EXPECT_EQ(noSize.output, "error: The read size must be greater than 0, give it with -z <size>.\n");
    Sim::ProgramResult samePath = Run({"read", "-c", "kp7715", "-p", NO_PORT, "-f", package, "-z", "4k", "--output",
                                       install.Dir() + "//app.fwpkg"});
    EXPECT_EQ(samePath.exitCode, 1);
    EXPECT_EQ(samePath.output,
              "error: The read output file must not be the package itself: " + install.Dir() + "//app.fwpkg\n");
    EXPECT_EQ(Sim::ReadBinaryFile(package), before);
    std::vector<std::string> nearTop = {"read", "-c", "qx71", "-p", NO_PORT, "-f", package, "-a", "0xFFFFF000", "-z",
                                        "0x1001"};
    Sim::ProgramResult pastTop = Run(nearTop);
    EXPECT_EQ(pastTop.exitCode, 1);
    EXPECT_EQ(pastTop.output, "error: The read of 0x1001 bytes at 0xFFFFF000 runs past the end of the 32-bit address space.\n");
    nearTop.back() = "0x1000";  // ends at 4 GiB, and no reset is what a read does: the port is tried
    nearTop.push_back("--after-reset=0");
    EXPECT_EQ(Run(nearTop).exitCode, 3);
}

TEST_F(BurnCommandTest, ListNeedsAKnownType)
{
    for (const std::vector<std::string>& words :
         {std::vector<std::string>{"list"}, std::vector<std::string>{"list", "-d", "0483:df11"}}) {
        Sim::ProgramResult result = Run(words);
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.output, "error: list requires a type argument.\n\n" + LIST_USAGE);
    }
    for (const char* type : {"SERIAL", "usb"}) {
        Sim::ProgramResult result = Run({"list", type});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.output, "error: Unknown list type '" + std::string(type) + "'.\n\n" + LIST_USAGE);
    }
}

TEST_F(BurnCommandTest, ListSerialPrintsOnePortPerLine)
{
    Sim::ProgramResult result = Run({"list", "serial"});
    EXPECT_EQ(result.exitCode, 0);
    if (result.output == "No serial ports found.\n") {
        return;
    }
    ASSERT_EQ(result.output.back(), '\n');
    size_t start = 0;
    for (size_t end = result.output.find('\n'); end != std::string::npos; end = result.output.find('\n', start)) {
        EXPECT_TRUE(IsPortName(result.output.substr(start, end - start))) << result.output;
        start = end + 1;
    }
}

TEST_F(BurnCommandTest, ListHid)
{
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"list", "hid", "-d", "zz:11"}, "Invalid device id 'zz:11', expected <vid>:<pid> in hex, e.g. 0483:df11"},
        {{"list", "hid", "-d", "0483"}, "Invalid device id '0483', expected <vid>:<pid> in hex, e.g. 0483:df11"},
        {{"list", "serial", "-d", "1234:5678"}, "list serial takes no -d; it lists every serial port."},
        {{"list", "hid", "-d", "0483:df11", "--chip", "tn48"}, "list hid takes no --chip; its only filter is -d <vid>:<pid>."},
    };
    for (const auto& c : refused) {
        Sim::ProgramResult badFilter = Run(c.first);
        EXPECT_EQ(badFilter.exitCode, 1);
        EXPECT_EQ(badFilter.output, "error: " + c.second + "\n");
    }

    Sim::ProgramResult result = Run({"list", "hid"});
    if (result.exitCode == 1) {
        EXPECT_EQ(result.output, "error: USB enumeration failed.\n");
    } else {
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_FALSE(result.output.empty());
    }
}

}  // namespace
