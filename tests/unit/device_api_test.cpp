// The device API: argument checks and messages, driver choice, opening, boot and erase roads, lists.
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Burn.h"
#include "ChipDriverFactory.h"
#include "DeviceListText.h"
#include "PtyBench.h"
#include "ScratchDir.h"
#include "SerialPortProbe.h"
#include "TestSupport.h"

namespace {

using ChipDriverFactory::DriverKind;
using Sim::TestChip;

std::vector<DriverKind> g_requestedKinds;
int g_liveChips = 0;

class CountedChip : public TestChip {
public:
    CountedChip()
    {
        ++g_liveChips;
    }
    ~CountedChip() override
    {
        --g_liveChips;
    }
};

std::unique_ptr<BurnChipBase> MakeCountedChip(DriverKind kind)
{
    g_requestedKinds.push_back(kind);
    return std::make_unique<CountedChip>();
}

std::unique_ptr<BurnChipBase> MakeNoChip(DriverKind kind)
{
    g_requestedKinds.push_back(kind);
    return nullptr;
}

// Stands test drivers in for the real ones while it lives.
class DriverOverride {
public:
    explicit DriverOverride(std::unique_ptr<BurnChipBase> (*maker)(DriverKind))
    {
        g_requestedKinds.clear();
        ChipDriverFactory::Makers makers;
        makers.newChip = maker;
        ChipDriverFactory::OverrideMakers(makers);
    }
    ~DriverOverride()
    {
        ChipDriverFactory::OverrideMakers({});
        SetChipType(0);
    }
};

class DeviceApiTest : public ::testing::Test {
protected:
    Sim::PrintCapture capture;
};

TEST_F(DeviceApiTest, NullHandleIsReportedByEveryPerDeviceCall)
{
    unsigned char bytes[4] = {1, 2, 3, 4};
    unsigned long ddr = 0;
    std::vector<int> results = {
        Reset(nullptr),
        EraseFlash(nullptr, 0, 16),
        EraseAllFlash(nullptr, nullptr),
        DownloadAllinoneBin(nullptr, "a.fwpkg", 0),
        BootDownload(nullptr, "boot.bin", 0, 0, nullptr, &ddr),
        DownloadToFlash(nullptr, "a|b", 0, 0, 0, 0, 0, 0),
        DownloadToDdr(nullptr, "a", bytes, 0, 0),
        UploadFile(nullptr, 0, 4, "out.bin"),
        SendCmd(nullptr, bytes, 4, nullptr, 0, 100),
        SendBytes(nullptr, bytes, 4),
        ReceiveBytes(nullptr, bytes, 4),
    };
    for (int result : results) {
        EXPECT_EQ(result, 0);
    }
    Cancel(nullptr);
    SetHandshakeTimeout(nullptr, 1);
    SetPerPacketSize(nullptr, 1);
    SetIsReset(nullptr, 1);
    SetIsReady(nullptr, 1);
    SetCtrlPeriod(nullptr, 1);
    SetSwitchAfterLoader(nullptr, 1);
    SetBeforeReset(nullptr, 1);
    SetAtResetCommand(nullptr, "AT");
    EXPECT_EQ(capture.Messages(), std::vector<std::string>(results.size() + 9, "invalid handle.\n"));

    capture.Clear();
    SetDfuTransferSize(nullptr, 512);
    SetDfuTimeout(nullptr, 100);
    EXPECT_EQ(DestroyDevice(nullptr), 1);
    EXPECT_TRUE(capture.Messages().empty());
}

struct ArgumentCase {
    const char* name;
    std::function<int(BurnChipBase*)> call;
    const char* message;
};

TEST_F(DeviceApiTest, ArgumentChecksComeBeforeAnyEffect)
{
    unsigned char bytes[4] = {1, 2, 3, 4};
    const std::vector<ArgumentCase> cases = {
        {"allinone null", [](BurnChipBase* h) { return DownloadAllinoneBin(h, nullptr, 0); },
         "burn file path is null.\n"},
        {"allinone empty", [](BurnChipBase* h) { return DownloadAllinoneBin(h, "", 0); }, "burn file path is null.\n"},
        {"upload null", [](BurnChipBase* h) { return UploadFile(h, 0, 16, nullptr); }, "upload file path is null.\n"},
        {"upload empty", [](BurnChipBase* h) { return UploadFile(h, 0, 16, ""); }, "upload file path is null.\n"},
        {"cmd null", [](BurnChipBase* h) { return SendCmd(h, nullptr, 3, nullptr, 0, 100); },
         "send cmd data is null.\n"},
        {"cmd zero", [&](BurnChipBase* h) { return SendCmd(h, bytes, 0, nullptr, 0, 100); },
         "send cmd data length equals 0.\n"},
        {"cmd negative", [&](BurnChipBase* h) { return SendCmd(h, bytes, -1, nullptr, 0, 100); },
         "send cmd data length equals 0.\n"},
        {"send null", [](BurnChipBase* h) { return SendBytes(h, nullptr, 3); }, "send bytes is null.\n"},
        {"send zero", [&](BurnChipBase* h) { return SendBytes(h, bytes, 0); }, "send bytes length equals 0.\n"},
        {"send negative", [&](BurnChipBase* h) { return SendBytes(h, bytes, -2); }, "send bytes length equals 0.\n"},
        {"receive null", [](BurnChipBase* h) { return ReceiveBytes(h, nullptr, 3); }, "recevie data is null.\n"},
        {"receive zero", [&](BurnChipBase* h) { return ReceiveBytes(h, bytes, 0); }, "recevie length equals 0.\n"},
        {"receive negative", [&](BurnChipBase* h) { return ReceiveBytes(h, bytes, -7); },
         "recevie length equals 0.\n"},
    };
    for (const ArgumentCase& argument : cases) {
        SCOPED_TRACE(argument.name);
        TestChip chip;
        capture.Clear();
        EXPECT_EQ(argument.call(&chip), 0);
        EXPECT_EQ(capture.Messages(), std::vector<std::string>{argument.message});
        EXPECT_TRUE(chip.steps.empty());
    }
}

TEST_F(DeviceApiTest, SerialDriverFollowsChipTypeAndDepartment)
{
    EXPECT_EQ(ChipDriverFactory::SerialDriverFor(0x30004, 3), DriverKind::QX71);
    EXPECT_EQ(ChipDriverFactory::SerialDriverFor(0x30005, 3), DriverKind::KP7715);
    EXPECT_EQ(ChipDriverFactory::SerialDriverFor(0x30002, 3), DriverKind::TYPE_SIX);
    EXPECT_EQ(ChipDriverFactory::SerialDriverFor(0x30001, 3), DriverKind::NONE);
    EXPECT_EQ(ChipDriverFactory::SerialDriverFor(0x40004, 4), DriverKind::NONE);
    EXPECT_EQ(ChipDriverFactory::SerialDriverFor(0x30004, 4), DriverKind::NONE);
    EXPECT_EQ(ChipDriverFactory::UsbDfuDriverFor(0x30004), DriverKind::SE_DFU);
    EXPECT_EQ(ChipDriverFactory::UsbDfuDriverFor(0x30002), DriverKind::SE_DFU);
    EXPECT_EQ(ChipDriverFactory::UsbDfuDriverFor(0x30005), DriverKind::SE_DFU);
    EXPECT_EQ(ChipDriverFactory::UsbDfuDriverFor(0x40001), DriverKind::GENERIC_DFU);
}

TEST_F(DeviceApiTest, OpenSerialPortMakesTheDriverOfTheChipTypeOrFailsCleanly)
{
    Sim::PtyBench bench;
    DriverOverride drivers(MakeCountedChip);
    SetChipType(0x30005);
    BurnChipBase* handle = OpenSerialPort(bench.PortPath().c_str(), 115200, 0, 0);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(g_requestedKinds, std::vector<DriverKind>{DriverKind::KP7715});
    EXPECT_EQ(DestroyDevice(handle), 1);
    EXPECT_EQ(g_liveChips, 0);

    for (int chipType : {0x30001, 0x40004, 0x0004}) {
        SCOPED_TRACE(chipType);
        g_requestedKinds.clear();
        capture.Clear();
        SetChipType(chipType);
        EXPECT_EQ(OpenSerialPort(bench.PortPath().c_str(), 115200, 0, 0), nullptr);
        EXPECT_EQ(capture.Messages(), std::vector<std::string>{"new transport failed\n"});
        EXPECT_TRUE(g_requestedKinds.empty());
    }

    capture.Clear();
    EXPECT_EQ(OpenSerialPort(nullptr, 115200, 0, 0), nullptr);
    EXPECT_EQ(capture.Messages(), std::vector<std::string>{"com name is null\n"});
}

TEST_F(DeviceApiTest, DriverThatCannotBeMadeFailsTheOpens)
{
    DriverOverride drivers(MakeNoChip);
    SetChipType(0x30004);
    EXPECT_EQ(OpenSerialPort("/dev/null", 115200, 0, 0), nullptr);
    EXPECT_EQ(OpenUsbDfuDevice(-1, -1, ""), nullptr);
    EXPECT_EQ(capture.Messages(), (std::vector<std::string>{"new transport failed\n", "new dfu transport failed\n"}));
    EXPECT_EQ(g_requestedKinds, (std::vector<DriverKind>{DriverKind::QX71, DriverKind::SE_DFU}));
}

TEST_F(DeviceApiTest, UsbDfuDriverThatCannotBeMadeFailsCleanly)
{
    DriverOverride drivers(MakeNoChip);
    SetChipType(0x40001);
    EXPECT_EQ(OpenUsbDfuDevice(0x1234, 0x5678, "sn"), nullptr);
    EXPECT_EQ(capture.Messages(), std::vector<std::string>{"new dfu transport failed\n"});
    EXPECT_EQ(g_requestedKinds, std::vector<DriverKind>{DriverKind::GENERIC_DFU});
}

TEST_F(DeviceApiTest, OpenSerialPortKeepsTheLineSettingsButOpensAt115200EightNoneOne)
{
    Sim::PtyBench bench;
    DriverOverride drivers(MakeCountedChip);
    SetChipType(0x30004);
    BurnChipBase* handle = OpenSerialPort(bench.PortPath().c_str(), 921600, 2, 1);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->GetBaudRate(), 921600u);
    EXPECT_EQ(handle->GetStopBit(), 2);
    EXPECT_EQ(handle->GetParity(), 1);
    struct termios line = {};
    tcgetattr(bench.SlaveFd(), &line);
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B115200));
    EXPECT_EQ(line.c_cflag & (CSTOPB | PARENB), 0u);

    unsigned char frame[] = {0xEF, 0xBE, 0xAD, 0xDE};
    EXPECT_EQ(SendBytes(handle, frame, 4), 4);
    EXPECT_EQ(bench.ReadExactly(4, 2000), Sim::Bytes(frame, frame + 4));
    ASSERT_TRUE(bench.Write(std::string("ok")));
    ASSERT_EQ(handle->WaitForData(2000), 2);
    unsigned char got[8] = {0};
    EXPECT_EQ(ReceiveBytes(handle, got, 8), 2);
    DestroyDevice(handle);
}

