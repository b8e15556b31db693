// write, read and list through the built executable against virtual DFU devices on a virtual USB
// bus: the whole road from the device search to the last status request goes through real libusb.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "FwpkgBuilder.h"
#include "ScratchDir.h"
#include "TestSupport.h"
#include "UsbBench.h"
#include "VirtualDfuDevice.h"

namespace {

using testing::EndsWith;
using testing::HasSubstr;
using testing::Not;

constexpr int DEVICE_NOT_OPENED = 3;
constexpr int DOWNLOAD_FAILED = 4;
constexpr int READ_FAILED = 7;
const std::string DEVICE = "0483:df11";

class DfuUsbTest : public ::testing::Test {
protected:
    Sim::ProgramResult Vexil(std::vector<std::string> benchOptions, const std::vector<std::string>& words,
                             int timeoutMs = 20000, std::vector<std::string> command = {})
    {
        benchOptions.push_back("--save-download");
        benchOptions.push_back(Arrived());
        command.push_back(VEXIL_BINARY);  // after the words of a launcher, if any
        command.insert(command.end(), words.begin(), words.end());
        Sim::ProgramOptions options;
        options.timeoutMs = timeoutMs;
        return Sim::RunUnderUsbBench(VEXIL_BUILD_DIR, benchOptions, command, options);
    }

    std::string Arrived() const { return dir / "arrived.bin"; }

    // An image with a DFU suffix for the given ids, made by Debian's dfu-suffix.
    std::string WithSuffix(const std::vector<uint8_t>& payload, const std::string& vid, const std::string& pid)
    {
        std::string path = dir / ("for-" + vid + "-" + pid + ".bin");
        EXPECT_TRUE(Sim::WriteBinaryFile(path, payload));
        std::string command = "dfu-suffix -a '" + path + "' -v " + vid + " -p " + pid + " > /dev/null";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return path;
    }

