#ifndef VEXIL_LIBRARY_FRAMEFORMATBASE_H
#define VEXIL_LIBRARY_FRAMEFORMATBASE_H

#include <vector>

class BurnChipBase;

// A frame format for text commands to a boot loader, whose text reply ends in a status marker.
class FrameFormatBase {
public:
    FrameFormatBase() = default;
    virtual ~FrameFormatBase() = default;
    FrameFormatBase(const FrameFormatBase&) = delete;
    FrameFormatBase& operator=(const FrameFormatBase&) = delete;

    // With a reply buffer, true only when the reply ended in "[EOT](OK)".
    virtual bool SendCmd(unsigned char* command, unsigned long length, unsigned char* reply, int replyLength,
                         int timeoutMs) = 0;

    void SetTransport(BurnChipBase* chip);
    // Collects the board's text into reply (from its start) until a status marker, the buffer is full
    // or timeoutMs has passed.
    bool ReceiveBoardCmdRespond(unsigned char* reply, int replyLength, int timeoutMs);

    // The command head frame: 0xAB, the command length (low 16 bits) and the CRC, both big-endian.
    static std::vector<unsigned char> BuildCmdHeadFrame(unsigned long length);
    // The command data frame: 0xCD, the command and the CRC of both, big-endian; empty when the
    // command does not fit the frame body.
    static std::vector<unsigned char> BuildCmdDataFrame(const unsigned char* command, unsigned long length);

protected:
    BurnChipBase* m_chip = nullptr;
};

#endif
