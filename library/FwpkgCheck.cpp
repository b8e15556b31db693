#include "FwpkgCheck.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "SebootFrame.h"

namespace Common {

namespace {

constexpr unsigned long FWPKG_PROBE_LEN = 12;

// The chip keeps the other images elsewhere: the loader runs from RAM, OTP/e-Fuse and version data
// have places of their own, and an image of the never-sent type never goes.
bool CarriesFlashAddress(uint32_t type)
{
    switch (type) {
        case IMAGE_TYPE_LOADER:
        case IMAGE_TYPE_OTP:
        case IMAGE_TYPE_EFUSE:
        case IMAGE_TYPE_VERSION:
        case IMAGE_TYPE_NEVER_SENT:
            return false;
        default:
            return true;
    }
}

// The NV and factory frames round to the common unit on every road; only the flash image frame
// follows the chip's own.
unsigned long EraseSizeOf(const FileHead& image, unsigned long flashEraseUnit)
{
    bool ownFrame = image.type == IMAGE_TYPE_NV || image.type == IMAGE_TYPE_FACTORY;
    return Seboot::RoundUpEraseSize(image.burnSize, ownFrame ? FLASH_ERASE_UNIT : flashEraseUnit);
}

// The flash an image takes: what the chip erases or what it writes, whichever is more.
FlashRange RangeOf(const FileHead& image, unsigned long flashEraseUnit)
{
    uint64_t extent = std::max<uint64_t>(EraseSizeOf(image, flashEraseUnit), image.length);
    return {image.burnAddr, static_cast<uint64_t>(image.burnAddr) + extent, Printable(image.fileName)};
}

std::string AddressSpaceFault(const FlashRange& range)
{
    if (range.end > (1ULL << 32)) {
        return FormatInfo("Image %s at 0x%x runs past the end of the 32-bit address space.", range.name.c_str(),
                          static_cast<unsigned>(range.begin));
    }
    return std::string();
}

std::string OverlapFault(std::vector<FlashRange> ranges)
{
    ranges.erase(std::remove_if(ranges.begin(), ranges.end(),
                                [](const FlashRange& range) { return range.end <= range.begin; }),
                 ranges.end());
    std::sort(ranges.begin(), ranges.end(),
              [](const FlashRange& left, const FlashRange& right) { return left.begin < right.begin; });
    for (size_t i = 1; i < ranges.size(); ++i) {
        if (ranges[i].begin < ranges[i - 1].end) {
            return FormatInfo("Images %s and %s overlap in flash.", ranges[i - 1].name.c_str(), ranges[i].name.c_str());
        }
    }
    return std::string();
}

std::string ImageFault(const FileHead& image, unsigned long packageLength, unsigned long flashEraseUnit)
{
    std::string name = Printable(image.fileName);
    if (static_cast<uint64_t>(image.offset) + image.length > packageLength) {
        return FormatInfo("Image %s runs past the end of the package (offset %u, length %u, package %lu bytes).",
                          name.c_str(), image.offset, image.length, packageLength);
    }
    if (!CarriesFlashAddress(image.type)) {
        return std::string();
    }
    // The chip would write bytes it never erased; a burn size of 0 stands for an area erased beforehand.
    if (image.burnSize != 0 && EraseSizeOf(image, flashEraseUnit) < image.length) {
        return BurnSizeFault(name, image.burnSize, image.length);
    }
    return AddressSpaceFault(RangeOf(image, flashEraseUnit));
}

std::string OverlapFault(const std::vector<FileHead>& images, unsigned long flashEraseUnit)
{
    std::vector<FlashRange> ranges;
    for (const FileHead& image : images) {
        if (CarriesFlashAddress(image.type)) {
            ranges.push_back(RangeOf(image, flashEraseUnit));
        }
    }
    return OverlapFault(std::move(ranges));
}

std::string PackageFault(const std::vector<FileHead>& images, unsigned long packageLength,
                         unsigned long flashEraseUnit)
{
    for (const FileHead& image : images) {
        std::string fault = ImageFault(image, packageLength, flashEraseUnit);
        if (!fault.empty()) {
            return fault;
        }
    }
    return OverlapFault(images, flashEraseUnit);
}

}  // namespace

std::string FlashLayoutFault(const std::vector<FlashRange>& ranges)
{
    for (const FlashRange& range : ranges) {
        std::string fault = AddressSpaceFault(range);
        if (!fault.empty()) {
            return fault;
        }
    }
    return OverlapFault(ranges);
}

std::string BurnSizeFault(const std::string& name, uint32_t burnSize, uint32_t length)
{
    return FormatInfo("Image %s has a burn size of %u bytes, less than its length of %u bytes.", name.c_str(), burnSize,
                      length);
}

std::string NothingBurntFault(const std::string& package, bool onlyBurnListed)
{
    if (onlyBurnListed) {
        return "--only-burn selects nothing of " + package + " that this road burns, the loader aside.";
    }
    return package + " holds nothing this road burns, the loader aside.";
}

bool LooksLikeFwpkg(const unsigned char* data, unsigned long length)
{
    if (data == nullptr || length < FWPKG_PROBE_LEN) {
        return false;
    }
    uint32_t magic = GetLe32(data);
    return magic >= FWPKG_EXTENDED_FLAG_FIRST && magic <= FWPKG_COMPACT_FLAG;
}

bool CheckFwpkg(const unsigned char* data, unsigned long length, const char* path, long long handle,
                std::vector<FileHead>& images, unsigned long flashEraseUnit)
{
    std::string version;
    std::string fault;
    if (ParseFwpkg(data, length, images, version, fault, true)) {
        fault = PackageFault(images, length, flashEraseUnit);
    }
    if (fault.empty()) {
        return true;
    }
    images.clear();
    PrintInfo(handle, INFO_MESSAGE, "%s\n", fault.c_str());
    PrintInfo(handle, INFO_MESSAGE, "File: %s format error!\n", path);
    return false;
}

}  // namespace Common
