// The YMODEM variant on the pty bench: the bytes of each frame, the receiver's 'C' and NAK, the time
// limits, and the receiving side writing a file.
#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Burn.h"
#include "Qx71Session.h"
#include "Qx71Wire.h"
#include "YmodemProtocol.h"

namespace {

using Sim::Bytes;
using Sim::FramedResponder;
using Sim::PtyBench;
using Sim::Script;
using YmodemProtocolSp::YmodemProtocol;

constexpr size_t BLOCK_ZERO_LEN = 133;

// Cuts what the sender writes into frames by their start byte: block 0, EOT, or a data frame of
// the size the test expects.
FramedResponder::Splitter YmodemSplit(size_t dataSize)
{
    return [dataSize](const Bytes& pending) -> size_t {
        if (pending.empty()) {
            return 0;
        }
        size_t length = dataSize + 5;
        if (pending[0] == Sim::YM_EOT) {
            length = 1;
        } else if (pending[0] == Sim::YM_SOH) {
            length = BLOCK_ZERO_LEN;
        }
        return pending.size() >= length ? length : 0;
    };
}

Script AckEverything()
{
    return Script().Then(Script::Reply({Sim::YM_ACK}));
}

Bytes Slice(const Bytes& bytes, size_t from, size_t count)
{
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

std::vector<int> Percents(const Sim::PrintCapture& capture)
{
    std::vector<int> percents;
    for (const auto& step : capture.Progress()) {
        percents.push_back(step.second);
    }
    return percents;
}

class YmodemTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(session.Open(), nullptr);
        ymodem = std::make_unique<YmodemProtocol>(session.handle);
        ymodem->SetTimeLimits(Sim::ShortLimits().ymodem);
    }

    // A receiver that asks for the file with 'C' and answers each frame as the script says.
    FramedResponder Receiver(size_t dataSize, const Script& script, Bytes prompt = {Sim::YM_C})
    {
        FramedResponder receiver(YmodemSplit(dataSize), script.AsAnswer());
        session.bench.StartDevice(receiver.AsResponder());
        session.bench.Write(prompt);
        return receiver;
    }

    bool Send(const Bytes& data, const std::string& name = "a.bin")
    {
        return ymodem->DownloadFile(data.data(), data.size(), name);
    }

    Sim::Qx71Session session;
    std::unique_ptr<YmodemProtocol> ymodem;
};

// ---- Sending ----

TEST_F(YmodemTest, BlockZeroCarriesTheBaseNameAndTheSizeAsHexText)
{
    FramedResponder receiver = Receiver(1024, AckEverything());
    ASSERT_TRUE(Send(Bytes(4096, 0x5A), "images/a.bin"));

    Bytes blockZero = receiver.Frames().at(0);
    ASSERT_EQ(blockZero.size(), BLOCK_ZERO_LEN);
    Bytes head = {0x01, 0x00, 0xFF, 0x61, 0x2E, 0x62, 0x69, 0x6E, 0x00, 0x30, 0x78, 0x31, 0x30, 0x30, 0x30, 0x00};
    EXPECT_EQ(Slice(blockZero, 0, head.size()), head);
    EXPECT_EQ(Slice(blockZero, head.size(), 131 - head.size()), Bytes(131 - head.size(), 0x00));
    EXPECT_EQ(Slice(blockZero, 131, 2), (Bytes{0x11, 0x39}));
    EXPECT_EQ(blockZero, Sim::YmodemBlockZero("a.bin", 4096));
}

TEST_F(YmodemTest, LastFrameIsPaddedWithZerosAndTheTransferEndsWithEotAndAnEmptyBlockZero)
{
    FramedResponder receiver = Receiver(1024, AckEverything());
    Bytes file = Sim::PatternBytes(1025, 3);
    ASSERT_TRUE(Send(file));

    std::vector<Bytes> frames = receiver.Frames();
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(Slice(frames[1], 0, 3), (Bytes{0x02, 0x01, 0xFE}));
    EXPECT_EQ(frames[1], Sim::YmodemDataFrame(1, Slice(file, 0, 1024), 1024));
    EXPECT_EQ(Slice(frames[2], 0, 4), (Bytes{0x02, 0x02, 0xFD, file[1024]}));
    EXPECT_EQ(Slice(frames[2], 4, 1023), Bytes(1023, 0x00));
    EXPECT_TRUE(Sim::YmodemFrameValid(frames[2]));
    EXPECT_EQ(frames[3], Bytes{Sim::YM_EOT});
    Bytes closing(BLOCK_ZERO_LEN, 0x00);
    closing[0] = 0x01;
    closing[2] = 0xFF;
    EXPECT_EQ(frames[4], closing);
    EXPECT_EQ(Percents(session.capture), (std::vector<int>{99, 100}));
    EXPECT_EQ(session.capture.Messages(), (std::vector<std::string>{"C\n", "Start download: a.bin.\n"}));
}

