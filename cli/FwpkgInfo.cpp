#include "FwpkgInfo.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Common.h"
#include "CommonUtil.h"
#include "FwpkgCheck.h"

namespace BurnInfo {

namespace {

const char* const LOW_TYPE_NAMES[] = {
    "LOADER",     "NORMAL",     "KV_NV",      "EFUSE",      "OTP",         "FLASHBOOT",
    "FACTORY",    "VERSION",    "SECURITY_A", "SECURITY_B", "SECURITY_C",  "PROTOCOL_A",
    "APPS_A",     "RADIOCONFIG", "ROM",       "EMMC",       "DATABASE",    "FLASHBOOT_6529",
    "APP",        "APP_SIGN",   "BT",         "BT_SIGN",    "DSP",         "DSP_SIGN",
    "SSB_SHA",    "SSB_SIGN",   "DSP1",       "DSP1_SIGN",  "SMALL",       "SMALL_SHA",
};
constexpr unsigned int HIGH_TYPE_FIRST = 100;
const char* const HIGH_TYPE_NAMES[] = {"FLASH_BIN", "EMMC_BIN", "SHA"};

}  // namespace

bool ParseFwpkgInfo(const std::string& path, std::vector<FwImageInfo>& rows, std::string& error,
                    std::string* version, std::string* refusal)
{
    rows.clear();
    if (version != nullptr) {
        version->clear();
    }
    if (refusal != nullptr) {
        refusal->clear();
    }
    std::unique_ptr<unsigned char[]> bytes;
    unsigned long length = 0;
    switch (CommonUtil::ReadRegularFile(path, 0, bytes, length)) {
        case CommonUtil::FileRead::DONE:
            break;
        case CommonUtil::FileRead::CANNOT_OPEN:
            error = "cannot open file: " + Common::Printable(path) + " (" + std::strerror(errno) + ")";
            return false;
        case CommonUtil::FileRead::NO_MEMORY:
            error = "not enough memory to read file: " + Common::Printable(path);
            return false;
        default:
            error = "cannot read file: " + Common::Printable(path);
            return false;
    }
    std::vector<Common::FileHead> images;
    std::string packageVersion;
    std::string fault;
    // The CRC is the parser's last check: a table that reads only without it has a wrong CRC.
    bool crcMatches = Common::ParseFwpkg(bytes.get(), length, images, packageVersion, fault, true);
    if (!crcMatches && !Common::ParseFwpkg(bytes.get(), length, images, packageVersion, error, false)) {
        return false;
    }
    if (crcMatches) {
        fault = Common::PackageTableFault(images, length);
    }
    if (refusal != nullptr) {
        *refusal = fault;
    }
    if (version != nullptr) {
        *version = packageVersion;
    }
    for (const Common::FileHead& image : images) {
        std::string name(image.fileName, strnlen(image.fileName, sizeof(image.fileName)));
        rows.push_back({name, image.burnAddr, image.length, image.burnSize, image.type});
    }
    return true;
}

bool IsFirmwarePackage(const std::string& path)
{
    std::vector<FwImageInfo> rows;
    std::string error;
    return ParseFwpkgInfo(path, rows, error, nullptr);
}

std::string FwImageTypeName(int type)
{
    unsigned int number = static_cast<unsigned int>(type);
    constexpr unsigned int lowCount = sizeof(LOW_TYPE_NAMES) / sizeof(LOW_TYPE_NAMES[0]);
    constexpr unsigned int highCount = sizeof(HIGH_TYPE_NAMES) / sizeof(HIGH_TYPE_NAMES[0]);
    if (number < lowCount) {
        return LOW_TYPE_NAMES[number];
    }
    if (number >= HIGH_TYPE_FIRST && number - HIGH_TYPE_FIRST < highCount) {
        return HIGH_TYPE_NAMES[number - HIGH_TYPE_FIRST];
    }
    return "UNKNOWN";
}

}  // namespace BurnInfo