// A link to the pty with a path of exactly the given length.
std::string LinkOfLength(const std::string& target, size_t length)
{
    std::string path = "/tmp/vexil-" + std::to_string(getpid()) + "-";
    path += std::string(length - path.size(), 'p');
    unlink(path.c_str());
    return symlink(target.c_str(), path.c_str()) == 0 ? path : std::string();
}

TEST_F(DeviceApiTest, PortNameOf31CharactersOpensAndOneOf32IsRefused)
{
    Sim::PtyBench bench;
    DriverOverride drivers(MakeCountedChip);
    SetChipType(0x30002);
    std::string fits = LinkOfLength(bench.PortPath(), 31);
    std::string tooLong = LinkOfLength(bench.PortPath(), 32);
    ASSERT_FALSE(fits.empty());
    ASSERT_FALSE(tooLong.empty());

    BurnChipBase* handle = OpenSerialPort(fits.c_str(), 115200, 0, 0);
    EXPECT_NE(handle, nullptr);
    DestroyDevice(handle);

    capture.Clear();
    EXPECT_EQ(OpenSerialPort(tooLong.c_str(), 115200, 0, 0), nullptr);
    EXPECT_EQ(capture.Messages(), std::vector<std::string>{
                                      "the length of the created UART is less than the length of the UART to be copied.\n"});
    EXPECT_EQ(OpenSerialPort("/dev/vexil-missing", 115200, 0, 0), nullptr);
    EXPECT_EQ(g_liveChips, 0) << "a failed open leaves no device behind";
    unlink(fits.c_str());
    unlink(tooLong.c_str());
}

