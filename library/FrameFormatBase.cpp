#include "FrameFormatBase.h"

#include <cstring>
#include <string>

#include "BurnChipBase.h"
#include "Common.h"
#include "securec.h"

namespace {

constexpr const char* BOARD_OK_MARK = "[EOT](OK)";
constexpr const char* BOARD_ERROR_MARK = "[EOT](ERROR)";
constexpr int BOARD_POLL_MS = 5;
constexpr unsigned long CMD_HEAD_FRAME_LEN = 5;

}  // namespace

void FrameFormatBase::SetTransport(BurnChipBase* chip)
{
    m_chip = chip;
}

std::vector<unsigned char> FrameFormatBase::BuildCmdHeadFrame(unsigned long length)
{
    std::vector<unsigned char> frame(CMD_HEAD_FRAME_LEN, 0);
    frame[0] = static_cast<unsigned char>(Common::XCMD);
    Common::PutBe16(frame.data() + 1, static_cast<uint16_t>(length & 0xFFFF));
    Common::PutCrc16Be(frame.data(), 3);
    return frame;
}

std::vector<unsigned char> FrameFormatBase::BuildCmdDataFrame(const unsigned char* command, unsigned long length)
{
    if (length + 1 > Common::MAX_CMD_LENGTH) {
        return {};
    }
    std::vector<unsigned char> frame(Common::MAX_CMD_LENGTH + 2, 0);
    frame[0] = static_cast<unsigned char>(Common::XKEY);
    if (length > 0 && memcpy_s(frame.data() + 1, Common::MAX_CMD_LENGTH - 1, command, length) != EOK) {
        return {};
    }
    Common::PutCrc16Be(frame.data(), length + 1);
    frame.resize(length + 3);
    return frame;
}

bool FrameFormatBase::ReceiveBoardCmdRespond(unsigned char* reply, int replyLength, int timeoutMs)
{
    if (m_chip == nullptr || reply == nullptr) {
        return false;
    }
    long long start = Common::GetTime();
    std::string replyText;
    int count = 0;
    // No time at all means no look at the port either.
    WaitTime::Outcome outcome = timeoutMs <= 0 ? WaitTime::Outcome::TIMED_OUT : m_chip->PollUntil(timeoutMs, BOARD_POLL_MS, [&]() {
        int room = replyLength > count ? replyLength - count : 0;
        unsigned long got = m_chip->Receive(reply + count, static_cast<unsigned long>(room));
        if (count >= replyLength) {
            Common::PrintInfo(m_chip->GetThisPtr(), Common::INFO_MESSAGE,
                              "A maximum of %d characters can be received.\n", replyLength);
            return WaitTime::Step::FAILED;
        }
        if (got == 0) {
            return WaitTime::Step::AGAIN;
        }
        const char* piece = reinterpret_cast<const char*>(reply + count);
        std::string text(piece, strnlen(piece, got));
        Common::Print(Common::PrintableLines(text).c_str(), "", 0, "");
        replyText += text;
        count += static_cast<int>(got);
        if (replyText.find(BOARD_OK_MARK) != std::string::npos) {
            return WaitTime::Step::DONE;
        }
        if (replyText.find(BOARD_ERROR_MARK) != std::string::npos) {
            Common::Print("\nBoard respond error.\n", "", 0, "");
            return WaitTime::Step::FAILED;
        }
        return WaitTime::Step::AGAIN;
    });
    if (outcome == WaitTime::Outcome::TIMED_OUT) {
        Common::PrintInfo(m_chip->GetThisPtr(), Common::INFO_MESSAGE, "\nReceive board respond timeout: %d ms.\n",
                          static_cast<int>(Common::GetTime() - start));
    }
    return outcome == WaitTime::Outcome::DONE;
}