TEST_F(YmodemTest, FrameSizeChoosesTheStartByte)
{
    const std::vector<std::pair<int, uint8_t>> sizes = {{2048, 0x0A}, {4096, 0x0B}, {8192, 0x0C}, {3000, 0x02}};
    for (const auto& size : sizes) {
        SCOPED_TRACE(size.first);
        ymodem->SetSingleFrameDataSize(size.first);
        FramedResponder receiver = Receiver(static_cast<size_t>(size.first), AckEverything());
        Bytes file = Sim::PatternBytes(static_cast<size_t>(size.first) + 10, 4);
        ASSERT_TRUE(Send(file));
        std::vector<Bytes> frames = receiver.Frames();
        ASSERT_EQ(frames.size(), 5u);
        for (size_t data : {1u, 2u}) {
            EXPECT_EQ(frames[data].size(), static_cast<size_t>(size.first) + 5);
            EXPECT_EQ(frames[data][0], size.second);
        }
        EXPECT_EQ(Slice(frames[1], 3, file.size() - 10), Slice(file, 0, file.size() - 10));
        session.bench.StopDevice();
    }
}

TEST_F(YmodemTest, FrameNumbersWrapAfter255)
{
    FramedResponder receiver = Receiver(1024, AckEverything());
    ASSERT_TRUE(Send(Sim::PatternBytes(257 * 1024, 5)));
    std::vector<Bytes> frames = receiver.Frames();
    ASSERT_EQ(frames.size(), 1u + 257u + 2u);
    EXPECT_EQ(Slice(frames[255], 1, 2), (Bytes{0xFF, 0x00}));
    EXPECT_EQ(Slice(frames[256], 1, 2), (Bytes{0x00, 0xFF}));
    EXPECT_EQ(Slice(frames[257], 1, 2), (Bytes{0x01, 0xFE}));
}

TEST_F(YmodemTest, FrameDataSizeBelowOneIsTakenAs1024)
{
    SetPacketSize(0);
    YmodemProtocol fromSetting(session.handle);
    fromSetting.SetTimeLimits(Sim::ShortLimits().ymodem);
    FramedResponder receiver = Receiver(1024, AckEverything());
    Bytes file = Sim::PatternBytes(100, 6);
    ASSERT_TRUE(fromSetting.DownloadFile(file.data(), file.size(), "a.bin"));
    EXPECT_EQ(receiver.Frames().at(1).size(), 1029u);

    session.bench.StopDevice();
    ymodem->SetSingleFrameDataSize(-5);
    FramedResponder second = Receiver(1024, AckEverything());
    ASSERT_TRUE(Send(file));
    EXPECT_EQ(second.Frames().at(1), Sim::YmodemDataFrame(1, file, 1024));
}

TEST_F(YmodemTest, ACAsksForTheSameFrameAgainAndANakIsIgnored)
{
    Script script;
    script.Then(Script::Reply({Sim::YM_ACK}))                        // block 0
        .Then(Script::Reply({Sim::YM_C}))                            // frame 1: again, please
        .Then(Script::Reply({Sim::YM_NAK, Sim::YM_ACK}))             // frame 1 again
        .Then(Script::Reply({Sim::YM_C}))                            // EOT: again, please
        .Then(Script::Reply({Sim::YM_ACK}));
    FramedResponder receiver = Receiver(1024, script);
    Bytes file = Sim::PatternBytes(700, 7);
    ASSERT_TRUE(Send(file));
    std::vector<Bytes> frames = receiver.Frames();
    ASSERT_EQ(frames.size(), 6u);
    EXPECT_EQ(frames[1], frames[2]);
    EXPECT_EQ(frames[3], Bytes{Sim::YM_EOT});
    EXPECT_EQ(frames[4], Bytes{Sim::YM_EOT});
    EXPECT_EQ(frames[5], Sim::YmodemClosingBlock());
}

