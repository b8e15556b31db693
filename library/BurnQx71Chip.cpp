#include "BurnQx71Chip.h"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <memory>

#include "Common.h"
#include "FwpkgCheck.h"
#include "SebootFrame.h"
#include "WaitTime.h"
#include "securec.h"

namespace BurnQx71ChipSp {

namespace {

constexpr uint32_t FRAME_MAGIC = 0xDEADBEEF;
constexpr int FRAME_HEAD_LEN = 8;
constexpr int FRAME_CRC_LEN = 2;
constexpr int MAX_FRAME_LEN = 32;
constexpr int ACK_FRAME_LEN = 12;
constexpr int ACK_RESULT_OFFSET = 8;
constexpr unsigned char ACK_SUCCESS = 'Z';

constexpr unsigned char CMD_SHAKE_HAND = 0xF0;
constexpr unsigned char CMD_SWITCH_BAUD = 0x5A;
constexpr unsigned char CMD_FLASH_IMAGE = 0xD2;
constexpr unsigned char CMD_NV_KV = 0x4B;
constexpr unsigned char CMD_FACTORY = 0x78;
constexpr unsigned char CMD_OTP_EFUSE = 0xC3;
constexpr unsigned char CMD_VERSION = 0x69;
constexpr unsigned char CMD_UPLOAD = 0xB4;

constexpr unsigned HANDSHAKE_BAUD_RATE = 115200;
constexpr unsigned long ERASE_UNIT = 4096;
constexpr unsigned long ERASE_ALL_SIZE = 0xFFFFFFFF;
constexpr int AT_RESET_EVERY_TRIES = 100;
constexpr int LOADER_FRAME_DATA_SIZE = 1024;
constexpr int SHORT_SEND_PAUSE_MS = 10;
constexpr int ACK_POLL_MS = 100;

using Common::PrintPlain;

// A boot command frame: magic, length, command and its complement, payload, CRC (all little-endian).
class CommandFrame {
public:
    explicit CommandFrame(unsigned char command) : m_command(command) {}

    CommandFrame& U32(unsigned long value)
    {
        Common::ConvertingUintToArrays(m_bytes, MAX_FRAME_LEN - FRAME_CRC_LEN, static_cast<unsigned int>(value),
                                       m_position);
        return *this;
    }

    CommandFrame& Bytes(std::initializer_list<unsigned char> bytes)
    {
        for (unsigned char byte : bytes) {
            if (m_position < MAX_FRAME_LEN - FRAME_CRC_LEN) {
                m_bytes[m_position++] = byte;
            }
        }
        return *this;
    }

