#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "BurnChipBase.h"
#include "Common.h"
#include "FwpkgBuilder.h"
#include "PrintCapture.h"
#include "ScratchDir.h"

namespace {

std::vector<unsigned char> Bytes(const std::string& text)
{
    return std::vector<unsigned char>(text.begin(), text.end());
}

// A file of the given bytes in the directory.
std::string FileIn(const Sim::ScratchDir& dir, const std::string& name, const std::vector<uint8_t>& bytes)
{
    std::string path = dir / name;
    Sim::WriteBinaryFile(path, bytes);
    return path;
}

TEST(Checksums, Crc16XmodemKnownValues)
{
    std::vector<unsigned char> digits = Bytes("123456789");
    EXPECT_EQ(Common::SopCrc16(digits.data(), digits.size()), 0x31C3u);
    std::vector<unsigned char> abc = Bytes("abc");
    EXPECT_EQ(Common::SopCrc16(abc.data(), abc.size()), 0x9DD6u);
    EXPECT_EQ(Common::SopCrc16(nullptr, 5), 0u);
    EXPECT_EQ(Common::SopCrc16(digits.data(), 0), 0u);
    EXPECT_EQ(Common::CRC_TABLE[1], 0x1021);
    EXPECT_EQ(Common::CRC_TABLE[255], 0x1EF0);
}

TEST(Checksums, AgreesWithAnIndependentBitwiseCrc)
{
    std::vector<uint8_t> data = Sim::PatternBytes(5000, 7);
    EXPECT_EQ(Common::SopCrc16(data.data(), data.size()), Sim::Crc16Xmodem(data.data(), data.size()));
}

TEST(Checksums, XorAndByteSum)
{
    const unsigned char data[] = {0x01, 0x02, 0x04, 0xF0, 0xFF};
    EXPECT_EQ(Common::CalculateCrc(data, sizeof(data)), 0x01 ^ 0x02 ^ 0x04 ^ 0xF0 ^ 0xFF);
    EXPECT_EQ(Common::CalculateCrc(data, 0), 0);
    EXPECT_EQ(Common::CalcCheckSum8(data, sizeof(data)), 0x1F6u);
    EXPECT_EQ(Common::CalcCheckSum8(data, sizeof(data)) & 0xFF, 0xF6u);
    EXPECT_EQ(Common::CalcCheckSum8(data, 0), 0u);
}

TEST(EscapedFrame, DoublesTheEscapeByteBetweenHeadAndTail)
{
    const unsigned char data[] = {0x01, 0x5C, 0x02};
    EXPECT_EQ(Common::GetDouble5CFrameData(data, sizeof(data)),
              (std::vector<unsigned char>{0x5C, 0x73, 0x01, 0x5C, 0x5C, 0x02, 0x5C, 0x65}));
    EXPECT_EQ(Common::GetDouble5CFrameData(data, 0), (std::vector<unsigned char>{0x5C, 0x73, 0x5C, 0x65}));
    const unsigned char escape[] = {0x5C};
    EXPECT_EQ(Common::GetDouble5CFrameData(escape, 1),
              (std::vector<unsigned char>{0x5C, 0x73, 0x5C, 0x5C, 0x5C, 0x65}));
}

TEST(TextFunctions, SplitKeepsEmptyPiecesAndGivesNothingWithoutSeparator)
{
    using Pieces = std::vector<std::string>;
    EXPECT_EQ(Common::Split("a|b", '|'), (Pieces{"a", "b"}));
    EXPECT_EQ(Common::Split("a|", '|'), (Pieces{"a", ""}));
    EXPECT_EQ(Common::Split("|", '|'), (Pieces{"", ""}));
    EXPECT_EQ(Common::Split("a||b", '|'), (Pieces{"a", "", "b"}));
    EXPECT_EQ(Common::Split("|a", '|'), (Pieces{"", "a"}));
    EXPECT_EQ(Common::Split("img|sha||||", '|'), (Pieces{"img", "sha", "", "", "", ""}));
    EXPECT_TRUE(Common::Split("abc", '|').empty());
    EXPECT_TRUE(Common::Split("", '|').empty());
}

TEST(TextFunctions, FileNamePrefersTheLastBackslash)
{
    EXPECT_EQ(Common::GetFileName("a/b\\c/d.bin"), "c/d.bin");
    EXPECT_EQ(Common::GetFileName("/x/y/z.bin"), "z.bin");
    EXPECT_EQ(Common::GetFileName("dir/"), "");
    EXPECT_EQ(Common::GetFileName("plain.bin"), "plain.bin");
    EXPECT_EQ(Common::GetFileName("C:\\fw\\app.fwpkg"), "app.fwpkg");
}

// A terminal may take C1 controls, as UTF-8 or as lone bytes, as it takes ESC; the same bytes inside
// well-formed UTF-8 (é, €, an emoji) are text.
TEST(TextFunctions, PrintableMasksC0AndC1ControlsAndKeepsUtf8Text)
{
    const std::pair<std::string, std::string> rows[] = {
        {"\xC2\x80" "a\xC2\x9F\xC2\xA0", "?a?\xC2\xA0"},
        {"\x1B[2J\x9B" "31m\x7F\x85", "?[2J?31m??"},
        {"\xC3\xA9\x9B\xE2\x82\xAC\xF0\x9F\x98\x80\xC2\x9B", "\xC3\xA9?\xE2\x82\xAC\xF0\x9F\x98\x80?"},
        {"\xE2\x82" "\xC1\x9B\xED\xA0\x80\xA0\xFF", "\xE2?\xC1?\xED\xA0?\xA0\xFF"},  // cut short, overlong, surrogate
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Common::Printable(row.first), row.second);
        EXPECT_EQ(Common::Printable(row.second), row.second);
    }
}

