#include "BurnSeDfuChip.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "FwpkgCheck.h"
#include "SebootFrame.h"

namespace {

constexpr const char* PLAIN_IMAGE_NAME = "image.bin";

using Common::PrintPlain;

void PrintImageLine(const Common::FileHead& image)
{
    PrintPlain(Common::FormatInfo("Burning image: %s (addr=0x%08X, size=0x%X)\n",
                                  Common::Printable(image.fileName).c_str(), image.burnAddr, image.length)
                   .c_str());
}

}  // namespace

BurnSeDfuChip::~BurnSeDfuChip() = default;

std::vector<unsigned char> BurnSeDfuChip::BuildCmdForImage(const Common::FileHead& image) const
{
    unsigned int eraseSize = Seboot::RoundUpEraseSize(image.burnSize);
    switch (image.type) {
        case Common::IMAGE_TYPE_LOADER:
            return Seboot::BuildLoaderCmd(image.length);
        case Common::IMAGE_TYPE_NV:
            return Seboot::BuildNvCmd(image.burnAddr, image.length, eraseSize, 0);
        case Common::IMAGE_TYPE_OTP:
        case Common::IMAGE_TYPE_EFUSE:
            return Seboot::BuildOtpEfuseCmd(image.length);
        case Common::IMAGE_TYPE_FACTORY:
            return Seboot::BuildFactoryCmd(image.burnAddr, image.length, eraseSize);
        case Common::IMAGE_TYPE_VERSION:
            return Seboot::BuildVersionCmd(image.length);
        case Common::IMAGE_TYPE_FLASH_MODE_TWO:
            return Seboot::BuildFlashImageCmd(image.burnAddr, image.length, eraseSize, 2);
        case Common::IMAGE_TYPE_FLASH_MODE_THREE:
            return Seboot::BuildFlashImageCmd(image.burnAddr, image.length, eraseSize, 3);
        default:
            return Seboot::BuildFlashImageCmd(image.burnAddr, image.length, eraseSize, 0);
    }
}

bool BurnSeDfuChip::DownloadAllinoneBin(const char* file, unsigned long address)
{
    if (!ReadyForUse()) {
        return false;
    }
    size_t length = 0;
    std::unique_ptr<unsigned char[]> data = ReadWholeFile(file, length);
    if (data == nullptr) {
        return false;
    }
    bool burnt = Common::LooksLikeFwpkg(data.get(), length) ? BurnFwpkg(file, data.get(), length)
                                             : BurnPlainFile(data.get(), length, address);
    if (burnt) {
        PrintPlain("Download completed.\n");
    }
    return burnt;
}

bool BurnSeDfuChip::BurnPlainFile(const unsigned char* data, size_t length, unsigned long address)
{
    if (!Protocol()->EnsureIdleState()) {
        return false;
    }
    Common::FileHead image = {};
    std::strncpy(image.fileName, PLAIN_IMAGE_NAME, sizeof(image.fileName) - 1);
    image.length = static_cast<uint32_t>(length);
    image.burnSize = static_cast<uint32_t>(length);
    image.burnAddr = static_cast<uint32_t>(address);
    image.type = Common::IMAGE_TYPE_FLASH;
    return BurnOneImage(image, data);
}

// A package that cannot be burnt as asked is refused before the device is asked for anything, so
// that no half of it ends up in the flash.
bool BurnSeDfuChip::BurnFwpkg(const char* path, const unsigned char* data, unsigned long length)
{
    std::vector<Common::FileHead> images;
    if (!Common::CheckFwpkg(data, length, path, GetThisPtr(), Common::UsbRoadPick(GetOnlyBurnNames(), m_chipType),
                            images) ||
        !Protocol()->EnsureIdleState()) {
        return false;
    }
    for (const Common::FileHead& image : images) {
        bool burnt = image.type == Common::IMAGE_TYPE_LOADER ? BurnLoaderImage(image, data + image.offset)
                                                               : BurnOneImage(image, data + image.offset);
        if (!burnt) {
            return false;
        }
    }
    return true;
}

// A loader's download ends with the device leaving the bus to run it, so no idle state confirms it.
bool BurnSeDfuChip::BurnOneImage(const Common::FileHead& image, const unsigned char* data)
{
    bool isLoader = image.type == Common::IMAGE_TYPE_LOADER;
    const char* kind = isLoader ? "loader " : "";
    std::string name = Common::Printable(image.fileName);
    PrintImageLine(image);
    std::vector<unsigned char> frame = BuildCmdForImage(image);
    if (!Protocol()->SendCommandFrame(frame.data(), frame.size(), false)) {
        Common::PrintInfo(GetThisPtr(), Common::INFO_MESSAGE, "Send %s command for %s failed.\n",
                          isLoader ? "loader" : "burn", name.c_str());
        return false;
    }
    bool downloaded = isLoader ? Protocol()->DownloadImageData(data, image.length)
                               : DownloadAndConfirm(data, image.length);
    if (!downloaded) {
        Common::PrintInfo(GetThisPtr(), Common::INFO_MESSAGE, "Download %s%s failed.\n", kind, name.c_str());
        return false;
    }
    Common::PrintInfo(GetThisPtr(), Common::INFO_MESSAGE, "Downloaded %s%s successfully.\n", kind, name.c_str());
    return true;
}

// A device that left the bus during the manifest phase, or could not be brought back to idle after
// it, never said the data was written.
bool BurnSeDfuChip::DownloadAndConfirm(const unsigned char* data, unsigned long length)
{
    return Protocol()->DownloadImageData(data, length) && Protocol()->EnsureIdleState();
}

// The loader goes as any image does; the device then leaves the bus to run it and comes back.
bool BurnSeDfuChip::BurnLoaderImage(const Common::FileHead& image, const unsigned char* data)
{
    if (!BurnOneImage(image, data)) {
        return false;
    }
    PrintPlain("Loader downloaded; waiting for the device to re-enter DFU mode...\n");
    if (!ReopenUsbDfu()) {
        PrintPlain("error: device did not come back after the loader stage.\n");
        return false;
    }
    return Protocol()->EnsureIdleState();
}

bool BurnSeDfuChip::EraseAllFlash()
{
    if (!ReadyForUse()) {
        return false;
    }
    if (!Protocol()->EnsureIdleState()) {
        return false;
    }
    PrintPlain("Erasing all flash...\n");
    std::vector<unsigned char> frame = Seboot::BuildEraseAllCmd();
    return Protocol()->SendCommandFrame(frame.data(), frame.size(), false) && DownloadAndConfirm(nullptr, 0);
}

bool BurnSeDfuChip::Reset()
{
    if (Protocol() == nullptr) {
        return false;
    }
    PrintPlain("Sending the reset command.\n");
    std::vector<unsigned char> frame = Seboot::BuildResetCmd();
    return Protocol()->SendCommandFrame(frame.data(), frame.size(), true);
}