    std::vector<unsigned char> Finish()
    {
        int length = m_position + FRAME_CRC_LEN;
        int position = 0;
        Common::ConvertingUintToArrays(m_bytes, MAX_FRAME_LEN, FRAME_MAGIC, position);
        Common::PutLe16(m_bytes + 4, static_cast<uint16_t>(length));
        m_bytes[6] = m_command;
        m_bytes[7] = static_cast<unsigned char>(~m_command);
        Common::PutCrc16Le(m_bytes, static_cast<size_t>(m_position));
        return std::vector<unsigned char>(m_bytes, m_bytes + length);
    }

private:
    unsigned char m_command;
    unsigned char m_bytes[MAX_FRAME_LEN] = {0};
    int m_position = FRAME_HEAD_LEN;
};

// The handshake and the baud switch name a rate the chip takes once it has acked the frame.
std::vector<unsigned char> BaudRateFrame(unsigned char command, unsigned baudRate)
{
    return CommandFrame(command).U32(baudRate).Bytes({0x08, 0x01, 0x00, 0x00}).Finish();
}

unsigned char FlashImageMode(uint32_t type)
{
    switch (type) {
        case Common::IMAGE_TYPE_FLASH_MODE_TWO:
            return 2;
        case Common::IMAGE_TYPE_FLASH_MODE_THREE:
            return 3;
        default:
            return 0;
    }
}

}  // namespace

BurnQx71Chip::~BurnQx71Chip() = default;

void BurnQx71Chip::SetTimeLimits(const TimeLimits& limits)
{
    m_limits = limits;
}

const BurnQx71Chip::TimeLimits& BurnQx71Chip::GetTimeLimits() const
{
    return m_limits;
}

void BurnQx71Chip::SetCtrlPeriod(int ms)
{
    BurnChipBase::SetCtrlPeriod(ms);
    m_ctrlPeriod = ms;
}

void BurnQx71Chip::SetSwitchAfterLoader(bool isSwitch)
{
    BurnChipBase::SetSwitchAfterLoader(isSwitch);
    m_isSwitchAfterLoader = isSwitch;
}

void BurnQx71Chip::SetBeforeReset(bool isReset)
{
    BurnChipBase::SetBeforeReset(isReset);
    m_isBeforeReset = isReset;
}

void BurnQx71Chip::SetAtResetCommand(const std::string& command)
{
    BurnChipBase::SetAtResetCommand(command);
    m_atResetCommand = command;
}

void BurnQx71Chip::SetOnlyBurnNames(const std::vector<std::string>& names)
{
    m_onlyBurnNames = names;
}

std::vector<std::string> BurnQx71Chip::GetOnlyBurnNames() const
{
    return m_onlyBurnNames;
}

// ---- Acks ----

int BurnQx71Chip::CheckAckFrame(const unsigned char* data, int length, bool report, int* consumed) const
{
    for (int position = 0; position + ACK_FRAME_LEN <= length; ++position) {
        unsigned char frame[ACK_FRAME_LEN] = {0};
        if (memcpy_s(frame, sizeof(frame), data + position, ACK_FRAME_LEN) != EOK) {
            PrintPlain("CheckAckFrame: memcpy_s ack frame failed.\n");
            return 0;
        }
        bool crcMatches = Common::Crc16LeMatches(frame, ACK_FRAME_LEN - FRAME_CRC_LEN);
        if (Common::GetLe32(frame) != FRAME_MAGIC || !crcMatches) {
            continue;
        }
        if (frame[ACK_RESULT_OFFSET] == ACK_SUCCESS) {
            if (consumed != nullptr) {
                *consumed = position + ACK_FRAME_LEN;
            }
            return 1;
        }
        if (report) {
            Common::PrintInfo(GetThisPtr(), Common::INFO_MESSAGE, "CheckAckFrame: ack result error: %d\n",
                              frame[ACK_RESULT_OFFSET]);
        }
        return -1;
    }
    return 0;
}

// Bytes after a positive ack go back to the port, so that the next reader (the YMODEM handshake)
// sees them first.
BurnQx71Chip::AckResult BurnQx71Chip::TakeAck(AckBuffer& buffer, bool report)
{
    unsigned long got =
        Receive(buffer.bytes + buffer.count, static_cast<unsigned long>(ACK_BUFFER_LEN - buffer.count));
    buffer.count += static_cast<int>(got);
    if (got > 0 && buffer.count >= ACK_FRAME_LEN) {
        int consumed = 0;
        int found = CheckAckFrame(buffer.bytes, buffer.count, report, &consumed);
        if (found == 1) {
            UngetReceived(buffer.count - consumed);
            return AckResult::POSITIVE;
        }
        if (found == -1) {
            buffer.count = 0;
            return AckResult::NEGATIVE;
        }
    }
    return buffer.count >= ACK_BUFFER_LEN ? AckResult::FULL : AckResult::NONE;
}

// A full buffer ends the wait, unless text is expected before the ack: then only the last bytes, where
// an ack may have begun, are kept.
BurnQx71Chip::AckResult BurnQx71Chip::ReceiveAckAndCheck(AckBuffer& buffer, int waitMs, bool report,
                                                         bool textBeforeAck)
{
    AckResult result = AckResult::NONE;
    WaitTime::Outcome outcome = PollUntil(waitMs, ACK_POLL_MS, [&]() {
        result = TakeAck(buffer, report);
        switch (result) {
            case AckResult::POSITIVE:
                return WaitTime::Step::DONE;
            case AckResult::NEGATIVE:
                return WaitTime::Step::FAILED;
            case AckResult::FULL:
                if (textBeforeAck) {
                    KeepAckTail(buffer);
                    return WaitTime::Step::AGAIN;
                }
                buffer.count = 0;
                return WaitTime::Step::FAILED;
            default:
                return WaitTime::Step::AGAIN;
        }
    });
    return Settle(outcome, result);
}

void BurnQx71Chip::KeepAckTail(AckBuffer& buffer)
{
    constexpr int tail = ACK_FRAME_LEN - 1;
    memmove_s(buffer.bytes, sizeof(buffer.bytes), buffer.bytes + buffer.count - tail, tail);
    buffer.count = tail;
}

// What a finished ack wait says: the loop's own ends (cancel, device gone) come first.
BurnQx71Chip::AckResult BurnQx71Chip::Settle(WaitTime::Outcome outcome, AckResult last)
{
    switch (outcome) {
        case WaitTime::Outcome::CANCELLED:
        case WaitTime::Outcome::DEVICE_GONE:
            return AckResult::ENDED;
        case WaitTime::Outcome::DONE:
            return AckResult::POSITIVE;
        default:
            return last == AckResult::NEGATIVE ? AckResult::NEGATIVE : AckResult::NONE;
    }
}

// The frame goes out whole, and again whenever tryMs passes without an ack or the buffer fills with
// bytes that hold none; a frame the port did not take whole goes again after one slice. A negative ack
// ends the wait (and is reported) when refusalEnds, else it ends only the try.
WaitTime::Outcome BurnQx71Chip::SendUntilAck(const unsigned char* frame, unsigned long length, int tryMs,
                                             long long overallMs, int sliceMs, bool refusalEnds,
                                             const std::function<void()>& afterSend)
{
    AckBuffer buffer;
    bool sendDue = true;
    long long tryStart = 0;
    return PollUntil(overallMs, sliceMs, [&]() {
        if (sendDue) {
            if (Send(frame, length) < length) {
                return WaitTime::Step::AGAIN;
            }
            sendDue = false;
            tryStart = Common::GetTime();
            afterSend();
        }
        AckResult result = TakeAck(buffer, refusalEnds);
        if (result == AckResult::POSITIVE) {
            return WaitTime::Step::DONE;
        }
        if (result == AckResult::NEGATIVE && refusalEnds) {
            return WaitTime::Step::FAILED;
        }
        if (result == AckResult::FULL) {
            buffer.count = 0;
        }
        sendDue = result != AckResult::NONE || WaitTime::IsUp(tryStart, tryMs);
        return WaitTime::Step::AGAIN;
    });
}

bool BurnQx71Chip::SendCommandWithAck(const unsigned char* frame, int length, int perTryMs, int overallMs)
{
    WaitTime::Outcome outcome = SendUntilAck(frame, static_cast<unsigned long>(length), perTryMs, overallMs,
                                             SHORT_SEND_PAUSE_MS, true, []() {});
    if (outcome == WaitTime::Outcome::TIMED_OUT) {
        PrintPlain("Ack receiving timeout.\n");
    }
    return outcome == WaitTime::Outcome::DONE;
}

bool BurnQx71Chip::SendCommand(const std::vector<unsigned char>& frame)
{
    return SendCommandWithAck(frame.data(), static_cast<int>(frame.size()), m_limits.commandTryMs,
                              m_limits.commandOverallMs);
}

// ---- Command frames ----

unsigned long BurnQx71Chip::FlashEraseUnit() const
{
    return ERASE_UNIT;
}

bool BurnQx71Chip::SendFlashImageCmdFrame(unsigned long address, unsigned long length, unsigned long eraseSize,
                                          int type)
{
    return SendFlashImageFrame(address, length, eraseSize, type, m_limits.commandTryMs, m_limits.commandOverallMs);
}

bool BurnQx71Chip::SendFlashImageFrame(unsigned long address, unsigned long length, unsigned long eraseSize,
                                       int type, int perTryMs, int overallMs)
{
    unsigned char mode = FlashImageMode(static_cast<uint32_t>(type));
    std::vector<unsigned char> frame = CommandFrame(CMD_FLASH_IMAGE)
                                           .U32(address)
                                           .U32(length)
                                           .U32(Seboot::RoundUpEraseSize(eraseSize, FlashEraseUnit()))
                                           .Bytes({mode, static_cast<unsigned char>(~mode)})
                                           .Finish();
    return SendCommandWithAck(frame.data(), static_cast<int>(frame.size()), perTryMs, overallMs);
}

bool BurnQx71Chip::SendNvOrKvCmdFrame(const Common::FileHead& image)
{
    return SendCommand(CommandFrame(CMD_NV_KV)
                           .U32(image.burnAddr)
                           .U32(image.length)
                           .U32(Seboot::RoundUpEraseSize(image.burnSize, ERASE_UNIT))
                           .Bytes({0x00, 0x00, 0x00, 0x00})
                           .Finish());
}

bool BurnQx71Chip::SendFactoryCmdFrame(const Common::FileHead& image)
{
    return SendCommand(CommandFrame(CMD_FACTORY)
                           .U32(image.burnAddr)
                           .U32(image.length)
                           .U32(Seboot::RoundUpEraseSize(image.burnSize, ERASE_UNIT))
                           .Bytes({0x00, 0xFF})
                           .Finish());
}

bool BurnQx71Chip::SendOtpOrEfuseCmdFrame(const Common::FileHead& image)
{
    return SendCommand(CommandFrame(CMD_OTP_EFUSE).U32(image.length).Finish());
}

bool BurnQx71Chip::SendVersionCmdFrame(const Common::FileHead& image)
{
    return SendCommand(CommandFrame(CMD_VERSION).U32(image.length).Finish());
}

bool BurnQx71Chip::SendUploadDataFrame(unsigned long address, unsigned long length)
{
    return SendCommand(CommandFrame(CMD_UPLOAD).U32(length).U32(address).Finish());
}

bool BurnQx71Chip::SendCommandFrame(const Common::FileHead& image)
{
    bool sent = false;
    const char* failure = nullptr;
    switch (image.type) {
        case Common::IMAGE_TYPE_NV:
            sent = SendNvOrKvCmdFrame(image);
            failure = "Send download NV/KV command configuration failed.\n";
            break;
        case Common::IMAGE_TYPE_OTP:
        case Common::IMAGE_TYPE_EFUSE:
            sent = SendOtpOrEfuseCmdFrame(image);
            failure = "Send download OTP/e-Fuse configuration command failed.\n";
            break;
        case Common::IMAGE_TYPE_FACTORY:
            sent = SendFactoryCmdFrame(image);
            failure = "Send download factory bin command failed.\n";
            break;
        case Common::IMAGE_TYPE_VERSION:
            sent = SendVersionCmdFrame(image);
            failure = "Send download version command failed.\n";
            break;
        default:
            sent = SendFlashImageCmdFrame(image.burnAddr, image.length, image.burnSize, static_cast<int>(image.type));
            failure = "Send download flash image command failed.\n";
            break;
    }
    if (!sent) {
        PrintPlain(failure);
    }
    return sent;
}

// ---- Handshake ----

bool BurnQx71Chip::SendShakeHandFrame()
{
    std::vector<unsigned char> frame =
        BaudRateFrame(CMD_SHAKE_HAND, m_isSwitchAfterLoader ? HANDSHAKE_BAUD_RATE : GetBaudRate());
    // A try that did not wait at all could never see the ack.
    int tryMs = std::max(1, m_ctrlPeriod);
    int tries = 0;
    // The frame goes out once per control period; an answer is looked for whenever bytes arrive.
    auto countTryAndReset = [&]() {
        ++tries;
        if (m_isBeforeReset && !m_atResetCommand.empty() && tries % AT_RESET_EVERY_TRIES == 0) {
            Send(reinterpret_cast<const unsigned char*>(m_atResetCommand.data()), m_atResetCommand.size());
        }
    };
    WaitTime::Outcome outcome =
        SendUntilAck(frame.data(), frame.size(), tryMs, m_limits.handshakeMs, tryMs, false, countTryAndReset);
    return outcome == WaitTime::Outcome::DONE;
}

// ---- Package burn ----

bool BurnQx71Chip::DownloadAllinoneBin(const char* file, unsigned long address)
{
    (void)address;
    unsigned long length = 0;
    std::unique_ptr<unsigned char[]> package =
        Common::GetFileData(file, length, GetThisPtr(), [this]() { return CheckIsCancel(); });
    if (package == nullptr) {
        Common::PrintInfo(GetThisPtr(), Common::INFO_MESSAGE, "Get file content failed: %s\n",
                          Common::Printable(file).c_str());
        return false;
    }
    std::vector<Common::FileHead> images;
    if (!Common::CheckFwpkg(package.get(), length, file, GetThisPtr(),
                            Common::SerialRoadPick(GetOnlyBurnNames(), m_isOnlyBurnLoader), images,
                            FlashEraseUnit())) {
        return false;
    }
    if (!SendShakeHandFrame()) {
        PrintPlain("Shakehand failed, The board does not respond.\n");
        return false;
    }
    // The chip took the rate named in the handshake frame when it acked it.
    if (!m_isSwitchAfterLoader) {
        ReSettingSerialParameters(GetBaudRate(), GetStopBit(), GetParity());
    }
    YmodemProtocolSp::YmodemProtocol ymodem(this);
    ymodem.SetTimeLimits(m_limits.ymodem);
    m_unconfirmed.clear();
    for (const Common::FileHead& image : images) {
        if (!BurnImage(ymodem, package.get(), image)) {
            return false;
        }
        // A read or an erase goes on at the rate its loader was sent at.
        if (m_isOnlyBurnLoader) {
            return AllImagesConfirmed();
        }
        if (m_isSwitchAfterLoader && image.type == Common::IMAGE_TYPE_LOADER && !SwitchBaudRateAfterLoader()) {
            return false;
        }
    }
    return AllImagesConfirmed();
}

// Every image fits the package: it was checked before the handshake.
bool BurnQx71Chip::BurnImage(YmodemProtocolSp::YmodemProtocol& ymodem, const unsigned char* package,
                             const Common::FileHead& image)
{
    std::string name = Common::Printable(image.fileName);
    if (image.type == Common::IMAGE_TYPE_LOADER) {
        ymodem.SetSingleFrameDataSize(LOADER_FRAME_DATA_SIZE);
    } else {
        if (!SendCommandFrame(image)) {
            return false;
        }
        ymodem.UsePacketSize();
    }
    if (!ymodem.DownloadFile(package + image.offset, image.length, image.fileName)) {
        Common::PrintInfo(GetThisPtr(), Common::INFO_MESSAGE, "Download: %s failed.\n", name.c_str());
        return false;
    }
    switch (WaitForImageAck(name)) {
        case ImageAck::CONFIRMED:
            Common::PrintInfo(GetThisPtr(), Common::INFO_MESSAGE, "downloaded: %s successfully.\n", name.c_str());
            return true;
        case ImageAck::MISSING:
            m_unconfirmed.push_back(name);
            return true;
        case ImageAck::FAILED:
            break;
    }
    return false;
}

// The chip may not have written an image whose ack never came: the burn cannot be called a success.
bool BurnQx71Chip::AllImagesConfirmed()
{
    if (m_unconfirmed.empty()) {
        return true;
    }
    std::string names;
    for (const std::string& name : m_unconfirmed) {
        names += (names.empty() ? "" : ", ") + name;
    }
    Common::PrintInfo(GetThisPtr(), Common::INFO_MESSAGE, "The board never confirmed writing: %s.\n", names.c_str());
    return false;
}

// Only a missing ack lets the burn go on: a chip that says it could not write the image has not got it.
// Console text may come before the ack, more of it than the buffer holds.
BurnQx71Chip::ImageAck BurnQx71Chip::WaitForImageAck(const std::string& name)
{
    AckBuffer buffer;
    switch (ReceiveAckAndCheck(buffer, m_limits.imageAckMs, true, true)) {
        case AckResult::POSITIVE:
            return ImageAck::CONFIRMED;
        case AckResult::NONE:
        case AckResult::FULL:
            PrintPlain("Ack receiving timeout.\n");
            return ImageAck::MISSING;
        case AckResult::NEGATIVE:
            Common::PrintInfo(GetThisPtr(), Common::INFO_MESSAGE, "Download: %s failed, the board refused it.\n",
                              name.c_str());
            return ImageAck::FAILED;
        case AckResult::ENDED:
            break;
    }
    Common::PrintInfo(GetThisPtr(), Common::INFO_MESSAGE, "Download: %s failed.\n", name.c_str());
    return ImageAck::FAILED;
}

bool BurnQx71Chip::SwitchBaudRateAfterLoader()
{
    std::vector<unsigned char> frame = BaudRateFrame(CMD_SWITCH_BAUD, GetTargetBaudRate());
    if (Send(frame.data(), frame.size()) == 0) {
        PrintPlain("Send switch baud rate frame failed.\n");
        return false;
    }
    AckBuffer buffer;
    if (ReceiveAckAndCheck(buffer, m_limits.baudSwitchAckMs, true) != AckResult::POSITIVE) {
        PrintPlain("Wait switch baud rate ACK timeout.\n");
        return false;
    }
    if (GetTargetBaudRate() != 0) {
        ReSettingSerialParameters(GetTargetBaudRate(), GetStopBit(), GetParity());
    }
    return true;
}

// ---- Erase and read ----

bool BurnQx71Chip::EraseAllFlash()
{
    if (!SendFlashImageCmdFrame(0, 0, ERASE_ALL_SIZE, 0)) {
        PrintPlain("Send erase all flash image command failed.\n");
        return false;
    }
    return true;
}

bool BurnQx71Chip::UploadFile(unsigned long address, int length, const char* outFile)
{
    // A length below 1 would reach the chip as a huge size.
    if (length < 1) {
        Common::PrintInfo(GetThisPtr(), Common::INFO_MESSAGE, "Invalid upload length: %d.\n", length);
        return false;
    }
    if (!SendUploadDataFrame(address, static_cast<unsigned long>(length))) {
        PrintPlain("Send upload data command failed.\n");
        return false;
    }
    YmodemProtocolSp::YmodemProtocol ymodem(this);
    ymodem.SetTimeLimits(m_limits.ymodem);
    if (!ymodem.UploadFile(outFile, static_cast<unsigned long>(length))) {
        PrintPlain("Upload file failed.\n");
        return false;
    }
    return true;
}

}  // namespace BurnQx71ChipSp
