#include <gtest/gtest.h>

#include <csignal>

#include "FwpkgBuilder.h"
#include "ScratchDir.h"
#include "ToolInstall.h"

namespace {

std::string Pad(const std::string& text, size_t width)
{
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

// One line of the image table: columns of 3, 28, 12, 12 and 12 characters, two blanks apart.
std::string TableLine(const std::string& idx, const std::string& name, const std::string& address,
                      const std::string& writeSize, const std::string& eraseSize, const std::string& type)
{
    return Pad(idx, 3) + "  " + Pad(name, 28) + "  " + Pad(address, 12) + "  " + Pad(writeSize, 12) + "  " +
           Pad(eraseSize, 12) + "  " + type + "\n";
}

const std::string HEADER = TableLine("Idx", "Name", "Address", "WriteSize", "EraseSize", "Type") +
                           TableLine("---", std::string(28, '-'), std::string(10, '-'), std::string(10, '-'),
                                     std::string(10, '-'), std::string(10, '-'));

std::vector<Sim::PackageImage> SampleImages()
{
    return {{"loader.bin", Sim::PatternBytes(4096, 1), 0x00000000, 0x10000, 0},
            {"qx71-nimbos-app.bin", Sim::PatternBytes(777, 2), 0x00200000, 0x80000, 18},
            {"boot6529", Sim::PatternBytes(16, 3), 0xDEADBEEF, 0xFFFFFFFF, 17},
            {"odd", Sim::PatternBytes(1, 4), 0x10, 0x20, 55}};
}

const std::string SAMPLE_ROWS =
    TableLine("0", "loader.bin", "0x00000000", "0x00001000", "0x00010000", "LOADER (0)") +
    TableLine("1", "qx71-nimbos-app.bin", "0x00200000", "0x00000309", "0x00080000", "APP (18)") +
    TableLine("2", "boot6529", "0xDEADBEEF", "0x00000010", "0xFFFFFFFF", "FLASHBOOT_6529 (17)") +
    TableLine("3", "odd", "0x00000010", "0x00000001", "0x00000020", "UNKNOWN (55)");

class ParseCommandTest : public ::testing::Test {
protected:
    Sim::ProgramResult Vexil(const std::vector<std::string>& words)
    {
        Sim::ProgramOptions options;
        options.workingDirectory = dir.Path();
        return Sim::RunVexil(VEXIL_BINARY, words, options);
    }

    void WritePackage(const std::string& name, const std::vector<Sim::PackageImage>& images,
                      const Sim::FwpkgOptions& options = {})
    {
        ASSERT_TRUE(Sim::WriteBinaryFile(dir / name, Sim::BuildFwpkg(images, options)));
    }

    Sim::ScratchDir dir;
};

// A package that every write refuses, for its CRC or an image cut short, is listed all the same, then
// failed in the write's line.
TEST_F(ParseCommandTest, CompactPackageTableWhateverItsCrc)
{
    for (int fault : {0, 1, 2}) {
        Sim::FwpkgOptions options;
        options.corruptCrc = fault == 1;
        std::vector<uint8_t> package = Sim::BuildFwpkg(SampleImages(), options);
        ASSERT_TRUE(Sim::WriteBinaryFile(dir / "app.fwpkg", {package.begin(), package.end() - (fault == 2)}));
        Sim::ProgramResult result = Vexil({"parse", "-f", "app.fwpkg"});
        EXPECT_EQ(result.exitCode, fault == 0 ? 0 : 1);
        const char* const lines[] = {"", "error: fwpkg crc mismatch\n", "error: Image odd runs past the end of the "
                                     "package (offset 5109, length 1, package 5109 bytes).\n"};
        EXPECT_EQ(result.output, "File  : app.fwpkg\nImages: 4\n\n" + HEADER + SAMPLE_ROWS + lines[fault]);
    }
}

TEST_F(ParseCommandTest, ExtendedPackageShowsItsVersion)
{
    Sim::FwpkgOptions options;
    options.layout = Sim::FwpkgLayout::Extended;
    options.version = "nimbos-2.4.1";
    WritePackage("ext.fwpkg", SampleImages(), options);
    Sim::ProgramResult result = Vexil({"parse", "--file", dir / "ext.fwpkg"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output,
              "File  : " + (dir / "ext.fwpkg") + "\nVersion: nimbos-2.4.1\nImages: 4\n\n" + HEADER + SAMPLE_ROWS);
}

TEST_F(ParseCommandTest, ExtendedPackageWithoutVersionTextHasNoVersionLine)
{
    Sim::FwpkgOptions options;
    options.layout = Sim::FwpkgLayout::Extended;
    WritePackage("ext.fwpkg", {SampleImages()[0]}, options);
    Sim::ProgramResult result = Vexil({"parse", "-f", "ext.fwpkg"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output, "File  : ext.fwpkg\nImages: 1\n\n" + HEADER +
                                 TableLine("0", "loader.bin", "0x00000000", "0x00001000", "0x00010000", "LOADER (0)"));
}

TEST_F(ParseCommandTest, LongNamePushesLaterColumnsRight)
{
    std::string name(31, 'n');
    WritePackage("long.fwpkg", {{name, Sim::PatternBytes(2, 1), 1, 2, 102}});
    Sim::ProgramResult result = Vexil({"parse", "-f", "long.fwpkg"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output, "File  : long.fwpkg\nImages: 1\n\n" + HEADER + "0    " + name +
                                 "  0x00000001    0x00000002    0x00000002    SHA (102)\n");
}

TEST_F(ParseCommandTest, ControlBytesFromThePackageShowAsQuestionMarks)
{
    Sim::FwpkgOptions options;
    options.layout = Sim::FwpkgLayout::Extended;
    options.version = "v1\x1b]0;x\x07";
    WritePackage("ctl.fwpkg", {{"app\x1b[2J\x7f.bin", Sim::PatternBytes(2, 1), 1, 2, 102}}, options);
    Sim::ProgramResult result = Vexil({"parse", "-f", "ctl.fwpkg"});
    EXPECT_EQ(result.output, "File  : ctl.fwpkg\nVersion: v1?]0;x?\nImages: 1\n\n" + HEADER +
                                 TableLine("0", "app?[2J?.bin", "0x00000001", "0x00000002", "0x00000002", "SHA (102)"));
}

TEST_F(ParseCommandTest, OptionValueThatCannotBeUsedFailsWithoutTheListing)
{
    WritePackage("app.fwpkg", SampleImages());
    Sim::ProgramResult result = Vexil({"parse", "-f", "app.fwpkg", "--timeout", "0"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output, "error: Invalid timeout 0, expected a positive millisecond value\n");

    result = Vexil({"parse", "-p", "x", "-f", "app.fwpkg", "-d"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output, "error: -p/--port and -d/--device are mutually exclusive (serial and USB transports "
                             "cannot be combined)\n");

    result = Vexil({"parse", "-f", "app.fwpkg", "-d", "0483:df11"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output, "error: parse takes no -d; it reads the package given with -f and nothing else.\n");
}

// A signal ends the read of a large package at once, as from a slow medium: no table, but why it stopped.
TEST_F(ParseCommandTest, SignalDuringTheReadShowsNoTable)
{
    WritePackage("big.fwpkg", {{"app.bin", std::vector<uint8_t>(16 << 20, 1), 0, 0, 18}});
    Sim::ProgramOptions options;
    options.workingDirectory = dir.Path();
    options.pendingSignal = SIGINT;
    Sim::ProgramResult result = Sim::RunVexil(VEXIL_BINARY, {"parse", "-f", "big.fwpkg"}, options);
    EXPECT_EQ(result.exitCode, 130);
    EXPECT_EQ(result.output, "error: Interrupted by SIGINT.\n");
}

TEST_F(ParseCommandTest, Failures)
{
    Sim::ProgramResult result = Vexil({"parse", "-c", "qx71"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output, "error: parse requires -f <fwpkg file>\n");

    result = Vexil({"parse", "-f", "missing.fwpkg", "--crc"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output, "error: Unknown option '--crc'.\n");

    result = Vexil({"parse", "-f", "missing.fwpkg"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output, "error: cannot open file: missing.fwpkg (No such file or directory)\n");

    Sim::FwpkgOptions options;
    options.magic = 0xCAFEF00D;
    WritePackage("notpkg.bin", SampleImages(), options);
    result = Vexil({"parse", "-f", "notpkg.bin"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output, "error: not a fwpkg (bad magic flag)\n");

    options = {};
    options.countOverride = 0;
    WritePackage("empty.fwpkg", SampleImages(), options);
    result = Vexil({"parse", "-f", "empty.fwpkg"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output, "error: invalid image count\n");

    result = Vexil({"parse", "-f", "."});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output, "error: cannot read file: .\n");
}

}  // namespace