TEST_F(YmodemTest, RequestsAgainDoNotExtendTheTimeLimitOfAFrame)
{
    Script script;
    script.Then(Script::Reply({Sim::YM_ACK})).Then(Script::DelayThen(40, Script::Reply({Sim::YM_C})));
    FramedResponder receiver = Receiver(1024, script);
    long long start = Common::GetTime();
    EXPECT_FALSE(Send(Bytes(10, 1)));
    long long elapsed = Common::GetTime() - start;
    EXPECT_GE(receiver.Frames().size(), 4u);
    EXPECT_LT(elapsed, Sim::ShortLimits().ymodem.ackMs + 400);
    EXPECT_EQ(session.capture.Count("ACK receiving timed out.\n"), 1u);
    EXPECT_EQ(session.capture.Messages().back(), "Send ymodem data frame failed.\n");
}

TEST_F(YmodemTest, EachPhaseThatGoesUnacknowledgedNamesItself)
{
    struct Case {
        int ackedFrames;
        const char* failure;
    };
    const std::vector<Case> cases = {
        {0, "Send ymodem start frame failed.\n"},
        {1, "Send ymodem data frame failed.\n"},
        {2, "Send ymodem file download finish EOT frame failed.\n"},
        {3, "Send ymodem finish frame failed.\n"},
    };
    for (const Case& phase : cases) {
        SCOPED_TRACE(phase.failure);
        session.capture.Clear();
        Script script;
        for (int frame = 0; frame < phase.ackedFrames; ++frame) {
            script.Then(Script::Reply({Sim::YM_ACK}));
        }
        script.Then(Script::Silence());
        Receiver(1024, script);
        EXPECT_FALSE(Send(Bytes(10, 1)));
        EXPECT_EQ(Sim::LastMessages(session.capture, 2),
                  (std::vector<std::string>{"ACK receiving timed out.\n", phase.failure}));
        session.bench.StopDevice();
    }
}

TEST_F(YmodemTest, HandshakeShowsTheConsoleTextBeforeTheRequestAndTakesANakAsOne)
{
    Receiver(1024, AckEverything(),
             Sim::Bytes{'b', 'o', 'o', 't', 0x1B, '[', '2', 'J', 0x9B, 'o', 'k', '\n', Sim::YM_NAK});
    ASSERT_TRUE(Send(Bytes(10, 1)));
    EXPECT_EQ(session.capture.Messages().at(0), "boot?[2J?ok\n?\n");
}

TEST_F(YmodemTest, HandshakeWithoutRequestShowsWhatCameAndFails)
{
    session.bench.Write(std::string("no ymodem here"));
    long long start = Common::GetTime();
    EXPECT_FALSE(Send(Bytes(10, 1)));
    EXPECT_GE(Common::GetTime() - start, Sim::ShortLimits().ymodem.handshakeMs);
    EXPECT_EQ(session.capture.Messages(),
              (std::vector<std::string>{"no ymodem here\n", "Ymodem handshake failed.\n"}));
    EXPECT_TRUE(session.bench.ReadFor(50).empty());
}

TEST_F(YmodemTest, NameOfAtMost112CharactersFitsBlockZero)
{
    std::string longest(112, 'n');
    FramedResponder receiver = Receiver(1024, AckEverything());
    ASSERT_TRUE(Send(Bytes(10, 1), "dir/" + longest));
    EXPECT_EQ(receiver.Frames().at(0), Sim::YmodemBlockZero(longest, 10));
    session.bench.StopDevice();

    session.capture.Clear();
    FramedResponder refused = Receiver(1024, AckEverything());
    EXPECT_FALSE(Send(Bytes(10, 1), longest + "n"));
    EXPECT_TRUE(refused.Frames().empty());
    EXPECT_EQ(session.capture.Messages(),
              (std::vector<std::string>{"C\n", "Start download: " + longest + "n.\n", "The file name is too long.\n",
                                        "Init ymodem start frame failed.\n", "Send ymodem start frame failed.\n"}));
}

