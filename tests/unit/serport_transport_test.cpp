// The serial transport on a real pseudo-terminal: line settings, the receive thread and its buffer.
#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "PrintCapture.h"
#include "PtyBench.h"
#include "SerportTransport.h"
#include "TestSupport.h"

namespace {

using Sim::NowMs;
using Sim::Bytes;
using Sim::PtyBench;

Bytes ReceiveCount(SerportTransport& transport, size_t count, int timeoutMs)
{
    Bytes received;
    long long deadline = NowMs() + timeoutMs;
    while (received.size() < count && NowMs() < deadline) {
        if (transport.WaitForData(static_cast<int>(deadline - NowMs())) == 0) {
            continue;
        }
        unsigned char chunk[700];
        unsigned long got = transport.Receive(chunk, std::min(sizeof(chunk), count - received.size()));
        received.insert(received.end(), chunk, chunk + got);
    }
    return received;
}

// WaitForData returns as soon as one byte is unread: waits until count are, within a limit.
bool WaitForUnread(SerportTransport& transport, int count)
{
    long long deadline = NowMs() + 3000;
    while (transport.WaitForData(static_cast<int>(std::max(1LL, deadline - NowMs()))) < count) {
        if (NowMs() >= deadline) {
            return false;
        }
        PtyBench::Delay(1);
    }
    return true;
}

// The transport's own descriptor of the slave side (the bench holds another one).
int LibraryDescriptor(const PtyBench& bench)
{
    DIR* fds = opendir("/proc/self/fd");
    int found = -1;
    while (dirent* entry = readdir(fds)) {
        int fd = atoi(entry->d_name);
        char target[256] = {0};
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        if (fd != bench.SlaveFd() && readlink(link.c_str(), target, sizeof(target) - 1) > 0 &&
            bench.PortPath() == target) {
            found = fd;
        }
    }
    closedir(fds);
    return found;
}

class SerportTransportTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(bench.IsOpen());
    }
    void OpenPort(unsigned baud = 115200)
    {
        ASSERT_TRUE(transport.Open(Sim::PortAttr(bench.PortPath(), baud)));
    }

    PtyBench bench;
    SerportTransport transport;
};

TEST_F(SerportTransportTest, OpenOfMissingPathFailsAndCloseThenDoesNothing)
{
    EXPECT_FALSE(transport.Open(Sim::PortAttr("/dev/vexil-no-such-port", 115200)));
    transport.Close();
    EXPECT_EQ(transport.WaitForData(0), 0);
}

TEST_F(SerportTransportTest, OpenSetsRawEightNoneOneAndClearsFlowControlLeftByAnEarlierProgram)
{
    struct termios cooked = {};
    ASSERT_EQ(tcgetattr(bench.SlaveFd(), &cooked), 0);
    cooked.c_iflag |= IXON | IXOFF | IXANY | ICRNL | IGNCR | INPCK;
    cooked.c_oflag |= OPOST | ONLCR | OCRNL;
    cooked.c_cflag |= CSTOPB | CRTSCTS;
    cooked.c_cflag &= ~(CLOCAL | CREAD);
    cooked.c_lflag |= ISIG | ICANON | ECHO | ECHOE;
    cooked.c_cc[VMIN] = 1;
    cooked.c_cc[VTIME] = 5;
    ASSERT_EQ(tcsetattr(bench.SlaveFd(), TCSANOW, &cooked), 0);

    OpenPort(921600);

    struct termios line = {};
    ASSERT_EQ(tcgetattr(bench.SlaveFd(), &line), 0);
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF | IXANY | ICRNL | IGNCR | INPCK), 0u);
    EXPECT_EQ(line.c_oflag & (OPOST | ONLCR | OCRNL), 0u);
    EXPECT_EQ(line.c_cflag & (CSTOPB | PARENB | CRTSCTS), 0u);
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(line.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(line.c_lflag & (ISIG | ICANON | ECHO | ECHOE), 0u);
    EXPECT_EQ(line.c_cc[VMIN], 0);
    EXPECT_EQ(line.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B921600));
    EXPECT_EQ(cfgetispeed(&line), static_cast<speed_t>(B921600));

    int fd = LibraryDescriptor(bench);
    ASSERT_GE(fd, 0);
    EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << "a write that blocked could outlast its time limit";
}

