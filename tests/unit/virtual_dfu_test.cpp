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

// A busy device stalls any request that comes more than 0.2 ms before its poll time-out has passed.
TEST(VirtualDfuDevice, RequestBeforeThePollTimeOutStalls)
{
    struct Case {
        uint8_t request;
        uint64_t afterUs;
        bool stalls;
    };
    for (const Case& c : {Case{DfuRequest::GETSTATUS, 19799, true}, Case{DfuRequest::GETSTATUS, 19800, false},
                          Case{DfuRequest::GETSTATUS, 20000, false}, Case{DfuRequest::ABORT, 19799, true}}) {
        DfuFaults faults;
        faults.pollTimeoutMs = 20;
        VirtualDfuDevice device({}, faults);
        uint64_t now = 1000000;
        device.SetClock([&now] { return now; });
        const uint8_t data[] = {1};
        device.ControlOut(DfuRequest::DNLOAD, 0, 0, data, 1);
        EXPECT_EQ(DfuState::DNBUSY, Status(device).state);
        now += c.afterUs;
        uint8_t reply[6] = {};
        int result = c.request == DfuRequest::GETSTATUS ? device.ControlIn(c.request, 0, 0, reply, 6)
                                                        : device.ControlOut(c.request, 0, 0, nullptr, 0);
        EXPECT_EQ(c.stalls, result == VirtualDfuDevice::STALL) << c.afterUs;
        EXPECT_EQ(c.stalls ? 1u : 0u, device.EarlyPolls()) << c.afterUs;
        EXPECT_EQ(c.stalls ? DfuState::ERROR : DfuState::DNLOAD_IDLE, device.State()) << c.afterUs;
    }
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