TEST_F(YmodemTest, EmptyFileFailsAfterBlockZero)
{
    FramedResponder receiver = Receiver(1024, AckEverything());
    EXPECT_FALSE(Send(Bytes()));
    EXPECT_EQ(receiver.Frames().size(), 1u);
    EXPECT_EQ(session.capture.Messages().back(), "Send ymodem data frame failed.\n");
}

int g_cancelAfter = 0;
int CancelSoon()
{
    return --g_cancelAfter < 0 ? 1 : 0;
}

TEST_F(YmodemTest, CancelEndsAWaitWithoutATimeoutLine)
{
    Sim::PrintCapture cancelling(CancelSoon);
    g_cancelAfter = 3;
    Receiver(1024, Script().Then(Script::Silence()));
    long long start = Common::GetTime();
    EXPECT_FALSE(Send(Bytes(10, 1)));
    EXPECT_LT(Common::GetTime() - start, 200);
    EXPECT_EQ(cancelling.Count("ACK receiving timed out.\n"), 0u);
    EXPECT_EQ(cancelling.Messages().back(), "Send ymodem start frame failed.\n");
}

// ---- Receiving ----

class YmodemReceiveTest : public YmodemTest {
protected:
    // A sender that waits for the receiver's 'C' before block 0, as the chip's upload does, and then
    // plays the given frames: each one after the receiver's next byte.
    void Sender(std::vector<Bytes> frames)
    {
        auto next = std::make_shared<size_t>(0);
        auto played = std::make_shared<std::vector<Bytes>>(std::move(frames));
        session.bench.StartDevice([next, played](PtyBench& bench, const Bytes& chunk) {
            for (size_t i = 0; i < chunk.size() && *next < played->size(); ++i) {
                bench.Write(played->at((*next)++));
            }
        });
    }

    std::string OutputPath()
    {
        return session.dir / "flash.bin";
    }

    // What the receiver sent, once at least the expected count has arrived.
    Bytes Sent(const Bytes& expected)
    {
        session.bench.WaitForReceived(expected.size(), 1000);
        return session.bench.Received();
    }
};

TEST_F(YmodemReceiveTest, FileOf1500BytesTakesTwoFrames)
{
    Bytes flash = Sim::PatternBytes(2048, 8);
    Bytes none;
    // 'C' -> block 0; ACK 'C' -> frame 1; ACK -> frame 2; ACK -> EOT; ACK 'C' -> closing block.
    Sender({Sim::YmodemBlockZero("flash.bin", 1500), none, Sim::YmodemDataFrame(1, Slice(flash, 0, 1024), 1024),
            Sim::YmodemDataFrame(2, Slice(flash, 1024, 1024), 1024), Sim::Bytes{Sim::YM_EOT}, none,
            Sim::YmodemClosingBlock()});
    ASSERT_TRUE(ymodem->UploadFile(OutputPath().c_str(), 1500));
    EXPECT_EQ(Sim::ReadBinaryFile(OutputPath()), Slice(flash, 0, 1500));
    EXPECT_EQ(Percents(session.capture), (std::vector<int>{68, 100}));
    Bytes conversation = {'C', 0x06, 'C', 0x06, 0x06, 0x06, 'C', 0x06, 'C'};
    EXPECT_EQ(Sent(conversation), conversation);
    EXPECT_TRUE(session.capture.Messages().empty());
}

TEST_F(YmodemReceiveTest, RefusedFramesAreAskedForAgainWithC)
{
    Bytes flash = Sim::PatternBytes(1024, 9);
    Bytes good = Sim::YmodemDataFrame(1, flash, 1024);
    Bytes wrongNumber = Sim::YmodemDataFrame(2, flash, 1024);
    Bytes wrongStart = good;
    wrongStart[0] = 0x0A;
    Bytes badCrc = good;
    constexpr size_t CRC_LOW_BYTE = 3 + 1024 + 1;
    badCrc[CRC_LOW_BYTE] ^= 0x01;
    Bytes blockZero = Sim::YmodemBlockZero("flash.bin", 1024);
    blockZero[2] = 0x12;  // the complement of block 0 is not looked at
    Sender({blockZero, Bytes(), wrongNumber, wrongStart, badCrc, good, Sim::Bytes{Sim::YM_EOT}, Bytes(),
            Sim::YmodemClosingBlock()});
    ASSERT_TRUE(ymodem->UploadFile(OutputPath().c_str(), 1024));
    EXPECT_EQ(Sim::ReadBinaryFile(OutputPath()), flash);
    Bytes conversation = {'C', 0x06, 'C', 'C', 'C', 'C', 0x06, 0x06, 'C', 0x06, 'C'};
    EXPECT_EQ(Sent(conversation), conversation);
}

