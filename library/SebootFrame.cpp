#include "SebootFrame.h"

#include <cstdint>

#include "Common.h"

namespace Seboot {

namespace {

constexpr uint32_t FRAME_MAGIC = 0xF5E6D7C8;
constexpr size_t HEAD_LEN = 8;
constexpr size_t CRC_LEN = 2;

constexpr unsigned char CMD_FLASH_IMAGE = 0xD2;
constexpr unsigned char CMD_FACTORY = 0x78;
constexpr unsigned char CMD_NV = 0x4B;
constexpr unsigned char CMD_OTP_EFUSE = 0xC3;
constexpr unsigned char CMD_LOADER = 0xE1;
constexpr unsigned char CMD_VERSION = 0x69;
constexpr unsigned char CMD_RESET = 0x87;

constexpr unsigned int ERASE_UNIT = 0x1000;
constexpr unsigned int ERASE_SIZE_KEPT_FROM = 0xF0FFFFFF;
constexpr unsigned int ERASE_ALL_SIZE = 0xFFFFFFFF;

// Payload fields are appended in order; Finish puts the head in front and the CRC behind them.
class Frame {
public:
    explicit Frame(unsigned char command) : m_bytes(HEAD_LEN), m_command(command) {}

    Frame& U8(unsigned char value)
    {
        m_bytes.push_back(value);
        return *this;
    }
    Frame& U8WithComplement(unsigned char value)
    {
        return U8(value).U8(static_cast<unsigned char>(~value));
    }
    Frame& U16(uint16_t value)
    {
        m_bytes.resize(m_bytes.size() + sizeof(value));
        Common::PutLe16(m_bytes.data() + m_bytes.size() - sizeof(value), value);
        return *this;
    }
    Frame& U32(uint32_t value)
    {
        m_bytes.resize(m_bytes.size() + sizeof(value));
        Common::PutLe32(m_bytes.data() + m_bytes.size() - sizeof(value), value);
        return *this;
    }

    std::vector<unsigned char> Finish()
    {
        size_t covered = m_bytes.size();
        m_bytes.resize(covered + CRC_LEN);
        Common::PutLe32(m_bytes.data(), FRAME_MAGIC);
        Common::PutLe16(m_bytes.data() + 4, static_cast<uint16_t>(m_bytes.size()));
        m_bytes[6] = m_command;
        m_bytes[7] = static_cast<unsigned char>(~m_command);
        Common::PutCrc16Le(m_bytes.data(), covered);
        return m_bytes;
    }

private:
    std::vector<unsigned char> m_bytes;
    unsigned char m_command;
};

}  // namespace

std::vector<unsigned char> BuildFlashImageCmd(unsigned int addr, unsigned int len, unsigned int eraseSize,
                                              unsigned char mode)
{
    return Frame(CMD_FLASH_IMAGE).U32(addr).U32(len).U32(eraseSize).U8WithComplement(mode).Finish();
}

std::vector<unsigned char> BuildEraseAllCmd()
{
    return BuildFlashImageCmd(0, 0, ERASE_ALL_SIZE, 0);
}

std::vector<unsigned char> BuildFactoryCmd(unsigned int addr, unsigned int len, unsigned int eraseSize)
{
    return Frame(CMD_FACTORY).U32(addr).U32(len).U32(eraseSize).U8WithComplement(0).Finish();
}

std::vector<unsigned char> BuildNvCmd(unsigned int addr, unsigned int len, unsigned int eraseSize,
                                      unsigned short value)
{
    return Frame(CMD_NV).U32(addr).U32(len).U32(eraseSize).U16(0).U16(value).Finish();
}

std::vector<unsigned char> BuildOtpEfuseCmd(unsigned int len)
{
    return Frame(CMD_OTP_EFUSE).U32(len).Finish();
}

std::vector<unsigned char> BuildLoaderCmd(unsigned int len)
{
    return Frame(CMD_LOADER).U32(len).Finish();
}

std::vector<unsigned char> BuildVersionCmd(unsigned int len)
{
    return Frame(CMD_VERSION).U32(len).Finish();
}

std::vector<unsigned char> BuildResetCmd()
{
    return Frame(CMD_RESET).U16(0).Finish();
}

unsigned int RoundUpEraseSize(unsigned int size)
{
    return static_cast<unsigned int>(RoundUpEraseSize(static_cast<unsigned long>(size), ERASE_UNIT));
}

unsigned long RoundUpEraseSize(unsigned long size, unsigned long unit)
{
    if (size % unit == 0 || size >= ERASE_SIZE_KEPT_FROM) {
        return size;
    }
    return (size / unit + 1) * unit;
}

}  // namespace Seboot