TEST_F(DeviceApiTest, BootDownloadRunsTheDriverStepsInOrder)
{
    TestChip chip;
    unsigned long ddr = 0;
    EXPECT_EQ(BootDownload(&chip, "boot.bin", 0x80000000UL, 7, "unused", &ddr), 1);
    EXPECT_EQ(chip.steps, (std::vector<std::string>{"ShakeHand", "FilePrepare", "InitBoard", "InitDdr",
                                                    "SecurityVerification", "DownloadBootData", "WaitBootRun"}));
    EXPECT_EQ(chip.preparedFile, "boot.bin");
    EXPECT_EQ(ddr, 0x80000000UL);

    TestChip moving;
    moving.setsDdrAddressInBoot = true;
    moving.ddrAddressSetInBoot = 0x4000;
    EXPECT_EQ(BootDownload(&moving, "boot.bin", 0x1000, 0, nullptr, &ddr), 1);
    EXPECT_EQ(ddr, 0x4000UL) << "the address as it stands after the boot";
    EXPECT_TRUE(capture.Messages().empty());
}

TEST_F(DeviceApiTest, BootDownloadWithoutBootFileOnlyShakesHandsAndWaits)
{
    for (const char* bootFile : {static_cast<const char*>(nullptr), ""}) {
        TestChip chip;
        unsigned long ddr = 1;
        EXPECT_EQ(BootDownload(&chip, bootFile, 0x20, 0, nullptr, &ddr), 1);
        EXPECT_EQ(chip.steps, (std::vector<std::string>{"ShakeHand", "WaitBootRun"}));
        EXPECT_EQ(ddr, 0x20UL);
        EXPECT_EQ(BootDownload(&chip, bootFile, 0x20, 0, nullptr, nullptr), 1);
    }
}