TEST_F(YmodemReceiveTest, ShortBlockZeroIsDroppedAndAskedForAgain)
{
    Bytes blockZero = Sim::YmodemBlockZero("flash.bin", 10);
    Sender({Slice(blockZero, 0, 100), blockZero, Bytes(), Sim::YmodemDataFrame(1, Bytes(10, 7), 1024),
            Sim::Bytes{Sim::YM_EOT}, Bytes(), Sim::YmodemClosingBlock()});
    ASSERT_TRUE(ymodem->UploadFile(OutputPath().c_str(), 10));
    EXPECT_EQ(Sim::ReadBinaryFile(OutputPath()), Bytes(10, 7));
    Bytes conversation = {'C', 'C', 0x06, 'C', 0x06, 0x06, 'C', 0x06, 'C'};
    EXPECT_EQ(Sent(conversation), conversation);
}

TEST_F(YmodemReceiveTest, EachMissingPieceTimesOutWithItsOwnLines)
{
    struct Case {
        size_t framesPlayed;
        std::vector<std::string> lines;
    };
    Bytes none;
    std::vector<Bytes> conversation = {Sim::YmodemBlockZero("flash.bin", 10), none,
                                       Sim::YmodemDataFrame(1, Bytes(10, 7), 1024), Sim::Bytes{Sim::YM_EOT}, none,
                                       Sim::YmodemClosingBlock()};
    const std::vector<Case> cases = {
        {0, {"YModem SOH frame receiving timed out.\n", "Recv uplaod start frame failed.\n"}},
        {2, {"YModem data frame receiving timed out.\n", "Receive data frames failed.\n",
             "Recv uplaod data frame failed.\n"}},
        {3, {"YModel EOT receiving timed out.\n", "Recv upload EOT frame failed.\n"}},
        {5, {"YModem SOH frame receiving timed out.\n", "Recv upload finish frame failed.\n"}},
    };
    for (const Case& piece : cases) {
        SCOPED_TRACE(piece.lines.back());
        session.capture.Clear();
        Sender(std::vector<Bytes>(conversation.begin(),
                                  conversation.begin() + static_cast<std::ptrdiff_t>(piece.framesPlayed)));
        EXPECT_FALSE(ymodem->UploadFile(OutputPath().c_str(), 10));
        EXPECT_EQ(session.capture.Messages(), piece.lines);
        session.bench.StopDevice();
        session.bench.ReadFor(Sim::ShortLimits().ymodem.collectMs);
    }
}

TEST_F(YmodemReceiveTest, OutputFileThatCannotBeCreatedFailsTheRead)
{
    Sender({Sim::YmodemBlockZero("flash.bin", 10), Bytes(), Sim::YmodemDataFrame(1, Bytes(10, 7), 1024)});
    std::string path = session.dir / "missing/flash.bin";
    EXPECT_FALSE(ymodem->UploadFile(path.c_str(), 10));
    EXPECT_EQ(session.capture.Messages(), (std::vector<std::string>{"Cannot create the output file: " + path + ".\n",
                                                                    "Recv uplaod data frame failed.\n"}));
}

// Sends as many frames of 1024 bytes as asked for, acking nothing in between.
std::vector<Bytes> Conversation(size_t length)
{
    std::vector<Bytes> frames = {Sim::YmodemBlockZero("flash.bin", length), Bytes()};
    for (size_t number = 1; number <= (length + 1023) / 1024; ++number) {
        frames.push_back(Sim::YmodemDataFrame(static_cast<uint8_t>(number), Bytes(1024, 0x33), 1024));
    }
    frames.push_back(Bytes{Sim::YM_EOT});
    frames.push_back(Bytes());
    frames.push_back(Sim::YmodemClosingBlock());
    return frames;
}

