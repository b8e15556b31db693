#include "YmodemProtocol.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "BurnChipBase.h"
#include "Common.h"
#include "WaitTime.h"
#include "securec.h"

namespace YmodemProtocolSp {

namespace {

constexpr unsigned char YMODEM_SOH = 0x01;
constexpr unsigned char YMODEM_STX = 0x02;
constexpr unsigned char YMODEM_NAK = 0x15;
constexpr size_t FRAME_HEAD_LEN = 3;
constexpr size_t BLOCK_ZERO_DATA_LEN = 128;
constexpr size_t CRC_LEN = 2;
constexpr size_t MAX_BLOCK_ZERO_LEN = FRAME_HEAD_LEN + BLOCK_ZERO_DATA_LEN + CRC_LEN;
constexpr size_t MAX_FILE_NAME_LEN = 112;
constexpr size_t SIZE_TEXT_LEN = 32;
constexpr int DEFAULT_FRAME_DATA_SIZE = 1024;
constexpr size_t RECEIVED_DATA_SIZE = 1024;
constexpr size_t RECEIVED_FRAME_LEN = FRAME_HEAD_LEN + RECEIVED_DATA_SIZE + CRC_LEN;
constexpr unsigned long HANDSHAKE_READ_LEN = 512;
constexpr int POLL_MS = 10;
constexpr int COLLECT_POLL_MS = 100;

int Percent(unsigned long done, unsigned long total)
{
    return static_cast<int>(static_cast<unsigned long long>(done) * 100ULL / total);
}

}  // namespace

YmodemProtocol::YmodemProtocol(BurnChipBase* chip) : m_singleFrameDataSize(DEFAULT_FRAME_DATA_SIZE), m_chip(chip)
{
    UsePacketSize();
}

void YmodemProtocol::UsePacketSize()
{
    uint32_t size = BurnChipBase::m_packetSize;
    SetSingleFrameDataSize(size <= INT32_MAX ? static_cast<int>(size) : 0);
}

void YmodemProtocol::SetSingleFrameDataSize(int size)
{
    m_singleFrameDataSize = size >= 1 ? size : DEFAULT_FRAME_DATA_SIZE;
}

void YmodemProtocol::SetIsCheckSumCrc(bool isCheckSum)
{
    m_isCheckSum = isCheckSum;
}

void YmodemProtocol::SetTimeLimits(const TimeLimits& limits)
{
    m_limits = limits;
}

void YmodemProtocol::Report(const char* text) const
{
    Common::PrintInfo(m_chip->GetThisPtr(), Common::INFO_MESSAGE, "%s", text);
}

size_t YmodemProtocol::CheckLength() const
{
    return m_isCheckSum ? 1 : CRC_LEN;
}

size_t YmodemProtocol::BlockZeroLength() const
{
    return FRAME_HEAD_LEN + BLOCK_ZERO_DATA_LEN + CheckLength();
}

unsigned char YmodemProtocol::StartByte() const
{
    switch (m_singleFrameDataSize) {
        case 2048:
            return 0x0A;
        case 4096:
            return 0x0B;
        case 8192:
            return 0x0C;
        default:
            return YMODEM_STX;
    }
}

void YmodemProtocol::PutCheck(unsigned char* frame, size_t dataLength) const
{
    unsigned char* data = frame + FRAME_HEAD_LEN;
    if (m_isCheckSum) {
        data[dataLength] = static_cast<unsigned char>(Common::CalcCheckSum8(data, static_cast<unsigned int>(dataLength)));
        return;
    }
    Common::PutCrc16Be(data, dataLength);
}

// Names why a wait failed: a send that failed, else the time limit; a cancel and a device that has
// gone have been reported where they were seen.
bool YmodemProtocol::Settle(WaitTime::Outcome outcome, bool sendFailed, const char* sendFailure,
                            const char* timedOut) const
{
    if (sendFailed) {
        Report(sendFailure);
    } else if (outcome == WaitTime::Outcome::TIMED_OUT) {
        Report(timedOut);
    }
    return !sendFailed && outcome == WaitTime::Outcome::DONE;
}

bool YmodemProtocol::SendByte(unsigned char byte)
{
    return m_chip->Send(&byte, 1) == 1;
}

// ---- Sending ----

bool YmodemProtocol::RunSteps(const std::vector<Step>& steps)
{
    for (const Step& step : steps) {
        if (!step.run()) {
            Report(step.failure);
            return false;
        }
    }
    return true;
}

bool YmodemProtocol::DownloadFile(const unsigned char* data, unsigned long length, const std::string& name)
{
    return RunSteps({
        {[this]() { return YmodemHandshake(); }, "Ymodem handshake failed.\n"},
        {[this, &name, length]() {
             Common::PrintInfo(m_chip->GetThisPtr(), Common::INFO_MESSAGE, "Start download: %s.\n",
                               Common::Printable(name).c_str());
             return SendYmodemStartFrame(name, length);
         },
         "Send ymodem start frame failed.\n"},
        {[this, data, length]() { return SendYmodemDataFrame(data, length); }, "Send ymodem data frame failed.\n"},
        {[this]() { return SendYmodemEot(); }, "Send ymodem file download finish EOT frame failed.\n"},
        {[this]() { return SendYmodemFinishFrame(); }, "Send ymodem finish frame failed.\n"},
    });
}

// The chip's console output before its first 'C' is shown in one message; a NAK counts as a 'C'.
bool YmodemProtocol::YmodemHandshake()
{
    std::string text;
    WaitTime::Outcome outcome = m_chip->PollUntil(m_limits.handshakeMs, POLL_MS, [&]() {
        unsigned char bytes[HANDSHAKE_READ_LEN + 1] = {0};
        unsigned long got = m_chip->Receive(bytes, HANDSHAKE_READ_LEN);
        text += reinterpret_cast<const char*>(bytes);
        bool asked = std::any_of(bytes, bytes + got, [](unsigned char byte) { return byte == YMODEM_C || byte == YMODEM_NAK; });
        return asked ? WaitTime::Step::DONE : WaitTime::Step::AGAIN;
    });
    if (outcome == WaitTime::Outcome::DONE || outcome == WaitTime::Outcome::TIMED_OUT) {
        Common::PrintInfo(m_chip->GetThisPtr(), Common::INFO_MESSAGE, "%s\n", Common::PrintableLines(text).c_str());
    }
    return outcome == WaitTime::Outcome::DONE;
}

bool YmodemProtocol::SendYmodemStartFrame(const std::string& name, unsigned long length)
{
    unsigned char frame[MAX_BLOCK_ZERO_LEN] = {0};
    size_t frameLength = BlockZeroLength();
    if (!InitYmodemStartFrame(frame, frameLength, name, length)) {
        Report("Init ymodem start frame failed.\n");
        return false;
    }
    return SendFrameWithYmodemAck(frame, frameLength);
}

bool YmodemProtocol::InitYmodemStartFrame(unsigned char* frame, size_t frameLength, const std::string& name,
                                          unsigned long length)
{
    std::string baseName = Common::GetFileName(name);
    if (baseName.size() > MAX_FILE_NAME_LEN) {
        Report("The file name is too long.\n");
        return false;
    }
    if (frameLength < BlockZeroLength()) {
        return false;
    }
    frame[0] = YMODEM_SOH;
    frame[1] = 0x00;
    frame[2] = 0xFF;
    unsigned char* data = frame + FRAME_HEAD_LEN;
    if (memcpy_s(data, BLOCK_ZERO_DATA_LEN, baseName.data(), baseName.size()) != EOK) {
        Report("InitYmodemStartFrame: memcpy_s file name failed.\n");
        return false;
    }
    char sizeText[SIZE_TEXT_LEN] = {0};
    int sizeLength = snprintf_s(sizeText, sizeof(sizeText), sizeof(sizeText) - 1, "0x%lx", length);
    // The size text is followed by at least one zero byte within the 128 data bytes.
    size_t room = BLOCK_ZERO_DATA_LEN - baseName.size() - 1;
    if (sizeLength < 0 ||
        memcpy_s(data + baseName.size() + 1, room, sizeText, static_cast<size_t>(sizeLength)) != EOK) {
        Report("InitYmodemStartFrame: memcpy_s file size failed.\n");
        return false;
    }
    PutCheck(frame, BLOCK_ZERO_DATA_LEN);
    return true;
}

bool YmodemProtocol::SendYmodemDataFrame(const unsigned char* data, unsigned long length)
{
    if (length == 0 || data == nullptr) {
        return false;
    }
    size_t dataSize = static_cast<size_t>(m_singleFrameDataSize);
    size_t frameLength = FRAME_HEAD_LEN + dataSize + CheckLength();
    unsigned long frames = (length + dataSize - 1) / dataSize;
    unsigned long sent = 0;
    for (unsigned long index = 1; index <= frames; ++index) {
        // A fresh zero-filled frame each time, so that the last one is padded with zeros.
        std::unique_ptr<unsigned char[]> frame(new (std::nothrow) unsigned char[frameLength]());
        if (frame == nullptr) {
            Report("new ymodem data frame failed.\n");
            return false;
        }
        size_t chunk = std::min<size_t>(dataSize, length - sent);
        unsigned char number = static_cast<unsigned char>(index & 0xFF);
        if (!InitYmodemDataFrame(frame.get(), frameLength, data + sent, chunk, number) ||
            !SendFrameWithYmodemAck(frame.get(), frameLength)) {
            return false;
        }
        sent += chunk;
        m_chip->SetProgress(Percent(sent, length));
    }
    return true;
}

bool YmodemProtocol::InitYmodemDataFrame(unsigned char* frame, size_t frameLength, const unsigned char* data,
                                         size_t size, unsigned char number)
{
    size_t room = frameLength - FRAME_HEAD_LEN - CheckLength();
    if (size > room) {
        Report("InitYmodemDataFrame: memcpy_s sourceSize is greater than destinationSize\n");
        return false;
    }
    frame[0] = StartByte();
    frame[1] = number;
    frame[2] = static_cast<unsigned char>(~number);
    if (memcpy_s(frame + FRAME_HEAD_LEN, room, data, size) != EOK) {
        Report("InitYmodemDataFrame: memcpy_s data frame failed.\n");
        return false;
    }
    PutCheck(frame, room);
    return true;
}

// A 'C' asks for the same frame again; the time limit still counts from the first sending.
bool YmodemProtocol::SendFrameWithYmodemAck(const unsigned char* frame, unsigned long length)
{
    if (m_chip->Send(frame, length) < length) {
        Report("Send data frame failed.\n");
        return false;
    }
    bool sendFailed = false;
    WaitTime::Outcome outcome = m_chip->PollUntil(m_limits.ackMs, POLL_MS, [&]() {
        unsigned char byte = 0;
        while (m_chip->Receive(&byte, 1) == 1) {
            if (byte == YMODEM_ACK) {
                return WaitTime::Step::DONE;
            }
            if (byte == YMODEM_C && m_chip->Send(frame, length) < length) {
                sendFailed = true;
                return WaitTime::Step::FAILED;
            }
        }
        return WaitTime::Step::AGAIN;
    });
    return Settle(outcome, sendFailed, "Send data frame failed.\n", "ACK receiving timed out.\n");
}

bool YmodemProtocol::SendYmodemEot()
{
    const unsigned char eot = YMODEM_EOT;
    return SendFrameWithYmodemAck(&eot, 1);
}

bool YmodemProtocol::SendYmodemFinishFrame()
{
    unsigned char frame[MAX_BLOCK_ZERO_LEN] = {0};
    frame[0] = YMODEM_SOH;
    frame[1] = 0x00;
    frame[2] = 0xFF;
    PutCheck(frame, BLOCK_ZERO_DATA_LEN);
    return SendFrameWithYmodemAck(frame, BlockZeroLength());
}

// ---- Receiving ----

bool YmodemProtocol::UploadFile(const char* path, unsigned long length)
{
    return RunSteps({
        {[this]() { return RecvYModelSOHFrame(); }, "Recv uplaod start frame failed.\n"},
        {[this, path, length]() { return RecvDataAndWriteFile(path, length); }, "Recv uplaod data frame failed.\n"},
        {[this]() { return RecvYModelEotFrame(); }, "Recv upload EOT frame failed.\n"},
        {[this]() { return RecvYModelSOHFrame(); }, "Recv upload finish frame failed.\n"},
    });
}

bool YmodemProtocol::FrameTry::Collect(BurnChipBase& chip, unsigned char* buffer, size_t length)
{
    if (got < length) {
        got += chip.Receive(buffer + got, length - got);
    }
    return got == length;
}

// Collects one frame until accepted takes it. A try begins with a 'C' when askFirst, and after a
// refused frame always; a try whose bytes stop coming for collectMs begins again.
bool YmodemProtocol::ReceiveFrame(unsigned char* buffer, size_t length, bool askFirst,
                                  const std::function<bool()>& accepted, const char* timedOut)
{
    FrameTry current;
    bool ask = askFirst;
    bool sendFailed = false;
    WaitTime::Outcome outcome = m_chip->PollUntil(m_limits.receiveMs, COLLECT_POLL_MS, [&]() {
        while (true) {
            if (current.fresh) {
                if (ask && !SendByte(YMODEM_C)) {
                    sendFailed = true;
                    return WaitTime::Step::FAILED;
                }
                current.Start(buffer, length);
            }
            if (!current.Collect(*m_chip, buffer, length)) {
                current.fresh = WaitTime::IsUp(current.start, m_limits.collectMs);
                return WaitTime::Step::AGAIN;
            }
            if (accepted()) {
                return WaitTime::Step::DONE;
            }
            ask = true;
            current.fresh = true;  // a whole frame that is refused: ask again at once
        }
    });
    return Settle(outcome, sendFailed, "Send Ymodem C failed.\n", timedOut);
}

// Block 0 and the closing block 0: asked for with 'C'; the name and size in it are not used.
bool YmodemProtocol::RecvYModelSOHFrame()
{
    unsigned char frame[MAX_BLOCK_ZERO_LEN] = {0};
    auto isBlockZero = [&frame]() {
        return frame[0] == YMODEM_SOH && frame[1] == 0x00 &&
               Common::Crc16BeMatches(frame + FRAME_HEAD_LEN, BLOCK_ZERO_DATA_LEN);
    };
    if (!ReceiveFrame(frame, sizeof(frame), true, isBlockZero, "YModem SOH frame receiving timed out.\n")) {
        return false;
    }
    if (!SendByte(YMODEM_ACK) || !SendByte(YMODEM_C)) {
        Report("Send Ymodem ACK failed.\n");
        return false;
    }
    return true;
}

bool YmodemProtocol::RecvDataAndWriteFile(const char* path, unsigned long length)
{
    if (length == 0) {
        return false;
    }
    FILE* file = Common::OpenOutputFile(path, [this]() { return m_chip->CheckIsCancel(); });
    if (file == nullptr) {
        Common::PrintInfo(m_chip->GetThisPtr(), Common::INFO_MESSAGE, "Cannot create the output file: %s.\n",
                          Common::Printable(path).c_str());
        return false;
    }
    unsigned char frame[RECEIVED_FRAME_LEN] = {0};
    unsigned long frames = (length + RECEIVED_DATA_SIZE - 1) / RECEIVED_DATA_SIZE;
    unsigned int expected = 1;
    unsigned long written = 0;
    bool received = true;
    for (unsigned long index = 0; index < frames; ++index) {
        if (!RecvDataFrame(frame, sizeof(frame), expected)) {
            Report("Receive data frames failed.\n");
            received = false;
            break;
        }
        size_t chunk = std::min<size_t>(RECEIVED_DATA_SIZE, length - written);
        received = WriteReceivedData(file, frame + FRAME_HEAD_LEN, chunk, path);
        if (!received) {
            break;
        }
        written += chunk;
        if (!SendByte(YMODEM_ACK)) {
            Report("Send Ymodem ACK failed.\n");
            received = false;
            break;
        }
        m_chip->SetProgress(Percent(written, length));
    }
    // A full disk may show only when the buffered rest is written out.
    if (std::fclose(file) != 0 && received) {
        Common::PrintInfo(m_chip->GetThisPtr(), Common::INFO_MESSAGE, "Closing the output file %s failed.\n",
                          Common::Printable(path).c_str());
        return false;
    }
    return received;
}

bool YmodemProtocol::WriteReceivedData(FILE* file, const unsigned char* data, size_t length, const char* path)
{
    if (std::fwrite(data, 1, length, file) == length) {
        return true;
    }
    Common::PrintInfo(m_chip->GetThisPtr(), Common::INFO_MESSAGE, "Writing the output file %s failed.\n",
                      Common::Printable(path).c_str());
    return false;
}

// A refused frame is never answered with NAK: every later try of it begins with a 'C'.
bool YmodemProtocol::RecvDataFrame(unsigned char* buffer, size_t frameLength, unsigned int& expected)
{
    expected %= 256;
    auto isExpected = [&]() {
        return buffer[0] == YMODEM_STX && buffer[1] == expected &&
               Common::Crc16BeMatches(buffer + FRAME_HEAD_LEN, frameLength - FRAME_HEAD_LEN - CRC_LEN);
    };
    if (!ReceiveFrame(buffer, frameLength, false, isExpected, "YModem data frame receiving timed out.\n")) {
        return false;
    }
    expected += 1;
    return true;
}

bool YmodemProtocol::RecvYModelEotFrame()
{
    bool sendFailed = false;
    WaitTime::Outcome outcome = m_chip->PollUntil(m_limits.receiveMs, POLL_MS, [&]() {
        unsigned char byte = 0;
        while (m_chip->Receive(&byte, 1) == 1) {
            if (byte != YMODEM_EOT) {
                continue;
            }
            if (!SendByte(YMODEM_ACK)) {
                sendFailed = true;
                return WaitTime::Step::FAILED;
            }
            return WaitTime::Step::DONE;
        }
        return WaitTime::Step::AGAIN;
    });
    return Settle(outcome, sendFailed, "Send ACK frame failed.\n", "YModel EOT receiving timed out.\n");
}

}  // namespace YmodemProtocolSp

