#include "BurnContext.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "CliParser.h"
#include "CommonUtil.h"

namespace BurnInfo {

bool BurnContext::m_isOpenDebug = false;

namespace {

// The key and value of a "key=value" line; lines with no or more than one "=" hold none.
bool SplitSetting(const std::string& line, std::string& key, std::string& value)
{
    std::vector<std::string> fields = CommonUtil::Split(line, '=');
    if (fields.size() != 2) {
        return false;
    }
    key = fields[0];
    value = fields[1];
    return true;
}

using CommonUtil::TextRead;

// Whether the setting file was read through; if not, says why (a setting that stopped the read has
// said so itself).
bool ReadThrough(TextRead read, const std::string& path, const std::string& cannotOpenLine)
{
    if (read == TextRead::CANNOT_OPEN) {
        std::puts(cannotOpenLine.c_str());
    } else if (read == TextRead::LINE_TOO_LONG) {
        std::printf("error: %s has a line longer than %zu bytes.\n", path.c_str(), CommonUtil::MAX_SETTING_LINE);
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
        if (line.find('#') != std::string::npos || CommonUtil::Trim(line).empty()) {
            return true;
        }
        // A line the tool cannot read may hold a setting the user counts on: it is refused, not passed over.
        std::string key;
        std::string value;
        if (!SplitSetting(line, key, value)) {
            std::printf("error: %s line %u: '%s' is not a key=value setting.\n", configPath.c_str(), lineNumber,
                        CommonUtil::Trim(line).c_str());
            return false;
        }
        bool known = true;
        if (!ApplyBurnConfig(key, value, known)) {
            return false;
        }
        if (!known) {
            std::printf("error: %s line %u: unknown key '%s'.\n", configPath.c_str(), lineNumber, key.c_str());
        }
        return known;
    }, &reason);
    return ReadThrough(read, configPath, "error: Open burn.config failed: " + configPath + " (" + reason + ").");
}

bool BurnContext::ApplyBurnConfig(const std::string& key, const std::string& value, bool& known)
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
        return LoadLocalConfig(key, value, known);
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
        std::printf("error: Unknown transport: %s!\n", way.c_str());
        return false;
    }
    return true;
}

bool BurnContext::LoadLocalConfig(const std::string& key, const std::string& value, bool& known)
{
    if (key == "serialPort") {
        serialPort = value;
    } else if (key == "baudRate") {
        baudRate = std::atoi(value.c_str());
    } else if (key == "stopBit") {
        stopBit = std::atoi(value.c_str());
    } else if (key == "parity") {
        parity = std::atoi(value.c_str());
    } else if (key == "reset") {
        return CommonUtil::ConvertToLow32OrReport(value, key, reboot);
    } else if (key == "usbVid") {
        return CommonUtil::ConvertToLow32OrReport(value, key, usbVid);
    } else if (key == "usbPid") {
        return CommonUtil::ConvertToLow32OrReport(value, key, usbPid);
    } else if (key == "usbSerialNumber") {
        usbSerialNumber = CommonUtil::Trim(value);
    } else if (key == "usbTransferSize") {
        // The same range as --transfer-size: a larger size would be cut to 16 bits on the wire.
        return CommonUtil::ConvertToLow32OrReport(value, key, usbTransferSize) &&
               CheckTransferSize(usbTransferSize);
    } else if (key == "usbTimeout") {
        usbTimeout = std::atoi(value.c_str());
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
    if (!ReadThrough(read, path, "error: Open file failed: " + path)) {
        return false;
    }
    if (chipType == 0) {
        std::printf("error: ChipType not found in file %s\n", path.c_str());
        return false;
    }
    return true;
}

bool BurnContext::ApplyChipProperty(const std::string& key, const std::string& value)
{
    if (key == "ChipType") {
        if (!CommonUtil::ConvertToLow32OrReport(value, key, chipType)) {
            return false;
        }
        department = DepartmentOf(chipType);
    } else if (key == "LoadBurnAddress") {
        return CommonUtil::ConvertToLow32OrReport(value, key, loaderAddress);
    } else if (key == "ResetAtCommand") {
        resetAtCommand = value + "\r\n";
    } else if (key == "UsbVid" && usbVid < 0) {
        // burn.config and -d take precedence over the chip's own ids.
        return CommonUtil::ConvertToLow32OrReport(value, key, usbVid);
    } else if (key == "UsbPid" && usbPid < 0) {
        return CommonUtil::ConvertToLow32OrReport(value, key, usbPid);
    } else if (key == "SupportedTransports") {
        supportedTransports = CommonUtil::Split(CommonUtil::Trim(value), ',');
    }
    return true;
}

bool BurnContext::IsTransportSupported() const
{
    std::string wanted = transportWay == TRANSPORT_USB ? "usb" : "serial";
    bool supported = supportedTransports.empty() && wanted == "serial";
    for (const std::string& transport : supportedTransports) {
        supported = supported || CommonUtil::Trim(transport) == wanted;
    }
    if (!supported) {
        std::printf("error: Chip %s does not support the %s transport!\n", chipName.c_str(), wanted.c_str());
    }
    return supported;
}

}  // namespace BurnInfo