TEST_F(YmodemReceiveTest, FullDiskAtTheCloseFailsTheReadInsteadOfLeavingAShortFile)
{
    Sender(Conversation(1500));
    EXPECT_FALSE(ymodem->UploadFile("/dev/full", 1500));
    EXPECT_EQ(session.capture.Messages(), (std::vector<std::string>{"Closing the output file /dev/full failed.\n",
                                                                    "Recv uplaod data frame failed.\n"}));
}

TEST_F(YmodemReceiveTest, FullDiskDuringTheReadFailsIt)
{
    Sender(Conversation(64 * 1024));
    EXPECT_FALSE(ymodem->UploadFile("/dev/full", 64 * 1024));
    EXPECT_EQ(session.capture.Messages(), (std::vector<std::string>{"Writing the output file /dev/full failed.\n",
                                                                    "Recv uplaod data frame failed.\n"}));
}

TEST_F(YmodemReceiveTest, LengthZeroFailsAfterBlockZero)
{
    Sender(Conversation(10));
    EXPECT_FALSE(ymodem->UploadFile(OutputPath().c_str(), 0));
    EXPECT_EQ(session.capture.Messages(), std::vector<std::string>{"Recv uplaod data frame failed.\n"});
}

// ---- XMODEM ----

TEST_F(YmodemTest, XmodemSendsTheLoadxCommandAndFramesWithoutBlockZero)
{
    std::string path = session.dir / "u-boot.bin";
    Bytes file = Sim::PatternBytes(1500, 10);
    ASSERT_TRUE(Sim::WriteBinaryFile(path, file));
    auto command = std::make_shared<std::string>();
    FramedResponder receiver(
        [command](const Bytes& pending) -> size_t {
            if (command->empty()) {
                auto end = std::find(pending.begin(), pending.end(), '\n');
                return end == pending.end() ? 0 : static_cast<size_t>(end - pending.begin()) + 1;
            }
            size_t length = pending.empty() || pending[0] == Sim::YM_EOT ? 1 : 1029;
            return pending.size() >= length ? length : 0;
        },
        [command](PtyBench& bench, const Bytes& frame, size_t index) {
            if (index == 0) {
                command->assign(frame.begin(), frame.end());
                bench.Write(Bytes{Sim::YM_C});
            } else {
                bench.Write(Bytes{Sim::YM_ACK});
            }
        });
    session.bench.StartDevice(receiver.AsResponder());
    XmodemProtocolSp::XmodemProtocol xmodem(session.handle);
    xmodem.SetTimeLimits(Sim::ShortLimits().ymodem);
    ASSERT_TRUE(xmodem.DownloadFile(path.c_str(), 0x80000000));
    std::vector<Bytes> frames = receiver.Frames();
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(*command, "loadx 0x80000000\r\n");
    EXPECT_EQ(frames[1], Sim::YmodemDataFrame(1, Slice(file, 0, 1024), 1024));
    EXPECT_EQ(frames[2], Sim::YmodemDataFrame(2, Slice(file, 1024, 476), 1024));
    EXPECT_EQ(frames[3], Bytes{XmodemProtocolSp::XMODEM_EOT});
}

TEST_F(YmodemTest, EsbcFramesEndInAByteSum)
{
    std::string path = session.dir / "esbc.bin";
    Bytes file = Sim::PatternBytes(1024, 11);
    ASSERT_TRUE(Sim::WriteBinaryFile(path, file));
    FramedResponder receiver(
        [](const Bytes& pending) -> size_t {
            size_t length = pending.empty() || pending[0] == Sim::YM_EOT ? 1 : 1028;
            return pending.size() >= length ? length : 0;
        },
        AckEverything().AsAnswer());
    session.bench.StartDevice(receiver.AsResponder());
    XmodemProtocolSp::XmodemProtocol xmodem(session.handle);
    ASSERT_TRUE(xmodem.DownloadEsbc(path.c_str()));
    std::vector<Bytes> frames = receiver.Frames();
    ASSERT_EQ(frames.size(), 2u);
    unsigned sum = 0;
    for (uint8_t byte : file) {
        sum += byte;
    }
    Bytes expected = {0x02, 0x01, 0xFE};
    expected.insert(expected.end(), file.begin(), file.end());
    expected.push_back(static_cast<uint8_t>(sum));
    EXPECT_EQ(frames[0], expected);
    EXPECT_EQ(session.capture.Messages(), std::vector<std::string>{"Start download: " + path + "\n"});
}

}  // namespace
