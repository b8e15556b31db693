#include <gtest/gtest.h>

#include <vector>

#include "Burn.h"
#include "BurnChipBase.h"
#include "SimPort.h"
#include "WaitTime.h"

namespace {

using WaitTime::Outcome;
using WaitTime::Step;

// Answers every byte with its complement, so that a wait can be ended by what the port delivers.
class ComplementPeer : public Sim::SimPortPeer {
public:
    void OnHostBytes(Sim::SimPort& port, const Sim::Bytes& bytes) override
    {
        Sim::Bytes answer;
        for (uint8_t byte : bytes) {
            answer.push_back(static_cast<uint8_t>(~byte));
        }
        port.Deliver(answer);
    }
};

class WaitLoopTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetChipType(0x30004);
        m_chip = OpenSerialPort("/dev/virtual0", 921600, 0, 0);
        ASSERT_NE(m_chip, nullptr);
    }
    void TearDown() override { DestroyDevice(m_chip); }

    ComplementPeer m_peer;
    Sim::SimPortSession m_session{m_peer};
    BurnChipBase* m_chip = nullptr;
};

TEST_F(WaitLoopTest, PortOfTheSessionCarriesBytesBothWays)
{
    const unsigned char sent[] = {0x00, 0x5A};
    ASSERT_EQ(SendBytes(m_chip, sent, 2), 2);
    unsigned char reply[4] = {0};
    EXPECT_EQ(ReceiveBytes(m_chip, reply, sizeof(reply)), 2);
    EXPECT_EQ(reply[0], 0xFF);
    EXPECT_EQ(reply[1], 0xA5);
    EXPECT_EQ(m_session.Port()->PortName(), "/dev/virtual0");
    EXPECT_EQ(m_session.Port()->OpenBaudRate(), 115200u);
}

TEST_F(WaitLoopTest, EveryWayOutOfTheLoop)
{
    struct Case {
        const char* name;
        Step answer;           // what each try finds
        int triesBeforeAnswer; // tries that find nothing first
        bool cancel;
        bool gone;
        Outcome expected;
        long long expectedMs;  // virtual time the loop took
    };
    const std::vector<Case> cases = {
        {"done at once", Step::DONE, 0, false, false, Outcome::DONE, 0},
        {"done after three slices", Step::DONE, 3, false, false, Outcome::DONE, 30},
        {"failed", Step::FAILED, 1, false, false, Outcome::FAILED, 10},
        {"limit passes", Step::AGAIN, 0, false, false, Outcome::TIMED_OUT, 60000},
        {"cancel", Step::AGAIN, 0, true, false, Outcome::CANCELLED, 0},
        {"device gone", Step::AGAIN, 0, false, true, Outcome::DEVICE_GONE, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.cancel) {
            Cancel(m_chip);
        }
        if (c.gone) {
            m_session.Port()->GoAway();
        }
        long long start = Sim::SimPortSession::NowMs();
        int tries = 0;
        Outcome outcome = m_chip->PollUntil(60000, 10, [&]() {
            return tries++ < c.triesBeforeAnswer ? Step::AGAIN : c.answer;
        });
        EXPECT_EQ(outcome, c.expected);
        EXPECT_EQ(Sim::SimPortSession::NowMs() - start, c.expectedMs);
    }
}

TEST_F(WaitLoopTest, SliceNeverExceedsTheCancelCheckPeriod)
{
    int tries = 0;
    long long start = Sim::SimPortSession::NowMs();
    m_chip->PollUntil(1000, 5000, [&]() {
        ++tries;
        return Step::AGAIN;
    });
    EXPECT_EQ(Sim::SimPortSession::NowMs() - start, 1000);
    EXPECT_EQ(tries, 11);
}

}  // namespace
