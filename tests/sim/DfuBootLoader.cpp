#include "DfuBootLoader.h"

#include <algorithm>

namespace Sim {

namespace {

constexpr uint8_t STATUS_OK = 0x00;
constexpr uint8_t ERR_TARGET = 0x01;
constexpr uint8_t ERR_NOTDONE = 0x09;
constexpr uint32_t ERASE_UNIT = 4096;
constexpr uint32_t ERASE_SIZE_KEPT_FROM = 0xF0FFFFFF;

// The loader erases whole sectors and at least what it is about to write.
bool EraseSizeFits(const BootFrame& frame)
{
    if (frame.eraseSize >= ERASE_SIZE_KEPT_FROM) {
        return true;
    }
    return frame.eraseSize % ERASE_UNIT == 0 && frame.eraseSize >= frame.length;
}

}  // namespace

DfuBootLoader::DfuBootLoader(DfuBootLoaderFaults faults) : m_faults(faults) {}

uint8_t DfuBootLoader::Refuse(const std::string& why)
{
    m_lastRefusal = why;
    m_hasCommand = false;
    return ERR_TARGET;
}

uint8_t DfuBootLoader::OnBlock(uint16_t block, const uint8_t* data, uint16_t length)
{
    if (block == 0) {
        return OnFrameBlock(data, length);
    }
    if (!m_hasCommand) {
        return Refuse("data without a command frame");
    }
    if (m_current.data.size() + length > m_current.frame.length) {
        return Refuse("more data than the frame announced");
    }
    m_current.data.insert(m_current.data.end(), data, data + length);
    return STATUS_OK;
}

uint8_t DfuBootLoader::OnFrameBlock(const uint8_t* data, uint16_t length)
{
    Bytes block(data, data + length);
    m_frameBlocks.push_back(block);
    m_current = DfuBootImage();
    std::string why;
    if (!DecodeBootFrame(block, m_current.frame, why)) {
        return Refuse(why);
    }
    if (static_cast<int>(m_frameBlocks.size()) - 1 == m_faults.refusedFrame) {
        return Refuse("refused as told");
    }
    const BootFrame& frame = m_current.frame;
    if (m_faults.needsLoader && !m_loaderRan && frame.command != BOOT_LOADER) {
        return Refuse("the boot ROM takes only a loader");
    }
    if (frame.hasAddress && !frame.IsEraseAll() && !EraseSizeFits(frame)) {
        return Refuse("erase size does not cover the image in whole sectors");
    }
    if (frame.command == BOOT_RESET) {
        m_sessionEnded = true;
    }
    m_hasCommand = true;
    return STATUS_OK;
}

uint8_t DfuBootLoader::OnManifest()
{
    if (!m_hasCommand) {
        return ERR_NOTDONE;
    }
    m_hasCommand = false;
    if (m_current.data.size() != m_current.frame.length) {
        m_lastRefusal = "less data than the frame announced";
        return ERR_NOTDONE;
    }
    if (m_current.frame.IsEraseAll()) {
        m_flash.clear();
        ++m_eraseAlls;
    } else if (m_current.frame.command == BOOT_LOADER) {
        m_loaderRan = true;
    } else if (m_current.frame.hasAddress) {
        Land(m_current);
    }
    m_done.push_back(m_current);
    return STATUS_OK;
}

// A new image replaces whatever lay where it lands.
void DfuBootLoader::Land(const DfuBootImage& image)
{
    uint32_t start = image.frame.address;
    uint64_t end = static_cast<uint64_t>(start) + image.data.size();
    for (auto it = m_flash.begin(); it != m_flash.end();) {
        uint64_t itEnd = static_cast<uint64_t>(it->first) + it->second.size();
        bool overlaps = it->first < end && itEnd > start;
        it = overlaps ? m_flash.erase(it) : std::next(it);
    }
    m_flash[start] = image.data;
}

std::vector<uint8_t> DfuBootLoader::Commands() const
{
    std::vector<uint8_t> commands;
    for (const Bytes& block : m_frameBlocks) {
        commands.push_back(block.size() > 6 ? block[6] : 0);
    }
    return commands;
}

}  // namespace Sim
