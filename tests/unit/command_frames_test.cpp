// Text commands to a boot loader: head and data frames on the wire and the wait for the board's reply.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Burn.h"
#include "FrameFormatBase.h"
#include "PtyBench.h"
#include "PtyChipTest.h"
#include "SerialWire.h"
#include "TestSupport.h"

namespace {

using Sim::Bytes;
using Sim::CommandBoard;
using Sim::PtyBench;

class CommandFramesTest : public Sim::PtyChipTest {
protected:
    CommandBoard& Board(CommandBoard::Options options)
    {
        board = std::make_unique<CommandBoard>(std::move(options));
        bench.StartDevice(board->AsResponder());
        return *board;
    }
    int Send(const std::string& command, int timeoutMs = 2000)
    {
        std::vector<unsigned char> text(command.begin(), command.end());
        return chip.SendCmd(text.data(), text.size(), reply.data(), static_cast<int>(reply.size()), timeoutMs);
    }
    std::string ReplyText() const
    {
        return std::string(reinterpret_cast<const char*>(reply.data()));
    }

    std::unique_ptr<CommandBoard> board;
    std::vector<unsigned char> reply = std::vector<unsigned char>(256, 0);
};

TEST(CommandFrameBytes, HeadFrameCarriesTheLengthAndItsCrcHighByteFirst)
{
    EXPECT_EQ(FrameFormatBase::BuildCmdHeadFrame(10), (std::vector<unsigned char>{0xAB, 0x00, 0x0A, 0xEC, 0x27}));
    EXPECT_EQ(FrameFormatBase::BuildCmdHeadFrame(0x1234), Sim::CommandHeadFrame(0x1234));
    const std::string command = "printenv";
    std::vector<unsigned char> data =
        FrameFormatBase::BuildCmdDataFrame(reinterpret_cast<const unsigned char*>(command.data()), command.size());
    EXPECT_EQ(data, Sim::CommandDataFrame(command));
    EXPECT_TRUE(FrameFormatBase::BuildCmdDataFrame(data.data(), 128).empty());
}

TEST_F(CommandFramesTest, CommandGoesAsHeadAndDataFrameAndTheOkReplyIsKept)
{
    CommandBoard& board = Board({{"version\r\nLoader 1.2\r\n[EOT](OK)"}});
    EXPECT_EQ(Send("version\r\n1"), 1);
    EXPECT_EQ(board.Frames(), (std::vector<Bytes>{Sim::CommandHeadFrame(10), Sim::CommandDataFrame("version\r\n1")}));
    EXPECT_EQ(board.Commands(), std::vector<std::string>{"version\r\n1"});
    EXPECT_EQ(ReplyText(), "version\r\nLoader 1.2\r\n[EOT](OK)");
    EXPECT_EQ(capture.Messages(), std::vector<std::string>{"version\nLoader 1.2\n[EOT](OK)"});
}

TEST_F(CommandFramesTest, CommandOf127BytesFitsAndOneOf128IsRefusedAfterItsHeadFrame)
{
    CommandBoard& board = Board({{"[EOT](OK)"}});
    EXPECT_EQ(Send(std::string(127, 'x')), 1);
    ASSERT_EQ(board.Frames().size(), 2u);
    EXPECT_EQ(board.Frames()[1].size(), 130u);

    capture.Clear();
    EXPECT_EQ(Send(std::string(128, 'y')), 0);
    bench.ReadFor(30);
    ASSERT_EQ(board.Frames().size(), 3u) << "the head frame goes, the data frame does not";
    EXPECT_EQ(board.Frames()[2], Sim::CommandHeadFrame(128));
    ASSERT_EQ(capture.Printed().size(), 1u);
    EXPECT_EQ(capture.Printed()[0].message, "The command contains a maximum of 127 characters.!\n");
    EXPECT_EQ(capture.Printed()[0].handle, chip.GetThisPtr());
}

TEST_F(CommandFramesTest, WithoutAReplyBufferTheAckOfTheDataFrameIsEnough)
{
    Board({{}});
    std::vector<unsigned char> text = {'r', 'e', 's', 'e', 't'};
    EXPECT_EQ(chip.SendCmd(text.data(), text.size(), nullptr, 0, 2000), 1);
    EXPECT_TRUE(capture.Messages().empty());
}

TEST_F(CommandFramesTest, MarkerSplitAcrossTwoPiecesIsFoundAndEachPieceIsShownAsItArrives)
{
    Board({{"done [EOT](O", "K)"}, 40});
    EXPECT_EQ(Send("go"), 1);
    EXPECT_EQ(capture.Messages(), (std::vector<std::string>{"done [EOT](O", "K)"}));
    EXPECT_EQ(ReplyText(), "done [EOT](OK)");
}

TEST_F(CommandFramesTest, ErrorMarkerGetsALineOfItsOwn)
{
    Board({{"bad command\r\n[EOT](ERROR)"}});
    EXPECT_EQ(Send("nonsense"), 0);
    EXPECT_EQ(capture.Messages(),
              (std::vector<std::string>{"bad command\n[EOT](ERROR)", "\nBoard respond error.\n"}));
}

TEST_F(CommandFramesTest, FullReplyBufferWithoutMarkerEnds)
{
    reply.assign(8, 0);
    Board({{"12345678"}});
    EXPECT_EQ(Send("x"), 0);
    EXPECT_EQ(capture.Messages(),
              (std::vector<std::string>{"12345678", "A maximum of 8 characters can be received.\n"}));
    EXPECT_EQ(std::string(reply.begin(), reply.end()), "12345678");
}

TEST_F(CommandFramesTest, ReplyBufferWithoutRoomTakesNothing)
{
    Board({{"[EOT](OK)"}});
    unsigned char command[] = {'x'};
    EXPECT_EQ(chip.SendCmd(command, 1, reply.data(), 0, 2000), 0);
    EXPECT_EQ(capture.Messages(), std::vector<std::string>{"A maximum of 0 characters can be received.\n"});
    EXPECT_EQ(reply[0], 0);
}

TEST_F(CommandFramesTest, NegativeTimeoutIsNoEndlessOne)
{
    Board({{}, 0, 0x00, 0x00});
    EXPECT_EQ(Send("x", -1), 0);
    EXPECT_EQ(capture.Messages(), (std::vector<std::string>{"Timeout error.\n",
                                                             "1. Check whether the serial port connection is normal.\n",
                                                             "2. The U-Boot is faulty.\n",
                                                             "Failed to send the command head!\n"}));
}

TEST_F(CommandFramesTest, ReplyIsShownOnlyUpToItsFirstZeroByte)
{
    Board({{std::string("ab\0cd", 5), "[EOT](OK)"}, 20});
    EXPECT_EQ(Send("x"), 1);
    EXPECT_EQ(capture.Messages(), (std::vector<std::string>{"ab", "[EOT](OK)"}));
}

TEST_F(CommandFramesTest, NoMarkerWithinTheTimeReportsTheElapsedTime)
{
    Board({{"still working"}});
    EXPECT_EQ(Send("slow", 300), 0);
    std::vector<std::string> messages = capture.Messages();
    ASSERT_EQ(messages.size(), 2u);
    int elapsed = -1;
    ASSERT_EQ(sscanf(messages[1].c_str(), "\nReceive board respond timeout: %d ms.\n", &elapsed), 1) << messages[1];
    EXPECT_GE(elapsed, 300);
    EXPECT_LT(elapsed, 1000);
}

TEST_F(CommandFramesTest, TimeoutOfZeroEndsAtTheFirstLook)
{
    class Frame : public FrameFormatBase {
    public:
        bool SendCmd(unsigned char*, unsigned long, unsigned char*, int, int) override
        {
            return false;
        }
    } frame;
    frame.SetTransport(&chip);
    ASSERT_TRUE(bench.Write(std::string("[EOT](OK)")));
    ASSERT_EQ(chip.WaitForData(2000), 9);
    EXPECT_FALSE(frame.ReceiveBoardCmdRespond(reply.data(), static_cast<int>(reply.size()), 0));
    EXPECT_EQ(capture.Messages(), std::vector<std::string>{"\nReceive board respond timeout: 0 ms.\n"});
}

TEST_F(CommandFramesTest, UnansweredFramesNameTheFrameThatFailed)
{
    Board({{}, 0, 0x00, Sim::WIRE_ACK});
    EXPECT_EQ(Send("x", 300), 0);
    std::vector<std::string> messages = capture.Messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "Failed to send the command head!\n");

