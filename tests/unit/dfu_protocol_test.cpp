#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "DfuProtocol.h"
#include "FwpkgBuilder.h"
#include "PrintCapture.h"
#include "ScratchDir.h"
#include "TestSupport.h"
#include "VirtualDfuPort.h"

using namespace Sim;

namespace {

// A protocol talking to a virtual device in the same process, with a chip for cancel and progress.
struct Bench {
    explicit Bench(DfuDescription description = {}, DfuFaults faults = {})
        : device(description, faults), port(device), protocol(&chip, &port)
    {
        EXPECT_TRUE(port.Open(-1, -1, "", {}));
    }

    bool Download(const std::vector<uint8_t>& data)
    {
        std::vector<uint8_t> copy = data;
        return protocol.DownloadData(copy.data(), copy.size(), 0, 0);
    }

    PrintCapture capture;
    VirtualDfuDevice device;
    VirtualDfuPort port;
    TestChip chip;
    Dfu::DfuProtocol protocol;
};

// Busy after every block, asking for the longest poll time-out there is.
DfuFaults BusyForever()
{
    DfuFaults faults;
    faults.staysBusy = true;
    faults.pollTimeoutMs = 0xFFFFFF;
    return faults;
}

// Busy for `polls` status reads after every block, asking each time for pollTimeoutMs.
DfuFaults Busy(int polls, uint32_t pollTimeoutMs)
{
    DfuFaults faults;
    faults.busyPolls = polls;
    faults.pollTimeoutMs = pollTimeoutMs;
    return faults;
}

// Time passes in the host between reading its clock and sending the request it timed.
constexpr long long HOST_WORK_US = 150;

DfuDescription WithTransferSize(uint16_t size)
{
    DfuDescription description;
    description.transferSize = size;
    return description;
}

struct IdleCase : NamedRow {
    DfuState startState;
    bool stuckInError;
    uint8_t cleanupRequest;
    size_t cleanups;
    const char* line;
    bool downloads;
    size_t statusReads;  // before the download, or in all when it does not start
    int busyPolls = 2;
    uint32_t pollTimeoutMs = 5;
};

// A device left busy by another host is asked again only once its poll time-out has passed: a
// request before that stalls and fails the test.
class IdleStateTest : public ::testing::TestWithParam<IdleCase> {};

TEST_P(IdleStateTest, BringsTheDeviceToIdleOrGivesUp)
{
    const IdleCase& c = GetParam();
    DfuFaults faults = Busy(c.busyPolls, c.pollTimeoutMs);
    faults.startState = c.startState;
    faults.stuckInError = c.stuckInError;
    Bench bench({}, faults);
    VirtualDfuClock clock(bench.device, HOST_WORK_US);
    std::vector<uint8_t> image = PatternBytes(100, 1);
    EXPECT_EQ(c.downloads, bench.Download(image));
    EXPECT_EQ(c.cleanups, bench.device.RequestsOf(c.cleanupRequest).size());
    EXPECT_EQ(1u, bench.capture.Count(c.line)) << bench.capture.Text();
    EXPECT_EQ(0u, bench.device.EarlyPolls());
    const std::vector<DfuRequestRecord>& requests = bench.device.Requests();
    auto firstDnload = std::find_if(requests.begin(), requests.end(),
                                    [](const DfuRequestRecord& r) { return r.request == DfuRequest::DNLOAD; });
    auto isStatus = [](const DfuRequestRecord& r) { return r.request == DfuRequest::GETSTATUS; };
    EXPECT_EQ(c.statusReads, static_cast<size_t>(std::count_if(requests.begin(), firstDnload, isStatus)));
    if (c.downloads) {
        EXPECT_EQ(image, bench.device.Manifested());
        EXPECT_EQ(0, bench.device.DnloadBlocks().front());
    } else {
        EXPECT_TRUE(bench.device.RequestsOf(DfuRequest::DNLOAD).empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Dfu, IdleStateTest,
    ::testing::Values(
        IdleCase{"LeftInDownload", DfuState::DNLOAD_IDLE, false, DfuRequest::ABORT, 1,
                 "Aborting previous incomplete transfer.\n", true, 2},
        IdleCase{"LeftInUpload", DfuState::UPLOAD_IDLE, false, DfuRequest::ABORT, 1,
                 "Aborting previous incomplete transfer.\n", true, 2},
        IdleCase{"LeftInError", DfuState::ERROR, false, DfuRequest::CLRSTATUS, 1, "Clearing DFU error status.\n",
                 true, 2},
        IdleCase{"StuckInError", DfuState::ERROR, true, DfuRequest::CLRSTATUS, 4,
                 "error: Could not bring the device to the dfuIDLE state.\n", false, 4},
        // Busy twice with the block an interrupted host sent, then waiting for the rest of it.
        IdleCase{"LeftBusy", DfuState::DNLOAD_SYNC, false, DfuRequest::ABORT, 1,
                 "Aborting previous incomplete transfer.\n", true, 4},
        IdleCase{"LeftBusyForAHundredPolls", DfuState::DNLOAD_SYNC, false, DfuRequest::ABORT, 1,
                 "Aborting previous incomplete transfer.\n", true, 102, 100, 1},
        IdleCase{"LeftBusyLongerThanTheLimit", DfuState::DNLOAD_SYNC, false, DfuRequest::ABORT, 0,
                 "error: The device asks for 16777215 ms before its next status read, beyond the 119999 ms left of "
                 "the wait.\n", false, 1, 2, 0xFFFFFF},
        // Takes nothing but a USB reset.
        IdleCase{"LeftWaitingForAReset", DfuState::MANIFEST_WAIT_RESET, false, DfuRequest::ABORT, 1,
                 "error: DFU_ABORT failed.\n", false, 1}),
    ::testing::PrintToStringParamName());

struct SizeCase {
    uint16_t deviceSize;
    int requested;
    uint16_t block;
    size_t deviceNotes;
    size_t linuxNotes;
};

void PrintTo(const SizeCase& row, std::ostream* out)
{
    *out << "device" << row.deviceSize << "asked" << row.requested;
}

class TransferSizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(TransferSizeTest, BlocksHaveTheEffectiveSizeAndTheNoteComesOnce)
{
    const SizeCase& c = GetParam();
    Bench bench(WithTransferSize(c.deviceSize));
    bench.protocol.SetTransferSize(c.requested);
    size_t length = c.block * 2 + c.block / 2;
    ASSERT_TRUE(bench.Download(PatternBytes(length, 1)));
    EXPECT_EQ((std::vector<uint16_t>{c.block, c.block, static_cast<uint16_t>(c.block / 2), 0}),
              bench.device.DnloadLengths());
    EXPECT_EQ(c.deviceNotes, bench.capture.Count("Note: device dictates the transfer size, ignoring --transfer-size.\n"));
    size_t linuxNotes = 0;
    for (const std::string& message : bench.capture.Messages()) {
        linuxNotes += message.find("Linux allows") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(c.linuxNotes, linuxNotes);
}

INSTANTIATE_TEST_SUITE_P(Dfu, TransferSizeTest,
                         ::testing::Values(SizeCase{1024, 4096, 1024, 1, 0}, SizeCase{1024, 1024, 1024, 0, 0},
                                           SizeCase{1024, 0, 1024, 0, 0}, SizeCase{0, 2048, 2048, 0, 0},
                                           SizeCase{0, 0, 4096, 0, 0}, SizeCase{0, 8192, 4096, 0, 1},
                                           SizeCase{8192, 0, 4096, 0, 1}));

TEST(DfuProtocol, ImageOfOneTransferSizeEndsWithAnEmptyBlockAfterTheDataOrTheCommandFrame)
{
    Bench plain(WithTransferSize(64));
    ASSERT_TRUE(plain.Download(PatternBytes(64, 1)));
    EXPECT_EQ((std::vector<uint16_t>{0, 1}), plain.device.DnloadBlocks());
    EXPECT_EQ((std::vector<uint16_t>{64, 0}), plain.device.DnloadLengths());

    Bench framed(WithTransferSize(64));
    std::vector<uint8_t> frame = PatternBytes(24, 1);
    std::vector<uint8_t> image = PatternBytes(64, 1);
    ASSERT_TRUE(framed.protocol.EnsureIdleState());
    ASSERT_TRUE(framed.protocol.SendCommandFrame(frame.data(), frame.size(), false));
    ASSERT_TRUE(framed.protocol.DownloadImageData(image.data(), image.size()));
    EXPECT_EQ((std::vector<uint16_t>{0, 1, 2}), framed.device.DnloadBlocks());
    std::vector<uint8_t> padded = frame;
    padded.resize(64, 0);
    EXPECT_EQ(padded, framed.device.RequestsOf(DfuRequest::DNLOAD).front().data);

    Bench small(WithTransferSize(16));
    EXPECT_FALSE(small.protocol.SendCommandFrame(frame.data(), frame.size(), false));
    EXPECT_EQ(1u, small.capture.Count("error: Invalid command frame.\n"));
    EXPECT_TRUE(small.device.RequestsOf(DfuRequest::DNLOAD).empty());
}

// The status is asked for again exactly when the poll time-out the device gave has passed, never
// sooner, even by a fraction of a millisecond.
TEST(DfuProtocol, BusyDeviceIsPolledWhenItsPollTimeOutHasPassed)
{
    for (uint32_t pollTimeout : {0u, 1u, 20u}) {
        Bench bench(WithTransferSize(64), Busy(5, pollTimeout));
        VirtualDfuClock clock(bench.device, HOST_WORK_US);
        ASSERT_TRUE(bench.Download(PatternBytes(640, 1))) << pollTimeout << bench.capture.Text();
        EXPECT_EQ(0u, bench.device.EarlyPolls()) << pollTimeout;
        uint64_t wantedUs = std::max<uint32_t>(pollTimeout, 1) * 1000;
        size_t busyGaps = 0;
        bool programming = false;  // between a data block and the final empty one
        const DfuRequestRecord* previous = nullptr;
        for (const DfuRequestRecord& record : bench.device.Requests()) {
            if (record.request == DfuRequest::DNLOAD) {
                programming = record.length > 0;
            } else if (programming && previous->request == DfuRequest::GETSTATUS) {
                uint64_t gap = record.timeUs - previous->timeUs;
                EXPECT_GE(gap, wantedUs);
                EXPECT_LT(gap, wantedUs + 1000) << "polled late";
                ++busyGaps;
            }
            previous = &record;
        }
        EXPECT_EQ(busyGaps, 50u);
    }
}

TEST(DfuProtocol, DeviceBusyForeverIsGivenUpAtTheLimitWhateverItsPollTimeOut)
{
    Bench bench({}, BusyForever());
    Dfu::DfuProtocol::TimeLimits limits;
    limits.busyMs = 300;
    bench.protocol.SetTimeLimits(limits);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(bench.Download(PatternBytes(10, 1)));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(1500));
    EXPECT_EQ(1u, bench.capture.Count("error: Device stayed busy for too long during the download.\n"));
}

TEST(DfuProtocol, CancelDuringALongBusyWaitIsSeenWithin100Ms)
{
    Bench bench({}, BusyForever());
    std::thread canceller([&bench] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        bench.chip.SetIsCancel();
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(bench.Download(PatternBytes(10, 1)));
    auto took = std::chrono::steady_clock::now() - start;
    canceller.join();
    EXPECT_LT(took, std::chrono::milliseconds(400));
    EXPECT_EQ(0u, bench.capture.Count("error: Device stayed busy for too long during the download.\n"));
    // Hours of poll time-out are not waited out at the end: the next operation's start does that.
    EXPECT_EQ(DfuRequest::GETSTATUS, bench.device.Requests().back().request);
}

struct EndCase : NamedRow {
    DfuFaults faults;
    uint8_t attributes;
    bool succeeds;
    const char* line;
    DfuState endState;
    int enumerations;  // a manifest that waits for a reset ends with the device showing itself anew
};

constexpr uint8_t TOLERANT = DfuAttribute::CAN_DNLOAD | DfuAttribute::CAN_UPLOAD | DfuAttribute::MANIFESTATION_TOLERANT;
constexpr uint8_t NOT_TOLERANT = DfuAttribute::CAN_DNLOAD | DfuAttribute::CAN_UPLOAD;

class DownloadEndTest : public ::testing::TestWithParam<EndCase> {};

TEST_P(DownloadEndTest, EndsAsTheDeviceDecides)
{
    const EndCase& c = GetParam();
    DfuDescription description = WithTransferSize(64);
    description.attributes = c.attributes;
    Bench bench(description, c.faults);
    std::vector<uint8_t> image = PatternBytes(200, 1);
    EXPECT_EQ(c.succeeds, bench.Download(image));
    if (c.line != nullptr) {
        EXPECT_EQ(1u, bench.capture.Count(c.line)) << bench.capture.Text();
    }
    EXPECT_EQ(c.endState, bench.device.State());
    EXPECT_EQ(c.enumerations, bench.device.Enumerations());
    if (c.succeeds) {
        EXPECT_EQ(image, bench.device.Manifested());
    } else {
        EXPECT_EQ(0u, bench.device.Manifests());
        EXPECT_EQ(0u, bench.capture.Count("Download completed.\n"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Dfu, DownloadEndTest,
    ::testing::Values(
        EndCase{"ToleratedManifest", {}, TOLERANT, true, nullptr, DfuState::IDLE, 0},
        EndCase{"LeavesDuringManifest", LeavesDuringManifest(), TOLERANT, true,
                "Device went away during the manifest phase (likely rebooting).\n", DfuState::MANIFEST_SYNC, 0},
        EndCase{"ManifestWaitsForReset", {}, NOT_TOLERANT, true,
                "Resetting USB to let the device manifest the new firmware.\n", DfuState::IDLE, 1},
        EndCase{"ManifestEndsInItsApplication", ManifestEndsIn(DfuState::APP_IDLE), TOLERANT, true, nullptr,
                DfuState::APP_IDLE, 0},
        // A failed download leaves the device idle for the next host: its error cleared, its transfer aborted.
        EndCase{"ErrorStatusMidDownload", ErrorAtBlock(1), TOLERANT, false,
                "error: Device reported DFU failure: errWRITE.\n", DfuState::IDLE, 0},
        EndCase{"StallMidDownload", StallAtBlock(2), TOLERANT, false,
                "error: DFU_DNLOAD transfer failed (device unplugged?).\n", DfuState::IDLE, 0},
        EndCase{"ManifestEndsInErrorWithoutAStatus", ManifestEndsIn(DfuState::ERROR), TOLERANT, false,
                "error: The device ended the manifest phase in dfuERROR.\n", DfuState::IDLE, 0},
        EndCase{"ManifestEndsInErrorWithAStatus", ManifestEndsIn(DfuState::ERROR, DfuStatusCode::ERR_WRITE), TOLERANT,
                false, "error: Manifest failed: errWRITE.\n", DfuState::IDLE, 0},
        EndCase{"ManifestEndsInDownloadIdle", ManifestEndsIn(DfuState::DNLOAD_IDLE), TOLERANT, false,
                "error: The device ended the manifest phase in dfuDNLOAD-IDLE.\n", DfuState::IDLE, 0},
        EndCase{"ManifestEndsBusy", ManifestEndsIn(DfuState::DNBUSY), TOLERANT, false,
                "error: The device ended the manifest phase in dfuDNBUSY.\n", DfuState::IDLE, 0},
        // Still on the bus after it stalled a status read: not taken for a device off to its new firmware.
        EndCase{"StallsAManifestStatusRead", StallsManifestStatus(), TOLERANT, false,
                "error: Manifest failed: errSTALLEDPKT.\n", DfuState::IDLE, 0}),
    ::testing::PrintToStringParamName());

TEST(DfuProtocol, DeviceLeavingWhileProgrammingEndsTheDownloadAtOnce)
{
    DfuFaults faults;
    faults.leavesAtBlock = 1;
    Bench bench(WithTransferSize(64), faults);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(bench.Download(PatternBytes(300, 1)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    EXPECT_EQ(1u, bench.capture.Count(
                      "error: Lost contact with the device while it was programming (last GETSTATUS=-4).\n"));
}

struct CancelCase : NamedRow {
    bool upload;
    uint8_t cancelAfter;  // the request after whose answer the cancel comes
    size_t count;         // its number, from 1; the first status read is the idle check
    std::vector<uint16_t> blocks;
    const char* line;     // nullptr: the cancel is not reported
    int busyPolls = 2;    // after each block
};

class CancelledTransferTest : public ::testing::TestWithParam<CancelCase> {};

// A cancel during a transfer stops it before the next block and leaves the device idle for the next
// host: its poll time-out waited out in full, whatever the cancel says, then the transfer aborted,
// without a word.
TEST_P(CancelledTransferTest, WaitsOutTheDeviceAndAbortsBeforeItEnds)
{
    const CancelCase& c = GetParam();
    Bench bench(WithTransferSize(64), Busy(c.busyPolls, 20));
    VirtualDfuClock clock(bench.device, HOST_WORK_US);
    bench.device.Preload(0, PatternBytes(300, 1));
    size_t seen = 0;
    bench.port.AfterRequest([&](const DfuRequestRecord& record) {
        seen += record.request == c.cancelAfter ? 1 : 0;
        if (seen == c.count) {
            bench.chip.SetIsCancel();
        }
    });
    ScratchDir dir;
    std::string path = dir / "read.bin";
    EXPECT_FALSE(c.upload ? bench.protocol.UploadFile(path.c_str(), 0, 0) : bench.Download(PatternBytes(300, 1)));
    EXPECT_EQ(c.blocks, bench.device.DnloadBlocks());
    if (c.line != nullptr) {
        EXPECT_EQ(1u, bench.capture.Count(c.line));
    }
    EXPECT_EQ(0u, bench.device.EarlyPolls());
    EXPECT_EQ(1u, bench.device.RequestsOf(DfuRequest::ABORT).size()) << bench.capture.Text();
    EXPECT_EQ(DfuState::IDLE, bench.device.State());
    EXPECT_EQ(0u, bench.capture.Count("Aborting previous incomplete transfer.\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Dfu, CancelledTransferTest,
    ::testing::Values(
        // Three status reads a block: the seventh finds the second block written.
        CancelCase{"BetweenBlocks", false, DfuRequest::GETSTATUS, 7, {0, 1}, "Download cancelled.\n"},
        CancelCase{"WhileTheDeviceIsBusy", false, DfuRequest::GETSTATUS, 2, {0}, nullptr},
        CancelCase{"WhileTheDeviceIsBusyForASecondMore", false, DfuRequest::GETSTATUS, 2, {0}, nullptr, 50},
        CancelCase{"MidUpload", true, DfuRequest::UPLOAD, 2, {}, nullptr}),
    ::testing::PrintToStringParamName());

struct UploadCase {
    size_t stored;
    int length;
    size_t expected;
    size_t progressReports;
    const char* failure;  // nullptr when the upload succeeds
};

void PrintTo(const UploadCase& row, std::ostream* out)
{
    *out << "stored" << row.stored << "asked" << row.length;
}

class UploadTest : public ::testing::TestWithParam<UploadCase> {};

TEST_P(UploadTest, ReadsUntilAShortBlockOrTheLengthAsked)
{
    const UploadCase& c = GetParam();
    Bench bench(WithTransferSize(64));
    std::vector<uint8_t> flash = PatternBytes(c.stored, 1);
    bench.device.Preload(0, flash);
    ScratchDir dir;
    std::string path = dir / "read.bin";
    EXPECT_EQ(c.failure == nullptr, bench.protocol.UploadFile(path.c_str(), c.length, 0));
    if (c.failure != nullptr) {
        EXPECT_EQ(1u, bench.capture.Count(c.failure)) << bench.capture.Text();
    }
    std::vector<uint8_t> read = ReadBinaryFile(path);
    EXPECT_EQ(std::vector<uint8_t>(flash.begin(), flash.begin() + static_cast<long>(c.expected)), read);
    EXPECT_EQ(c.progressReports, bench.capture.Progress().size());
    std::vector<DfuRequestRecord> uploads = bench.device.RequestsOf(DfuRequest::UPLOAD);
    for (size_t i = 0; i < uploads.size(); ++i) {
        EXPECT_EQ(i, uploads[i].value);
    }
}

INSTANTIATE_TEST_SUITE_P(Dfu, UploadTest,
                         ::testing::Values(UploadCase{160, 0, 160, 0, nullptr}, UploadCase{128, 0, 128, 0, nullptr},
                                           UploadCase{160, 100, 100, 2, nullptr},
                                           UploadCase{160, 161, 160, 3,
                                                      "Read 160 of 161 bytes: the device ended the upload early.\n"},
                                           UploadCase{128, 200, 128, 3,
                                                      "Read 128 of 200 bytes: the device ended the upload early.\n"},
                                           UploadCase{0, 0, 0, 0, "error: Device returned no data.\n"}));

}  // namespace
