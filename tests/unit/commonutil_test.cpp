#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include "CommonUtil.h"
#include "FwpkgBuilder.h"
#include "ScratchDir.h"

using ::testing::ElementsAre;

namespace {

TEST(SplitTest, KeepsEveryPieceIncludingEmptyOnes)
{
    EXPECT_THAT(CommonUtil::Split("", '='), ElementsAre(""));
    EXPECT_THAT(CommonUtil::Split("abc", '='), ElementsAre("abc"));
    EXPECT_THAT(CommonUtil::Split("=", '='), ElementsAre("", ""));
    EXPECT_THAT(CommonUtil::Split("a=b=c", '='), ElementsAre("a", "b", "c"));
    EXPECT_THAT(CommonUtil::Split("a==b=", '='), ElementsAre("a", "", "b", ""));
    EXPECT_THAT(CommonUtil::Split("key=value\r", '='), ElementsAre("key", "value\r"));
}

TEST(TrimTest, StripsLineEndsOnlyAtTheEnd)
{
    const std::pair<std::string, std::string> cases[] = {
        {"  value \t\r\n", "value"},
        {"\nvalue", "\nvalue"},
        {"\r\n  value", "\r\n  value"},
        {"\t serial , usb \r", "serial , usb"},
        {" \t\r\n", ""},
        {"", ""},
        {"x", "x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CommonUtil::Trim(c.first), c.second) << "input: '" << c.first << "'";
    }
}

TEST(ConvertToNumberTest, ReadsDecimalHexAndSizeSuffixes)
{
    const std::pair<std::string, long long> cases[] = {
        {"4096", 4096},
        {"7", 7},
        {"0x10", 16},
        {"0X10", 16},
        {"0x800000", 8388608},
        {"4k", 4096},
        {"4KB", 4096},
        {"16k", 16384},
        {"16K", 16384},
        {"1m", 1048576},
        {"2M", 2097152},
        {"1g", 1073741824},
        {"3G", 3221225472LL},
        {"-1", -1},
        {" 42", 42},
        {" 0x10\t", 16},
        {"0483", 483},
        {"0x7fffffffffffffff", LLONG_MAX},
        {"8589934591g", 8589934591LL << 30},
    };
    for (const auto& c : cases) {
        long long number = -12345;
        EXPECT_TRUE(CommonUtil::ConvertToNumber(c.first, number, true)) << "input: '" << c.first << "'";
        EXPECT_EQ(number, c.second) << "input: '" << c.first << "'";
    }
}

TEST(ConvertToNumberTest, ReportsFailureForTextThatIsNotWhollyANumberOrOutOfRange)
{
    const char* cases[] = {
        "",    "abc", "k",   "0x",  "0xzz", " ",  "12abc", "0x2O000", "0x0x10", "4kk", "1 2",  // not wholly a number
        "-k",  "g12", "x1m", "99999999999999999999",                 // beyond 64 bits
        "0x1ffffffffffffffff", "8589934592g", "-8589934593g",       // the multiplied value overflows
    };
    for (const char* text : cases) {
        long long number = 77;
        EXPECT_FALSE(CommonUtil::ConvertToNumber(text, number, true)) << "input: '" << text << "'";
        EXPECT_EQ(number, 77) << "input: '" << text << "'";
    }
}

TEST(ConvertToNumberTest, ReportingFormNamesTheSettingOnce)
{
    long long number = 0;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(CommonUtil::ConvertToNumberOrReport("zz", CommonUtil::ADDRESS_32, "-a", number));
    EXPECT_TRUE(CommonUtil::ConvertToNumberOrReport("0x20", CommonUtil::ADDRESS_32, "-a", number));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "error: Invalid number 'zz' for -a, expected 0 to 0xFFFFFFFF.\n");
    EXPECT_EQ(number, 32);
    EXPECT_EQ(CommonUtil::Low32(0x1234567890LL), 0x34567890);
    EXPECT_EQ(CommonUtil::Low32(-1), -1);
}

TEST(TextTest, EqualsIgnoreCaseComparesWholeTexts)
{
    EXPECT_TRUE(CommonUtil::EqualsIgnoreCase("QX71.txt", "qx71.TXT"));
    EXPECT_TRUE(CommonUtil::EqualsIgnoreCase("", ""));
    EXPECT_FALSE(CommonUtil::EqualsIgnoreCase("qx71.txt", "qx71.txt "));
    EXPECT_FALSE(CommonUtil::EqualsIgnoreCase("qx71", "qx72"));
}

TEST(TextTest, SopCrc16IsXmodem)
{
    const unsigned char check[] = "123456789";
    EXPECT_EQ(CommonUtil::SopCrc16(check, 9), 0x31C3u);
    EXPECT_EQ(CommonUtil::SopCrc16(nullptr, 9), 0u);
    EXPECT_EQ(CommonUtil::SopCrc16(check, 0), 0u);
}

TEST(FileTest, FindFileIgnoreCaseReturnsTheNameAsOnDisk)
{
    Sim::ScratchDir dir;
    ASSERT_TRUE(Sim::WriteTextFile(dir / "Qx71.TXT", "ChipType=1\n"));
    std::string found = "untouched";
    EXPECT_TRUE(CommonUtil::FindFileIgnoreCase(dir.Path(), "qx71.txt", found));
    EXPECT_EQ(found, "Qx71.TXT");
    found = "untouched";
    EXPECT_FALSE(CommonUtil::FindFileIgnoreCase(dir.Path(), "qx7.txt", found));
    EXPECT_EQ(found, "untouched");
    EXPECT_FALSE(CommonUtil::FindFileIgnoreCase(dir / "missing", "qx71.txt", found));
}

TEST(FileTest, FileIsExistsAndGetFileLen)
{
    Sim::ScratchDir dir;
    ASSERT_TRUE(Sim::WriteTextFile(dir / "empty", ""));
    ASSERT_TRUE(Sim::WriteBinaryFile(dir / "four", Sim::PatternBytes(4096, 1)));
    EXPECT_TRUE(CommonUtil::FileIsExists(dir / "empty"));
    EXPECT_TRUE(CommonUtil::FileIsExists(dir.Path()));
    EXPECT_FALSE(CommonUtil::FileIsExists(dir / "missing"));
    EXPECT_EQ(CommonUtil::GetFileLen(dir / "missing"), 0u);
    EXPECT_EQ(CommonUtil::GetFileLen(dir / "empty"), 0u);
    EXPECT_EQ(CommonUtil::GetFileLen(dir / "four"), 4096u);
    EXPECT_EQ(CommonUtil::GetFileLen(dir.Path()), 0u);  // a directory has no length
    EXPECT_EQ(CommonUtil::FindLastSeparator("a\\b/c"), 1u);
    EXPECT_EQ(CommonUtil::FindLastSeparator("a/b/c"), 3u);
    EXPECT_EQ(CommonUtil::FindLastSeparator("abc"), std::string::npos);
}

TEST(FileTest, GetFileContentGivesTheBytesFollowedByZeros)
{
    Sim::ScratchDir dir;
    std::vector<uint8_t> bytes = Sim::PatternBytes(3000, 7);
    ASSERT_TRUE(Sim::WriteBinaryFile(dir / "image.bin", bytes));
    std::unique_ptr<unsigned char[]> buffer;
    unsigned long length = 0;
    ASSERT_TRUE(CommonUtil::GetFileContent(dir / "image.bin", buffer, length));
    ASSERT_EQ(length, 3000u);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), buffer.get()));
    for (unsigned long i = 0; i < CommonUtil::FILE_CONTENT_SPARE; ++i) {
        ASSERT_EQ(buffer[length + i], 0) << i;
    }
}

