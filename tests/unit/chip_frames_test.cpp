// The chip driver base's two frame exchanges against a virtual chip on a pseudo-terminal: frames
// answered by one ack byte, and frames answered by a 6-byte reply frame.
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Burn.h"
#include "PtyBench.h"
#include "PtyChipTest.h"
#include "SerialWire.h"
#include "TestSupport.h"

namespace {

using Sim::CpuMs;
using Sim::NowMs;
using Sim::Bytes;
using Sim::FramedResponder;
using Sim::PtyBench;
using Sim::Script;

const std::vector<std::string> TIMEOUT_LINES = {"Timeout error.\n",
                                                "1. Check whether the serial port connection is normal.\n",
                                                "2. The U-Boot is faulty.\n"};
const std::string NACK_LINE = "Nack error(The serial port transmission may be unstable.).\n";

class ChipFramesTest : public Sim::PtyChipTest {
protected:
    // Every frame of the given length gets the answer of the script.
    FramedResponder Serve(size_t frameLength, const Script& script)
    {
        FramedResponder responder(FramedResponder::FixedLength(frameLength), script.AsAnswer());
        bench.StartDevice(responder.AsResponder());
        return responder;
    }
    std::string ReceivedText()
    {
        capture.Clear();
        chip.PrintCurRecv();
        return capture.Text();
    }

    Bytes frame = {0xFE, 0x00, 0xFF, 0x01, 0x11, 0x22};
};

TEST_F(ChipFramesTest, AckByteEndsTheExchangeAfterOneSend)
{
    FramedResponder board = Serve(frame.size(), Script().Then(Script::Ack()));
    EXPECT_TRUE(chip.SendFrameBySerial(frame.data(), frame.size(), 500, 3000));
    EXPECT_EQ(board.Frames(), std::vector<Bytes>{frame});
    EXPECT_TRUE(capture.Messages().empty());
}

TEST_F(ChipFramesTest, OnlyNaksEndWithTheNackLineAndNoTimeoutLines)
{
    FramedResponder board = Serve(frame.size(), Script().Then(Script::Nak()));
    EXPECT_FALSE(chip.SendFrameBySerial(frame.data(), frame.size(), 60, 250));
    EXPECT_EQ(capture.Messages(), std::vector<std::string>{NACK_LINE});
    EXPECT_GE(board.Frames().size(), 3u) << "every per-try time-out sends the frame again";
}

TEST_F(ChipFramesTest, SilenceSendsOncePerTryAndEndsWithTheThreeTimeoutLines)
{
    FramedResponder board = Serve(frame.size(), Script().Then(Script::Silence()));
    long long start = NowMs();
    EXPECT_FALSE(chip.SendFrameBySerial(frame.data(), frame.size(), 100, 370));
    long long took = NowMs() - start;
    EXPECT_EQ(capture.Messages(), TIMEOUT_LINES);
    EXPECT_GE(took, 370);
    EXPECT_LT(took, 1500);
    bench.WaitForReceived(4 * frame.size(), 500);
    EXPECT_EQ(board.Frames().size(), 4u) << "sent at 0, 100, 200 and 300 ms";
}

TEST_F(ChipFramesTest, WaitingForAnAnswerCostsNoCpu)
{
    Serve(frame.size(), Script().Then(Script::Silence()));
    long long cpuBefore = CpuMs();
    EXPECT_FALSE(chip.SendFrameBySerial(frame.data(), frame.size(), 200, 400));
    EXPECT_FALSE(chip.SendFrame(frame.data(), frame.size(), 200, 400, false));
    EXPECT_LT(CpuMs() - cpuBefore, 100) << "800 ms of waiting must not be spent polling";
}

TEST_F(ChipFramesTest, VanishedBoardEndsTheExchangeOnTimeWithoutSpinning)
{
    bench.HangUp();
    long long cpuBefore = CpuMs();
    long long start = Common::GetTime();
    EXPECT_FALSE(chip.SendFrameBySerial(frame.data(), frame.size(), 100, 3000));
    EXPECT_FALSE(chip.SendFrame(frame.data(), frame.size(), 100, 3000, false));
    EXPECT_LT(Common::GetTime() - start, 1000) << "a gone device ends the wait at once";
    EXPECT_LT(CpuMs() - cpuBefore, 100) << "writes that fail are not retried at full speed";
    EXPECT_EQ(capture.Messages(), std::vector<std::string>{"The device has disconnected.\n"});
}

// A cancel raised from another thread while the chip is silent ends both exchanges within one cancel
// check, and neither spins once it is raised.
TEST_F(ChipFramesTest, CancelEndsBothExchangesAtOnceWithoutSpinning)
{
    Serve(frame.size(), Script().Then(Script::Silence()));
    for (bool replyFrame : {false, true}) {
        SCOPED_TRACE(replyFrame ? "reply frame" : "ack byte");
        std::thread canceller([this]() {
            PtyBench::Delay(200);
            chip.SetIsCancel();
        });
        long long cpuBefore = CpuMs();
        long long start = NowMs();
        bool answered = replyFrame ? chip.SendFrame(frame.data(), frame.size(), 2000, 5000, false)
                                   : chip.SendFrameBySerial(frame.data(), frame.size(), 2000, 5000);
        canceller.join();
        EXPECT_FALSE(answered);
        EXPECT_LT(NowMs() - start, 200 + 150);
        EXPECT_LT(CpuMs() - cpuBefore, 100);
    }
}

TEST_F(ChipFramesTest, NakThenAckOnTheResentFrameSucceeds)
{
    FramedResponder board = Serve(frame.size(), Script().Then(Script::Nak()).Then(Script::Ack()));
    EXPECT_TRUE(chip.SendFrameBySerial(frame.data(), frame.size(), 80, 2000));
    EXPECT_EQ(board.Frames().size(), 2u);
    EXPECT_TRUE(capture.Messages().empty());
}

TEST_F(ChipFramesTest, ConsoleTextBeforeTheAckIsKeptAsReceivedText)
{
    const std::string console = "Loader 2020.01\r\nboot> ";
    FramedResponder board = Serve(frame.size(), Script().Then(Script::Reply(Bytes(console.begin(), console.end())))
                                                    .Then(Script::DelayThen(30, Script::Ack())));
    EXPECT_TRUE(chip.SendFrameBySerial(frame.data(), frame.size(), 100, 3000));
    EXPECT_EQ(board.Frames().size(), 2u);
    EXPECT_EQ(ReceivedText(), "Loader 2020.01\nboot> ");
}

TEST_F(ChipFramesTest, AckArrivingInTheSameChunkAsConsoleTextStillCounts)
{
    Bytes answer = {'o', 'k', '\r', '\n', Sim::WIRE_ACK, 'r', 'e', 's', 't'};
    FramedResponder board = Serve(frame.size(), Script().Then(Script::Reply(answer)));
    EXPECT_TRUE(chip.SendFrameBySerial(frame.data(), frame.size(), 300, 3000));
    EXPECT_EQ(board.Frames().size(), 1u) << "the frame is not sent a second time";
    EXPECT_EQ(ReceivedText(), "ok\n");
    unsigned char rest[8] = {0};
    EXPECT_EQ(chip.Receive(rest, sizeof(rest)), 4u) << "bytes after the ack stay for the next reader";
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rest), 4), "rest");
}

