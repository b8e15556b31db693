#include "BurnKp7715Chip.h"

namespace BurnKp7715ChipSp {

namespace {
constexpr unsigned long ERASE_UNIT = 512;
}

BurnKp7715Chip::~BurnKp7715Chip() = default;

bool BurnKp7715Chip::SendFlashImageCmdFrame(unsigned long address, unsigned long length, unsigned long eraseSize,
                                            int type)
{
    int limitMs = GetTimeLimits().longCommandMs;
    return SendFlashImageFrame(address, length, eraseSize, type, limitMs, limitMs);
}

unsigned long BurnKp7715Chip::FlashEraseUnit() const
{
    return ERASE_UNIT;
}

}  // namespace BurnKp7715ChipSp
