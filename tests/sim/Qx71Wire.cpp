#include "Qx71Wire.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FwpkgBuilder.h"

namespace Sim {

namespace {

constexpr uint32_t MAGIC = 0xDEADBEEF;
constexpr size_t HEAD_LEN = 8;
constexpr size_t MIN_FRAME_LEN = 12;
constexpr size_t MAX_FRAME_LEN = 64;
constexpr size_t YM_HEAD_LEN = 3;
constexpr size_t BLOCK_ZERO_DATA = 128;

uint16_t Crc(const Bytes& bytes, size_t offset, size_t length)
{
    return Crc16Xmodem(bytes.data() + offset, length);
}

bool StartsWithMagic(const Bytes& bytes)
{
    return bytes.size() >= 4 && ReadLe32(bytes, 0) == MAGIC;
}

}  // namespace

uint32_t ReadLe32(const Bytes& bytes, size_t offset)
{
    return static_cast<uint32_t>(bytes[offset]) | (static_cast<uint32_t>(bytes[offset + 1]) << 8) |
           (static_cast<uint32_t>(bytes[offset + 2]) << 16) | (static_cast<uint32_t>(bytes[offset + 3]) << 24);
}

// Grows the vector once and then writes in place: byte-wise growth followed by an insert makes the
// optimiser lose track of the vector's size.
void AppendLe32(Bytes& bytes, uint32_t value)
{
    size_t end = bytes.size();
    bytes.resize(end + 4);
    for (size_t i = 0; i < 4; ++i) {
        bytes[end + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

Bytes Qx71Frame(uint8_t command, const Bytes& payload)
{
    Bytes frame;
    AppendLe32(frame, MAGIC);
    size_t length = HEAD_LEN + payload.size() + 2;
    frame.push_back(static_cast<uint8_t>(length));
    frame.push_back(static_cast<uint8_t>(length >> 8));
    frame.push_back(command);
    frame.push_back(static_cast<uint8_t>(~command));
    frame.insert(frame.end(), payload.begin(), payload.end());
    uint16_t crc = Crc(frame, 0, frame.size());
    frame.push_back(static_cast<uint8_t>(crc));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

Bytes Qx71BaudFrame(uint8_t command, uint32_t baudRate)
{
    Bytes payload;
    AppendLe32(payload, baudRate);
    payload.insert(payload.end(), {0x08, 0x01, 0x00, 0x00});
    return Qx71Frame(command, payload);
}

Bytes Qx71FlashImageFrame(uint32_t address, uint32_t length, uint32_t eraseSize, uint8_t mode)
{
    Bytes payload;
    AppendLe32(payload, address);
    AppendLe32(payload, length);
    AppendLe32(payload, eraseSize);
    payload.push_back(mode);
    payload.push_back(static_cast<uint8_t>(~mode));
    return Qx71Frame(QX71_FLASH_IMAGE, payload);
}

Bytes Qx71AckFrame(uint8_t command, uint8_t result)
{
    return Qx71Frame(command, {result, 0x00});
}

FrameScan TakeQx71Frame(Bytes& pending, Bytes& frame)
{
    Bytes head(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(4, pending.size())));
    Bytes magic;
    AppendLe32(magic, MAGIC);
    if (!std::equal(head.begin(), head.end(), magic.begin())) {
        return FrameScan::NOT_A_FRAME;
    }
    if (pending.size() < 6) {
        return FrameScan::NEED_MORE;
    }
    size_t length = static_cast<size_t>(pending[4]) | (static_cast<size_t>(pending[5]) << 8);
    if (length < MIN_FRAME_LEN || length > MAX_FRAME_LEN) {
        return FrameScan::NOT_A_FRAME;
    }
    if (pending.size() < length) {
        return FrameScan::NEED_MORE;
    }
    Bytes candidate(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(length));
    uint16_t crc = Crc(candidate, 0, length - 2);
    bool valid = StartsWithMagic(candidate) && candidate[7] == static_cast<uint8_t>(~candidate[6]) &&
                 candidate[length - 2] == static_cast<uint8_t>(crc) &&
                 candidate[length - 1] == static_cast<uint8_t>(crc >> 8);
    if (!valid) {
        return FrameScan::NOT_A_FRAME;
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(length));
    frame = candidate;
    return FrameScan::FRAME;
}

uint8_t Qx71Command(const Bytes& frame)
{
    return frame.size() > 6 ? frame[6] : 0;
}

Bytes Qx71Payload(const Bytes& frame)
{
    if (frame.size() < MIN_FRAME_LEN - 2) {
        return {};
    }
    return Bytes(frame.begin() + HEAD_LEN, frame.end() - 2);
}

namespace {

Bytes YmodemFrame(uint8_t start, uint8_t number, const Bytes& data, size_t size)
{
    Bytes frame = {start, number, static_cast<uint8_t>(~number)};
    frame.insert(frame.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(std::min(size, data.size())));
    frame.resize(YM_HEAD_LEN + size, 0x00);
    uint16_t crc = Crc(frame, YM_HEAD_LEN, size);
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    frame.push_back(static_cast<uint8_t>(crc));
    return frame;
}

}  // namespace

Bytes YmodemBlockZero(const std::string& name, uint64_t size)
{
    char sizeText[32] = {0};
    std::snprintf(sizeText, sizeof(sizeText), "0x%llx", static_cast<unsigned long long>(size));
    Bytes data(name.begin(), name.end());
    data.push_back(0x00);
    data.insert(data.end(), sizeText, sizeText + std::char_traits<char>::length(sizeText));
    return YmodemFrame(YM_SOH, 0x00, data, BLOCK_ZERO_DATA);
}

Bytes YmodemClosingBlock()
{
    return YmodemFrame(YM_SOH, 0x00, {}, BLOCK_ZERO_DATA);
}

Bytes YmodemDataFrame(uint8_t number, const Bytes& data, size_t size)
{
    uint8_t start = YM_STX;
    if (size == 2048) {
        start = 0x0A;
    } else if (size == 4096) {
        start = 0x0B;
    } else if (size == 8192) {
        start = 0x0C;
    }
    return YmodemFrame(start, number, data, size);
}

size_t YmodemDataSize(uint8_t startByte)
{
    switch (startByte) {
        case YM_SOH:
            return BLOCK_ZERO_DATA;
        case YM_STX:
            return 1024;
        case 0x0A:
            return 2048;
        case 0x0B:
            return 4096;
        case 0x0C:
            return 8192;
        default:
            return 0;
    }
}

bool YmodemFrameValid(const Bytes& frame)
{
    if (frame.empty()) {
        return false;
    }
    size_t size = YmodemDataSize(frame[0]);
    if (size == 0 || frame.size() != YM_HEAD_LEN + size + 2 || frame[2] != static_cast<uint8_t>(~frame[1])) {
        return false;
    }
    uint16_t crc = Crc(frame, YM_HEAD_LEN, size);
    return frame[YM_HEAD_LEN + size] == static_cast<uint8_t>(crc >> 8) &&
           frame[YM_HEAD_LEN + size + 1] == static_cast<uint8_t>(crc);
}

bool ParseYmodemBlockZero(const Bytes& frame, std::string& name, uint64_t& size)
{
    if (!YmodemFrameValid(frame) || frame[0] != YM_SOH || frame[1] != 0) {
        return false;
    }
    const char* data = reinterpret_cast<const char*>(frame.data() + YM_HEAD_LEN);
    size_t nameLength = std::find(data, data + BLOCK_ZERO_DATA, '\0') - data;
    name.assign(data, nameLength);
    if (nameLength + 1 >= BLOCK_ZERO_DATA) {
        return false;
    }
    std::string sizeText(data + nameLength + 1,
                         std::find(data + nameLength + 1, data + BLOCK_ZERO_DATA, '\0') - (data + nameLength + 1));
    size = std::strtoull(sizeText.c_str(), nullptr, 0);
    return true;
}

}  // namespace Sim
