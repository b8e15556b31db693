#ifndef VEXIL_LIBRARY_YMODEMPROTOCOL_H
#define VEXIL_LIBRARY_YMODEMPROTOCOL_H

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "Common.h"
#include "WaitTime.h"

class BurnChipBase;

namespace YmodemProtocolSp {

constexpr unsigned char YMODEM_ACK = 0x06;
constexpr unsigned char YMODEM_EOT = 0x04;
constexpr unsigned char YMODEM_C = 0x43;

// The boot loader's YMODEM variant: CRC-16 frames of 1024 to 8192 data bytes (the larger sizes
// announced by start bytes of their own), the file size in block 0 as "0x" hexadecimal text, and a
// 'C' from the receiver asking for the same frame again. One object serves one burn or one read.
class YmodemProtocol {
public:
    // How long each wait may last, in milliseconds.
    struct TimeLimits {
        int handshakeMs = 10000;  // the receiver's first 'C'
        int ackMs = 10000;        // the ACK of one frame, counted from its first sending
        int receiveMs = 10000;    // one frame or the EOT on the receiving side
        int collectMs = 1000;     // the bytes of one whole frame on the receiving side
    };

    explicit YmodemProtocol(BurnChipBase* chip);

    // A size below 1 is taken as 1024: a frame must carry at least one byte.
    void SetSingleFrameDataSize(int size);
    // The library-wide Ymodem packet size, as set through the device API.
    void UsePacketSize();
    void SetIsCheckSumCrc(bool isCheckSum);
    void SetTimeLimits(const TimeLimits& limits);

    bool DownloadFile(const unsigned char* data, unsigned long length, const std::string& name);
    bool UploadFile(const char* path, unsigned long length);

protected:
    // One step of a transfer and the line that names its failure.
    struct Step {
        std::function<bool()> run;
        const char* failure;
    };
    bool RunSteps(const std::vector<Step>& steps);

    bool YmodemHandshake();
    bool SendYmodemStartFrame(const std::string& name, unsigned long length);
    bool InitYmodemStartFrame(unsigned char* frame, size_t frameLength, const std::string& name,
                              unsigned long length);
    bool SendYmodemDataFrame(const unsigned char* data, unsigned long length);
    bool InitYmodemDataFrame(unsigned char* frame, size_t frameLength, const unsigned char* data, size_t size,
                             unsigned char number);
    bool SendFrameWithYmodemAck(const unsigned char* frame, unsigned long length);
    bool SendYmodemEot();
    bool SendYmodemFinishFrame();

    bool RecvYModelSOHFrame();
    bool RecvDataAndWriteFile(const char* path, unsigned long length);
    bool RecvDataFrame(unsigned char* buffer, size_t frameLength, unsigned int& expected);
    bool RecvYModelEotFrame();

    void Report(const char* text) const;
    BurnChipBase* Chip() const { return m_chip; }

private:
    // One try at a frame on the receiving side: its bytes gathered so far, within collectMs of its start.
    struct FrameTry {
        bool fresh = true;  // the next pass starts a new try
        long long start = 0;
        size_t got = 0;
        void Start(unsigned char* buffer, size_t length)
        {
            std::fill(buffer, buffer + length, 0);
            fresh = false;
            got = 0;
            start = Common::GetTime();
        }
        bool Collect(BurnChipBase& chip, unsigned char* buffer, size_t length);
    };

    bool SendByte(unsigned char byte);
    bool ReceiveFrame(unsigned char* buffer, size_t length, bool askFirst, const std::function<bool()>& accepted,
                      const char* timedOut);
    bool Settle(WaitTime::Outcome outcome, bool sendFailed, const char* sendFailure, const char* timedOut) const;
    bool WriteReceivedData(FILE* file, const unsigned char* data, size_t length, const char* path);
    size_t CheckLength() const;
    void PutCheck(unsigned char* frame, size_t dataLength) const;
    size_t BlockZeroLength() const;
    unsigned char StartByte() const;

    int m_singleFrameDataSize;
    BurnChipBase* m_chip;
    bool m_isCheckSum = false;
    TimeLimits m_limits;
};

}  // namespace YmodemProtocolSp

namespace XmodemProtocolSp {

constexpr unsigned char XMODEM_EOT = 0x04;

// Plain XMODEM on top of the YMODEM frames: 1024-byte frames without a block 0, after a "loadx"
// command to a boot loader's console.
class XmodemProtocol : public YmodemProtocolSp::YmodemProtocol {
public:
    explicit XmodemProtocol(BurnChipBase* chip);

    bool SendLoadxCmd(unsigned long address);
    bool DownloadFile(const char* path, unsigned long address);
    bool DownloadEsbc(const char* path);

private:
    bool SendFileFrames(const char* path);
};

}  // namespace XmodemProtocolSp

#endif