    Sim::ScratchDir dir;
};

TEST_F(DfuUsbTest, WriteDeliversThePayloadWholeWithoutItsSuffix)
{
    std::vector<uint8_t> payload = Sim::PatternBytes(10000, 21);
    std::string plain = dir / "plain.bin";
    ASSERT_TRUE(Sim::WriteBinaryFile(plain, payload));
    struct Case {
        std::string file;
        std::string transferSize;
        std::string line;
    };
    const std::vector<Case> cases = {
        {plain, "1024", "Warning: the burn file has no DFU suffix, sending it as-is.\n"},
        {WithSuffix(payload, "0483", "df11"), "4096", "Valid DFU suffix found, stripping it before the download.\n"},
        // Linux's usbfs takes at most 4096 data bytes in one control transfer.
        {plain, "8192", "Note: transfer size 8192 is above the 4096 bytes Linux allows in one control transfer, "
                        "using 4096.\n"},
    };
    for (const Case& c : cases) {
        Sim::ProgramResult result =
            Vexil({"--dfu", DEVICE, "--transfer-size", c.transferSize}, {"write", "-c", "tn48", "-d", DEVICE, "-f", c.file});
        EXPECT_EQ(result.exitCode, 0) << result.output;
        EXPECT_THAT(result.output, HasSubstr(c.line));
        EXPECT_THAT(result.output, HasSubstr("Download completed.\n"));
        EXPECT_THAT(result.output, EndsWith("\nBurn " + c.file + " successfully.\n\nWrite successfully.\n"));
        EXPECT_EQ(Sim::ReadBinaryFile(Arrived()), payload) << c.file;
    }
}

// The device stalls, and counts, a request that comes before the poll time-out it gave has passed; a
// time-out of 1 ms is where a wait kept in whole milliseconds goes early most often.
TEST_F(DfuUsbTest, WriteAsksForTheStatusNoSoonerThanTheDeviceSaid)
{
    std::vector<uint8_t> payload = Sim::PatternBytes(65536, 27);
    ASSERT_TRUE(Sim::WriteBinaryFile(dir / "app.bin", payload));
    Sim::ProgramResult result = Vexil({"--dfu", DEVICE, "--transfer-size", "1024", "--poll-ms", "1", "--report-polls"},
                                      {"write", "-c", "tn48", "-d", DEVICE, "-f", dir / "app.bin"});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_THAT(result.output, EndsWith("usbbench: 0 status requests came before bwPollTimeout had passed\n"));
    EXPECT_EQ(Sim::ReadBinaryFile(Arrived()), payload);
}

TEST_F(DfuUsbTest, ReadWritesTheFlashIntoTheOutputFile)
{
    std::vector<uint8_t> flash = Sim::PatternBytes(6000, 22);
    ASSERT_TRUE(Sim::WriteBinaryFile(dir / "flash.bin", flash));
    std::string out = dir / "out.bin";
    Sim::ProgramResult result = Vexil({"--dfu", DEVICE, "--flash", dir / "flash.bin"},
                                      {"read", "-c", "tn48", "-d", DEVICE, "-f", dir / "unused.bin", "-o", out});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_THAT(result.output, EndsWith("\nRead " + out + " successfully.\n"));
    EXPECT_EQ(Sim::ReadBinaryFile(out), flash);
}

// A read that does not end whole, or that may not write where the output's name leads, leaves nothing of
// itself, under the name asked for or beside it, and the file the output names stays as it was.
struct UnfinishedReadCase : Sim::NamedRow {
    const char* size;
    const char* line;
    std::vector<std::string> launcher = {};
    const char* put = ":";  // by sh, with the output as $1, its directory as $2 and a file elsewhere as $3
    bool asAnotherUser = false;
    const char* via = "";  // the way from that directory to the output's, which put makes
};

const UnfinishedReadCase UNFINISHED_READ_CASES[] = {
    {"EndsShort", "8192", "Read 6000 of 8192 bytes: the device ended the upload early.\n"},
    // The last blocks are written at the close, past the size the tool may write.
    {"CannotBeClosed", "6000", "error: Closing the output file failed.\n", {"prlimit", "--fsize=4096"}},
    {"AtAGroupMembersLink", "6000", "(Permission denied).\n", {},
     "chmod 1770 $2 && chgrp nogroup $2 && mv $1 $3 && ln -s $3 $1 && chown -h nobody: $1", true},
    {"ThroughAGroupMembersLink", "6000", "(Permission denied).\n", {},
     "chmod 1770 $2 && ln -s . $2/dumps && chown -h nobody: $2/dumps", true, "dumps/"},
};

class UnfinishedReadTest : public DfuUsbTest, public ::testing::WithParamInterface<UnfinishedReadCase> {};

TEST_P(UnfinishedReadTest, LeavesTheFileTheOutputNamesAsItWas)
{
    const UnfinishedReadCase& c = GetParam();
    if (c.asAnotherUser && !Sim::MayActAsNobody()) {
        GTEST_SKIP() << Sim::NOT_AS_NOBODY;
    }
    ASSERT_TRUE(Sim::WriteBinaryFile(dir / "flash.bin", Sim::PatternBytes(6000, 22)));
    Sim::ScratchDir reads;
    std::string out = reads / "out.bin";
    const std::vector<uint8_t> older = {'o', 'l', 'd'};
    ASSERT_TRUE(Sim::WriteBinaryFile(out, older));
    ASSERT_EQ(Sim::RunProgram({"/bin/sh", "-c", c.put, "sh", out, reads.Path(), dir / "root.bin"}).exitCode, 0);
    std::set<std::string> files = Sim::FilesIn(reads.Path());
    Sim::ProgramResult result = Vexil({"--dfu", DEVICE, "--flash", dir / "flash.bin"},
                                      {"read", "-c", "tn48", "-d", DEVICE, "-f", dir / "unused.bin", "-o",
                                       reads / (c.via + std::string("out.bin")), "-z", c.size}, 20000, c.launcher);
    EXPECT_EQ(result.exitCode, READ_FAILED) << result.output;
    EXPECT_THAT(result.output, HasSubstr(c.line));
    EXPECT_THAT(result.output, Not(HasSubstr("successfully")));
    EXPECT_THAT(result.output, EndsWith(c.asAnotherUser ? c.line : "\nerror: Read " + out + " failed.\nnote: Removed "
                                        "the incomplete read; " + out + " is as it was before.\n"));
    EXPECT_EQ(Sim::FilesIn(reads.Path()), files);
    EXPECT_EQ(Sim::ReadBinaryFile(out), older);
}

INSTANTIATE_TEST_SUITE_P(Dfu, UnfinishedReadTest, ::testing::ValuesIn(UNFINISHED_READ_CASES),
                         ::testing::PrintToStringParamName());

// A file for the ids the device had in runtime mode is for this device, as dfu-util takes it.
TEST_F(DfuUsbTest, RuntimeDeviceDetachesAndComesBackInDfuMode)
{
    std::vector<uint8_t> payload = Sim::PatternBytes(3000, 23);
    Sim::ProgramResult result =
        Vexil({"--dfu", DEVICE, "--runtime", "7d00"}, {"write", "-d", "-f", WithSuffix(payload, "0483", "7d00")});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_THAT(result.output, HasSubstr("Valid DFU suffix found, stripping it before the download.\n"));
    EXPECT_THAT(result.output, Not(HasSubstr("is for [")));
    EXPECT_THAT(result.output, HasSubstr("Found DFU device [0483:7d00] serial=\"VDFU0001\" (runtime).\n"
                                         "Device is in runtime mode, requesting DFU detach...\n"
                                         "Device will detach and re-attach; waiting for it to come back in DFU "
                                         "mode...\n"));
    EXPECT_THAT(result.output, HasSubstr("\nDevice re-enumerated in DFU mode.\n"));
    EXPECT_EQ(Sim::ReadBinaryFile(Arrived()), payload);
}

// Two matching devices are refused, each named on its line, until -S picks one. Names and serial
// numbers that carry terminal controls are printed with '?' in their place, in the list too, and -S
// takes the serial as printed or as the device has it.
TEST_F(DfuUsbTest, TwoMatchingDevicesAreRefusedUntilTheSerialNumberPicksOne)
{
    std::vector<uint8_t> payload = Sim::PatternBytes(100, 24);
    ASSERT_TRUE(Sim::WriteBinaryFile(dir / "app.bin", payload));
    const std::string printed = "?[2J?[31m??";
    struct Case {
        std::vector<std::string> bench;
        std::string hidName;
        std::string printed;               // in place of the control text after each serial and name
        std::vector<std::string> serials;  // for -S
    };
    const std::vector<Case> cases = {
        {{"--hid", "0483:5750:Keypad:05010906a101"}, "Keypad", "", {"BBB2"}},
        {{"--control-strings", "--hid", "0483:5750:Key\x1b[31mpad\a:05010906a101"}, "Key?[31mpad?", printed,
         {"BBB2" + printed, "BBB2" + std::string(Sim::TERMINAL_CONTROL_TEXT)}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> bench = {"--dfu", DEVICE + ":AAA1", "--dfu", DEVICE + ":BBB2"};
        bench.insert(bench.end(), c.bench.begin(), c.bench.end());
        Sim::ProgramResult list = Vexil(bench, {"list", "hid"});
        Sim::ProgramResult several = Vexil(bench, {"write", "-c", "tn48", "-d", DEVICE, "-f", dir / "app.bin"});
        EXPECT_THAT(list.output, HasSubstr("Name:" + c.hidName + ",PID:0x5750,VID:0x483,Usage:0x6,UsagePage:0x1\n"));
        EXPECT_EQ(several.exitCode, DEVICE_NOT_OPENED) << several.output;
        EXPECT_THAT(several.output, HasSubstr("error: More than one DFU device found:\n"));
        for (const std::string serial : {"AAA1", "BBB2"}) {
            std::string line = "[0483:df11] serial=\"" + serial + c.printed +
                               "\" intf=0 alt=0 (DFU mode) name=\"Virtual flash" + c.printed + "\"\n";
            EXPECT_THAT(list.output, HasSubstr(line));
            EXPECT_THAT(several.output, HasSubstr("  " + line));
        }
        EXPECT_THAT(several.output, HasSubstr("Narrow it down with -d <vid>:<pid> or -S <serial-number>.\n"));
        EXPECT_THAT(several.output, Not(HasSubstr("Write successfully")));
        std::vector<std::string> outputs = {list.output, several.output};
        for (const std::string& serial : c.serials) {
            Sim::ProgramResult chosen =
                Vexil(bench, {"write", "-c", "tn48", "-d", DEVICE, "-S", serial, "-f", dir / "app.bin"});
            EXPECT_EQ(chosen.exitCode, 0) << chosen.output;
            EXPECT_THAT(chosen.output,
                        HasSubstr("Found DFU device [0483:df11] serial=\"BBB2" + c.printed + "\" (DFU mode).\n"));
            EXPECT_EQ(Sim::ReadBinaryFile(Arrived()), payload) << serial;
            outputs.push_back(chosen.output);
        }
        for (const std::string& output : outputs) {
            EXPECT_EQ(output.find_first_of("\x1b\a\x7f"), std::string::npos) << output;
        }
    }
}

// A partition table is refused before the device is looked for, so nothing reaches it.
TEST_F(DfuUsbTest, PartitionTableIsRefusedBeforeTheDeviceIsLookedFor)
{
    std::string table = dir / "table.xml";
    ASSERT_TRUE(Sim::WriteTextFile(table, "<P><A Sel=\"1\" PartitionName=\"a\" FileSystem=\"n\" FlashType=\"n\" "
                                          "Start=\"0\" Length=\"-\" SelectFile=\"\"/></P>\n"));
    Sim::ProgramResult result = Vexil({"--dfu", DEVICE}, {"write", "-d", DEVICE, "-f", table});
    EXPECT_EQ(result.exitCode, DOWNLOAD_FAILED);
    EXPECT_EQ(result.output, "error: " + table + " is a partition table; a burn over USB DFU does not burn partition "
                                                 "tables.\n\nWrite failed.\n");
    EXPECT_TRUE(Sim::ReadBinaryFile(Arrived()).empty());
}

// Ctrl-C taken as the device ends its manifest: the library ends well, but the run was stopped before
// its outcome was decided, so no verdict of success comes before the signal's status.
TEST_F(DfuUsbTest, CtrlCAsTheManifestEndsStopsTheWriteBeforeItsVerdict)
{
    std::string image = dir / "app.bin";
    ASSERT_TRUE(Sim::WriteBinaryFile(image, Sim::PatternBytes(3000, 23)));
    Sim::ProgramResult result =
        Vexil({"--dfu", DEVICE, "--interrupt-at-manifest"}, {"write", "-d", DEVICE, "-f", image});
    EXPECT_EQ(result.exitCode, 130);
    EXPECT_THAT(result.output, EndsWith("\nBurn " + image + " successfully.\nerror: Interrupted by SIGINT.\n"));
}

TEST_F(DfuUsbTest, DownloadBrokenOffMidwayFailsWithStatusFour)
{
    ASSERT_TRUE(Sim::WriteBinaryFile(dir / "app.bin", Sim::PatternBytes(8192, 25)));
    const std::vector<std::pair<std::string, std::string>> faults = {
        {"--stall-at-block", "error: DFU_DNLOAD transfer failed (device unplugged?).\n"},
        {"--leave-at-block", "error: Lost contact with the device while it was programming (last GETSTATUS=-4).\n"},
    };
    for (const auto& [fault, line] : faults) {
        Sim::ProgramResult result = Vexil({"--dfu", DEVICE, "--transfer-size", "1024", fault, "3"},
                                          {"write", "-c", "tn48", "-d", DEVICE, "-f", dir / "app.bin"});
        EXPECT_EQ(result.exitCode, DOWNLOAD_FAILED) << fault << result.output;
        EXPECT_THAT(result.output, HasSubstr(line)) << fault;
        EXPECT_THAT(result.output, EndsWith("\nWrite failed.\n")) << fault;
        EXPECT_TRUE(Sim::ReadBinaryFile(Arrived()).empty()) << fault << ": nothing was manifested";
    }
}

TEST_F(DfuUsbTest, ListHidShowsHidAndDfuDevicesInTheirLineFormats)
{
    Sim::ProgramResult result = Vexil({"--hid", "0483:5750:Keypad:05010906a101", "--dfu", DEVICE + ":SN42"},
                                      {"list", "hid"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output, "Name:Keypad,PID:0x5750,VID:0x483,Usage:0x6,UsagePage:0x1\n"
                             "USB DFU devices:\n"
                             "[0483:df11] serial=\"SN42\" intf=0 alt=0 (DFU mode) name=\"Virtual flash\"\n");
}

// The one test that waits the whole search time; without -c the USB road takes the generic DFU chip.
TEST_F(DfuUsbTest, NoMatchingDeviceGivesUpAfterTheSearchTimeWithTheReasons)
{
    ASSERT_TRUE(Sim::WriteBinaryFile(dir / "app.bin", Sim::PatternBytes(100, 26)));
    Sim::ProgramResult result = Vexil({"--dfu", DEVICE}, {"write", "-d", "0483:df12", "-f", dir / "app.bin"}, 60000);
    EXPECT_EQ(result.exitCode, DEVICE_NOT_OPENED) << result.output;
    EXPECT_THAT(result.output,
                HasSubstr("Waiting for the USB DFU device. Reset or power-cycle the board now if needed...\n" +
                          std::string(30, '.') + "\n"
                          "error: No DFU device found. It may be caused by the following reasons:\n"
                          "1. The device is not in DFU/boot mode, or the USB cable is not connected.\n"
                          "2. The vid:pid or serial-number filter does not match (try 'vexil list hid').\n"
                          "3. No permission to access the device: run with sudo, or add a udev rule, e.g.\n"
                          "   SUBSYSTEM==\"usb\", ATTRS{idVendor}==\"xxxx\", ATTRS{idProduct}==\"yyyy\", "
                          "MODE=\"0666\"\n"));
}

}  // namespace
