#include "FwpkgInfo.h"

#include <cstdio>
#include <cstring>

#include "Common.h"

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

bool ReadWholeFile(FILE* file, std::vector<unsigned char>& bytes)
{
    unsigned char chunk[4096];
    for (size_t got = std::fread(chunk, 1, sizeof(chunk), file); got > 0;
         got = std::fread(chunk, 1, sizeof(chunk), file)) {
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return std::ferror(file) == 0;
}

}  // namespace

bool ParseFwpkgInfo(const std::string& path, std::vector<FwImageInfo>& rows, std::string& error,
                    std::string* version)
{
    rows.clear();
    if (version != nullptr) {
        version->clear();
    }
    FILE* file = nullptr;
    Common::fopen_s(&file, path.c_str(), "rb");
    if (file == nullptr) {
        error = "cannot open file: " + path;
        return false;
    }
    std::vector<unsigned char> bytes;
    bool read = ReadWholeFile(file, bytes);
    std::fclose(file);
    if (!read) {
        error = "cannot read file: " + path;
        return false;
    }
    std::vector<Common::FileHead> images;
    std::string packageVersion;
    if (!Common::ParseFwpkg(bytes.data(), bytes.size(), images, packageVersion, error, false)) {
        return false;
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
