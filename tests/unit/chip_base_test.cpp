// The chip driver base's services, its routed operations, the protocol base they run, and the older
// frame exchanges kept with the class.
#include <termios.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Burn.h"
#include "ChipDriverFactory.h"
#include "FwpkgBuilder.h"
#include "PtyBench.h"
#include "PtyChipTest.h"
#include "SerialWire.h"
#include "TestSupport.h"

namespace {

using Sim::NowMs;
using Sim::Bytes;
using Sim::PtyBench;
using Sim::TestChip;

// A protocol that records what the routed operations ask of it.
class RecordingProtocol : public TransportProtocolBase {
public:
    static std::vector<std::string> calls;
    static int live;
    static bool fail;

    explicit RecordingProtocol(BurnChipBase* chip) : TransportProtocolBase(chip)
    {
        ++live;
    }
    ~RecordingProtocol() override
    {
        --live;
    }
    bool DownloadFile(const char* file, unsigned long address, unsigned long length) override
    {
        calls.push_back("DownloadFile " + std::string(file) + " kind " + std::to_string(m_fileType) + " at " +
                        std::to_string(address) + " len " + std::to_string(length));
        return !fail;
    }
    bool UploadFile(const char* file, int length, unsigned long address) override
    {
        calls.push_back("UploadFile " + std::string(file) + " len " + std::to_string(length) + " at " +
                        std::to_string(address));
        return !fail;
    }
    bool EraseFlash(unsigned long address, unsigned long length) override
    {
        calls.push_back("EraseFlash at " + std::to_string(address) + " len " + std::to_string(length));
        return !fail;
    }
    bool DownloadFileToDdr(unsigned char* data, unsigned long length, unsigned long address, const char* file) override
    {
        calls.push_back("DownloadFileToDdr " + std::to_string(data[0]) + " len " + std::to_string(length) + " at " +
                        std::to_string(address) + " " + file);
        return !fail;
    }
};

std::vector<std::string> RecordingProtocol::calls;
int RecordingProtocol::live = 0;
bool RecordingProtocol::fail = false;

std::unique_ptr<TransportProtocolBase> MakeRecordingProtocol(BurnChipBase& chip)
{
    return std::make_unique<RecordingProtocol>(&chip);
}

class RoutedTest : public Sim::PtyChipTest {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(Sim::PtyChipTest::SetUp());
        ChipDriverFactory::Makers makers;
        makers.newRoutedProtocol = MakeRecordingProtocol;
        ChipDriverFactory::OverrideMakers(makers);
        RecordingProtocol::calls.clear();
        RecordingProtocol::fail = false;
        SetChipType(0x30002);
    }
    void TearDown() override
    {
        ChipDriverFactory::OverrideMakers({});
        SetChipType(0);
        EXPECT_EQ(RecordingProtocol::live, 0) << "a routed operation never leaves its protocol behind";
        Sim::PtyChipTest::TearDown();
    }
};

TEST_F(RoutedTest, DownloadToFlashSetsTheFileKindAndDownloadsTheJoinedImagePaths)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(DownloadToFlash(&chip, "app.bin|app_sha256.bin", 1, 2, 0x8000, 0x2000, 3, 101), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "DownloadFile1.\nDownloadFile2.\nDownloadFile3.\n");
    EXPECT_EQ(RecordingProtocol::calls,
              std::vector<std::string>{"DownloadFile app.bin|app_sha256.bin kind 101 at 32768 len 8192"});
}

TEST_F(RoutedTest, UploadEraseAndDdrDownloadPassTheirArgumentsInTheProtocolsOrder)
{
    unsigned char data[] = {42};
    EXPECT_EQ(UploadFile(&chip, 0x100, 64, "out.bin"), 1);
    EXPECT_EQ(EraseFlash(&chip, 0x200, 0x1000), 1);
    EXPECT_EQ(DownloadToDdr(&chip, "ddr.bin", data, 11, 22), 1);
    EXPECT_EQ(RecordingProtocol::calls,
              (std::vector<std::string>{"UploadFile out.bin len 64 at 256", "EraseFlash at 512 len 4096",
                                        "DownloadFileToDdr 42 len 22 at 11 ddr.bin"}));
    EXPECT_TRUE(capture.Messages().empty());
}

