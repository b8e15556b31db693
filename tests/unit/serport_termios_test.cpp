// What the serial transport asks of the terminal layer, and in which order: this program puts its
// own tcflush, tcdrain and tcsetattr in front of the C library's to watch the calls.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>
#include <termios.h>

#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "PtyBench.h"
#include "SerportTransport.h"

namespace {

std::mutex g_logMutex;
std::vector<std::string> g_log;

void Log(const std::string& call)
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_log.push_back(call);
}

std::vector<std::string> TakeLog()
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    std::vector<std::string> log;
    log.swap(g_log);
    return log;
}

template <typename Function>
Function Next(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

const char* QueueName(int queue)
{
    switch (queue) {
        case TCIFLUSH:
            return "TCIFLUSH";
        case TCOFLUSH:
            return "TCOFLUSH";
        default:
            return "TCIOFLUSH";
    }
}

}  // namespace

extern "C" int tcflush(int fd, int queue)
{
    Log(std::string("tcflush ") + QueueName(queue));
    static auto real = Next<int (*)(int, int)>("tcflush");
    return real(fd, queue);
}

extern "C" int tcdrain(int fd)
{
    Log("tcdrain");
    static auto real = Next<int (*)(int)>("tcdrain");
    return real(fd);
}

extern "C" int tcsetattr(int fd, int when, const struct termios* settings)
{
    Log(std::string("tcsetattr ") + (when == TCSADRAIN ? "TCSADRAIN" : (when == TCSANOW ? "TCSANOW" : "TCSAFLUSH")));
    static auto real = Next<int (*)(int, int, const struct termios*)>("tcsetattr");
    return real(fd, when, settings);
}

namespace {

class SerportTermiosTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(bench.IsOpen());
        TakeLog();
        ASSERT_TRUE(transport.Open(Sim::PortAttr(bench.PortPath())));
    }

    Sim::PtyBench bench;
    SerportTransport transport;
};

TEST_F(SerportTermiosTest, OpenSetsTheLineAndDropsStaleInputOnly)
{
    EXPECT_EQ(TakeLog(), (std::vector<std::string>{"tcsetattr TCSADRAIN", "tcflush TCIFLUSH"}));
}

TEST_F(SerportTermiosTest, SendsNeverDiscardOutputStillLeavingThePort)
{
    TakeLog();
    const unsigned char frame[] = {0xAB, 0x00, 0x0A, 0x12, 0x34};
    const unsigned char text[] = "AT+RST\r\n";
    transport.Send(frame, sizeof(frame));
    transport.Send(text, sizeof(text) - 1);
    transport.Send(frame, 0);
    EXPECT_TRUE(TakeLog().empty());
}

TEST_F(SerportTermiosTest, SpeedChangeWaitsForPendingOutput)
{
    TakeLog();
    transport.SettingSerialParameters(921600);
    EXPECT_EQ(TakeLog(), std::vector<std::string>{"tcsetattr TCSADRAIN"});
}

// Pending output is waited for by watching the output queue, within a limit: tcdrain would wait for
// ever on a line whose other side has stopped taking bytes.
TEST_F(SerportTermiosTest, CloseLetsPendingOutputLeaveDiscardsOnlyInputAndPutsTheLineBack)
{
    TakeLog();
    transport.Close();
    EXPECT_EQ(TakeLog(), (std::vector<std::string>{"tcflush TCIFLUSH", "tcsetattr TCSANOW"}));
}

TEST(SerportLineTest, ThePortIsLeftAsItWasFound)
{
    Sim::PtyBench bench;
    ASSERT_TRUE(bench.IsOpen());
    int fd = open(bench.PortPath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    struct termios before = {};
    ASSERT_EQ(tcgetattr(fd, &before), 0);
    cfsetispeed(&before, B9600);
    cfsetospeed(&before, B9600);
    before.c_lflag |= ICANON | ECHO;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &before), 0);

    SerportTransport transport;
    ASSERT_TRUE(transport.Open(Sim::PortAttr(bench.PortPath(), 921600)));
    transport.Close();

    struct termios after = {};
    ASSERT_EQ(tcgetattr(fd, &after), 0);
    close(fd);
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600));
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
}

TEST_F(SerportTermiosTest, ReopenReleasesTheOldPortTheSameWay)
{
    TakeLog();
    ASSERT_TRUE(transport.Open(Sim::PortAttr(bench.PortPath(), 0)));
    EXPECT_EQ(TakeLog(),
              (std::vector<std::string>{"tcflush TCIFLUSH", "tcsetattr TCSANOW", "tcsetattr TCSADRAIN",
                                        "tcflush TCIFLUSH"}));
}

}  // namespace