TEST_F(SerportTransportTest, SpeedOutsideTheTableKeepsTheSpeedThePortHad)
{
    struct termios line = {};
    tcgetattr(bench.SlaveFd(), &line);
    cfsetospeed(&line, B57600);
    cfsetispeed(&line, B57600);
    tcsetattr(bench.SlaveFd(), TCSANOW, &line);

    OpenPort(9600);
    tcgetattr(bench.SlaveFd(), &line);
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B57600));

    transport.SettingSerialParameters(2000000);
    tcgetattr(bench.SlaveFd(), &line);
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B2000000));
}

TEST_F(SerportTransportTest, PortNeverBecomesTheControllingTerminal)
{
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setsid();  // a session leader without a terminal would acquire the first one it opens
        SerportTransport port;
        bool opened = port.Open(Sim::PortAttr(bench.PortPath(), 115200));
        int tty = open("/dev/tty", O_RDWR | O_NOCTTY);
        port.Close();
        _exit(!opened ? 2 : (tty >= 0 ? 3 : 0));
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "2: open failed, 3: the port became the controlling terminal";
}

TEST_F(SerportTransportTest, BytesFromBeforeTheOpenAreDroppedAndThoseRightAfterAreKept)
{
    ASSERT_TRUE(bench.Write(std::string("stale")));
    OpenPort();
    ASSERT_TRUE(bench.Write(Bytes{0x42}));
    EXPECT_EQ(ReceiveCount(transport, 1, 2000), Bytes{0x42});
    EXPECT_EQ(transport.WaitForData(50), 0);
}

TEST_F(SerportTransportTest, ReceivesInOrderAcrossManyChunks)
{
    OpenPort();
    Bytes sent;
    for (int chunk = 0; chunk < 120; ++chunk) {
        Bytes piece = PtyBench::Garbage(static_cast<size_t>(1 + (chunk * 37) % 300), static_cast<uint32_t>(chunk));
        sent.insert(sent.end(), piece.begin(), piece.end());
        ASSERT_TRUE(bench.Write(piece));
        if (chunk % 10 == 0) {
            PtyBench::Delay(1);
        }
    }
    EXPECT_EQ(ReceiveCount(transport, sent.size(), 5000), sent);
}

TEST_F(SerportTransportTest, ReceiveTakesOnlyWhatIsUnreadAndNeverWaits)
{
    OpenPort();
    unsigned char buffer[8] = {0};
    long long start = NowMs();
    EXPECT_EQ(transport.Receive(buffer, sizeof(buffer)), 0u);
    EXPECT_LT(NowMs() - start, 20);
    EXPECT_EQ(transport.Receive(nullptr, 3), 0u);

    ASSERT_TRUE(bench.Write(Bytes{1, 2, 3, 4, 5}));
    ASSERT_EQ(transport.WaitForData(2000), 5);
    EXPECT_EQ(transport.Receive(buffer, 3), 3u);
    EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{1, 2, 3}));
    EXPECT_EQ(transport.WaitForData(0), 2);
}

TEST_F(SerportTransportTest, WaitForDataReturnsAtOnceOnDataAndAfterTheLimitWithout)
{
    OpenPort();
    long long start = NowMs();
    EXPECT_EQ(transport.WaitForData(100), 0);
    long long waited = NowMs() - start;
    EXPECT_GE(waited, 95);
    EXPECT_LT(waited, 1000);

    std::thread late([this]() {
        PtyBench::Delay(40);
        bench.Write(Bytes{7, 8});
    });
    start = NowMs();
    int unread = transport.WaitForData(3000);
    waited = NowMs() - start;
    late.join();
    EXPECT_GE(unread, 1);
    EXPECT_LT(waited, 1000) << "woken by the arrival, not by the limit";

    ASSERT_TRUE(WaitForUnread(transport, 2));
    start = NowMs();
    EXPECT_EQ(transport.WaitForData(3000), 2);
    EXPECT_LT(NowMs() - start, 50);
    EXPECT_EQ(transport.WaitForData(-5), 2);
}

TEST_F(SerportTransportTest, RaisedCancelEndsAWaitWithNothingUnreadAtOnce)
{
    OpenPort();
    transport.SetIsCancel(true);
    long long start = NowMs();
    EXPECT_EQ(transport.WaitForData(2000), 0);
    EXPECT_LT(NowMs() - start, 50);
}

TEST_F(SerportTransportTest, UngetGivesBackTheBytesTakenLast)
{
    OpenPort();
    ASSERT_TRUE(bench.Write(Bytes{10, 11, 12, 13}));
    ASSERT_EQ(ReceiveCount(transport, 3, 2000), (Bytes{10, 11, 12}));
    transport.UngetReceived(0);
    transport.UngetReceived(-4);
    EXPECT_EQ(transport.WaitForData(0), 1);
    transport.UngetReceived(5);
    EXPECT_EQ(transport.WaitForData(0), 4);
    EXPECT_EQ(ReceiveCount(transport, 4, 1000), (Bytes{10, 11, 12, 13}));
    transport.UngetReceived(2);
    EXPECT_EQ(ReceiveCount(transport, 2, 1000), (Bytes{12, 13}));
}

