#include "DfuProtocol.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>

#include "BurnChipBase.h"
#include "Common.h"

namespace Dfu {

namespace {

constexpr int IDLE_STEPS = 4;
constexpr int COMMAND_STATUS_TIMEOUT_MS = 50000;
constexpr int POLL_SLICE_MS = 100;

enum State : uint8_t {
    APP_IDLE = 0,
    APP_DETACH = 1,
    IDLE = 2,
    DNLOAD_SYNC = 3,
    DNBUSY = 4,
    DNLOAD_IDLE = 5,
    MANIFEST_SYNC = 6,
    MANIFEST = 7,
    MANIFEST_WAIT_RESET = 8,
    UPLOAD_IDLE = 9,
    ERROR = 10,
};

const char* const STATE_NAMES[] = {"appIDLE", "appDETACH", "dfuIDLE", "dfuDNLOAD-SYNC", "dfuDNBUSY",
                                   "dfuDNLOAD-IDLE", "dfuMANIFEST-SYNC", "dfuMANIFEST", "dfuMANIFEST-WAIT-RESET",
                                   "dfuUPLOAD-IDLE", "dfuERROR"};
const char* const STATUS_NAMES[] = {"OK", "errTARGET", "errFILE", "errWRITE", "errERASE", "errCHECK_ERASED",
                                    "errPROG", "errVERIFY", "errADDRESS", "errNOTDONE", "errFIRMWARE",
                                    "errVENDOR", "errUSBR", "errPOR", "errUNKNOWN", "errSTALLEDPKT"};

template <size_t N>
const char* NameOf(const char* const (&names)[N], int number)
{
    return number >= 0 && static_cast<size_t>(number) < N ? names[number] : "unknown";
}

}  // namespace

const char* DfuStateToString(int state)
{
    return NameOf(STATE_NAMES, state);
}

const char* DfuStatusToString(int status)
{
    return NameOf(STATUS_NAMES, status);
}

DfuProtocol::DfuProtocol(BurnChipBase* chip, DfuPortBase* port) : TransportProtocolBase(chip), m_port(port) {}

void DfuProtocol::SetTransferSize(int size)
{
    m_transferSize = size;
}

void DfuProtocol::SetTimeout(int ms)
{
    if (ms > 0) {
        m_timeout = ms;
    }
}

void DfuProtocol::SetTimeLimits(const TimeLimits& limits)
{
    m_limits = limits;
}

bool DfuProtocol::IsCancelled()
{
    return m_chip != nullptr && m_chip->CheckIsCancel();
}

void DfuProtocol::ReportProgress(unsigned long done, unsigned long total)
{
    if (m_chip != nullptr && total != 0) {
        m_chip->SetProgress(static_cast<int>(static_cast<unsigned long long>(done) * 100 / total));
    }
}

void DfuProtocol::PrintState(const DfuStatus& status)
{
    std::string line = Common::FormatInfo("DFU state(%u) = %s, status(%u) = %s\n", status.state,
                                          DfuStateToString(status.state), status.status,
                                          DfuStatusToString(status.status));
    Common::Print("", line.c_str(), 0, "");
}

int DfuProtocol::GetStatus(DfuStatus& status, int timeoutMs)
{
    status = DfuStatus();
    unsigned char reply[DFU_STATUS_LENGTH] = {0};
    int result = m_port->RequestIn(DFU_GETSTATUS, 0, reply, DFU_STATUS_LENGTH, timeoutMs);
    if (result == DFU_STATUS_LENGTH) {
        status.status = reply[0];
        status.pollTimeout = Common::GetLe32(reply + 1) & 0xFFFFFF;  // bwPollTimeout has three bytes
        status.state = reply[4];
        status.stringIndex = reply[5];
        m_readyAtUs = Common::GetTimeUs() + static_cast<long long>(status.pollTimeout) * 1000;
    }
    return result;
}

int DfuProtocol::ClearStatus()
{
    return m_port->RequestOut(DFU_CLRSTATUS, 0, nullptr, 0, m_timeout);
}

int DfuProtocol::Abort()
{
    return m_port->RequestOut(DFU_ABORT, 0, nullptr, 0, m_timeout);
}

int DfuProtocol::GetEffectiveTransferSize()
{
    int size = DEFAULT_TRANSFER_SIZE;
    int fromDevice = m_port->Info().transferSize;
    if (fromDevice != 0) {
        if (m_transferSize >= 1 && m_transferSize != fromDevice) {
            Report("Note: device dictates the transfer size, ignoring --transfer-size.\n");
        }
        size = fromDevice;
    } else if (m_transferSize >= 1) {
        size = m_transferSize;
    }
    // A class request carries a 16-bit length.
    size = std::min(size, 0xFFFF);
#ifdef __linux__
    // usbfs refuses larger control transfers, so every block would fail.
    if (size > LINUX_MAX_CONTROL_DATA) {
        Report(Common::FormatInfo(
            "Note: transfer size %d is above the %d bytes Linux allows in one control transfer, using %d.\n", size,
            LINUX_MAX_CONTROL_DATA, LINUX_MAX_CONTROL_DATA));
        size = LINUX_MAX_CONTROL_DATA;
    }
#endif
    return size;
}

bool DfuProtocol::EnsureIdleState()
{
    return ReturnToIdle(true);
}

// A transfer that broke off, by a failure or a cancel, must not leave the device busy or half-way for
// the next host: once it has finished the block at hand the transfer is aborted, or its error cleared.
// Nothing is reported; a device that has left the bus, or asks for longer than the settle limit, is
// left to the next operation's start.
void DfuProtocol::AbortBrokenTransfer()
{
    (void)ReturnToIdle(false);
}

// At most four aborts or clears, each after the device has finished what it was at: a block or a
// manifest phase an earlier host started is waited out at the device's pace, a transfer left open is
// aborted, an error is cleared. Only the start of an operation reports its steps.
bool DfuProtocol::ReturnToIdle(bool atStart)
{
    auto say = [atStart](const char* text) {
        if (atStart) {
            Report(text);
        }
    };
    for (int step = 1; step <= IDLE_STEPS; ++step) {
        DfuStatus status;
        if (!ReadSettledStatus(status, atStart)) {
            return false;
        }
        switch (status.state) {
            case IDLE:
                m_blockNumber = 0;
                return true;
            case APP_IDLE:
            case APP_DETACH:
                say("error: Device is still in runtime mode and cannot accept a download.\n");
                return false;
            case ERROR:
                say("Clearing DFU error status.\n");
                if (ClearStatus() < 0) {
                    say("error: DFU_CLRSTATUS failed.\n");
                    return false;
                }
                break;
            default:
                say("Aborting previous incomplete transfer.\n");
                if (Abort() < 0) {
                    say("error: DFU_ABORT failed.\n");
                    return false;
                }
                break;
        }
    }
    say("error: Could not bring the device to the dfuIDLE state.\n");
    return false;
}

// The status once the device is no longer at work on a block or a manifest phase, read at its pace
// within the busy limit at the start of an operation (which a cancel ends), or the settle limit after a
// broken transfer (which nothing ends). A device that asks for more time than the limit has left is
// not asked again: a request before its time would stall.
bool DfuProtocol::ReadSettledStatus(DfuStatus& status, bool atStart)
{
    long long limitMs = atStart ? m_limits.busyMs : m_limits.settleMs;
    long long start = Common::GetTime();
    long long askedMs = MsUntilReady();
    long long leftMs = limitMs;  // what the device's request was last weighed against
    bool answered = true;
    bool foundBusy = false;
    auto judge = [&](int result) {
        answered = result == DFU_STATUS_LENGTH;
        if (!answered) {
            return Next::FAILED;
        }
        bool busy = status.state == DNLOAD_SYNC || status.state == DNBUSY || status.state == MANIFEST_SYNC ||
                    status.state == MANIFEST;
        if (!busy || !foundBusy) {
            PrintState(status);  // one line for a run of busy answers
        }
        foundBusy = busy;
        askedMs = std::max<uint32_t>(status.pollTimeout, 1);
        if (!busy) {
            return Next::DONE;
        }
        leftMs = WaitTime::RemainingMs(start, limitMs);
        return askedMs > leftMs ? Next::FAILED : Next::AT_DEVICE_PACE;
    };
    WaitTime::Outcome outcome = askedMs > limitMs ? WaitTime::Outcome::TIMED_OUT
                                                  : PollStatus(status, limitMs, m_timeout, atStart, judge);
    if (outcome == WaitTime::Outcome::DONE || outcome == WaitTime::Outcome::CANCELLED || !atStart) {
        return outcome == WaitTime::Outcome::DONE;
    }
    if (!answered) {
        Report("error: Cannot read the DFU status from the device.\n");
    } else {
        Report(Common::FormatInfo("error: The device asks for %lld ms before its next status read, beyond the "
                                  "%lld ms left of the wait.\n",
                                  askedMs, leftMs));
    }
    return false;
}

// What is left of the poll time-out of the device's last status answer, in whole milliseconds rounded up.
long long DfuProtocol::MsUntilReady() const
{
    return (std::max(0LL, m_readyAtUs - Common::GetTimeUs()) + 999) / 1000;
}

// The one wait on a device at work: each status read comes once the poll time-out the device last gave
// has passed, never sooner, and judge tells from the read's result (the status is in status) whether
// the wait is over or when to read again.
WaitTime::Outcome DfuProtocol::PollStatus(DfuStatus& status, long long limitMs, int statusTimeoutMs, bool cancellable,
                                          const std::function<Next(int)>& judge)
{
    std::function<bool()> cancelled;
    if (cancellable) {
        cancelled = [this] { return IsCancelled(); };
    }
    DfuWatch watch(cancelled);
    watch.DueIn(MsUntilReady());
    uint32_t paceMs = 0;
    return watch.PollWhenDue(limitMs, POLL_SLICE_MS, [&] {
        int result = GetStatus(status, statusTimeoutMs);
        if (result == DFU_STATUS_LENGTH) {
            paceMs = status.pollTimeout;
        }
        switch (judge(result)) {
            case Next::DONE:
                return WaitTime::Step::DONE;
            case Next::FAILED:
                return WaitTime::Step::FAILED;
            case Next::AT_DEVICE_PACE:
                watch.DueIn(std::max<uint32_t>(paceMs, 1));
                return WaitTime::Step::AGAIN;
            case Next::AFTER_RETRY_PAUSE:
                watch.DueIn(std::max<long long>(paceMs, m_limits.lostContactRetryMs));
                return WaitTime::Step::AGAIN;
        }
        return WaitTime::Step::FAILED;
    });
}

bool DfuProtocol::DownloadData(unsigned char* data, unsigned long length, unsigned long address, unsigned long size)
{
    (void)address;  // DFU has no address: the device places the image itself
    (void)size;
    if (data == nullptr || length == 0) {
        Report("error: Nothing to download.\n");
        return false;
    }
    return EnsureIdleState() && DownloadImageData(data, length);
}

bool DfuProtocol::DownloadImageData(const unsigned char* data, unsigned long length)
{
    if (SendImage(data, length)) {
        return true;
    }
    AbortBrokenTransfer();
    return false;
}

bool DfuProtocol::SendImage(const unsigned char* data, unsigned long length)
{
    int transferSize = GetEffectiveTransferSize();
    if (!SendBlocks(data, length, transferSize)) {
        return false;
    }
    if (m_port->RequestOut(DFU_DNLOAD, m_blockNumber, nullptr, 0, m_timeout) < 0) {
        Report("error: Final zero-length DFU_DNLOAD failed.\n");
        return false;
    }
    return Manifest();
}

bool DfuProtocol::SendBlocks(const unsigned char* data, unsigned long length, int transferSize)
{
    unsigned long sent = 0;
    while (sent < length) {
        if (IsCancelled()) {
            Report("Download cancelled.\n");
            return false;
        }
        unsigned short block = static_cast<unsigned short>(std::min<unsigned long>(length - sent, transferSize));
        int result = m_port->RequestOut(DFU_DNLOAD, m_blockNumber, data + sent, block, m_timeout);
        if (result != block) {
            Report("error: DFU_DNLOAD transfer failed (device unplugged?).\n");
            return false;
        }
        ++m_blockNumber;
        DfuStatus status;
        if (!WaitWhileBusy(status, m_timeout)) {
            return false;
        }
        sent += block;
        ReportProgress(sent, length);
    }
    return true;
}

// A device that has left the bus ends the wait at once, one that is silent or busy for too long ends
// it at the limit.
bool DfuProtocol::WaitWhileBusy(DfuStatus& status, int statusTimeoutMs)
{
    int lastResult = 0;
    bool failed = false;
    WaitTime::Outcome outcome = PollStatus(status, m_limits.busyMs, statusTimeoutMs, true, [&](int result) {
        lastResult = result;
        if (result != DFU_STATUS_LENGTH) {
            return result == PORT_NO_DEVICE ? Next::FAILED : Next::AFTER_RETRY_PAUSE;
        }
        if (status.status != 0) {
            PrintState(status);
            Report(Common::FormatInfo("error: Device reported DFU failure: %s.\n",
                                      DfuStatusToString(status.status)));
            failed = true;
            return Next::FAILED;
        }
        return status.state == DNLOAD_SYNC || status.state == DNBUSY ? Next::AT_DEVICE_PACE : Next::DONE;
    });
    if (outcome == WaitTime::Outcome::DONE || outcome == WaitTime::Outcome::CANCELLED || failed) {
        return outcome == WaitTime::Outcome::DONE;
    }
    if (lastResult == DFU_STATUS_LENGTH) {
        PrintState(status);
        Report("error: Device stayed busy for too long during the download.\n");
    } else {
        Report(Common::FormatInfo(
            "error: Lost contact with the device while it was programming (last GETSTATUS=%d).\n",
            lastResult < 0 ? lastResult : -1));
    }
    return false;
}

// A status read that fails may be the device leaving the bus to start its new firmware, or a device
// that stalled one request and is still there: it has left only when the port says so, or when the
// next read, after its poll time-out and the retry pause, fails too. One that answers is judged by its state.
bool DfuProtocol::Manifest()
{
    int polls = 0;
    bool unanswered = false;
    bool endedWell = false;
    DfuStatus status;
    WaitTime::Outcome outcome = PollStatus(status, m_limits.busyMs, m_timeout, true, [&](int result) {
        ++polls;
        if (result != DFU_STATUS_LENGTH) {
            if (result != PORT_NO_DEVICE && !unanswered) {
                unanswered = true;
                return Next::AFTER_RETRY_PAUSE;
            }
            Report("Device went away during the manifest phase (likely rebooting).\n");
            endedWell = true;
            return Next::DONE;
        }
        unanswered = false;
        PrintState(status);
        if (status.status != 0) {
            Report(Common::FormatInfo("error: Manifest failed: %s.\n", DfuStatusToString(status.status)));
            return Next::DONE;
        }
        if (status.state == MANIFEST_SYNC || status.state == MANIFEST) {
            return polls >= m_limits.manifestPolls ? Next::FAILED : Next::AT_DEVICE_PACE;
        }
        endedWell = ManifestEndedWell(status.state);
        return Next::DONE;
    });
    if (outcome == WaitTime::Outcome::FAILED || outcome == WaitTime::Outcome::TIMED_OUT) {
        Report("error: Device did not finish the manifest phase.\n");
    }
    return outcome == WaitTime::Outcome::DONE && endedWell;
}

// Only an idle device, one that asks for a reset, or one back in its application has taken the image;
// dfuERROR even without a status, or a state of an unfinished transfer, has not.
bool DfuProtocol::ManifestEndedWell(uint8_t state)
{
    switch (state) {
        case MANIFEST_WAIT_RESET:
            Report("Resetting USB to let the device manifest the new firmware.\n");
            (void)m_port->ResetDevice();
            return true;
        case IDLE:
        case APP_IDLE:
            return true;
        default:
            Report(Common::FormatInfo("error: The device ended the manifest phase in %s.\n",
                                      DfuStateToString(state)));
            return false;
    }
}

bool DfuProtocol::SendCommandFrame(const unsigned char* frame, unsigned long length, bool noWait)
{
    int transferSize = GetEffectiveTransferSize();
    if (frame == nullptr || length == 0 || length > static_cast<unsigned long>(transferSize)) {
        Report("error: Invalid command frame.\n");
        return false;
    }
    std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[transferSize]());
    if (block == nullptr) {
        Report("error: Out of memory for the command frame.\n");
        return false;
    }
    std::copy(frame, frame + length, block.get());
    m_blockNumber = 0;
    int result = m_port->RequestOut(DFU_DNLOAD, 0, block.get(), static_cast<unsigned short>(transferSize), m_timeout);
    ++m_blockNumber;
    if (noWait) {
        // A reset command: a device that took it may leave before it answers, but one already gone
        // never got it.
        if (result == PORT_NO_DEVICE) {
            Report("The device has disconnected.\n");
            return false;
        }
        return true;
    }
    if (result != transferSize) {
        Report("error: Sending the burn command failed (device unplugged?).\n");
        AbortBrokenTransfer();
        return false;
    }
    DfuStatus status;
    if (!WaitWhileBusy(status, COMMAND_STATUS_TIMEOUT_MS)) {
        AbortBrokenTransfer();
        return false;
    }
    return true;
}