TEST_F(ChipFramesTest, BytesBeforeTheExchangeAreMovedOutOfTheWay)
{
    ASSERT_TRUE(bench.Write(std::string("stale")));
    ASSERT_EQ(chip.WaitForData(2000), 5);
    FramedResponder board = Serve(frame.size(), Script().Then(Script::Ack()));
    EXPECT_TRUE(chip.SendFrameBySerial(frame.data(), frame.size(), 500, 3000));
    EXPECT_EQ(ReceivedText(), "stale");
}

TEST_F(ChipFramesTest, RaisedCancelStopsBeforeAnythingIsSent)
{
    chip.SetIsCancel();
    EXPECT_FALSE(chip.SendFrameBySerial(frame.data(), frame.size(), 100, 3000));
    EXPECT_EQ(capture.Messages(), std::vector<std::string>{"\nUser Cancelled!\n"});
    EXPECT_TRUE(bench.ReadFor(50).empty());
}

TEST_F(ChipFramesTest, CancelFromAnotherThreadStopsARunningExchange)
{
    Serve(frame.size(), Script().Then(Script::Silence()));
    std::thread canceller([this]() {
        PtyBench::Delay(50);
        Cancel(&chip);
    });
    long long start = NowMs();
    EXPECT_FALSE(chip.SendFrameBySerial(frame.data(), frame.size(), 100, 5000));
    canceller.join();
    EXPECT_LT(NowMs() - start, 1000);
    EXPECT_EQ(capture.Messages(), std::vector<std::string>{"\nUser Cancelled!\n"});
}

class ReplyFrameTest : public ChipFramesTest {
protected:
    Bytes dataFrame = {0xDA, 0x07, 0xF8, 0x01, 0x02, 0x03};
    Bytes startFrame = {0xFE, 0x03, 0xFC, 0x44};
};

TEST_F(ReplyFrameTest, ValidReplyToADataFrameEndsTheExchange)
{
    FramedResponder board = Serve(dataFrame.size(), Script().Then(Script::Reply(Sim::ReplyFor(dataFrame))));
    EXPECT_TRUE(chip.SendFrame(dataFrame.data(), dataFrame.size(), 500, 3000, true));
    EXPECT_EQ(board.Frames(), std::vector<Bytes>{dataFrame});
    EXPECT_TRUE(capture.Messages().empty());
}

TEST_F(ReplyFrameTest, ReplySplitIntoPiecesIsAssembled)
{
    Bytes reply = Sim::ReplyFor(dataFrame);
    FramedResponder board = Serve(dataFrame.size(), Script().Then(Script::ReplySplit(reply, 2, 20)));
    EXPECT_TRUE(chip.SendFrame(dataFrame.data(), dataFrame.size(), 500, 3000, true));
    EXPECT_EQ(board.Frames().size(), 1u);
}