TEST(TextFunctions, FormatInfoDropsTextsThatDoNotFit)
{
    EXPECT_EQ(Common::FormatInfo("%s-%d", "port", 7), "port-7");
    EXPECT_EQ(Common::FormatInfo("%s", std::string(4095, 'x').c_str()).size(), 4095u);
    EXPECT_EQ(Common::FormatInfo("%s", std::string(4096, 'x').c_str()), "");
}

TEST(ByteFunctions, ConvertingUintToArraysStoresLittleEndianAndAdvances)
{
    Sim::PrintCapture capture;
    unsigned char buffer[8] = {0};
    int position = 2;
    Common::ConvertingUintToArrays(buffer, sizeof(buffer), 0x11223344, position);
    EXPECT_EQ(position, 6);
    EXPECT_EQ(std::vector<unsigned char>(buffer, buffer + 8),
              (std::vector<unsigned char>{0, 0, 0x44, 0x33, 0x22, 0x11, 0, 0}));
    EXPECT_TRUE(capture.Printed().empty());

    position = 5;
    Common::ConvertingUintToArrays(buffer, sizeof(buffer), 0xAABBCCDD, position);
    EXPECT_EQ(position, 5);
    EXPECT_EQ(buffer[5], 0x11);
    EXPECT_EQ(capture.Text(), "Converting uint to arrays failed.\n");

    position = 9;
    Common::ConvertingUintToArrays(buffer, sizeof(buffer), 1, position);
    EXPECT_EQ(position, 9);
}

TEST(ByteFunctions, UartBaudRateTable)
{
    EXPECT_EQ(Common::GetUartBaudRate(115200), 4098);
    EXPECT_EQ(Common::GetUartBaudRate(500000), 4101);
    EXPECT_EQ(Common::GetUartBaudRate(921600), 4103);
    EXPECT_EQ(Common::GetUartBaudRate(1000000), 4104);
    EXPECT_EQ(Common::GetUartBaudRate(1500000), 4106);
    EXPECT_EQ(Common::GetUartBaudRate(2000000), 4107);
    EXPECT_EQ(Common::GetUartBaudRate(9600), -1);
    EXPECT_EQ(Common::GetUartBaudRate(0), -1);
}

TEST(Messages, NothingHappensWithoutACallback)
{
    RegisterCallback(nullptr, nullptr, nullptr);
    Common::Print("text\n", "", 0, "");
    Common::PrintInfo(0, Common::INFO_MESSAGE, "%s\n", "text");
    EXPECT_FALSE(Common::Cancelled());
}

TEST(Messages, PrintPassesItsTextsUnchanged)
{
    Sim::PrintCapture capture;
    Common::Print("100%% done\n", "debug", 42, "");
    ASSERT_EQ(capture.Printed().size(), 1u);
    EXPECT_EQ(capture.Printed()[0].handle, 42);
    EXPECT_EQ(capture.Printed()[0].message, "100%% done\n");
    EXPECT_EQ(capture.Printed()[0].debugMessage, "debug");
}

