// Boot command frames over USB, byte for byte, and the erase-size rounding they carry.
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "BootFrameWire.h"
#include "SebootFrame.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct FrameCase {
    std::string name;
    Bytes built;
    Bytes expected;
};

TEST(SebootFrameTest, EveryBuilderGivesTheWholeFrame)
{
    const std::vector<FrameCase> cases = {
        {"reset", Seboot::BuildResetCmd(),
         {0xC8, 0xD7, 0xE6, 0xF5, 0x0C, 0x00, 0x87, 0x78, 0x00, 0x00, 0xC9, 0x8E}},
        {"erase all", Seboot::BuildEraseAllCmd(),
         {0xC8, 0xD7, 0xE6, 0xF5, 0x18, 0x00, 0xD2, 0x2D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
          0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0xFF, 0xEE, 0x4D}},
        {"flash image mode 2", Seboot::BuildFlashImageCmd(0x00200000, 0x1234, 0x2000, 2),
         {0xC8, 0xD7, 0xE6, 0xF5, 0x18, 0x00, 0xD2, 0x2D, 0x00, 0x00, 0x20, 0x00, 0x34, 0x12, 0x00, 0x00,
          0x00, 0x20, 0x00, 0x00, 0x02, 0xFD, 0x3D, 0x72}},
        {"factory", Seboot::BuildFactoryCmd(0x003F0000, 0x800, 0x1000),
         {0xC8, 0xD7, 0xE6, 0xF5, 0x18, 0x00, 0x78, 0x87, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x08, 0x00, 0x00,
          0x00, 0x10, 0x00, 0x00, 0x00, 0xFF, 0x9B, 0x1C}},
        {"nv", Seboot::BuildNvCmd(0x00300000, 0x100, 0x1000, 0xA55A),
         {0xC8, 0xD7, 0xE6, 0xF5, 0x1A, 0x00, 0x4B, 0xB4, 0x00, 0x00, 0x30, 0x00, 0x00, 0x01, 0x00, 0x00,
          0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x5A, 0xA5, 0x2F, 0x21}},
        {"otp/efuse", Seboot::BuildOtpEfuseCmd(0x40),
         {0xC8, 0xD7, 0xE6, 0xF5, 0x0E, 0x00, 0xC3, 0x3C, 0x40, 0x00, 0x00, 0x00, 0x17, 0x65}},
        {"loader", Seboot::BuildLoaderCmd(0x6000),
         {0xC8, 0xD7, 0xE6, 0xF5, 0x0E, 0x00, 0xE1, 0x1E, 0x00, 0x60, 0x00, 0x00, 0x9F, 0x62}},
        {"version", Seboot::BuildVersionCmd(0x20),
         {0xC8, 0xD7, 0xE6, 0xF5, 0x0E, 0x00, 0x69, 0x96, 0x20, 0x00, 0x00, 0x00, 0x25, 0x37}},
    };
    for (const FrameCase& c : cases) {
        EXPECT_EQ(c.built, c.expected) << c.name;
    }
}

TEST(SebootFrameTest, EraseSizeRoundsUpToWholeSectorsBelowTheKeptRange)
{
    const std::vector<std::pair<unsigned int, unsigned int>> cases = {
        {0, 0},
        {1, 0x1000},
        {0x1000, 0x1000},
        {0x1001, 0x2000},
        {0xF0FFE001, 0xF0FFF000},
        {0xF0FFFFFE, 0xF1000000},
        {0xF0FFFFFF, 0xF0FFFFFF},
        {0xF1000000, 0xF1000000},
        {0xFFFFFFFF, 0xFFFFFFFF},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Seboot::RoundUpEraseSize(c.first), c.second) << std::hex << c.first;
    }
}

// The virtual device reads frames with its own decoder: both sides must agree on every field.
TEST(SebootFrameTest, TheVirtualDevicesReaderGetsTheFieldsBackFromAZeroPaddedBlock)
{
    struct DecodeCase {
        Bytes frame;
        uint8_t command;
        uint32_t address;
        uint32_t length;
        uint32_t eraseSize;
        uint8_t mode;
    };
    const std::vector<DecodeCase> cases = {
        {Seboot::BuildFlashImageCmd(0x00210000, 0x1234, 0x2000, 3), Sim::BOOT_FLASH_IMAGE, 0x00210000, 0x1234,
         0x2000, 3},
        {Seboot::BuildEraseAllCmd(), Sim::BOOT_FLASH_IMAGE, 0, 0, 0xFFFFFFFF, 0},
        {Seboot::BuildFactoryCmd(0x3F0000, 0x800, 0x1000), Sim::BOOT_FACTORY, 0x3F0000, 0x800, 0x1000, 0},
        {Seboot::BuildNvCmd(0x300000, 0x100, 0x1000, 0), Sim::BOOT_NV, 0x300000, 0x100, 0x1000, 0},
        {Seboot::BuildOtpEfuseCmd(0x40), Sim::BOOT_OTP_EFUSE, 0, 0x40, 0, 0},
        {Seboot::BuildLoaderCmd(0x6000), Sim::BOOT_LOADER, 0, 0x6000, 0, 0},
        {Seboot::BuildVersionCmd(0x20), Sim::BOOT_VERSION, 0, 0x20, 0, 0},
        {Seboot::BuildResetCmd(), Sim::BOOT_RESET, 0, 0, 0, 0},
    };
    for (const DecodeCase& c : cases) {
        Bytes block = c.frame;
        block.resize(4096, 0x00);
        Sim::BootFrame frame;
        std::string why;
        ASSERT_TRUE(Sim::DecodeBootFrame(block, frame, why)) << why;
        EXPECT_EQ(frame.command, c.command);
        EXPECT_EQ(frame.address, c.address);
        EXPECT_EQ(frame.length, c.length);
        EXPECT_EQ(frame.eraseSize, c.eraseSize);
        EXPECT_EQ(frame.mode, c.mode);
    }
}

TEST(SebootFrameTest, TheVirtualDeviceRefusesADamagedFrame)
{
    const Bytes good = Seboot::BuildFlashImageCmd(0x1000, 0x10, 0x1000, 0);
    const std::vector<std::pair<size_t, std::string>> damages = {
        {good.size() - 1, "CRC wrong"}, {7, "command complement wrong"}, {4, "frame length wrong for its command"}};
    for (const auto& damage : damages) {
        Bytes block = good;
        block[damage.first] ^= 0x01;
        Sim::BootFrame frame;
        std::string why;
        EXPECT_FALSE(Sim::DecodeBootFrame(block, frame, why));
        EXPECT_EQ(why, damage.second);
    }
}

}  // namespace
