#include <gtest/gtest.h>

#include "VirtualDfuDevice.h"

using namespace Sim;

namespace {

// status, poll time-out (24 bits), state
struct StatusReply {
    uint8_t status;
    uint32_t pollTimeout;
    DfuState state;
};

StatusReply Status(VirtualDfuDevice& device)
{
    uint8_t reply[6] = {};
    EXPECT_EQ(6, device.ControlIn(DfuRequest::GETSTATUS, 0, 0, reply, 6));
    return {reply[0], static_cast<uint32_t>(reply[1] | reply[2] << 8 | reply[3] << 16), static_cast<DfuState>(reply[4])};
}

TEST(VirtualDfuDevice, DownloadPassesBusyAndManifestAndLandsInFlash)
{
    DfuFaults faults;
    faults.pollTimeoutMs = 0x012345;
    VirtualDfuDevice device({}, faults, 16);
    const uint8_t first[] = {1, 2, 3};
    const uint8_t second[] = {4};
    ASSERT_EQ(3, device.ControlOut(DfuRequest::DNLOAD, 0, 0, first, 3));
    StatusReply busy = Status(device);
    EXPECT_EQ(DfuState::DNBUSY, busy.state);
    EXPECT_EQ(0x012345u, busy.pollTimeout);
    EXPECT_EQ(DfuState::DNLOAD_IDLE, Status(device).state);
    EXPECT_EQ(VirtualDfuDevice::STALL, device.ControlOut(DfuRequest::DNLOAD, 5, 0, second, 1));  // out of order
    EXPECT_EQ(DfuState::ERROR, device.State());
    EXPECT_EQ(DfuStatusCode::ERR_STALLEDPKT, Status(device).status);
    ASSERT_EQ(0, device.ControlOut(DfuRequest::CLRSTATUS, 0, 0, nullptr, 0));

    ASSERT_EQ(3, device.ControlOut(DfuRequest::DNLOAD, 0, 0, first, 3));
    Status(device);
    Status(device);
    ASSERT_EQ(1, device.ControlOut(DfuRequest::DNLOAD, 1, 0, second, 1));
    Status(device);
    Status(device);
    ASSERT_EQ(0, device.ControlOut(DfuRequest::DNLOAD, 2, 0, nullptr, 0));
    EXPECT_EQ(DfuState::MANIFEST, Status(device).state);
    EXPECT_EQ(DfuState::IDLE, Status(device).state);
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 4}), device.Manifested());
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 4, 0xFF}), std::vector<uint8_t>(device.Flash().begin(), device.Flash().begin() + 5));
}

TEST(VirtualDfuDevice, UploadEndsWithAShortBlock)
{
    VirtualDfuDevice device;
    device.Preload(0, {9, 8, 7, 6, 5});
    uint8_t block[4] = {};
    EXPECT_EQ(4, device.ControlIn(DfuRequest::UPLOAD, 0, 0, block, 4));
    EXPECT_EQ(DfuState::UPLOAD_IDLE, device.State());
    EXPECT_EQ(1, device.ControlIn(DfuRequest::UPLOAD, 1, 0, block, 4));
    EXPECT_EQ(5, block[0]);
    EXPECT_EQ(DfuState::IDLE, device.State());
}

TEST(VirtualDfuDevice, PollBeforeThePollTimeOutIsCountedEarly)
{
    DfuFaults faults;
    faults.pollTimeoutMs = 20;
    VirtualDfuDevice device({}, faults);
    uint64_t now = 1000;
    device.SetClock([&now] { return now; });
    const uint8_t data[] = {1};
    device.ControlOut(DfuRequest::DNLOAD, 0, 0, data, 1);
    EXPECT_EQ(DfuState::DNBUSY, Status(device).state);
    now += 19;
    EXPECT_EQ(DfuState::DNBUSY, Status(device).state);
    EXPECT_EQ(1u, device.EarlyPolls());
    now += 1;
    EXPECT_EQ(DfuState::DNLOAD_IDLE, Status(device).state);
}

TEST(VirtualDfuDevice, RuntimeDeviceDetachesIntoDfuModeOnReset)
{
    DfuDescription description;
    description.runtimeMode = true;
    VirtualDfuDevice device(description);
    EXPECT_EQ(description.runtimeProductId, device.Description().productId);
    ASSERT_EQ(0, device.ControlOut(DfuRequest::DETACH, 1000, 0, nullptr, 0));
    EXPECT_FALSE(device.InDfuMode());
    device.UsbReset();
    EXPECT_TRUE(device.InDfuMode());
    EXPECT_EQ(1, device.Enumerations());
    EXPECT_EQ(description.productId, device.Description().productId);
    EXPECT_EQ(DfuState::IDLE, Status(device).state);
}

}  // namespace
