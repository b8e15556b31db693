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

// Which images of a package a road sends, in package order: those its chip takes that the only-burn
// list selects. A listed name selects every image whose name holds it, letter case counting; an empty
// list selects every image. An image of the never-sent type stays in the package.
struct ImagePick {
    std::vector<std::string> onlyBurnNames;
    bool takesLoader = true;  // whether the chip takes the package's loader
    bool listsLoader = true;  // whether the list filters the loader as it does the other images
    bool firstOnly = false;   // the road sends its first image alone: a read or an erase runs on the loader
    bool namesImages = false; // the road sends each image under the last part of its name (Common::GetFileName)

    bool Takes(const FileHead& image) const;
    bool Sends(const FileHead& image) const;
    std::vector<FileHead> From(const std::vector<FileHead>& images) const;
};

// The Qx71-family serial road: the list filters the loader too, and a read or an erase burns the
// package no further than its first image.
ImagePick SerialRoadPick(const std::vector<std::string>& onlyBurnNames, bool loaderAlone);
// The package road over USB: only the Kp7715 boot ROM takes the loader, and then whatever the list says.
ImagePick UsbRoadPick(const std::vector<std::string>& onlyBurnNames, uint32_t chipType);

// The flash an image takes, from its burn address on, under its name as lines show it.
struct FlashRange {
    uint64_t begin = 0;
    uint64_t end = 0;
    std::string name;
};

// The line on the first image that the package does not hold whole, else empty: the table's own
// sanity, which every road judges whatever it sends, as an image cut short would be burnt as if complete.
std::string PackageTableFault(const std::vector<FileHead>& images, unsigned long packageLength);

// The line on the first range that runs past the 32-bit address space, else on the first two that
// overlap; empty when the ranges lie apart inside it. An empty range overlaps nothing.
std::string FlashLayoutFault(const std::vector<FlashRange>& ranges);

// The line on an image without a byte: the chip would be left with the area as it was, or erased.
std::string EmptyImageFault(const std::string& name);

// The line on an image whose burn size does not cover its length: the chip would write past what it
// erased, into the next area.
std::string BurnSizeFault(const std::string& name, uint32_t burnSize, uint32_t length);

// Why a burn that would send no image but the loader is refused: it would end well with nothing
// written.
std::string NothingBurntFault(const std::string& package, bool onlyBurnListed);

// Why a package is refused where the road sends a loader that is not the first image sent, or a second
// one: the boot ROM would take an image for its loader, or run another loader over the one it runs. A
// read or an erase sends nothing but the loader, so its first image must be one: it would be written to
// the flash. Judged on every image the road would send in a burn; empty when the loaders are in order.
std::string LoaderOrderFault(const std::vector<FileHead>& images, const ImagePick& pick, const std::string& package);

// The line on an image whose name a road cannot take.
std::string InvalidImageNameFault(const std::string& name);

// Why a package is refused on a road that names each image it sends when one would go without a name,
// as an empty name or one that ends in its last separator does: the receiver takes a nameless file for
// the end of the batch, after the command that announced it. Empty when each sent image has a name.
std::string SentNameFault(const std::vector<FileHead>& images, const ImagePick& pick);

// Reads the image table (its CRC checked), which must hold every image whole, and puts the images the
// road sends into sent, once every name of the only-burn list selects an image the chip takes. Then
// judges only what is sent: no image is empty, one written to a flash address has a burn size that
// covers it, stays in the 32-bit address space and overlaps no other, a loader sent goes first and
// alone, each image has the name the road sends it under, and a write sends more than the loader. The
// first fault is reported through the print callback with the handle given (a fault of the package
// followed by "File: <path> format error!"), and the result is false.
bool CheckFwpkg(const unsigned char* data, unsigned long length, const char* path, long long handle,
                const ImagePick& pick, std::vector<FileHead>& sent,
                unsigned long flashEraseUnit = FLASH_ERASE_UNIT);

}  // namespace Common

#endif