TEST(FileTest, GetFileContentReportsEachFailure)
{
    Sim::ScratchDir dir;
    std::unique_ptr<unsigned char[]> buffer;
    unsigned long length = 99;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(CommonUtil::GetFileContent(dir / "missing", buffer, length));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "error: Open file failed: " + (dir / "missing") + "\n");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(CommonUtil::GetFileContent(dir.Path(), buffer, length));  // a directory cannot be read
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "error: fread failed!\n");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(CommonUtil::GetFileContent("/dev/zero", buffer, length));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "error: fread failed!\n");
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(length, 99u);
}

TEST(FileTest, FileCopyCopiesAcrossChunksAndReportsFailures)
{
    Sim::ScratchDir dir;
    std::vector<uint8_t> bytes = Sim::PatternBytes(2 * CommonUtil::COPY_KB_UNIT + 17, 3);
    ASSERT_TRUE(Sim::WriteBinaryFile(dir / "from", bytes));
    EXPECT_TRUE(CommonUtil::FileCopy(dir / "from", dir / "to"));
    EXPECT_EQ(Sim::ReadBinaryFile(dir / "to"), bytes);

    testing::internal::CaptureStdout();
    EXPECT_FALSE(CommonUtil::FileCopy(dir / "missing", dir / "to"));
    EXPECT_FALSE(CommonUtil::FileCopy(dir / "from", dir / "no/such/dir"));
    EXPECT_FALSE(CommonUtil::FileCopy("/dev/zero", dir / "to"));  // would fill the disk
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Open file: " + (dir / "missing") + " failed.\nOpen file: " + (dir / "no/such/dir") +
                  " failed, the file may have been opened.\nOpen file: /dev/zero failed.\n");
    EXPECT_EQ(Sim::ReadBinaryFile(dir / "to"), bytes);
}

