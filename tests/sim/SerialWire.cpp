#include "SerialWire.h"

#include <algorithm>
#include <mutex>

#include "FwpkgBuilder.h"

namespace Sim {

void AppendCrcHighFirst(Bytes& frame)
{
    uint16_t crc = Crc16Xmodem(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
}

bool CrcHighFirstMatches(const Bytes& frame)
{
    if (frame.size() < 2) {
        return false;
    }
    uint16_t crc = Crc16Xmodem(frame.data(), frame.size() - 2);
    return frame[frame.size() - 2] == (crc >> 8) && frame[frame.size() - 1] == (crc & 0xFF);
}

Bytes ReplyFrame(uint8_t flag, uint8_t index, uint8_t second, uint8_t result)
{
    Bytes frame = {flag, index, second, result};
    AppendCrcHighFirst(frame);
    return frame;
}

Bytes ReplyFor(const Bytes& frame, uint8_t result)
{
    uint8_t index = frame.size() > 1 ? frame[1] : 0;
    return ReplyFrame(WIRE_REPLY_FLAG, index, static_cast<uint8_t>(0xFF - index), result);
}

Bytes CommandHeadFrame(size_t commandLength)
{
    Bytes frame = {WIRE_CMD_HEAD, static_cast<uint8_t>(commandLength >> 8), static_cast<uint8_t>(commandLength)};
    AppendCrcHighFirst(frame);
    return frame;
}

Bytes CommandDataFrame(const std::string& command)
{
    Bytes frame(command.size() + 1, WIRE_CMD_DATA);
    std::copy(command.begin(), command.end(), frame.begin() + 1);
    AppendCrcHighFirst(frame);
    return frame;
}

bool DecodeCommandData(const Bytes& frame, std::string& command)
{
    if (frame.size() < 3 || frame[0] != WIRE_CMD_DATA || !CrcHighFirstMatches(frame)) {
        return false;
    }
    command.assign(frame.begin() + 1, frame.end() - 2);
    return true;
}

struct CommandBoard::State {
    Options options;
    size_t announcedLength = 0;
    std::vector<std::string> commands;
    std::mutex mutex;
};

CommandBoard::CommandBoard(Options options) : m_state(std::make_shared<State>())
{
    m_state->options = std::move(options);
    std::shared_ptr<State> state = m_state;
    auto split = [state](const Bytes& pending) -> size_t {
        if (pending.empty()) {
            return 0;
        }
        size_t wanted = 1;  // a stray byte is a frame of its own, left unanswered
        if (pending[0] == WIRE_CMD_HEAD) {
            wanted = 5;
        } else if (pending[0] == WIRE_CMD_DATA) {
            std::lock_guard<std::mutex> lock(state->mutex);
            wanted = state->announcedLength + 3;
        }
        return pending.size() >= wanted ? wanted : 0;
    };
    auto answer = [state](PtyBench& bench, const Bytes& frame, size_t) {
        if (frame[0] == WIRE_CMD_HEAD && frame.size() == 5) {
            if (CrcHighFirstMatches(frame)) {
                std::lock_guard<std::mutex> lock(state->mutex);
                state->announcedLength = (static_cast<size_t>(frame[1]) << 8) | frame[2];
            }
            bench.Write(Bytes{state->options.headAnswer});
            return;
        }
        std::string command;
        if (!DecodeCommandData(frame, command)) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->commands.push_back(command);
        }
        bench.Write(Bytes{state->options.dataAnswer});
        for (size_t piece = 0; piece < state->options.replyPieces.size(); ++piece) {
            if (piece > 0) {
                PtyBench::Delay(state->options.gapMs);
            }
            bench.Write(state->options.replyPieces[piece]);
        }
    };
    m_framed = std::make_unique<FramedResponder>(split, answer);
}

PtyBench::Responder CommandBoard::AsResponder()
{
    return m_framed->AsResponder();
}

std::vector<std::string> CommandBoard::Commands() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->commands;
}

std::vector<Bytes> CommandBoard::Frames() const
{
    return m_framed->Frames();
}

}  // namespace Sim
