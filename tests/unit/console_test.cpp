// The tool's console: the library's messages as printed, the progress bar, colours on a terminal.
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "BurnContext.h"
#include "BurnerWorkerBase.h"
#include "CommonUtil.h"
#include "ScratchDir.h"
#include "TestSupport.h"

namespace {

const std::string RED = "\x1b[1;31m";
const std::string GREEN = "\x1b[32m";
const std::string YELLOW = "\x1b[33m";
const std::string PLAIN = "\x1b[0m";
const std::string HIDE = "\x1b[?25l";
const std::string SHOW = "\x1b[?25h";

// Standard output goes to a raw terminal while alive, so that the tool turns colour on.
class TerminalOutput {
public:
    TerminalOutput()
    {
        if (openpty(&m_master, &m_slave, nullptr, nullptr, nullptr) != 0) {
            return;
        }
        struct termios raw = {};
        tcgetattr(m_slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(m_slave, TCSANOW, &raw);
        fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
        m_redirect = std::make_unique<Sim::StdoutRedirect>(m_slave);
        CommonUtil::EnableConsoleColor();
    }
    ~TerminalOutput()
    {
        Finish();
        close(m_master);
    }
    // Everything printed so far; standard output is back where it was afterwards.
    std::string Finish()
    {
        if (m_redirect != nullptr) {
            m_redirect.reset();
            CommonUtil::EnableConsoleColor();
            close(m_slave);
            char chunk[4096];
            ssize_t got = 0;
            while ((got = read(m_master, chunk, sizeof(chunk))) > 0) {
                m_output.append(chunk, static_cast<size_t>(got));
            }
        }
        return m_output;
    }

private:
    int m_master = -1;
    int m_slave = -1;
    std::unique_ptr<Sim::StdoutRedirect> m_redirect;
    std::string m_output;
};

std::string Printed(const char* message, const char* debugMessage)
{
    testing::internal::CaptureStdout();
    BurnerWorkerBase::SetPrint(0, "", message, debugMessage, 0);
    return testing::internal::GetCapturedStdout();
}

class ConsoleTest : public testing::Test {
protected:
    void SetUp() override
    {
        CommonUtil::EnableConsoleColor();
        BurnInfo::BurnContext::m_isOpenDebug = false;
        Sim::ResetWorkerProgress();
        BurnerWorkerBase::m_isPrintProgress = true;
    }
    void TearDown() override { BurnInfo::BurnContext::m_isOpenDebug = false; }