    bench.StopDevice();
    capture.Clear();
    Board({{}, 0, Sim::WIRE_ACK, Sim::WIRE_NAK});
    EXPECT_EQ(Send("x", 300), 0);
    EXPECT_EQ(capture.Messages(),
              (std::vector<std::string>{"Nack error(The serial port transmission may be unstable.).\n",
                                        "Failed to send the command data!\n"}));
}

TEST_F(CommandFramesTest, DeviceApiSendsThroughTheOpenPort)
{
    Board({{"[EOT](OK)"}});
    unsigned char command[] = {'l', 's'};
    EXPECT_EQ(SendCmd(&chip, command, 2, reply.data(), static_cast<int>(reply.size()), 2000), 1);
    EXPECT_EQ(board->Commands(), std::vector<std::string>{"ls"});
}

TEST(CommandFramesWithoutPort, DeviceWithoutAnOpenPortHasNoFrameFormat)
{
    Sim::PrintCapture capture;
    Sim::TestChip chip;
    unsigned char command[] = {'l', 's'};
    EXPECT_EQ(chip.SendCmd(command, 2, nullptr, 0, 100), 0);
    ASSERT_EQ(capture.Printed().size(), 1u);
    EXPECT_EQ(capture.Printed()[0].message, "frame format object is null.\n");
    EXPECT_EQ(capture.Printed()[0].handle, chip.GetThisPtr());
}

}  // namespace