TEST_F(DeviceApiTest, BootDownloadStopsAtTheFirstFailingStep)
{
    TestChip handshake;
    handshake.failStep = "ShakeHand";
    EXPECT_EQ(BootDownload(&handshake, "boot.bin", 0, 0, nullptr, nullptr), 0);
    EXPECT_EQ(handshake.steps, std::vector<std::string>{"ShakeHand"});

    TestChip ddr;
    ddr.failStep = "InitDdr";
    unsigned long out = 5;
    EXPECT_EQ(BootDownload(&ddr, "boot.bin", 9, 0, nullptr, &out), 0);
    EXPECT_EQ(ddr.steps, (std::vector<std::string>{"ShakeHand", "FilePrepare", "InitBoard", "InitDdr"}));
    EXPECT_EQ(out, 5UL);
    EXPECT_TRUE(capture.Messages().empty()) << "a failing step reports its own reason";

    TestChip waiting;
    waiting.failStep = "WaitBootRun";
    EXPECT_EQ(BootDownload(&waiting, nullptr, 0, 0, nullptr, nullptr), 0);
    EXPECT_EQ(capture.Messages(), std::vector<std::string>{"Failed to wait the boot to run.\n"});
}

TEST_F(DeviceApiTest, EraseAllFlashBringsTheBootCodeUpFirstWhenGivenAFile)
{
    TestChip direct;
    EXPECT_EQ(EraseAllFlash(&direct, nullptr), 1);
    EXPECT_EQ(direct.steps, std::vector<std::string>{"EraseAllFlash"});

    TestChip booted;
    EXPECT_EQ(EraseAllFlash(&booted, "boot.bin"), 1);
    EXPECT_EQ(booted.steps, (std::vector<std::string>{"ShakeHand", "FilePrepare", "InitBoard", "InitDdr",
                                                      "SecurityVerification", "DownloadBootData", "WaitBootRun",
                                                      "EraseAllFlash"}));

    TestChip refusing;
    refusing.failStep = "EraseAllFlash";
    EXPECT_EQ(EraseAllFlash(&refusing, nullptr), 0);
    EXPECT_TRUE(capture.Messages().empty());

    TestChip failing;
    failing.failStep = "DownloadBootData";
    EXPECT_EQ(EraseAllFlash(&failing, "boot.bin"), 0);
    EXPECT_EQ(failing.steps.back(), "DownloadBootData");
    ASSERT_EQ(capture.Printed().size(), 1u);
    EXPECT_EQ(capture.Printed()[0].message, "ssb burn failed!");
    EXPECT_EQ(capture.Printed()[0].handle, failing.GetThisPtr());
}

TEST_F(DeviceApiTest, DriverOperationsPassTheirResultsThrough)
{
    TestChip chip;
    EXPECT_EQ(DownloadAllinoneBin(&chip, "app.fwpkg", 0x100), 1);
    EXPECT_EQ(Reset(&chip), 1);
    chip.failStep = "Reset";
    EXPECT_EQ(Reset(&chip), 0);
    EXPECT_EQ(chip.steps, (std::vector<std::string>{"DownloadAllinoneBin:app.fwpkg", "Reset", "Reset"}));
}