TEST_F(SerportTransportTest, BytesSentRightBeforeTheCloseStillReachTheOtherSide)
{
    // Whether the other side's kernel buffer has taken the bytes over when the port closes is a race:
    // many rounds make a loss show.
    const Bytes lastFrame = {0xEF, 0xBE, 0xAD, 0xDE, 0x0C, 0x00, 0x87, 0x78, 0x00, 0x00, 0x61, 0x94};
    for (int round = 0; round < 50; ++round) {
        OpenPort();
        ASSERT_EQ(transport.Send(lastFrame.data(), lastFrame.size()), lastFrame.size());
        transport.Close();
        ASSERT_EQ(bench.ReadFor(20), lastFrame) << "round " << round;
    }
    // A block still queued on our side when the port closes loses nothing either.
    const Bytes lastBlock = PtyBench::Garbage(2000, 9);
    OpenPort();
    ASSERT_EQ(transport.Send(lastBlock.data(), lastBlock.size()), lastBlock.size());
    transport.Close();
    EXPECT_EQ(bench.ReadExactly(lastBlock.size(), 2000), lastBlock);
}

TEST_F(SerportTransportTest, OnAdataAvailableMovesEveryUnreadByteOut)
{
    OpenPort();
    ASSERT_TRUE(bench.Write(Bytes{'a', 'b', 0, 'd'}));
    std::string out = "x";
    ASSERT_TRUE(WaitForUnread(transport, 4));
    EXPECT_EQ(transport.OnAdataAvailable(out), 4);
    EXPECT_EQ(out, std::string("xab\0d", 5));
    EXPECT_EQ(transport.OnAdataAvailable(out), 0);
    EXPECT_EQ(transport.WaitForData(0), 0);
}

int AlwaysCancel()
{
    return 1;
}

TEST_F(SerportTransportTest, RaisedCancelIsReportedOnceAndTheQueryEveryTime)
{
    {
        Sim::PrintCapture capture;
        transport.SetIsCancel(true);
        EXPECT_TRUE(transport.IsCancel());
        EXPECT_FALSE(transport.IsCancel());
        EXPECT_EQ(capture.Messages(), std::vector<std::string>{"\nUser Cancelled!\n"});
    }
    Sim::PrintCapture capture(AlwaysCancel);
    EXPECT_TRUE(transport.IsCancel());
    EXPECT_TRUE(transport.IsCancel());
    EXPECT_EQ(capture.Messages(), (std::vector<std::string>{"user cancelled!\n", "\nUser Cancelled!\n",
                                                             "user cancelled!\n", "\nUser Cancelled!\n"}));
}

TEST_F(SerportTransportTest, ReopenStartsWithAnEmptyBuffer)
{
    OpenPort();
    ASSERT_TRUE(bench.Write(Bytes{1, 2, 3}));
    ASSERT_EQ(ReceiveCount(transport, 1, 2000), (Bytes{1}));
    OpenPort();
    EXPECT_EQ(transport.WaitForData(0), 0);
    transport.UngetReceived(10);
    EXPECT_EQ(transport.WaitForData(0), 0);
    ASSERT_TRUE(bench.Write(Bytes{4, 5}));
    EXPECT_EQ(ReceiveCount(transport, 2, 2000), (Bytes{4, 5}));
}

TEST_F(SerportTransportTest, CloseJoinsTheReceiveThreadAtOnce)
{
    OpenPort();
    ASSERT_TRUE(bench.Write(Bytes{1}));
    ASSERT_EQ(transport.WaitForData(2000), 1);
    long long start = NowMs();
    transport.Close();
    EXPECT_LT(NowMs() - start, 50);
    EXPECT_EQ(transport.WaitForData(0), 0);
    transport.Close();
}

TEST_F(SerportTransportTest, ReceivesABurstOfOneMebibyteWithoutLoss)
{
    OpenPort();
    Bytes sent = PtyBench::Garbage(1024 * 1024, 99);
    std::thread writer([&]() { bench.Write(sent, 20000); });
    Bytes received = ReceiveCount(transport, sent.size(), 20000);
    writer.join();
    ASSERT_EQ(received.size(), sent.size());
    EXPECT_TRUE(received == sent);
}

