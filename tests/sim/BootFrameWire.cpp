#include "BootFrameWire.h"

#include "FwpkgBuilder.h"
#include "Qx71Wire.h"

namespace Sim {

namespace {

constexpr uint32_t MAGIC = 0xF5E6D7C8;
constexpr size_t PAYLOAD_AT = 8;

uint16_t Le16(const Bytes& bytes, size_t offset)
{
    return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

// The whole frame length each command comes with.
size_t LengthOf(uint8_t command)
{
    switch (command) {
        case BOOT_FLASH_IMAGE:
        case BOOT_FACTORY:
            return 24;
        case BOOT_NV:
            return 26;
        case BOOT_OTP_EFUSE:
        case BOOT_LOADER:
        case BOOT_VERSION:
            return 14;
        case BOOT_RESET:
            return 12;
        default:
            return 0;
    }
}

bool Fail(std::string& why, const std::string& reason)
{
    why = reason;
    return false;
}

bool DecodePayload(const Bytes& block, BootFrame& frame, std::string& why)
{
    size_t at = PAYLOAD_AT;
    switch (frame.command) {
        case BOOT_FLASH_IMAGE:
        case BOOT_FACTORY:
        case BOOT_NV:
            frame.hasAddress = true;
            frame.address = ReadLe32(block, at);
            frame.length = ReadLe32(block, at + 4);
            frame.eraseSize = ReadLe32(block, at + 8);
            at += 12;
            break;
        case BOOT_RESET:
            return Le16(block, at) == 0 || Fail(why, "reset payload not zero");
        default:
            frame.length = ReadLe32(block, at);
            return true;
    }
    if (frame.command == BOOT_NV) {
        frame.nvValue = Le16(block, at + 2);
        return Le16(block, at) == 0 || Fail(why, "NV reserved field not zero");
    }
    uint8_t mode = block[at];
    if (block[at + 1] != static_cast<uint8_t>(~mode)) {
        return Fail(why, "mode complement wrong");
    }
    if (frame.command == BOOT_FACTORY && mode != 0) {
        return Fail(why, "factory mode not zero");
    }
    frame.mode = mode;
    return true;
}

}  // namespace

bool LooksLikeBootFrame(const Bytes& block)
{
    return block.size() >= 4 && ReadLe32(block, 0) == MAGIC;
}

bool DecodeBootFrame(const Bytes& block, BootFrame& frame, std::string& why)
{
    frame = BootFrame();
    if (!LooksLikeBootFrame(block) || block.size() < PAYLOAD_AT) {
        return Fail(why, "no boot command frame");
    }
    frame.frameLength = Le16(block, 4);
    frame.command = block[6];
    if (block[7] != static_cast<uint8_t>(~frame.command)) {
        return Fail(why, "command complement wrong");
    }
    size_t expected = LengthOf(frame.command);
    if (expected == 0) {
        return Fail(why, "unknown command");
    }
    if (frame.frameLength != expected || block.size() < expected) {
        return Fail(why, "frame length wrong for its command");
    }
    if (Le16(block, expected - 2) != Crc16Xmodem(block.data(), expected - 2)) {
        return Fail(why, "CRC wrong");
    }
    return DecodePayload(block, frame, why);
}

}  // namespace Sim