class RecordingSetters : public TestChip {
public:
    void SetCtrlPeriod(int ms) override
    {
        steps.push_back("SetCtrlPeriod " + std::to_string(ms));
    }
    void SetSwitchAfterLoader(bool value) override
    {
        steps.push_back(std::string("SetSwitchAfterLoader ") + (value ? "1" : "0"));
    }
    void SetBeforeReset(bool value) override
    {
        steps.push_back(std::string("SetBeforeReset ") + (value ? "1" : "0"));
    }
    void SetAtResetCommand(const std::string& command) override
    {
        steps.push_back("SetAtResetCommand [" + command + "]");
    }
};

TEST_F(DeviceApiTest, PerDeviceSettersReachTheDriver)
{
    RecordingSetters chip;
    SetCtrlPeriod(&chip, 25);
    SetSwitchAfterLoader(&chip, 7);
    SetBeforeReset(&chip, 0);
    SetAtResetCommand(&chip, "AT+RST");
    SetAtResetCommand(&chip, nullptr);
    EXPECT_EQ(chip.steps, (std::vector<std::string>{"SetCtrlPeriod 25", "SetSwitchAfterLoader 1", "SetBeforeReset 0",
                                                    "SetAtResetCommand [AT+RST]", "SetAtResetCommand []"}));
    SetHandshakeTimeout(&chip, -3);
    SetPerPacketSize(&chip, 0);
    SetIsReset(&chip, 0);
    SetIsReady(&chip, 2);
    EXPECT_EQ(chip.GetHandshakeTimeout(), -3);
    EXPECT_EQ(chip.GetPerPacketSize(), 0);
    EXPECT_FALSE(chip.GetIsReset());
    EXPECT_TRUE(chip.GetIsReady());
    SetDfuTransferSize(&chip, 4096);
    SetDfuTimeout(&chip, 5000);
    EXPECT_TRUE(capture.Messages().empty()) << "a device that is no DFU driver ignores the DFU settings";
}

TEST_F(DeviceApiTest, DeviceWithoutTransportStaysCancelled)
{
    TestChip chip;
    EXPECT_FALSE(chip.CheckIsCancel());
    Cancel(&chip);
    EXPECT_TRUE(chip.CheckIsCancel());
    EXPECT_TRUE(chip.CheckIsCancel());
}

TEST_F(DeviceApiTest, SerialPortListRefusesMissingOrEmptyBuffers)
{
    char buffer[8] = "keep";
    EXPECT_EQ(GetSerialPortList(nullptr, 100), -1);
    EXPECT_EQ(GetSerialPortList(buffer, 0), -1);
    EXPECT_EQ(GetSerialPortList(buffer, -5), -1);
    EXPECT_STREQ(buffer, "keep");
}

TEST_F(DeviceApiTest, SerialPortListHoldsOnlyPortNamesJoinedBySemicolons)
{
    char buffer[4096];
    memset(buffer, 'z', sizeof(buffer));
    EXPECT_EQ(GetSerialPortList(buffer, 4000), 0);
    std::string text(buffer);
    EXPECT_LT(text.size(), 4000u);
    EXPECT_EQ(buffer[4000], 'z') << "nothing is written beyond the given length";
    if (!text.empty()) {
        EXPECT_NE(text.back(), ';');
        text += ';';
        for (size_t start = 0; start < text.size();) {
            size_t end = text.find(';', start);
            std::string name = text.substr(start, end - start);
            EXPECT_TRUE(name.rfind("/dev/ttyS", 0) == 0 || name.rfind("/dev/ttyUSB", 0) == 0) << name;
            start = end + 1;
        }
    }
    char tiny[1] = {'z'};
    EXPECT_EQ(GetSerialPortList(tiny, 1), 0);
    EXPECT_EQ(tiny[0], '\0');
}

