#include "FwpkgCheck.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "ChipDriverFactory.h"
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

std::string SentImageFault(const FileHead& image, unsigned long flashEraseUnit)
{
    std::string name = Printable(image.fileName);
    if (image.length == 0) {
        return EmptyImageFault(name);
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

std::string SentImagesFault(const std::vector<FileHead>& sent, unsigned long flashEraseUnit)
{
    for (const FileHead& image : sent) {
        std::string fault = SentImageFault(image, flashEraseUnit);
        if (!fault.empty()) {
            return fault;
        }
    }
    return OverlapFault(sent, flashEraseUnit);
}

bool HoldsName(const char* imageName, const std::string& wanted)
{
    return std::string(imageName).find(wanted) != std::string::npos;
}

// A name that selects no image the chip takes would let the burn end well with nothing of what was
// asked for sent.
bool OnlyBurnNamesSelectTakenImages(const std::vector<FileHead>& images, const ImagePick& pick, const char* path,
                                    long long handle)
{
    for (const std::string& wanted : pick.onlyBurnNames) {
        if (std::none_of(images.begin(), images.end(), [&](const FileHead& image) {
                return pick.Takes(image) && HoldsName(image.fileName, wanted);
            })) {
            PrintInfo(handle, INFO_MESSAGE, "error: --only-burn %s matches no image of %s that is burnt.\n",
                      Printable(wanted).c_str(), Printable(path).c_str());
            return false;
        }
    }
    return true;
}

bool RefuseAsMalformed(long long handle, const std::string& fault, const char* path)
{
    PrintInfo(handle, INFO_MESSAGE, "%s\n", fault.c_str());
    PrintInfo(handle, INFO_MESSAGE, "File: %s format error!\n", Printable(path).c_str());
    return false;
}

}  // namespace

std::string PackageTableFault(const std::vector<FileHead>& images, unsigned long packageLength)
{
    for (const FileHead& image : images) {
        if (static_cast<uint64_t>(image.offset) + image.length > packageLength) {
            return FormatInfo("Image %s runs past the end of the package (offset %u, length %u, package %lu bytes).",
                              Printable(image.fileName).c_str(), image.offset, image.length, packageLength);
        }
    }
    return std::string();
}

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

std::string EmptyImageFault(const std::string& name)
{
    return FormatInfo("Image %s is empty.", name.c_str());
}

std::string BurnSizeFault(const std::string& name, uint32_t burnSize, uint32_t length)
{
    return FormatInfo("Image %s has a burn size of %u bytes, less than its length of %u bytes.", name.c_str(), burnSize,
                      length);
}

std::string NothingBurntFault(const std::string& package, bool onlyBurnListed)
{
    if (onlyBurnListed) {
        return "--only-burn selects nothing of " + Printable(package) + " that this road burns, the loader aside.";
    }
    return Printable(package) + " holds nothing this road burns, the loader aside.";
}

std::string LoaderOrderFault(const std::vector<FileHead>& images, const ImagePick& pick, const std::string& package)
{
    ImagePick burn = pick;
    burn.firstOnly = false;
    std::vector<std::string> loaders;
    std::vector<FileHead> sent = burn.From(images);
    for (const FileHead& image : sent) {
        if (image.type == IMAGE_TYPE_LOADER) {
            loaders.push_back(Printable(image.fileName));
        }
    }
    std::string shown = Printable(package);
    bool loaderFirst = !sent.empty() && sent.front().type == IMAGE_TYPE_LOADER;
    if (pick.firstOnly && !loaderFirst) {
        return "The first image of " + shown + " that is sent is no loader; a read or an erase sends nothing but the "
               "loader.";
    }
    if (!loaders.empty() && !loaderFirst) {
        return "The loader " + loaders.front() + " of " + shown + " is not the first image sent; the chip takes no "
               "image before its loader.";
    }
    if (loaders.size() > 1) {
        return shown + " sends two loaders, " + loaders[0] + " and " + loaders[1] + "; the chip runs one loader.";
    }
    return std::string();
}

std::string InvalidImageNameFault(const std::string& name)
{
    return FormatInfo("Invalid image name in fwpkg: \"%s\"", Printable(name).c_str());
}

std::string SentNameFault(const std::vector<FileHead>& images, const ImagePick& pick)
{
    if (!pick.namesImages) {
        return std::string();
    }
    for (const FileHead& image : pick.From(images)) {
        if (GetFileName(image.fileName).empty()) {
            return InvalidImageNameFault(image.fileName) + "; this road would send it without a name.";
        }
    }
    return std::string();
}

bool LooksLikeFwpkg(const unsigned char* data, unsigned long length)
{
    if (data == nullptr || length < FWPKG_PROBE_LEN) {
        return false;
    }
    uint32_t magic = GetLe32(data);
    return magic >= FWPKG_EXTENDED_FLAG_FIRST && magic <= FWPKG_COMPACT_FLAG;
}

bool ImagePick::Takes(const FileHead& image) const
{
    if (image.type == IMAGE_TYPE_LOADER) {
        return takesLoader;
    }
    return image.type != IMAGE_TYPE_NEVER_SENT;
}

bool ImagePick::Sends(const FileHead& image) const
{
    if (!Takes(image)) {
        return false;
    }
    if (image.type == IMAGE_TYPE_LOADER && !listsLoader) {
        return true;
    }
    return onlyBurnNames.empty() ||
           std::any_of(onlyBurnNames.begin(), onlyBurnNames.end(),
                       [&](const std::string& wanted) { return HoldsName(image.fileName, wanted); });
}

std::vector<FileHead> ImagePick::From(const std::vector<FileHead>& images) const
{
    std::vector<FileHead> sent;
    for (const FileHead& image : images) {
        if (Sends(image)) {
            sent.push_back(image);
            if (firstOnly) {
                break;
            }
        }
    }
    return sent;
}

ImagePick SerialRoadPick(const std::vector<std::string>& onlyBurnNames, bool loaderAlone)
{
    return {onlyBurnNames, true, true, loaderAlone, true};
}

ImagePick UsbRoadPick(const std::vector<std::string>& onlyBurnNames, uint32_t chipType)
{
    return {onlyBurnNames, chipType == ChipDriverFactory::KP7715_CHIP_TYPE, false, false};
}

bool CheckFwpkg(const unsigned char* data, unsigned long length, const char* path, long long handle,
                const ImagePick& pick, std::vector<FileHead>& sent, unsigned long flashEraseUnit)
{
    sent.clear();
    std::vector<FileHead> images;
    std::string version;
    std::string fault;
    if (!ParseFwpkg(data, length, images, version, fault, true)) {
        return RefuseAsMalformed(handle, fault, path);
    }
    fault = PackageTableFault(images, length);
    if (!fault.empty()) {
        return RefuseAsMalformed(handle, fault, path);
    }
    if (!OnlyBurnNamesSelectTakenImages(images, pick, path, handle)) {
        return false;
    }
    std::vector<FileHead> picked = pick.From(images);
    fault = SentImagesFault(picked, flashEraseUnit);
    if (!fault.empty()) {
        return RefuseAsMalformed(handle, fault, path);
    }
    fault = LoaderOrderFault(images, pick, path);
    if (fault.empty()) {
        fault = SentNameFault(images, pick);
    }
    // A read or an erase sends the loader alone on purpose.
    bool besidesLoader = std::any_of(picked.begin(), picked.end(),
                                     [](const FileHead& image) { return image.type != IMAGE_TYPE_LOADER; });
    if (fault.empty() && !pick.firstOnly && !besidesLoader) {
        fault = NothingBurntFault(path, !pick.onlyBurnNames.empty());
    }
    if (!fault.empty()) {
        PrintInfo(handle, INFO_MESSAGE, "error: %s\n", fault.c_str());
        return false;
    }
    sent = std::move(picked);
    return true;
}

}  // namespace Common
