#ifndef VEXIL_LIBRARY_BURNKP7715CHIP_H
#define VEXIL_LIBRARY_BURNKP7715CHIP_H

#include "BurnQx71Chip.h"

namespace BurnKp7715ChipSp {

// A Qx71-family chip that erases in 512-byte sectors and may take minutes to prepare its flash for
// an image: its flash image command rounds to 512 bytes and gets one long try.
class BurnKp7715Chip : public BurnQx71ChipSp::BurnQx71Chip {
public:
    BurnKp7715Chip() = default;
    ~BurnKp7715Chip() override;

    bool SendFlashImageCmdFrame(unsigned long address, unsigned long length, unsigned long eraseSize,
                                int type) override;
    unsigned long FlashEraseUnit() const override;
};

}  // namespace BurnKp7715ChipSp

#endif