TEST_F(DeviceApiTest, PortEntriesAreAppendedOnlyWhenTheyFitAndOnlyOnce)
{
    char buffer[32] = {0};
    BurnChipBase::GetUart(buffer, 12, "/dev/ttyS10");
    EXPECT_STREQ(buffer, "") << "too small for the first entry and its zero byte";
    BurnChipBase::GetUart(buffer, 24, "/dev/ttyS1");
    BurnChipBase::GetUart(buffer, 24, "/dev/ttyS1");
    EXPECT_STREQ(buffer, "/dev/ttyS1;");
    BurnChipBase::GetUart(buffer, 24, "/dev/ttyUSB0");
    EXPECT_STREQ(buffer, "/dev/ttyS1;") << "would leave no room for the zero byte";
    BurnChipBase::GetUart(buffer, 25, "/dev/ttyUSB0");
    EXPECT_STREQ(buffer, "/dev/ttyS1;/dev/ttyUSB0;");
}

TEST_F(DeviceApiTest, SerialNodeWithoutAUartBehindItIsNoPort)
{
    Sim::PtyBench bench;
    Sim::ScratchDir dir;
    const std::string& sysfs = dir.Path();
    ASSERT_EQ(system(("mkdir -p " + sysfs + "/ttyS7 " + sysfs + "/ttyS8/device/driver").c_str()), 0);
    int fd = bench.SlaveFd();
    EXPECT_FALSE(SerialPortProbe::HasUartBehind(fd, "/dev/ttyS7", sysfs)) << "sysfs shows no driver";
    EXPECT_TRUE(SerialPortProbe::HasUartBehind(fd, "/dev/ttyS8", sysfs));
    EXPECT_TRUE(SerialPortProbe::HasUartBehind(fd, "/dev/ttyS9", sysfs)) << "nothing to ask: taken as it is";
    EXPECT_TRUE(SerialPortProbe::HasUartBehind(fd, "/dev/ttyUSB7", sysfs)) << "USB serial nodes exist only with a device";
    EXPECT_TRUE(SerialPortProbe::IsUsable(bench.PortPath()));
    EXPECT_FALSE(SerialPortProbe::IsUsable("/dev/null")) << "not a terminal";
    EXPECT_FALSE(SerialPortProbe::IsUsable("/dev/ttyS-vexil-missing"));
}

TEST_F(DeviceApiTest, UsbDeviceListsFailCleanlyUntilTheyCanEnumerate)
{
    char buffer[16] = "keep";
    EXPECT_EQ(GetHidDeviceList(nullptr, 16, -1, -1), -1);
    EXPECT_EQ(GetUsbDfuDeviceList(buffer, 0, -1, -1), -1);
    EXPECT_STREQ(buffer, "keep");
    EXPECT_EQ(GetHidDeviceList(buffer, 16, -1, -1), -1);
    EXPECT_STREQ(buffer, "");
    strcpy(buffer, "keep");
    // libusb enumerates even without a USB bus: nothing matches here.
    EXPECT_EQ(GetUsbDfuDeviceList(buffer, 16, 0x1234, 0x0001), 0);
    EXPECT_STREQ(buffer, "");
}

TEST_F(DeviceApiTest, DeviceListKeepsWholeLinesThatFitWithTheirZeroByteAndCountsAll)
{
    const std::vector<std::string> lines = {"12345\n", "abcd\n", "x\n"};
    char buffer[32];
    memset(buffer, 'z', sizeof(buffer));
    EXPECT_EQ(DeviceListText::Fill(buffer, 12, lines), 3);
    EXPECT_STREQ(buffer, "12345\nabcd\n");
    memset(buffer, 'z', sizeof(buffer));
    EXPECT_EQ(DeviceListText::Fill(buffer, 11, lines), 3);
    EXPECT_STREQ(buffer, "12345\n") << "a line that would end exactly at the length is left out, and so is all after it";
    EXPECT_EQ(buffer[11], 'z');
    EXPECT_EQ(DeviceListText::Fill(buffer, 1, lines), 3);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(DeviceListText::Fill(buffer, 32, {"a\n", "", "b\n"}), 3);
    EXPECT_STREQ(buffer, "a\n") << "an empty line ends the text";
    EXPECT_EQ(DeviceListText::Fill(buffer, 32, {}), 0);
    EXPECT_STREQ(buffer, "");
}

TEST_F(DeviceApiTest, DeviceLineIsCutTo510Characters)
{
    std::string name(600, 'n');
    std::string line = DeviceListText::FormatLine("Name:%s,PID:0x%x\n", name.c_str(), 0x1234);
    EXPECT_EQ(line.size(), 510u);
    EXPECT_EQ(line, "Name:" + std::string(505, 'n'));
    EXPECT_EQ(DeviceListText::FormatLine("[%04x:%04x]\n", 0x1a, 0x2b), "[001a:002b]\n");
}

}  // namespace
