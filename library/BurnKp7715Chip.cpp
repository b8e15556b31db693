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
    return SendFlashImageFrame(address, length, eraseSize, type, ERASE_UNIT, limitMs, limitMs);
}

}  // namespace BurnKp7715ChipSp
