// The libusb device in-process, where no USB bus is needed; its roads over a bus run under umockdev.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "PrintCapture.h"
#include "TestSupport.h"
#include "UsbDfuDevice.h"

namespace {

struct FunctionalCase : Sim::NamedRow {
    std::vector<unsigned char> bytes;
    bool found;
    uint8_t attributes;
    uint16_t detachTimeout;
    uint16_t transferSize;
    uint16_t bcdDfu;
};

class FunctionalDescriptorTest : public testing::TestWithParam<FunctionalCase> {};

TEST_P(FunctionalDescriptorTest, TakesTheFirstWholeDfuDescriptor)
{
    const FunctionalCase& c = GetParam();
    Dfu::DfuDeviceInfo info;
    EXPECT_EQ(c.found, Dfu::UsbDfuDevice::ParseFunctionalDescriptor(c.bytes.data(), static_cast<int>(c.bytes.size()),
                                                                      info));
    EXPECT_EQ(c.attributes, info.attributes);
    EXPECT_EQ(c.detachTimeout, info.detachTimeout);
    EXPECT_EQ(c.transferSize, info.transferSize);
    EXPECT_EQ(c.bcdDfu, info.bcdDfu);
}

INSTANTIATE_TEST_SUITE_P(
    Dfu, FunctionalDescriptorTest,
    testing::Values(
        FunctionalCase{"Full", {9, 0x21, 0x0B, 0xFF, 0x00, 0x00, 0x04, 0x1A, 0x01}, true, 0x0B, 255, 1024, 0x011A},
        FunctionalCase{"Seven", {7, 0x21, 0x03, 0x10, 0x27, 0x40, 0x00}, true, 0x03, 10000, 64, 0x0100},
        FunctionalCase{"Eight", {8, 0x21, 0x03, 0x10, 0x27, 0x40, 0x00, 0x99}, true, 0x03, 10000, 64, 0x0100},
        FunctionalCase{"AfterAnother", {3, 0x24, 0x00, 9, 0x21, 0x01, 0x00, 0x00, 0x00, 0x08, 0x10, 0x01}, true,
                       0x01, 0, 2048, 0x0110},
        FunctionalCase{"TooShort", {6, 0x21, 0x03, 0x10, 0x27, 0x40}, false, 0, 1000, 0, 0x0100},
        FunctionalCase{"RunsPastTheEnd", {9, 0x21, 0x0B, 0xFF, 0x00, 0x00, 0x04}, false, 0, 1000, 0, 0x0100},
        FunctionalCase{"ZeroLengthStops", {0, 0x21, 9, 0x21, 0x0B, 0xFF, 0x00, 0x00, 0x04, 0x1A, 0x01}, false, 0,
                       1000, 0, 0x0100},
        FunctionalCase{"Empty", {}, false, 0, 1000, 0, 0x0100}),
    testing::PrintToStringParamName());

TEST(UsbDfuDevice, ClosedDeviceAnswersNoDeviceWithoutTouchingLibusb)
{
    Dfu::UsbDfuDevice device;
    unsigned char status[6] = {0};
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(-4, device.RequestIn(3, 0, status, 6, 100));
    EXPECT_EQ(-4, device.RequestOut(1, 0, status, 6, 100));
    EXPECT_EQ(-4, device.ResetDevice());
}

TEST(UsbDfuDevice, ListWithoutAMatchingInterfaceIsEmptyNotAFailure)
{
    Sim::PrintCapture capture;
    std::vector<Dfu::DfuDeviceInfo> found(1);
    EXPECT_TRUE(Dfu::UsbDfuDevice::ListDevices(found, 0x1209, 0x7d0f));
    EXPECT_TRUE(found.empty());
    EXPECT_TRUE(capture.Messages().empty());
}

TEST(UsbDfuDevice, DeviceLineHasTheListFormat)
{
    Dfu::DfuDeviceInfo info;
    info.vendorId = 0x483;
    info.productId = 0xdf11;
    info.serial = "3A8";
    info.interfaceNumber = 0;
    info.alternateSetting = 1;
    info.dfuMode = true;
    info.name = "@Option Bytes";
    EXPECT_EQ("[0483:df11] serial=\"3A8\" intf=0 alt=1 (DFU mode) name=\"@Option Bytes\"\n", Dfu::DeviceLine(info));
    info.dfuMode = false;
    EXPECT_EQ("[0483:df11] serial=\"3A8\" intf=0 alt=1 (runtime) name=\"@Option Bytes\"\n", Dfu::DeviceLine(info));
}

TEST(UsbDfuDevice, OpenWithNothingOnTheBusGivesUpWithTheReasonsWithinTheWait)
{
    Sim::PrintCapture capture;
    Dfu::UsbDfuDevice device;
    Dfu::UsbDfuDevice::TimeLimits limits;
    limits.openWaitMs = 350;
    limits.dotPeriodMs = 100;
    device.SetTimeLimits(limits);
    EXPECT_FALSE(device.Open(0x1209, 0x7d0f, "", {}));
    // One dot per period waited (a loaded machine may add the one of a late last search), then the reasons.
    std::string text = capture.Text();
    std::string waiting = "Waiting for the USB DFU device. Reset or power-cycle the board now if needed...\n";
    std::string reasons = "\nerror: No DFU device found. It may be caused by the following reasons:\n1. ";
    ASSERT_EQ(0u, text.rfind(waiting, 0)) << text;
    size_t dots = text.find_first_not_of('.', waiting.size()) - waiting.size();
    EXPECT_TRUE(dots == 3 || dots == 4) << text;
    EXPECT_EQ(waiting.size() + dots, text.find(reasons)) << text;
    EXPECT_FALSE(device.IsOpen());
}

TEST(UsbDfuDevice, CancelEndsTheWaitForTheDevice)
{
    Sim::PrintCapture capture;
    Dfu::UsbDfuDevice device;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(device.Open(0x1209, 0x7d0f, "", [] { return true; }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(0u, capture.Count("error: No DFU device found. It may be caused by the following reasons:\n"));
}

}  // namespace
