#ifndef VEXIL_TESTS_SIM_BOOTFRAMEWIRE_H
#define VEXIL_TESTS_SIM_BOOTFRAMEWIRE_H

#include <cstdint>
#include <string>

#include "PtyBench.h"

// The virtual DFU device's own reader of the boot command frames that arrive in DNLOAD block 0,
// written from the wire format: magic 0xF5E6D7C8, 16-bit length, command and its complement,
// payload, CRC-16/XMODEM low byte first; the block may carry zeros after the frame.
namespace Sim {

constexpr uint8_t BOOT_FLASH_IMAGE = 0xD2;
constexpr uint8_t BOOT_FACTORY = 0x78;
constexpr uint8_t BOOT_NV = 0x4B;
constexpr uint8_t BOOT_OTP_EFUSE = 0xC3;
constexpr uint8_t BOOT_LOADER = 0xE1;
constexpr uint8_t BOOT_VERSION = 0x69;
constexpr uint8_t BOOT_RESET = 0x87;

struct BootFrame {
    uint8_t command = 0;
    uint16_t frameLength = 0;
    bool hasAddress = false;   // flash image, factory and NV frames
    uint32_t address = 0;
    uint32_t length = 0;       // bytes of the image that follows
    uint32_t eraseSize = 0;
    uint8_t mode = 0;          // flash image frames
    uint16_t nvValue = 0;      // NV frames
    bool IsEraseAll() const { return command == BOOT_FLASH_IMAGE && length == 0 && eraseSize == 0xFFFFFFFF; }
};

// True when block starts with the magic: a frame, or a damaged one.
bool LooksLikeBootFrame(const Bytes& block);
// Decodes the frame at the start of block; false with the reason when it is no valid frame.
bool DecodeBootFrame(const Bytes& block, BootFrame& frame, std::string& why);

}  // namespace Sim

#endif