TEST(Messages, PrintInfoKindChoosesTheArgument)
{
    Sim::PrintCapture capture;
    Common::PrintInfo(7, Common::INFO_MESSAGE, "port %s open\n", "/dev/ttyUSB0");
    Common::PrintInfo(8, Common::INFO_DEBUG, "value %d\n", 3);
    ASSERT_EQ(capture.Printed().size(), 2u);
    EXPECT_EQ(capture.Printed()[0].handle, 7);
    EXPECT_EQ(capture.Printed()[0].message, "port /dev/ttyUSB0 open\n");
    EXPECT_EQ(capture.Printed()[0].debugMessage, "");
    EXPECT_EQ(capture.Printed()[1].handle, 8);
    EXPECT_EQ(capture.Printed()[1].message, "");
    EXPECT_EQ(capture.Printed()[1].debugMessage, "value 3\n");
}

TEST(Messages, PrintInfoDropsTextsOf4096CharactersOrMore)
{
    Sim::PrintCapture capture;
    Common::PrintInfo(0, Common::INFO_MESSAGE, "%s", std::string(4095, 'a').c_str());
    ASSERT_EQ(capture.Printed().size(), 1u);
    EXPECT_EQ(capture.Printed()[0].message.size(), 4095u);
    Common::PrintInfo(0, Common::INFO_MESSAGE, "%s", std::string(4096, 'a').c_str());
    Common::PrintInfo(0, Common::INFO_DEBUG, "%s", std::string(9000, 'a').c_str());
    EXPECT_EQ(capture.Printed().size(), 1u);
}

int g_cancelAnswer = 0;
int g_cancelQueries = 0;

int CountingCancelQuery()
{
    ++g_cancelQueries;
    return g_cancelAnswer;
}

TEST(Messages, CancelledAsksTheQueryEveryTime)
{
    Sim::PrintCapture capture(CountingCancelQuery);
    g_cancelAnswer = 0;
    g_cancelQueries = 0;
    EXPECT_FALSE(Common::Cancelled());
    EXPECT_TRUE(capture.Printed().empty());
    g_cancelAnswer = 1;
    EXPECT_TRUE(Common::Cancelled());
    EXPECT_TRUE(Common::Cancelled());
    EXPECT_EQ(capture.Text(), "user cancelled!\nuser cancelled!\n");
    EXPECT_EQ(capture.Printed()[0].handle, 0);
    EXPECT_EQ(g_cancelQueries, 3);
}

TEST(Clock, GetTimeNeverGoesBackAndCountsMilliseconds)
{
    long long before = Common::GetTime();
    Common::DelayUs(20000);
    long long after = Common::GetTime();
    EXPECT_GE(after - before, 19);
    EXPECT_LT(after - before, 2000);
}

TEST(FileReaders, GetFileDataReturnsTheFileWithSpareRoom)
{
    Sim::ScratchDir dir;
    std::vector<uint8_t> content = Sim::PatternBytes(10, 1);
    std::string path = FileIn(dir, "ten.bin", content);
    unsigned long length = 0;
    std::unique_ptr<unsigned char[]> data = Common::GetFileData(path, length, 0);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(std::vector<uint8_t>(data.get(), data.get() + 10), content);
    // a packet reader may run up to a packet past the data without leaving the buffer
    EXPECT_EQ(data[10 + Common::PER_PACKET_SIZE - 1], 0);
}

TEST(FileReaders, GetFileDataFailsOnEmptyAndMissingFiles)
{
    Sim::ScratchDir dir;
    Sim::PrintCapture capture;
    unsigned long length = 1234;
    EXPECT_EQ(Common::GetFileData(FileIn(dir, "empty.bin", {}), length, 5), nullptr);
    EXPECT_EQ(length, 1234u);
    EXPECT_EQ(capture.Text(), "ftell failed\n");
    EXPECT_EQ(capture.Printed()[0].handle, 5);

    capture.Clear();
    std::string missing = dir / "missing.bin";
    EXPECT_EQ(Common::GetFileData(missing, length, 0), nullptr);
    EXPECT_EQ(capture.Text(), "fopen_s " + missing + " failed\n");
    EXPECT_EQ(length, 1234u);
}

TEST(FileReaders, GetPartFileDataReadsARangeAndRefusesShortFiles)
{
    Sim::ScratchDir dir;
    Sim::PrintCapture capture;
    std::vector<uint8_t> content = Sim::PatternBytes(100, 2);
    std::string path = FileIn(dir, "hundred.bin", content);

    std::unique_ptr<unsigned char[]> part = Common::GetPartFileData(path, 0, 90, 10);
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(part.get(), part.get() + 10),
              std::vector<uint8_t>(content.begin() + 90, content.end()));
    EXPECT_EQ(part[10], 0);
    EXPECT_EQ(part[10 + Common::PER_PACKET_SIZE - 1], 0);

    std::unique_ptr<unsigned char[]> none = Common::GetPartFileData(path, 0, 0, 0);
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none[Common::PER_PACKET_SIZE - 1], 0);
    EXPECT_TRUE(capture.Printed().empty());

    EXPECT_EQ(Common::GetPartFileData(path, 0, 91, 10), nullptr);
    EXPECT_EQ(capture.Text(), "fread failed\n");

    capture.Clear();
    EXPECT_EQ(Common::GetPartFileData(dir / "missing.bin", 0, 0, 1), nullptr);
    EXPECT_EQ(capture.Text(), "fopen_s " + dir.Path() + "/missing.bin failed\n");
}