TEST_F(ReplyFrameTest, ReplyAfterConsoleNoiseIsFound)
{
    Bytes reply = PtyBench::Garbage(5, 3);
    Bytes valid = Sim::ReplyFor(startFrame);
    reply.insert(reply.end(), valid.begin(), valid.end());
    Serve(startFrame.size(), Script().Then(Script::Reply(reply)));
    EXPECT_TRUE(chip.SendFrame(startFrame.data(), startFrame.size(), 500, 3000, true));
}

struct RefusedReply {
    const char* name;
    Bytes reply;
    const char* reason;
};

TEST_F(ReplyFrameTest, RefusedRepliesKeepTheExchangeGoingUntilTheOverallTime)
{
    Bytes badCrc = Sim::ReplyFor(dataFrame);
    badCrc[5] ^= 0x01;
    const std::vector<RefusedReply> cases = {
        {"wrong flag", Sim::ReplyFrame(0xCC, 0x07, 0xF8, 0x00), "flag is not equal to 0xCB.\n"},
        {"wrong index", Sim::ReplyFrame(0xCB, 0x08, 0xF7, 0x00), "index error.\n"},
        {"refused", Sim::ReplyFor(dataFrame, Sim::WIRE_REPLY_REFUSED), "ack error.\n"},
        {"bad crc", badCrc, "crc check error.\n"},
    };
    for (const RefusedReply& refused : cases) {
        SCOPED_TRACE(refused.name);
        FramedResponder board = Serve(dataFrame.size(), Script().Then(Script::Reply(refused.reply)));
        capture.Clear();
        EXPECT_FALSE(chip.SendFrame(dataFrame.data(), dataFrame.size(), 80, 250, true));
        bench.StopDevice();
        EXPECT_EQ(chip.GetErrorInfo(), refused.reason);
        EXPECT_GE(board.Frames().size(), 2u) << "sent again after each per-try time";
        std::vector<Sim::PrintedMessage> printed = capture.Printed();
        ASSERT_EQ(printed.size(), 3u);
        EXPECT_EQ(printed[0].message, refused.reason);
        EXPECT_EQ(printed[1].message, "");
        EXPECT_EQ(printed[2].message.rfind("send frame timeout error: ", 0), 0u) << printed[2].message;
        EXPECT_EQ(printed[2].handle, chip.GetThisPtr());
        bench.ReadFor(20);
    }
}

TEST_F(ReplyFrameTest, OtherFramesNeedReplyBytesOneAndTwoToAddUpTo255)
{
    FramedResponder board =
        Serve(startFrame.size(), Script().Then(Script::Reply(Sim::ReplyFrame(0xCB, 0x03, 0xFD, 0x00))));
    EXPECT_FALSE(chip.SendFrame(startFrame.data(), startFrame.size(), 80, 200, false));
    EXPECT_EQ(chip.GetErrorInfo(), "check response frame failed.\n");
    EXPECT_TRUE(capture.Messages().empty()) << "nothing is printed unless asked";
}

TEST_F(ReplyFrameTest, ReplyCheckScansEveryPositionAndKeepsTheLastReason)
{
    Bytes sent = dataFrame;
    Bytes received = Sim::ReplyFor(dataFrame, Sim::WIRE_REPLY_REFUSED);
    EXPECT_FALSE(chip.CheckReplyFrameValidity(received.data(), static_cast<int>(received.size()), sent.data()));
    EXPECT_EQ(chip.GetErrorInfo(), "ack error.\n");
    Bytes valid = Sim::ReplyFor(dataFrame);
    received.insert(received.end(), valid.begin(), valid.end());
    EXPECT_TRUE(chip.CheckReplyFrameValidity(received.data(), static_cast<int>(received.size()), sent.data()));
    EXPECT_FALSE(chip.CheckReplyFrameValidity(valid.data(), 5, sent.data()));
    EXPECT_EQ(chip.GetErrorInfo(), "check response frame failed.\n");
}

TEST_F(ReplyFrameTest, FrameTooShortToBeAnsweredIsRefused)
{
    unsigned char lone = 0xDA;
    EXPECT_FALSE(chip.SendFrame(&lone, 1, 50, 100, true));
    EXPECT_FALSE(chip.SendFrame(nullptr, 6, 50, 100, true));
    EXPECT_TRUE(bench.ReadFor(30).empty());
}

int CancelAlways()
{
    return 1;
}

TEST_F(ReplyFrameTest, CancelQueryStopsTheExchange)
{
    Sim::PrintCapture cancelling(CancelAlways);
    EXPECT_FALSE(chip.SendFrame(dataFrame.data(), dataFrame.size(), 80, 2000, true));
    EXPECT_TRUE(bench.ReadFor(30).empty());
}

}  // namespace
