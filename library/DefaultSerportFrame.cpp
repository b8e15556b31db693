#include "DefaultSerportFrame.h"

#include <vector>

#include "BurnChipBase.h"
#include "Common.h"

namespace DefaultSerportFrameSp {

bool DefaultSerportFrame::SendCmd(unsigned char* command, unsigned long length, unsigned char* reply,
                                  int replyLength, int timeoutMs)
{
    if (m_chip == nullptr) {
        return false;
    }
    // A negative limit must not turn into an endless one.
    unsigned long overallMs = timeoutMs > 0 ? static_cast<unsigned long>(timeoutMs) : 0;
    std::vector<unsigned char> head = BuildCmdHeadFrame(length);
    if (!m_chip->SendFrameBySerial(head.data(), head.size(), Common::FRAME_TIMEOUT, overallMs)) {
        Common::Print("Failed to send the command head!\n", "", 0, "");
        return false;
    }
    if (length + 1 > Common::MAX_CMD_LENGTH) {
        Common::PrintInfo(m_chip->GetThisPtr(), Common::INFO_MESSAGE,
                          "The command contains a maximum of %d characters.!\n",
                          static_cast<int>(Common::MAX_CMD_LENGTH - 1));
        return false;
    }
    std::vector<unsigned char> data = BuildCmdDataFrame(command, length);
    if (data.empty()) {
        return false;
    }
    if (!m_chip->SendFrameBySerial(data.data(), data.size(), Common::FRAME_TIMEOUT, overallMs)) {
        Common::Print("Failed to send the command data!\n", "", 0, "");
        return false;
    }
    if (reply == nullptr) {
        return true;
    }
    return ReceiveBoardCmdRespond(reply, replyLength, timeoutMs);
}

}  // namespace DefaultSerportFrameSp