bool DfuProtocol::UploadFile(const char* path, int length, unsigned long address)
{
    (void)address;
    if (path == nullptr || path[0] == '\0') {
        Report("error: Upload file path is null.\n");
        return false;
    }
    if (!EnsureIdleState()) {
        return false;
    }
    FILE* file = Common::OpenOutputFile(path, [this]() { return IsCancelled(); });
    if (file == nullptr) {
        Report("error: Cannot open the output file for writing.\n");
        return false;
    }
    unsigned long received = 0;
    bool complete = UploadBlocks(file, length, GetEffectiveTransferSize(), received);
    // The last buffered blocks are written at the close, so a full disk may show only there.
    bool closed = std::fclose(file) == 0;
    if (!complete) {
        AbortBrokenTransfer();
        return false;
    }
    if (!closed) {
        Report("error: Closing the output file failed.\n");
        return false;
    }
    if (received == 0) {
        Report("error: Device returned no data.\n");
        return false;
    }
    if (length > 0 && received < static_cast<unsigned long>(length)) {
        Report(Common::FormatInfo("Read %lu of %d bytes: the device ended the upload early.\n", received, length));
        return false;
    }
    return true;
}

bool DfuProtocol::UploadBlocks(FILE* file, int length, int transferSize, unsigned long& received)
{
    std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[transferSize]);
    if (block == nullptr) {
        return false;
    }
    while (true) {
        if (IsCancelled()) {
            return false;
        }
        unsigned long want = static_cast<unsigned long>(transferSize);
        if (length > 0) {
            want = std::min<unsigned long>(static_cast<unsigned long>(length) - received, want);
        }
        if (want == 0) {
            return true;
        }
        int result = m_port->RequestIn(DFU_UPLOAD, m_blockNumber, block.get(), static_cast<unsigned short>(want),
                                       m_timeout);
        if (result < 0) {
            Report("error: DFU_UPLOAD transfer failed.\n");
            return false;
        }
        ++m_blockNumber;
        if (result > 0 && fwrite(block.get(), 1, static_cast<size_t>(result), file) != static_cast<size_t>(result)) {
            Report("error: Writing the output file failed.\n");
            return false;
        }
        received += static_cast<unsigned long>(result);
        if (length > 0) {
            ReportProgress(received, static_cast<unsigned long>(length));
        }
        if (static_cast<unsigned long>(result) != want) {
            return true;  // a short block ends the upload
        }
    }
}

bool DfuProtocol::EraseFlash(unsigned long address, unsigned long length)
{
    (void)address;
    (void)length;
    Report("error: erase is not supported over generic USB DFU.\n");
    return false;
}

}  // namespace Dfu
