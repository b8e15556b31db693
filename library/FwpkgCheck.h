#ifndef VEXIL_LIBRARY_FWPKGCHECK_H
#define VEXIL_LIBRARY_FWPKGCHECK_H

#include <cstdint>
#include <string>
#include <vector>

#include "Common.h"

// What every road that burns a firmware package checks before it sends a byte of it: a package that
// cannot be burnt as it states its images would otherwise leave the images before the fault in flash,
// or write one image over another.
namespace Common {

// The unit the boot command frames round an erase size up to; only a chip that erases in smaller
// sectors rounds its flash image frame to less.
constexpr unsigned long FLASH_ERASE_UNIT = 4096;

// Whether data begins with the magic flag of either package layout.
bool LooksLikeFwpkg(const unsigned char* data, unsigned long length);

// The flash an image takes, from its burn address on, under its name as lines show it.
struct FlashRange {
    uint64_t begin = 0;
    uint64_t end = 0;
    std::string name;
};

// The line on the first range that runs past the 32-bit address space, else on the first two that
// overlap; empty when the ranges lie apart inside it. An empty range overlaps nothing.
std::string FlashLayoutFault(const std::vector<FlashRange>& ranges);

// The line on an image whose burn size does not cover its length: the chip would write past what it
// erased, into the next area.
std::string BurnSizeFault(const std::string& name, uint32_t burnSize, uint32_t length);

// Why a burn that would send no image but the loader is refused: it would end well with nothing
// written.
std::string NothingBurntFault(const std::string& package, bool onlyBurnListed);

// Reads the image table (its CRC checked) into images and checks every image: the package holds it
// whole, and one written to a flash address has a burn size that covers it, stays in the 32-bit
// address space and overlaps no other. The first fault is reported through the print callback with
// the handle given, followed by "File: <path> format error!", and the result is false.
bool CheckFwpkg(const unsigned char* data, unsigned long length, const char* path, long long handle,
                std::vector<FileHead>& images, unsigned long flashEraseUnit = FLASH_ERASE_UNIT);

}  // namespace Common

#endif