TEST_F(RoutedTest, FailuresOfTheProtocolAreReturned)
{
    RecordingProtocol::fail = true;
    EXPECT_EQ(EraseFlash(&chip, 0, 16), 0);
    EXPECT_EQ(capture.Messages(), std::vector<std::string>{"erase flash failed.\n"});
    EXPECT_EQ(UploadFile(&chip, 0, 16, "out.bin"), 0);
}

TEST_F(RoutedTest, PreconditionsAreCheckedWhenTheOperationRuns)
{
    SetChipType(0x30004);
    testing::internal::CaptureStdout();
    EXPECT_EQ(DownloadToFlash(&chip, "a|b", 0, 0, 0, 0, 0, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "DownloadFile1.\n");
    EXPECT_EQ(capture.Messages(), std::vector<std::string>{"no chipType is match.\n"});

    SetChipType(0x30002);
    ChipDriverFactory::Makers noProtocol;
    noProtocol.newRoutedProtocol = [](BurnChipBase&) { return std::unique_ptr<TransportProtocolBase>(); };
    ChipDriverFactory::OverrideMakers(noProtocol);
    capture.Clear();
    EXPECT_EQ(UploadFile(&chip, 0, 16, "out.bin"), 0);
    EXPECT_EQ(capture.Messages(), std::vector<std::string>{"new boot download protocol failed.\n"});

    TestChip unopened;
    capture.Clear();
    EXPECT_EQ(EraseFlash(&unopened, 0, 16), 0);
    EXPECT_EQ(capture.Messages(), std::vector<std::string>{"no transmission mode is selected.\n"});
    EXPECT_TRUE(RecordingProtocol::calls.empty());
}

class BareProtocol : public TransportProtocolBase {
public:
    using TransportProtocolBase::TransportProtocolBase;
    int Kind() const
    {
        return m_fileType;
    }
    const unsigned char* Sha() const
    {
        return m_shaData;
    }
    unsigned long ShaLength() const
    {
        return m_shaLength;
    }
    BurnChipBase* Chip() const
    {
        return m_chip;
    }
};

using ProtocolBase = Sim::PtyChipTest;

TEST_F(ProtocolBase, DefaultsReportSuccessWithoutTraffic)
{
    BareProtocol protocol(&chip);
    EXPECT_EQ(protocol.Kind(), -1);
    EXPECT_EQ(protocol.Sha(), nullptr);
    EXPECT_EQ(protocol.ShaLength(), 0u);
    unsigned char data[4] = {1, 2, 3, 4};
    EXPECT_TRUE(protocol.DownloadFileToDdr(data, 4, 0, "f"));
    EXPECT_TRUE(protocol.DownloadFile("f", 0, 4));
    EXPECT_TRUE(protocol.DownloadData(data, 4, 0, 4));
    EXPECT_TRUE(protocol.UploadFile("f", 4, 0));
    EXPECT_TRUE(protocol.EraseFlash(0, 4));
    EXPECT_TRUE(protocol.DownloadDataToDdr(0, "f"));
    EXPECT_TRUE(protocol.SendData(0, 4, data));
    EXPECT_TRUE(bench.ReadFor(30).empty());

    protocol.SetFileType(4);
    protocol.SetShaData(data, 4);
    EXPECT_EQ(protocol.Kind(), 4);
    EXPECT_EQ(protocol.Sha(), data);
    protocol.SetShaData(nullptr, 0);
    EXPECT_EQ(protocol.Sha(), nullptr);
    EXPECT_EQ(protocol.ShaLength(), 0u);
    TestChip other;
    protocol.SetTransport(&other);
    EXPECT_EQ(protocol.Chip(), &other);
}

TEST_F(ProtocolBase, BootCommandGoesAsATextCommand)
{
    Sim::CommandBoard board({{"[EOT](OK)"}});
    bench.StartDevice(board.AsResponder());
    BareProtocol protocol(&chip);
    EXPECT_TRUE(protocol.SendBootCommand("bootm 0x80000000", 2000));
    bench.StopDevice();
    EXPECT_EQ(board.Commands(), std::vector<std::string>{"bootm 0x80000000"});
    ASSERT_FALSE(capture.Printed().empty());
    EXPECT_EQ(capture.Printed()[0].message, "\nSend command: bootm 0x80000000\n");
    EXPECT_EQ(capture.Printed()[0].handle, chip.GetThisPtr());
}

TEST(ChipServices, ProgressGoesToTheCallbackWithTheDevice)
{
    TestChip chip;
    chip.SetProgress(10);
    Sim::PrintCapture capture;
    chip.SetProgress(55);
    EXPECT_EQ(capture.Progress(), (std::vector<std::pair<long long, int>>{{chip.GetThisPtr(), 55}}));
}

TEST(ChipServices, WithoutTransportWaitingSleepsAndPortCallsReportIt)
{
    Sim::PrintCapture capture;
    TestChip chip;
    long long start = NowMs();
    EXPECT_EQ(chip.WaitForData(50), 0);
    EXPECT_GE(NowMs() - start, 45);
    chip.UngetReceived(3);
    chip.ClearRecvBuff();
    unsigned char byte = 0;
    EXPECT_EQ(chip.Receive(&byte, 1), 0u);
    EXPECT_EQ(chip.Send(&byte, 1), 0u);
    EXPECT_FALSE(chip.SendFrameBySerial(&byte, 1, 10, 10));
    chip.ReSettingSerialParameters(921600, 0, 0);
    EXPECT_EQ(capture.Messages(),
              (std::vector<std::string>{"no transmission mode is selected.\n", "no transmission mode is selected.\n",
                                        "no transmission mode is selected.\n",
                                        "ReSettingSerialParameters: dynamic_cast failed.\n"}));
}

// The services and older frames that need a device whose port is open.
using OpenChipServices = Sim::PtyChipTest;
using OpenChipOlderFrames = Sim::PtyChipTest;

TEST_F(OpenChipServices, ResettingMovesTheOpenPortToAnotherSpeed)
{
    chip.ReSettingSerialParameters(1500000, 2, 1);
    struct termios line = {};
    tcgetattr(bench.SlaveFd(), &line);
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B1500000));
    EXPECT_EQ(line.c_cflag & (CSTOPB | PARENB), 0u) << "stop bits and parity are carried, not applied";
    ASSERT_TRUE(bench.Write(std::string("after")));
    EXPECT_EQ(chip.WaitForData(2000), 5) << "the receive thread keeps running";
}