// Colour depends on whether standard output is a terminal, so these run with a pty as standard output.
class ConsoleColorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        {
            Sim::StdoutRedirect toTerminal(slave);
            CommonUtil::EnableConsoleColor();
        }
        ASSERT_TRUE(CommonUtil::ColorEnabled());
    }

    void TearDown() override
    {
        close(master);
        close(slave);
    }

    int master = -1;
    int slave = -1;
};

TEST_F(ConsoleColorTest, ColoursWrapTheTextWithItsLineEnds)
{
    EXPECT_EQ(CommonUtil::Red("\nWrite failed.\n"), "\x1b[1;31m\nWrite failed.\n\x1b[0m");
    EXPECT_EQ(CommonUtil::Green("ok"), "\x1b[32mok\x1b[0m");
    EXPECT_EQ(CommonUtil::Yellow("note"), "\x1b[33mnote\x1b[0m");
}

TEST_F(ConsoleColorTest, SeverityDecidesTheColour)
{
    const std::string red = "\x1b[1;31m";
    const std::string yellow = "\x1b[33m";
    const std::string green = "\x1b[32m";
    const std::string reset = "\x1b[0m";
    const std::pair<std::string, std::string> cases[] = {
        {"  Error: open failed\n", red + "  Error: open failed\n" + reset},
        {"\r\n\terror: x", red + "\r\n\terror: x" + reset},
        {"warning: slow\n", yellow + "warning: slow\n" + reset},
        {"NOTE: replug\n", yellow + "NOTE: replug\n" + reset},
        {"Burn app successfully.\n", green + "Burn app successfully.\n" + reset},
        {"Erase completed\n", green + "Erase completed\n" + reset},
        {"Success with a capital S\n", "Success with a capital S\n"},
        {"xerror: no\n", "xerror: no\n"},
        {"err", "err"},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CommonUtil::ColorizeBySeverity(c.first), c.second) << "input: '" << c.first << "'";
    }
}

TEST_F(ConsoleColorTest, CursorSequencesReachTheTerminal)
{
    {
        Sim::StdoutRedirect toTerminal(slave);
        CommonUtil::HideCursor();
        CommonUtil::ShowCursor();
    }
    // Each sequence is its own write, and a pty may hand them over in separate reads.
    const std::string expected = "\x1b[?25l\x1b[?25h";
    std::string received;
    pollfd ready = {master, POLLIN, 0};
    while (received.size() < expected.size() && poll(&ready, 1, 2000) > 0) {
        char bytes[64];
        ssize_t got = read(master, bytes, sizeof(bytes));
        if (got <= 0) {
            break;
        }
        received.append(bytes, static_cast<size_t>(got));
    }
    EXPECT_EQ(received, expected);
}

TEST(ConsoleColorPlainTest, NotATerminalMeansPlainText)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    {
        Sim::StdoutRedirect toPipe(ends[1]);
        CommonUtil::EnableConsoleColor();
        CommonUtil::HideCursor();
        CommonUtil::ShowCursor();
    }
    close(ends[1]);
    char byte = 0;
    EXPECT_EQ(read(ends[0], &byte, 1), 0);  // nothing was written
    close(ends[0]);
    EXPECT_FALSE(CommonUtil::ColorEnabled());
    EXPECT_EQ(CommonUtil::Red("error: x"), "error: x");
    EXPECT_EQ(CommonUtil::ColorizeBySeverity("error: x"), "error: x");
    EXPECT_EQ(CommonUtil::ColorizeBySeverity("done successfully"), "done successfully");
}

TEST(StartsWithIgnoreCaseTest, SkipsLeadingBlanksAndIgnoresCase)
{
    EXPECT_TRUE(CommonUtil::StartsWithIgnoreCase(" \t\r\nERROR: x", "error"));
    EXPECT_TRUE(CommonUtil::StartsWithIgnoreCase("anything", ""));
    EXPECT_TRUE(CommonUtil::StartsWithIgnoreCase("", ""));
    EXPECT_FALSE(CommonUtil::StartsWithIgnoreCase("err", "error"));
    EXPECT_FALSE(CommonUtil::StartsWithIgnoreCase("   ", "error"));
    EXPECT_FALSE(CommonUtil::StartsWithIgnoreCase("x error", "error"));
}

}  // namespace