    static std::string Progress(int percent)
    {
        testing::internal::CaptureStdout();
        BurnerWorkerBase::SetProgress(0, percent);
        return testing::internal::GetCapturedStdout();
    }
    static void UsePartitions(const std::vector<uint64_t>& sizes)
    {
        for (uint64_t size : sizes) {
            BurnerWorkerBase::AddPartitionSize(size);
        }
    }
};

TEST_F(ConsoleTest, MessagesArePrintedAsTheyCome)
{
    EXPECT_EQ(Printed("Shakehand failed, The board does not respond.\n", ""),
              "Shakehand failed, The board does not respond.\n");
    EXPECT_EQ(Printed("error: no line end", nullptr), "error: no line end");
    EXPECT_EQ(Printed("#=#\n", ""), "#=#\n");
    EXPECT_EQ(Printed(nullptr, nullptr), "");
    EXPECT_EQ(Printed("", ""), "");
}

TEST_F(ConsoleTest, MessagesOfHashesOnlyAreDroppedWithTheirDebugText)
{
    BurnInfo::BurnContext::m_isOpenDebug = true;
    EXPECT_EQ(Printed("#", "hidden"), "");
    EXPECT_EQ(Printed("##########", "hidden"), "");
    EXPECT_EQ(Printed("#####\n", "shown"), "#####\nshown");
}

// Only a signal cancels; the tool says so itself, once, instead of at every check of the library.
TEST_F(ConsoleTest, TheLibrarysCancelNoticesAreLeftOut)
{
    EXPECT_EQ(Printed("\nUser Cancelled!\n", ""), "");
    EXPECT_EQ(Printed("user cancelled!\n", ""), "");
    EXPECT_EQ(Printed("\n user cancelled!\n", ""), "");
    EXPECT_EQ(Printed("user cancelled! twice\n", ""), "user cancelled! twice\n");
}

TEST_F(ConsoleTest, DebugTextOnlyWithOpenDebug)
{
    EXPECT_EQ(Printed("Timeout error.\n", "port /dev/ttyUSB0\n"), "Timeout error.\n");
    EXPECT_EQ(Printed("", "port /dev/ttyUSB0\n"), "");
    BurnInfo::BurnContext::m_isOpenDebug = true;
    EXPECT_EQ(Printed("Timeout error.\n", "port /dev/ttyUSB0\n"), "Timeout error.\nport /dev/ttyUSB0\n");
    EXPECT_EQ(Printed("", "port /dev/ttyUSB0\n"), "port /dev/ttyUSB0\n");
    EXPECT_EQ(Printed("a\n", nullptr), "a\n");
}

TEST_F(ConsoleTest, NoColourWithoutATerminal)
{
    EXPECT_EQ(Printed("error: x\n", ""), "error: x\n");
    EXPECT_EQ(Printed("downloaded: app.bin successfully.\n", ""), "downloaded: app.bin successfully.\n");
    EXPECT_EQ(Progress(100), "\r  [==============================] 100%\n");
}

TEST_F(ConsoleTest, LibraryMessagesAreColouredBySeverityOnATerminal)
{
    BurnInfo::BurnContext::m_isOpenDebug = true;
    TerminalOutput terminal;
    BurnerWorkerBase::SetPrint(0, "", "\n  Error: Ack receiving timeout.\n", "error: debug stays plain\n", 0);
    BurnerWorkerBase::SetPrint(0, "", "warning: slow\n", "", 0);
    BurnerWorkerBase::SetPrint(0, "", "NOTE: check\n", "", 0);
    BurnerWorkerBase::SetPrint(0, "", "downloaded: app.bin successfully.\n", "", 0);
    BurnerWorkerBase::SetPrint(0, "", "Upload completed\n", "", 0);
    BurnerWorkerBase::SetPrint(0, "", "Success\n", "", 0);
    BurnerWorkerBase::SetPrint(0, "", "xerror\n", "", 0);
    EXPECT_EQ(terminal.Finish(), RED + "\n  Error: Ack receiving timeout.\n" + PLAIN + "error: debug stays plain\n" +
                                     YELLOW + "warning: slow\n" + PLAIN + YELLOW + "NOTE: check\n" + PLAIN + GREEN +
                                     "downloaded: app.bin successfully.\n" + PLAIN + GREEN + "Upload completed\n" +
                                     PLAIN + "Success\nxerror\n");
}

TEST_F(ConsoleTest, ProgressBarWithoutPartitions)
{
    EXPECT_EQ(Progress(50), "\r  [===============---------------]  50%");
    EXPECT_EQ(Progress(0), "\r  [------------------------------]   0%");
    EXPECT_EQ(Progress(3), "\r  [------------------------------]   3%");
    EXPECT_EQ(Progress(99), "\r  [=============================-]  99%");
    EXPECT_EQ(Progress(100), "\r  [==============================] 100%\n");
    EXPECT_EQ(Progress(150), "\r  [==============================] 100%\n");
    EXPECT_EQ(Progress(-5), "\r  [------------------------------]   0%");
}

TEST_F(ConsoleTest, ProgressIsQuietUntilABurnSwitchesItOn)
{
    BurnerWorkerBase::m_isPrintProgress = false;
    EXPECT_EQ(Progress(50), "");
    EXPECT_EQ(Progress(100), "");
}

TEST_F(ConsoleTest, ProgressOfAPartitionTableShowsTheWholeBurn)
{
    UsePartitions({1000, 3000});
    EXPECT_EQ(Progress(50), "\r  [===---------------------------]  12%");
    EXPECT_EQ(Progress(100), "\r  [=======-----------------------]  25%\n");
    EXPECT_EQ(Progress(50), "\r  [==================------------]  62%");
    EXPECT_EQ(Progress(100), "\r  [==============================] 100%\n");
    // After the last partition the reports are drawn as they come.
    EXPECT_EQ(Progress(40), "\r  [============------------------]  40%");
}

TEST_F(ConsoleTest, ProgressOfAPartitionTableStaysWithinTheBar)
{
    UsePartitions({1000});
    EXPECT_EQ(Progress(-50), "\r  [------------------------------]   0%");
    EXPECT_EQ(Progress(150), "\r  [==============================] 100%\n");
}

// Sizes as an XML FileSize may give them: "-1" is the largest 64-bit size.
TEST_F(ConsoleTest, ProgressOfHugePartitionsNeitherOverflowsNorLeavesTheBar)
{
    const uint64_t largestSigned = 0x7fffffffffffffffULL;
    const struct {
        std::vector<uint64_t> sizes;
        std::vector<int> percents;
        std::vector<int> shown;
    } cases[] = {
        {{largestSigned}, {50, 100}, {50, 100}},
        {{largestSigned, largestSigned}, {50, 100, 50}, {25, 50, 75}},
        {{UINT64_MAX, 1000}, {100, 50, 100}, {99, 99, 100}},
        {{1000, UINT64_MAX}, {100, 1, 100}, {0, 1, 100}},
        {{UINT64_MAX}, {-2147483647 - 1, 2147483647}, {0, 100}},
    };
    for (const auto& table : cases) {
        SetUp();
        UsePartitions(table.sizes);
        for (size_t i = 0; i < table.percents.size(); ++i) {
            std::string bar = Progress(table.percents[i]);
            char number[8] = {0};
            std::snprintf(number, sizeof(number), "%3d%%", table.shown[i]);
            EXPECT_NE(bar.find(number), std::string::npos) << bar << " for report " << i;
        }
    }
    EXPECT_EQ(BurnerWorkerBase::m_totalLength, UINT64_MAX);
}

TEST_F(ConsoleTest, AMessageDuringTheBarStartsOnANewLine)
{
    EXPECT_EQ(Progress(50), "\r  [===============---------------]  50%");
    EXPECT_EQ(Printed("ACK receiving timed out.\n", ""), "\nACK receiving timed out.\n");
    EXPECT_EQ(Printed("Upload file failed.\n", ""), "Upload file failed.\n");
    EXPECT_EQ(Progress(60), "\r  [==================------------]  60%");
    EXPECT_EQ(Printed("\nShakehand failed.\n", ""), "\nShakehand failed.\n");
    EXPECT_EQ(Progress(70), "\r  [=====================---------]  70%");
    EXPECT_EQ(Printed("#", ""), "");
    BurnInfo::BurnContext::m_isOpenDebug = true;
    EXPECT_EQ(Printed("", "port gone\n"), "\nport gone\n");
    EXPECT_EQ(Progress(100), "\r  [==============================] 100%\n");
    EXPECT_EQ(Printed("downloaded.\n", ""), "downloaded.\n");
    // The worker's own lines that begin with a line end close the bar's line themselves.
    EXPECT_EQ(Progress(80), "\r  [========================------]  80%");
    testing::internal::CaptureStdout();
    WorkerText::PrintBurnFailed("app.bin");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nerror: Burn app.bin failed!\n");
    EXPECT_EQ(Printed("next\n", ""), "next\n");
}

TEST_F(ConsoleTest, AMessageDuringTheBarShowsTheCursorAgainOnATerminal)
{
    TerminalOutput terminal;
    BurnerWorkerBase::SetProgress(0, 50);
    BurnerWorkerBase::SetPrint(0, "", "Timeout.\n", "", 0);
    EXPECT_EQ(terminal.Finish(), HIDE + "\r  [===============---------------]  50%\n" + SHOW + "Timeout.\n");
}

TEST_F(ConsoleTest, ProgressBarHidesTheCursorOnATerminalUntilDone)
{
    TerminalOutput terminal;
    BurnerWorkerBase::SetProgress(0, 50);
    BurnerWorkerBase::SetProgress(0, 100);
    EXPECT_EQ(terminal.Finish(), HIDE + "\r  [===============---------------]  50%" + HIDE +
                                     "\r  [==============================] 100%\n" + SHOW);
}

}  // namespace
