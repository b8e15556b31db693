// vexil list hid through the built executable on a virtual USB bus (sysfs under umockdev).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "UsbBench.h"

namespace {

const std::string KEYPAD = "0483:5750:Keypad:05010906a101";
const std::string VENDOR_PAGE = "1209:0001:Probe:0600ff0901a101";
const std::string KEYPAD_LINE = "Name:Keypad,PID:0x5750,VID:0x483,Usage:0x6,UsagePage:0x1\n";
const std::string VENDOR_LINE = "Name:Probe,PID:0x1,VID:0x1209,Usage:0x1,UsagePage:0xff00\n";

std::vector<std::string> SortedLines(const std::string& text)
{
    std::vector<std::string> lines = Sim::Lines(text);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// A filter that matches nothing gives the one line that says so; a station's many boards are all
// listed, however long the list grows.
TEST(ListHidOnUsb, OneLinePerHidInterfaceFilteredByDeviceId)
{
    struct Case {
        std::vector<std::string> filter;
        std::vector<std::string> lines;
        std::vector<std::string> bench = {"--hid", KEYPAD, "--hid", VENDOR_PAGE};
    };
    Case many{{}, {"USB DFU devices:\n"}, {}};
    for (int slot = 10; slot < 55; ++slot) {  // 8.6 KB of lines
        std::string serial = "STATION-A-SLOT-" + std::to_string(slot) + std::string(100, 's');
        many.bench.insert(many.bench.end(), {"--dfu", "0483:df11:" + serial});
        many.lines.push_back("[0483:df11] serial=\"" + serial +
                             "\" intf=0 alt=0 (DFU mode) name=\"Virtual flash\"\n");
    }
    const std::vector<Case> cases = {
        {{}, {KEYPAD_LINE, VENDOR_LINE}},
        {{"-d", "0483:5750"}, {KEYPAD_LINE}},
        {{"-d", "1209:0001"}, {VENDOR_LINE}},
        {{"-d", "0483:5751"}, {"No HID or USB DFU devices found.\n"}},
        many,
    };
    for (const Case& c : cases) {
        std::vector<std::string> command = {VEXIL_BINARY, "list", "hid"};
        command.insert(command.end(), c.filter.begin(), c.filter.end());
        Sim::ProgramResult result = Sim::RunUnderUsbBench(VEXIL_BUILD_DIR, c.bench, command);
        EXPECT_EQ(result.exitCode, 0) << result.output;
        EXPECT_EQ(SortedLines(result.output), c.lines) << result.output;
    }
}

}  // namespace
