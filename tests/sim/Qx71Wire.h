#ifndef VEXIL_TESTS_SIM_QX71WIRE_H
#define VEXIL_TESTS_SIM_QX71WIRE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "PtyBench.h"

// The bench's own encoders and decoders of the Qx71-family boot protocol, written from the wire
// formats: little-endian command and ack frames with the magic 0xDEADBEEF, and the YMODEM variant
// with CRC-16 (high byte first) and data frames of 1024 to 8192 bytes.
namespace Sim {

constexpr uint8_t QX71_SHAKE_HAND = 0xF0;
constexpr uint8_t QX71_SWITCH_BAUD = 0x5A;
constexpr uint8_t QX71_FLASH_IMAGE = 0xD2;
constexpr uint8_t QX71_NV_KV = 0x4B;
constexpr uint8_t QX71_FACTORY = 0x78;
constexpr uint8_t QX71_OTP_EFUSE = 0xC3;
constexpr uint8_t QX71_VERSION = 0x69;
constexpr uint8_t QX71_UPLOAD = 0xB4;
constexpr uint8_t QX71_RESET = 0x87;
constexpr uint8_t QX71_ACK_OK = 'Z';
constexpr uint8_t QX71_ACK_REFUSED = 0xA5;

constexpr uint8_t YM_SOH = 0x01;
constexpr uint8_t YM_STX = 0x02;
constexpr uint8_t YM_EOT = 0x04;
constexpr uint8_t YM_ACK = 0x06;
constexpr uint8_t YM_NAK = 0x15;
constexpr uint8_t YM_C = 'C';

uint32_t ReadLe32(const Bytes& bytes, size_t offset);
void AppendLe32(Bytes& bytes, uint32_t value);

// A command frame: magic, length, command, its complement, payload, CRC over the rest, low byte first.
Bytes Qx71Frame(uint8_t command, const Bytes& payload);
// The frame that carries a baud rate (handshake, baud switch).
Bytes Qx71BaudFrame(uint8_t command, uint32_t baudRate);
Bytes Qx71FlashImageFrame(uint32_t address, uint32_t length, uint32_t eraseSize, uint8_t mode);
// The chip's 12-byte answer; the command it answers is echoed in bytes 6 and 7.
Bytes Qx71AckFrame(uint8_t command, uint8_t result);

enum class FrameScan { NEED_MORE, FRAME, NOT_A_FRAME };
// Looks for a whole, valid command frame at the start of pending and moves it into frame.
FrameScan TakeQx71Frame(Bytes& pending, Bytes& frame);
uint8_t Qx71Command(const Bytes& frame);
Bytes Qx71Payload(const Bytes& frame);

// YMODEM frames as a sender puts them on the line.
Bytes YmodemBlockZero(const std::string& name, uint64_t size);
Bytes YmodemClosingBlock();
// The data area is size bytes, filled up with zeros; the start byte follows from size.
Bytes YmodemDataFrame(uint8_t number, const Bytes& data, size_t size);
// Data bytes of a frame that begins with startByte (SOH for block 0); 0 for any other byte.
size_t YmodemDataSize(uint8_t startByte);
// The number, its complement and the CRC of a whole frame hold.
bool YmodemFrameValid(const Bytes& frame);
// The name and the size text of a block 0; false when it is not one.
bool ParseYmodemBlockZero(const Bytes& frame, std::string& name, uint64_t& size);

}  // namespace Sim

#endif