TEST_F(OpenChipServices, CancelOfAnOpenDeviceIsReportedOnce)
{
    Cancel(&chip);
    EXPECT_TRUE(chip.CheckIsCancel());
    EXPECT_FALSE(chip.CheckIsCancel());
}

TEST_F(OpenChipOlderFrames, FileGoesAsHeadDataAndTailFramesEachAcked)
{
    Bytes expectedHead = {0xFE, 0x00, 0xFF, 0x01, 0x00, 0x00, 0x04, 0x01, 0x00, 0x80, 0x00, 0x00};
    Sim::AppendCrcHighFirst(expectedHead);
    auto split = [](const Bytes& pending) -> size_t {
        if (pending.empty()) {
            return 0;
        }
        size_t wanted = pending[0] == 0xFE ? 14 : (pending[0] == 0xED ? 5 : 0);
        if (pending[0] == 0xDA) {
            wanted = pending.size() >= 3 && pending[1] == 1 ? 1024 + 5 : 1 + 5;
        }
        return pending.size() >= wanted ? wanted : 0;
    };
    Sim::FramedResponder board(split, Sim::Script().Then(Sim::Script::Ack()).AsAnswer());
    bench.StartDevice(board.AsResponder());
    Bytes data = PtyBench::Garbage(1025, 5);
    DataInfo info;
    info.data = data.data();
    info.length = data.size();
    info.address = 0x800000;
    EXPECT_TRUE(chip.SendFileBySerial(info));
    bench.StopDevice();

    std::vector<Bytes> frames = board.Frames();
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0], expectedHead);
    EXPECT_EQ(Bytes(frames[1].begin(), frames[1].begin() + 3), (Bytes{0xDA, 0x01, 0xFE}));
    EXPECT_EQ(Bytes(frames[1].begin() + 3, frames[1].end() - 2), Bytes(data.begin(), data.begin() + 1024));
    EXPECT_TRUE(Sim::CrcHighFirstMatches(frames[1]));
    EXPECT_EQ(frames[2], ([&]() {
                  Bytes last = {0xDA, 0x02, 0xFD, data.back()};
                  Sim::AppendCrcHighFirst(last);
                  return last;
              })());
    Bytes tail = {0xED, 0x03, 0xFC};
    Sim::AppendCrcHighFirst(tail);
    EXPECT_EQ(frames[3], tail);
}

