#ifndef VEXIL_TESTS_SIM_TOOLCHIPTEST_H
#define VEXIL_TESTS_SIM_TOOLCHIPTEST_H

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ToolChipBench.h"

// Fixtures of the test programs (they know VEXIL_BUILD_DIR) that run the built vexil against a virtual
// chip of the Qx71 family, once per chip.
namespace Sim {

// The parameter is the tool's name of the chip.
class ToolChipTest : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override { ASSERT_TRUE(tool.Ready()); }
    ToolChipBench tool{VEXIL_BUILD_DIR, GetParam()};
};

// The parameter is a row of a table that names its chip in `chip` and itself in `name`.
template <typename Case>
class ChipCaseTest : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override { ASSERT_TRUE(tool.Ready()); }
    const Case& Row() const { return this->GetParam(); }
    ToolChipBench tool{VEXIL_BUILD_DIR, this->GetParam().chip};
};

// Every row once for each chip of the family.
template <typename Case>
std::vector<Case> ForEachChip(std::vector<Case> cases)
{
    std::vector<Case> rows;
    for (const char* chip : {"qx71", "kp7715"}) {
        for (Case& row : cases) {
            row.chip = chip;
            rows.push_back(row);
        }
    }
    return rows;
}

template <typename Case>
std::string ChipCaseName(const ::testing::TestParamInfo<Case>& info)
{
    return std::string(info.param.chip) + info.param.name;
}

}  // namespace Sim

#endif