// A read from a slow medium stops at the first cancel between its pieces, saying nothing of its own.
TEST(FileReaders, ACancelStopsTheReadAfterAPiece)
{
    Sim::ScratchDir dir;
    Sim::PrintCapture capture(CountingCancelQuery);
    g_cancelAnswer = 1;
    g_cancelQueries = 0;
    unsigned long length = 0;
    EXPECT_EQ(Common::GetFileData(FileIn(dir, "big.bin", std::vector<uint8_t>(3 << 20, 1)), length, 0), nullptr);
    EXPECT_EQ(g_cancelQueries, 1);
    EXPECT_EQ(capture.Text(), "user cancelled!\n");
}

// A device without end, a FIFO that would wait for a writer, a directory: refused before reading.
TEST(FileReaders, NonRegularFilesAreRefusedAsFilesThatCannotBeOpened)
{
    Sim::ScratchDir dir;
    std::string fifo = dir / "fifo.fwpkg";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {std::string("/dev/zero"), fifo, dir.Path()}) {
        Sim::PrintCapture capture;
        unsigned long length = 1234;
        EXPECT_EQ(Common::GetFileData(path, length, 0), nullptr);
        EXPECT_EQ(Common::GetPartFileData(path, 0, 0, 16), nullptr);
        EXPECT_EQ(capture.Text(), "fopen_s " + path + " failed\nfopen_s " + path + " failed\n");
        EXPECT_EQ(length, 1234u);
        EXPECT_EQ(Common::GetBigFileLen(path), 0);
    }
}

TEST(FileReaders, BigFileLengthAndOpening)
{
    Sim::ScratchDir dir;
    std::string path = FileIn(dir, "n.bin", Sim::PatternBytes(4097, 3));
    EXPECT_EQ(Common::GetBigFileLen(path), 4097);
    EXPECT_EQ(Common::GetBigFileLen(dir / "missing.bin"), 0);

    FILE* stream = reinterpret_cast<FILE*>(1);
    EXPECT_EQ(Common::fopen_s(&stream, (dir / "missing.bin").c_str(), "rb"), 0);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(Common::fopen_s(&stream, path.c_str(), "rb"), 0);
    ASSERT_NE(stream, nullptr);
    Common::CloseFile(stream);
    EXPECT_EQ(stream, nullptr);
    Common::CloseFile(stream);
}

TEST(LibrarySettings, ChipTypeGivesTheDepartment)
{
    SetChipType(0x30004);
    EXPECT_EQ(BurnChipBase::m_chipType, 0x30004u);
    EXPECT_EQ(BurnChipBase::m_department, 3u);
    SetChipType(static_cast<int>(0x7EFF0001));
    EXPECT_EQ(BurnChipBase::m_department, 255u);
    SetChipType(0);
    EXPECT_EQ(BurnChipBase::m_department, 0u);
}

TEST(LibrarySettings, FlagsAndPacketSize)
{
    SetIsOnlyBurnLoader(5);
    EXPECT_TRUE(BurnChipBase::m_isOnlyBurnLoader);
    SetIsOnlyBurnLoader(0);
    EXPECT_FALSE(BurnChipBase::m_isOnlyBurnLoader);
    SetIsEraseBeforeBurn(0);
    EXPECT_FALSE(BurnChipBase::m_isEraseBeforeBurn);
    SetIsEraseBeforeBurn(2);
    EXPECT_TRUE(BurnChipBase::m_isEraseBeforeBurn);
    SetIsBurnDeviceInfo(7u);
    EXPECT_TRUE(BurnChipBase::m_isBurnDeviceInfo);
    SetIsBurnDeviceInfo(0u);
    EXPECT_FALSE(BurnChipBase::m_isBurnDeviceInfo);
    SetPacketSize(3000);
    EXPECT_EQ(BurnChipBase::m_packetSize, 3000u);
    SetPacketSize(1024);
}

}  // namespace