namespace XmodemProtocolSp {

namespace {
constexpr int XMODEM_FRAME_DATA_SIZE = 1024;
}

XmodemProtocol::XmodemProtocol(BurnChipBase* chip) : YmodemProtocol(chip) {}

bool XmodemProtocol::SendLoadxCmd(unsigned long address)
{
    std::string command = Common::FormatInfo("loadx 0x%lx\r\n", address);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(command.data());
    if (Chip()->Send(bytes, command.size()) < command.size()) {
        Common::PrintInfo(Chip()->GetThisPtr(), Common::INFO_MESSAGE, "send command: %s failed.\n", command.c_str());
        return false;
    }
    if (!YmodemHandshake()) {
        Report("failed to receive the response 'C'.\n");
        return false;
    }
    return true;
}

bool XmodemProtocol::DownloadFile(const char* path, unsigned long address)
{
    Common::PrintInfo(Chip()->GetThisPtr(), Common::INFO_MESSAGE, "\nStart download: %s.\n",
                      Common::Printable(path).c_str());
    if (!SendLoadxCmd(address)) {
        return false;
    }
    return RunSteps({
        {[this, path]() { return SendFileFrames(path); }, "Send xmodem data frame failed.\n"},
        {[this]() { return SendYmodemEot(); }, "Send download finish EOT frame failed.\n"},
    });
}

bool XmodemProtocol::DownloadEsbc(const char* path)
{
    SetIsCheckSumCrc(true);
    Common::PrintInfo(Chip()->GetThisPtr(), Common::INFO_MESSAGE, "Start download: %s\n",
                      Common::Printable(path).c_str());
    return RunSteps({
        {[this, path]() { return SendFileFrames(path); }, "Send esbc data frame failed.\n"},
        {[this]() { return SendYmodemEot(); }, "Send xmodem file download finish EOT frame failed.\n"},
    });
}

// A file that cannot be read is named by its own line, before the line of the frames.
bool XmodemProtocol::SendFileFrames(const char* path)
{
    unsigned long length = 0;
    std::unique_ptr<unsigned char[]> data =
        Common::GetFileData(path, length, Chip()->GetThisPtr(), [this]() { return Chip()->CheckIsCancel(); });
    if (data == nullptr) {
        Common::PrintInfo(Chip()->GetThisPtr(), Common::INFO_MESSAGE, "Get file data failed: %s.\n",
                          Common::Printable(path).c_str());
        return false;
    }
    SetSingleFrameDataSize(XMODEM_FRAME_DATA_SIZE);
    return SendYmodemDataFrame(data.get(), length);
}

}  // namespace XmodemProtocolSp
