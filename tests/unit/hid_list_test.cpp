// The HID list: report descriptor usages and the sysfs walk over a tree made in a scratch directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>
#include <thread>
#include <string>
#include <vector>

#include "HidDeviceList.h"
#include "ScratchDir.h"

namespace {

struct UsageCase {
    const char* what;
    std::vector<unsigned char> descriptor;
    bool found;
    unsigned short usagePage;
    unsigned short usage;
};

TEST(HidUsage, FirstUsagePageAndUsageBeforeTheFirstMainItem)
{
    const std::vector<UsageCase> cases = {
        {"generic desktop keyboard", {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01}, true, 0x1, 0x6},
        {"vendor page of two bytes", {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01}, true, 0xFF00, 0x1},
        {"collection first", {0xA1, 0x01, 0x05, 0x01, 0x09, 0x06}, false, 0, 0},
        {"usage before page", {0x09, 0x02, 0x05, 0x0C, 0xA1, 0x01}, true, 0xC, 0x2},
        {"second page ignored", {0x05, 0x01, 0x05, 0x0C, 0x09, 0x06}, true, 0x1, 0x6},
        {"four-byte page keeps low 16 bits", {0x07, 0x34, 0x12, 0xCD, 0xAB, 0x09, 0x01}, true, 0x1234, 0x1},
        {"long item skipped", {0xFE, 0x02, 0x10, 0xAA, 0xBB, 0x05, 0x01, 0x09, 0x02}, true, 0x1, 0x2},
        {"long item prefix as last byte", {0x05, 0x01, 0xFE}, true, 0x1, 0},
        {"data past the end", {0x09, 0x03, 0x06, 0x00}, true, 0, 0x3},
        {"main item stops before a later usage", {0x05, 0x01, 0x81, 0x02, 0x09, 0x06}, true, 0x1, 0},
        {"no usage at all", {0x15, 0x00, 0x25, 0x01}, false, 0, 0},
    };
    for (const UsageCase& c : cases) {
        unsigned short page = 0xEEEE;
        unsigned short usage = 0xEEEE;
        EXPECT_EQ(Hid::ParseHidUsage(c.descriptor.data(), c.descriptor.size(), page, usage), c.found) << c.what;
        EXPECT_EQ(page, c.usagePage) << c.what;
        EXPECT_EQ(usage, c.usage) << c.what;
    }
    unsigned short page = 7;
    unsigned short usage = 7;
    EXPECT_FALSE(Hid::ParseHidUsage(nullptr, 4, page, usage));
    EXPECT_EQ(page + usage, 0);
}

// A sysfs device directory: devices hold the id attributes, interfaces (names with ':') the class and report.
class FakeSysfs {
public:
    void Device(const std::string& name, const std::string& vid, const std::string& pid, const std::string& product)
    {
        std::filesystem::create_directories(dir / name);
        if (!vid.empty()) {
            Sim::WriteTextFile(dir / name + "/idVendor", vid);
        }
        Sim::WriteTextFile(dir / name + "/idProduct", pid);
        Sim::WriteTextFile(dir / name + "/product", product);
    }
    void Interface(const std::string& name, const std::string& interfaceClass, const std::string& report)
    {
        std::filesystem::create_directories(dir / name);
        Sim::WriteTextFile(dir / name + "/bInterfaceClass", interfaceClass);
        Sim::WriteTextFile(dir / name + "/report_descriptor", report);
    }
    std::string Root() const { return dir.Path(); }

private:
    Sim::ScratchDir dir;
};

std::vector<Hid::HidDeviceEntry> Sorted(std::vector<Hid::HidDeviceEntry> devices)
{
    std::sort(devices.begin(), devices.end(), [](const Hid::HidDeviceEntry& a, const Hid::HidDeviceEntry& b) {
        return a.name + std::to_string(a.usage) < b.name + std::to_string(b.usage);
    });
    return devices;
}

TEST(HidWalk, ListsHidInterfacesWithTheirDeviceAttributes)
{
    FakeSysfs sysfs;
    sysfs.Device("1-1", "0483\n", "5750\r\n", "Keypad\n");
    sysfs.Interface("1-1:1.0", "03\n", std::string("\x05\x01\x09\x06\xA1\x01", 6));
    sysfs.Interface("1-1:1.1", "03\n", std::string("\x06\x00\xFF\x09\x01\xA1\x01", 7));
    sysfs.Interface("1-1:1.2", "0a\n", std::string("\x05\x01\x09\x06", 4));
    sysfs.Device("2-3", "", "00ff\n", std::string(300, 'n') + "\n");
    sysfs.Interface("2-3:1.0", "3\n", "");
    sysfs.Device("usb1", "1d6b\n", "0002\n", "root hub\n");
    sysfs.Device("3-1", "1209\n", "0001\n", "\x1b[2J\x1b]0;owned\a\x7f\x1f Pad~\r\n");
    sysfs.Interface("3-1:1.0", "03\n", "");
    std::filesystem::create_directories(sysfs.Root() + "/.x:1.0");
    Sim::WriteTextFile(sysfs.Root() + "/.x:1.0/bInterfaceClass", "03\n");

    std::vector<Hid::HidDeviceEntry> devices(1);
    ASSERT_TRUE(Hid::ListHidDevicesUnder(sysfs.Root(), devices, -1, -1));
    devices = Sorted(devices);
    ASSERT_EQ(devices.size(), 4u);
    // A device's name reaches the terminal without the bytes that would drive it.
    EXPECT_EQ(devices[0].name, "?[2J?]0;owned??? Pad~");
    devices.erase(devices.begin());
    EXPECT_EQ(devices[0].name, "Keypad");
    EXPECT_EQ(devices[0].vendorId, 0x0483);
    EXPECT_EQ(devices[0].productId, 0x5750);
    EXPECT_EQ(devices[0].usagePage, 0xFF00);
    EXPECT_EQ(devices[0].usage, 0x1);
    EXPECT_EQ(devices[1].usagePage, 0x1);
    EXPECT_EQ(devices[1].usage, 0x6);
    EXPECT_EQ(devices[2].name, std::string(255, 'n'));
    EXPECT_EQ(devices[2].vendorId, -1);
    EXPECT_EQ(devices[2].productId, 0xFF);
    EXPECT_EQ(devices[2].usage + devices[2].usagePage, 0);

    struct Filter {
        int vid;
        int pid;
        size_t count;
    };
    for (const Filter& f : {Filter{0x0483, -1, 2}, Filter{-1, 0x5750, 2}, Filter{0x0483, 0x5751, 0},
             Filter{0, -1, 0}, Filter{-1, 0xFF, 1}}) {
        ASSERT_TRUE(Hid::ListHidDevicesUnder(sysfs.Root(), devices, f.vid, f.pid));
        EXPECT_EQ(devices.size(), f.count) << std::hex << f.vid << ":" << f.pid;
    }
    EXPECT_FALSE(Hid::ListHidDevicesUnder(sysfs.Root() + "/missing", devices, -1, -1));
    EXPECT_TRUE(devices.empty());
}

TEST(HidWalk, ReportDescriptorIsReadToItsEndNotByItsSize)
{
    // A pipe reports size 0, as sysfs reports 4096 for every attribute: only reading to the end is right.
    Sim::ScratchDir dir;
    std::string fifo = dir / "report";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    FakeSysfs sysfs;
    sysfs.Device("3-1", "1234\n", "abcd\n", "Pipe\n");
    sysfs.Interface("3-1:1.0", "03\n", "");
    std::filesystem::remove(sysfs.Root() + "/3-1:1.0/report_descriptor");
    std::filesystem::create_symlink(fifo, sysfs.Root() + "/3-1:1.0/report_descriptor");
    std::thread writer([&fifo]() { Sim::WriteTextFile(fifo, std::string("\x05\x0C\x09\x01\xA1\x01", 6)); });
    std::vector<Hid::HidDeviceEntry> devices;
    ASSERT_TRUE(Hid::ListHidDevicesUnder(sysfs.Root(), devices, -1, -1));
    writer.join();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].usagePage, 0xC);
    EXPECT_EQ(devices[0].usage, 0x1);
}

TEST(HidWalk, AttributeTextIsItsFirstLineWithoutLineEnds)
{
    Sim::ScratchDir dir;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Board\r\n\r\n", "Board"}, {"two\nlines\n", "two"}, {"", ""}, {"\n", ""}, {"no end", "no end"}};
    for (const auto& c : cases) {
        Sim::WriteTextFile(dir / "attr", c.first);
        EXPECT_EQ(Hid::ReadSysfsString(dir / "attr"), c.second) << c.first;
    }
    EXPECT_EQ(Hid::ReadSysfsString(dir / "missing"), "");
}

}  // namespace
