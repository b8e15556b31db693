#ifndef VEXIL_TESTS_SIM_SERIALWIRE_H
#define VEXIL_TESTS_SIM_SERIALWIRE_H

#include <memory>
#include <string>
#include <vector>

#include "PtyBench.h"

// The bench's own encoders and decoders of the serial frames that carry one-byte acks, reply frames
// and text commands, written from the wire formats.
namespace Sim {

constexpr uint8_t WIRE_ACK = 0xAA;
constexpr uint8_t WIRE_NAK = 0x55;
constexpr uint8_t WIRE_REPLY_FLAG = 0xCB;
constexpr uint8_t WIRE_REPLY_REFUSED = 0xA5;
constexpr uint8_t WIRE_CMD_HEAD = 0xAB;
constexpr uint8_t WIRE_CMD_DATA = 0xCD;

void AppendCrcHighFirst(Bytes& frame);
bool CrcHighFirstMatches(const Bytes& frame);

// A 6-byte reply frame: flag, index, second byte, result and the CRC of those four, high byte first.
Bytes ReplyFrame(uint8_t flag, uint8_t index, uint8_t second, uint8_t result);
// The reply a board gives to frame: the index echoed, bytes 1 and 2 adding up to 255.
Bytes ReplyFor(const Bytes& frame, uint8_t result = 0x00);

Bytes CommandHeadFrame(size_t commandLength);
Bytes CommandDataFrame(const std::string& command);
// The command in a data frame whose CRC holds; false otherwise.
bool DecodeCommandData(const Bytes& frame, std::string& command);

// A board that takes text commands: acks the head and the data frame (or answers as told) and then
// writes its reply text in the given pieces.
class CommandBoard {
public:
    struct Options {
        std::vector<std::string> replyPieces;
        int gapMs = 0;
        uint8_t headAnswer = WIRE_ACK;
        uint8_t dataAnswer = WIRE_ACK;
    };

    explicit CommandBoard(Options options);
    PtyBench::Responder AsResponder();
    std::vector<std::string> Commands() const;
    std::vector<Bytes> Frames() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
    std::unique_ptr<FramedResponder> m_framed;
};

}  // namespace Sim

#endif
