#ifndef VEXIL_LIBRARY_DFUPROTOCOL_H
#define VEXIL_LIBRARY_DFUPROTOCOL_H

#include <cstdint>
#include <functional>

#include "DfuPortBase.h"
#include "TransportProtocolBase.h"

namespace Dfu {

constexpr int DEFAULT_TRANSFER_SIZE = 4096;
// Linux's usbfs takes at most this many data bytes in one control transfer.
constexpr int LINUX_MAX_CONTROL_DATA = 4096;

// A GETSTATUS reply; preset so that a failed read leaves errUNKNOWN in dfuERROR.
struct DfuStatus {
    uint8_t status = 14;
    uint32_t pollTimeout = 0;
    uint8_t state = 10;
    uint8_t stringIndex = 0;
};

const char* DfuStateToString(int state);
const char* DfuStatusToString(int status);

// The download and upload side of DFU 1.1 on a device in DFU mode.
class DfuProtocol : public TransportProtocolBase {
public:
    // How long the waits may last, in milliseconds.
    struct TimeLimits {
        long long busyMs = 120000;        // one busy or manifest wait (also of a device found busy), whatever
                                          // poll time-outs the device asks for
        int lostContactRetryMs = 200;     // between status reads that got no answer
        int manifestPolls = 100;
        long long settleMs = 2000;        // after a transfer broke off: the most a device's time is waited out
    };

    DfuProtocol(BurnChipBase* chip, DfuPortBase* port);

    void SetTransferSize(int size);
    void SetTimeout(int ms);
    void SetTimeLimits(const TimeLimits& limits);

    bool DownloadData(unsigned char* data, unsigned long length, unsigned long address, unsigned long size) override;
    bool UploadFile(const char* path, int length, unsigned long address) override;
    bool EraseFlash(unsigned long address, unsigned long length) override;

    bool DownloadImageData(const unsigned char* data, unsigned long length);
    bool SendCommandFrame(const unsigned char* frame, unsigned long length, bool noWait);
    bool EnsureIdleState();

private:
    // What one status read of a wait decides: the wait is over, or the status is read again once the
    // device's last poll time-out has passed once more, or, after a read that got no answer, once both
    // that and the retry pause have.
    enum class Next { DONE, FAILED, AT_DEVICE_PACE, AFTER_RETRY_PAUSE };

    bool ReturnToIdle(bool atStart);
    bool ReadSettledStatus(DfuStatus& status, bool atStart);
    long long MsUntilReady() const;
    WaitTime::Outcome PollStatus(DfuStatus& status, long long limitMs, int statusTimeoutMs, bool cancellable,
                                 const std::function<Next(int)>& judge);
    void AbortBrokenTransfer();
    bool ManifestEndedWell(uint8_t state);
    bool SendImage(const unsigned char* data, unsigned long length);
    bool SendBlocks(const unsigned char* data, unsigned long length, int transferSize);
    bool WaitWhileBusy(DfuStatus& status, int statusTimeoutMs);
    bool Manifest();
    int GetStatus(DfuStatus& status, int timeoutMs);
    int ClearStatus();
    int Abort();
    int GetEffectiveTransferSize();
    bool IsCancelled();
    void ReportProgress(unsigned long done, unsigned long total);
    void PrintState(const DfuStatus& status);
    bool UploadBlocks(FILE* file, int length, int transferSize, unsigned long& received);

    DfuPortBase* m_port;
    uint16_t m_blockNumber = 0;
    int m_timeout = 5000;
    int m_transferSize = 0;
    TimeLimits m_limits;
    long long m_readyAtUs = 0;  // the device's last poll time-out ends here, on the clock of Common::GetTimeUs
};

}  // namespace Dfu

#endif
