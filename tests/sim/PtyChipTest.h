#ifndef VEXIL_TESTS_SIM_PTYCHIPTEST_H
#define VEXIL_TESTS_SIM_PTYCHIPTEST_H

#include <gtest/gtest.h>

#include "PrintCapture.h"
#include "PtyBench.h"
#include "TestSupport.h"

namespace Sim {

// A test chip driver whose serial port is the bench's pty, open at 115200 before each test; the
// bench's device stops after it.
class PtyChipTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(bench.IsOpen());
        ASSERT_TRUE(chip.OpenSerialPort(bench.PortPath().c_str(), 115200, 0, 0));
    }
    void TearDown() override
    {
        bench.StopDevice();
    }

    PrintCapture capture;
    PtyBench bench;
    TestChip chip;
};

}  // namespace Sim

#endif