TEST_F(SerportTransportTest, TwoSendsInARowBothReachTheLine)
{
    OpenPort();
    Bytes first = PtyBench::Garbage(300, 1);
    Bytes second = {'A', 'T', '+', 'R', 'S', 'T', '\r', '\n'};
    EXPECT_EQ(transport.Send(first.data(), first.size()), first.size());
    EXPECT_EQ(transport.Send(second.data(), second.size()), second.size());
    Bytes expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(bench.ReadExactly(expected.size(), 2000), expected);

    EXPECT_EQ(transport.Send(nullptr, 4), 0u);
    EXPECT_EQ(transport.Send(first.data(), 0), 0u);
    EXPECT_TRUE(bench.ReadFor(30).empty());
}

TEST_F(SerportTransportTest, VanishedDeviceCostsNoCpuAndCloseStillJoins)
{
    OpenPort();
    bench.HangUp();
    long long cpuBefore = Sim::CpuMs();
    PtyBench::Delay(400);
    EXPECT_LT(Sim::CpuMs() - cpuBefore, 100) << "the receive thread spins on a dead line";
    long long start = NowMs();
    transport.Close();
    EXPECT_LT(NowMs() - start, 100);
}

// Ports that must not be used: a node that is no terminal, one no user may write, and a port another program holds.
TEST_F(SerportTransportTest, RefusedOpensSayWhyAndLeaveThePortAlone)
{
    Sim::PrintCapture capture;
    EXPECT_FALSE(transport.Open(Sim::PortAttr("/dev/zero", 115200)));
    EXPECT_EQ(capture.Messages(), std::vector<std::string>{"/dev/zero is not a serial port.\n"});
    EXPECT_FALSE(transport.Open(Sim::PortAttr("/proc/sys/kernel/ostype", 115200)));
    EXPECT_EQ(capture.Count("Serial port /proc/sys/kernel/ostype: permission denied; on Linux the user is usually "
                            "added to the port's group (e.g. dialout).\n"), 1u);

    capture.Clear();
    OpenPort();
    SerportTransport second;
    long long start = NowMs();
    EXPECT_FALSE(second.Open(Sim::PortAttr(bench.PortPath(), 115200)));
    EXPECT_LT(NowMs() - start, 100);
    EXPECT_EQ(capture.Messages(), std::vector<std::string>{"Serial port " + bench.PortPath() + " is busy.\n"});
    transport.Close();
    EXPECT_TRUE(second.Open(Sim::PortAttr(bench.PortPath(), 115200))) << "the port is free again once closed";
}

TEST_F(SerportTransportTest, SendToAPeerThatStopsReadingEndsAtTheWriteLimit)
{
    OpenPort();
    transport.SetTimeout(300, 300);
    Bytes flood(4 * 1024 * 1024, 0x55);
    long long start = NowMs();
    unsigned long sent = transport.Send(flood.data(), flood.size());
    long long took = NowMs() - start;
    EXPECT_LT(sent, flood.size());
    EXPECT_GE(took, 250);
    EXPECT_LT(took, 1000);
    EXPECT_FALSE(transport.IsDeviceGone());
}

TEST_F(SerportTransportTest, VanishedDeviceWakesAWaiterAtOnceAndFailsEverySend)
{
    OpenPort();
    std::thread unplug([this]() {
        PtyBench::Delay(100);
        bench.HangUp();
    });
    long long start = NowMs();
    EXPECT_EQ(transport.WaitForData(5000), 0);
    unplug.join();
    EXPECT_LT(NowMs() - start, 1000);
    EXPECT_TRUE(transport.IsDeviceGone());
    const unsigned char byte = 0x41;
    EXPECT_EQ(transport.Send(&byte, 1), 0u);
}

// Taken bytes are dropped as a long read goes on; what an ack search gives back (several takes) stays.
TEST_F(SerportTransportTest, GiveBackStillWorksAfterManyMebibytesHaveBeenTaken)
{
    OpenPort();
    Bytes sent;
    for (size_t i = 0; i < 3 * 1024 * 1024; ++i) {
        sent.push_back(static_cast<uint8_t>(i * 7 + i / 251));
    }
    std::thread writer([&]() { bench.Write(sent, 20000); });
    Bytes received = ReceiveCount(transport, sent.size(), 20000);
    writer.join();
    ASSERT_EQ(received, sent);
    transport.UngetReceived(4096);
    EXPECT_EQ(ReceiveCount(transport, 4096, 1000), Bytes(sent.end() - 4096, sent.end()));
}

}  // namespace
