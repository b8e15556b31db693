#include "BurnContext.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "CliParser.h"
#include "Common.h"
#include "CommonUtil.h"

namespace BurnInfo {

bool BurnContext::m_isOpenDebug = false;

namespace {

// A USB id from a setting file; a negative one means any device.
constexpr CommonUtil::NumberRule USB_ID = {-1, USB_ID_MAX, false, "-1 (any) to 0xFFFF"};
// The chip type number is read as the 32 bits it has.
constexpr CommonUtil::NumberRule CHIP_TYPE = {0, 0xFFFFFFFFLL, false, "0 to 0xFFFFFFFF"};

// The key and value of a "key=value" line, split at its first "=" (a value may hold one); a line
// without "=" holds none.
bool SplitSetting(const std::string& line, std::string& key, std::string& value)
{
    size_t equals = line.find('=');
    if (equals == std::string::npos) {
        return false;
    }
    key = line.substr(0, equals);
    value = line.substr(equals + 1);
    return true;
}

using CommonUtil::TextRead;

// A number setting left empty is not set, and its default stays; any other value must be a number.
bool ReadNumberSetting(const std::string& value, const CommonUtil::NumberRule& rule, const std::string& setting,
                       int& field)
{
    return CommonUtil::Trim(value).empty() || CommonUtil::ConvertToLow32OrReport(value, rule, setting, field);
}

// Whether the setting file was read through; if not, says why (a setting that stopped the read has
// said so itself).
bool ReadThrough(TextRead read, const std::string& path, const std::string& cannotOpenLine)
{
    if (read == TextRead::CANNOT_OPEN) {
        std::puts(cannotOpenLine.c_str());
    } else if (read == TextRead::LINE_TOO_LONG) {
        std::printf("error: %s has a line longer than %zu bytes.\n", Common::Printable(path).c_str(),
                    CommonUtil::MAX_SETTING_LINE);
    }
    return read == TextRead::DONE;
}

}  // namespace

BurnContext::BurnContext()
{
    InitExePath();
}

void BurnContext::InitExePath(const char* link)
{
    exePath.clear();
    char path[MAX_PATH_LENGTH] = {0};
    ssize_t length = readlink(link, path, sizeof(path));
    // A path that fills the whole buffer may have been cut short: as good as no path.
    if (length < 0 || static_cast<size_t>(length) >= sizeof(path)) {
        std::puts("readlink failed.");
        return;
    }
    std::string target(path, static_cast<size_t>(length));
    size_t cut = CommonUtil::FindLastSeparator(target);
    if (cut != std::string::npos) {
        exePath = target.substr(0, cut + 1);
    }
}

bool BurnContext::LoadBurnConfig()
{
    if (configPath.empty()) {
        configPath = exePath + BURN_CONFIG;
    }
    unsigned lineNumber = 0;
    std::string reason;
    TextRead read = CommonUtil::ReadSettingLines(configPath, [this, &lineNumber](const std::string& line) {
        ++lineNumber;
        std::string text = CommonUtil::Trim(line);
        if (text.empty() || text[0] == '#') {
            return true;
        }
        // A line the tool cannot read may hold a setting the user counts on: it is refused, not passed over.
        std::string where = Common::Printable(configPath) + " line " + std::to_string(lineNumber);
        std::string key;
        std::string value;
        if (!SplitSetting(line, key, value)) {
            std::printf("error: %s: '%s' is not a key=value setting.\n", where.c_str(),
                        Common::Printable(text).c_str());
            return false;
        }
        // Whether a "#" after a setting starts a comment or belongs to the value cannot be told.
        if (line.find('#') != std::string::npos) {
            std::printf("error: %s: '%s' holds a '#'; a comment takes a line of its own.\n", where.c_str(),
                        Common::Printable(text).c_str());
            return false;
        }
        bool known = true;
        if (!ApplyBurnConfig(key, value, key + " in " + where, known)) {
            return false;
        }
        if (!known) {
            std::printf("error: %s: unknown key '%s'.\n", where.c_str(), Common::Printable(key).c_str());
        }
        return known;
    }, &reason);
    return ReadThrough(read, configPath,
                       "error: Open burn.config failed: " + Common::Printable(configPath) + " (" + reason + ").");
}

bool BurnContext::ApplyBurnConfig(const std::string& key, const std::string& value, const std::string& setting,
                                  bool& known)
{
    if (key == "chipName") {
        chipName = value;
    } else if (key == "filePath") {
        filePath = value;
    } else if (key == "xmlPathDefault") {
        xmlPathDefault = (value == "true");
    } else if (key == "mode") {
        return LoadTransportWay(value);
    } else if (key == "openDebug") {
        m_isOpenDebug = (value == "true");
    } else {
        return LoadLocalConfig(key, value, setting, known);
    }
    return true;
}

bool BurnContext::LoadTransportWay(const std::string& value)
{
    std::string way = CommonUtil::Trim(value);
    if (way == "serial") {
        transportWay = TRANSPORT_SERIAL;
    } else if (way == "usb") {
        transportWay = TRANSPORT_USB;
    } else {
        std::printf("error: Unknown transport: %s!\n", Common::Printable(way).c_str());
        return false;
    }
    return true;
}

bool BurnContext::LoadLocalConfig(const std::string& key, const std::string& value, const std::string& setting,
                                  bool& known)
{
    if (key == "serialPort") {
        serialPort = value;
    } else if (key == "baudRate") {
        return ReadNumberSetting(value, CommonUtil::POSITIVE_INT, setting, baudRate);
    } else if (key == "stopBit") {
        return ReadNumberSetting(value, STOP_BITS, setting, stopBit);
    } else if (key == "parity") {
        return ReadNumberSetting(value, PARITY, setting, parity);
    } else if (key == "reset") {
        return ReadNumberSetting(value, CommonUtil::NON_NEGATIVE_INT, setting, reboot);
    } else if (key == "usbVid") {
        return ReadNumberSetting(value, USB_ID, setting, usbVid);
    } else if (key == "usbPid") {
        return ReadNumberSetting(value, USB_ID, setting, usbPid);
    } else if (key == "usbSerialNumber") {
        usbSerialNumber = CommonUtil::Trim(value);
    } else if (key == "usbTransferSize") {
        // 0 leaves the library its own size; any other takes the range of --transfer-size, as a larger
        // size would be cut to 16 bits on the wire.
        long long size = 0;
        if (CommonUtil::ConvertToNumber(value, size) && size == 0) {
            usbTransferSize = 0;
            return true;
        }
        return ReadNumberSetting(value, DFU_TRANSFER_SIZE, setting, usbTransferSize);
    } else if (key == "usbTimeout") {
        // 0 leaves the library its own time limit.
        return ReadNumberSetting(value, CommonUtil::NON_NEGATIVE_INT, setting, usbTimeout);
    } else {
        known = false;
    }
    return true;
}

bool BurnContext::CheckBurnParameters() const
{
    if (chipName.empty()) {
        std::puts("error: Chip name not found!");
        return false;
    }
    if (filePath.empty()) {
        std::puts("error: Burn file not found!");
        return false;
    }
    if (transportWay == TRANSPORT_NOT_SET) {
        std::puts("error: Transport way not found!");
        return false;
    }
    return true;
}

bool BurnContext::LoadChipProperties()
{
    std::string directory = exePath + CHIP_PROPERTIES;
    std::string name = chipName + ".txt";
    std::string foundName;
    std::string path = directory + (CommonUtil::FindFileIgnoreCase(directory, name, foundName) ? foundName : name);
    TextRead read = CommonUtil::ReadSettingLines(path, [this](const std::string& line) {
        std::string key;
        std::string value;
        return !SplitSetting(line, key, value) || ApplyChipProperty(key, value);
    });
    if (!ReadThrough(read, path, "error: Open file failed: " + Common::Printable(path))) {
        return false;
    }
    if (chipType == 0) {
        std::printf("error: ChipType not found in file %s\n", Common::Printable(path).c_str());
        return false;
    }
    return true;
}

bool BurnContext::ApplyChipProperty(const std::string& key, const std::string& value)
{
    if (key == "ChipType") {
        if (!CommonUtil::ConvertToLow32OrReport(value, CHIP_TYPE, key, chipType)) {
            return false;
        }
        department = DepartmentOf(chipType);
    } else if (key == "LoadBurnAddress") {
        return CommonUtil::ConvertToLow32OrReport(value, CommonUtil::ADDRESS_32, key, loaderAddress);
    } else if (key == "ResetAtCommand") {
        resetAtCommand = value + "\r\n";
    } else if (key == "UsbVid" && usbVid < 0) {
        // burn.config and -d take precedence over the chip's own ids.
        return CommonUtil::ConvertToLow32OrReport(value, USB_ID, key, usbVid);
    } else if (key == "UsbPid" && usbPid < 0) {
        return CommonUtil::ConvertToLow32OrReport(value, USB_ID, key, usbPid);
    } else if (key == "SupportedTransports") {
        supportedTransports = CommonUtil::Split(CommonUtil::Trim(value), ',');
    }
    return true;
}

std::string BurnContext::FirstOption(const std::vector<std::string>& names, bool among) const
{
    for (const auto& given : givenOptions) {
        if ((std::find(names.begin(), names.end(), given.first) != names.end()) == among) {
            return given.second;
        }
    }
    return std::string();
}

bool BurnContext::IsTransportSupported() const
{
    std::string wanted = transportWay == TRANSPORT_USB ? "usb" : "serial";
    bool supported = supportedTransports.empty() && wanted == "serial";
    for (const std::string& transport : supportedTransports) {
        supported = supported || CommonUtil::Trim(transport) == wanted;
    }
    if (!supported) {
        std::printf("error: Chip %s does not support the %s transport!\n", Common::Printable(chipName).c_str(),
                    wanted.c_str());
    }
    return supported;
}

}  // namespace BurnInfo