TEST_F(OpenChipOlderFrames, CommandWithoutReplyGoesOutWithoutWaiting)
{
    EXPECT_TRUE(chip.SendCmdAndNoReply("reset", 5, 1000));
    Bytes expected = Sim::CommandHeadFrame(5);
    Bytes data = Sim::CommandDataFrame("reset");
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(bench.ReadExactly(expected.size(), 2000), expected);
    EXPECT_FALSE(chip.SendCmdAndNoReply(std::string(126, 'x').c_str(), 126, 1000));
}

TEST(OlderFrames, AckFrameAndBoardFrameChecks)
{
    Bytes ack = {0xEF, 0xBE, 0xAD, 0xDE, 0x0C, 0x00, 0xE1, 0x1E, 0x5A, 0x00};
    uint16_t crc = Sim::Crc16Xmodem(ack.data(), ack.size());
    ack.push_back(static_cast<uint8_t>(crc & 0xFF));
    ack.push_back(static_cast<uint8_t>(crc >> 8));
    Bytes noisy = {'o', 'k'};
    noisy.insert(noisy.end(), ack.begin(), ack.end());
    EXPECT_TRUE(BurnChipBase::CheckRecvFrame(noisy.data(), static_cast<int>(noisy.size())));
    noisy.back() ^= 0x01;
    EXPECT_FALSE(BurnChipBase::CheckRecvFrame(noisy.data(), static_cast<int>(noisy.size())));

    std::vector<unsigned char> board = BurnChipBase::GetBoardFrameCmd(0x12);
    EXPECT_TRUE(BurnChipBase::CheckRecvFrame(board.data(), static_cast<int>(board.size()), 0xCE));
    EXPECT_FALSE(BurnChipBase::CheckRecvFrame(board.data(), static_cast<int>(board.size()), 0xCF));
    board[1] ^= 0x01;
    EXPECT_FALSE(BurnChipBase::CheckRecvFrame(board.data(), static_cast<int>(board.size()), 0xCE));

    const unsigned char text[] = {0x00, 0x1B, 0x80, 'A', 'b'};
    EXPECT_EQ(BurnChipBase::CheckAsciiTextPos(text, 5), 3);
    EXPECT_EQ(BurnChipBase::CheckAsciiTextPos(text, 3), -1);
}

TEST(OlderFrames, TimeoutGrowsWithEveryStartedMebibyte)
{
    EXPECT_EQ(BurnChipBase::CalculationTimeout(0), 30000u);
    EXPECT_EQ(BurnChipBase::CalculationTimeout(1024 * 1024), 30000u);
    EXPECT_EQ(BurnChipBase::CalculationTimeout(1024 * 1024 + 1), 60000u);
    EXPECT_EQ(BurnChipBase::CalculationTimeout(5 * 1024 * 1024), 150000u);
}

}  // namespace
