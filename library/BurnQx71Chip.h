#ifndef VEXIL_LIBRARY_BURNQX71CHIP_H
#define VEXIL_LIBRARY_BURNQX71CHIP_H

#include <functional>
#include <string>
#include <vector>

#include "BurnChipBase.h"
#include "Common.h"
#include "YmodemProtocol.h"

namespace BurnQx71ChipSp {

// The driver of a Qx71-family boot ROM: little-endian command frames with the magic 0xDEADBEEF,
// each answered by a 12-byte ack frame, and file data in the YMODEM variant.
class BurnQx71Chip : public BurnChipBase {
public:
    // How long each wait may last, in milliseconds.
    struct TimeLimits {
        int handshakeMs = 60000;
        int imageAckMs = 60000;       // the chip's ack after it has written an image
        int commandTryMs = 30000;     // one sending of a command frame
        int commandOverallMs = 60000;
        int longCommandMs = 180000;   // a slow chip's flash image command: one try
        int baudSwitchAckMs = 5000;
        YmodemProtocolSp::YmodemProtocol::TimeLimits ymodem;
    };

    BurnQx71Chip() = default;
    ~BurnQx71Chip() override;

    bool EraseAllFlash() override;
    // Burns every image of the firmware package at file; address is not used.
    bool DownloadAllinoneBin(const char* file, unsigned long address) override;
    // The loader must be running: it answers the upload command.
    bool UploadFile(unsigned long address, int length, const char* outFile) override;
    void SetCtrlPeriod(int ms) override;
    void SetSwitchAfterLoader(bool isSwitch) override;
    void SetBeforeReset(bool isReset) override;
    void SetAtResetCommand(const std::string& command) override;
    void SetOnlyBurnNames(const std::vector<std::string>& names) override;
    std::vector<std::string> GetOnlyBurnNames() const override;
    // Sends the frame until an ack frame answers it; a negative ack ends it at once.
    virtual bool SendCommandWithAck(const unsigned char* frame, int length, int perTryMs, int overallMs);
    virtual bool SendFlashImageCmdFrame(unsigned long address, unsigned long length, unsigned long eraseSize,
                                        int type);
    // The unit the flash image command rounds its erase size up to.
    virtual unsigned long FlashEraseUnit() const;

    void SetTimeLimits(const TimeLimits& limits);
    const TimeLimits& GetTimeLimits() const;

    // Looks for the first valid ack frame in data: 1 positive (consumed = the bytes up to its end),
    // -1 negative, 0 none.
    int CheckAckFrame(const unsigned char* data, int length, bool report, int* consumed) const;

protected:
    // FULL: the buffer filled without an ack; ENDED: the wait was cancelled or the device has gone.
    enum class AckResult { POSITIVE, NEGATIVE, NONE, FULL, ENDED };
    static constexpr int ACK_BUFFER_LEN = 4096;
    // Received bytes kept between the tries of one command.
    struct AckBuffer {
        unsigned char bytes[ACK_BUFFER_LEN] = {0};
        int count = 0;
    };

    // The flash image frame with its erase size rounded up to FlashEraseUnit.
    bool SendFlashImageFrame(unsigned long address, unsigned long length, unsigned long eraseSize, int type,
                             int perTryMs, int overallMs);
    bool SendNvOrKvCmdFrame(const Common::FileHead& image);
    bool SendFactoryCmdFrame(const Common::FileHead& image);
    bool SendOtpOrEfuseCmdFrame(const Common::FileHead& image);
    bool SendVersionCmdFrame(const Common::FileHead& image);
    bool SendCommandFrame(const Common::FileHead& image);
    bool SendShakeHandFrame();
    bool SendUploadDataFrame(unsigned long address, unsigned long length);
    AckResult ReceiveAckAndCheck(AckBuffer& buffer, int waitMs, bool report, bool textBeforeAck = false);
    // One look at the bytes that have arrived.
    AckResult TakeAck(AckBuffer& buffer, bool report);

private:
    bool BurnImage(YmodemProtocolSp::YmodemProtocol& ymodem, const unsigned char* package,
                   const Common::FileHead& image);
    enum class ImageAck { CONFIRMED, MISSING, FAILED };
    ImageAck WaitForImageAck(const std::string& name);
    bool AllImagesConfirmed();
    static void KeepAckTail(AckBuffer& buffer);
    static AckResult Settle(WaitTime::Outcome outcome, AckResult last);
    bool SwitchBaudRateAfterLoader();
    bool SendCommand(const std::vector<unsigned char>& frame);
    WaitTime::Outcome SendUntilAck(const unsigned char* frame, unsigned long length, int tryMs, long long overallMs,
                                   int sliceMs, bool refusalEnds, const std::function<void()>& afterSend);

    int m_ctrlPeriod = 10;
    bool m_isSwitchAfterLoader = false;
    bool m_isBeforeReset = false;
    std::string m_atResetCommand;
    std::vector<std::string> m_onlyBurnNames;
    TimeLimits m_limits;
    std::vector<std::string> m_unconfirmed;  // images of this burn whose ack never came
};

}  // namespace BurnQx71ChipSp

#endif
