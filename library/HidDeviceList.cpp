#include "HidDeviceList.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>

#include "Common.h"

namespace Hid {

namespace {

constexpr const char* USB_DEVICES_DIR = "/sys/bus/usb/devices";
constexpr int HID_INTERFACE_CLASS = 3;
constexpr size_t ATTRIBUTE_LINE_LEN = 256;
constexpr size_t REPORT_DESCRIPTOR_MAX = 4096;

constexpr unsigned char LONG_ITEM_PREFIX = 0xFE;
constexpr size_t LONG_ITEM_HEADER = 3;  // prefix, size and tag bytes
constexpr unsigned ITEM_TYPE_MAIN = 0;
constexpr unsigned ITEM_TYPE_GLOBAL = 1;
constexpr unsigned ITEM_TYPE_LOCAL = 2;
constexpr unsigned TAG_USAGE_PAGE = 0;  // global
constexpr unsigned TAG_USAGE = 0;       // local

int ReadSysfsHex(const std::string& path)
{
    std::string text = ReadSysfsString(path);
    if (text.empty()) {
        return -1;
    }
    return static_cast<int>(std::strtol(text.c_str(), nullptr, 16));
}

// sysfs reports 4096 as the size of every attribute, so the file is read until it ends, not by its size.
// Empty when it cannot be read.
std::vector<unsigned char> ReadReportDescriptor(const std::string& path)
{
    std::vector<unsigned char> bytes;
    FILE* file = nullptr;
    if (Common::fopen_s(&file, path.c_str(), "rb") != 0 || file == nullptr) {
        return bytes;
    }
    bytes.resize(REPORT_DESCRIPTOR_MAX);
    size_t total = 0;
    while (total < bytes.size()) {
        size_t got = std::fread(bytes.data() + total, 1, bytes.size() - total, file);
        if (got == 0) {
            break;
        }
        total += got;
    }
    Common::CloseFile(file);
    bytes.resize(total);
    return bytes;
}

bool IsInterfaceEntry(const char* name)
{
    return name[0] != '.' && std::strchr(name, ':') != nullptr;
}

bool IdMatches(int wanted, int actual)
{
    return wanted < 0 || wanted == actual;
}

}  // namespace

bool ListHidDevices(std::vector<HidDeviceEntry>& devices, int vendorId, int productId)
{
    return ListHidDevicesUnder(USB_DEVICES_DIR, devices, vendorId, productId);
}

bool ListHidDevicesUnder(const std::string& root, std::vector<HidDeviceEntry>& devices, int vendorId, int productId)
{
    devices.clear();
    DIR* directory = opendir(root.c_str());
    if (directory == nullptr) {
        return false;
    }
    for (dirent* entry = readdir(directory); entry != nullptr; entry = readdir(directory)) {
        if (!IsInterfaceEntry(entry->d_name)) {
            continue;
        }
        std::string entryName = entry->d_name;
        std::string interfaceDir = root + "/" + entryName;
        if (ReadSysfsHex(interfaceDir + "/bInterfaceClass") != HID_INTERFACE_CLASS) {
            continue;
        }
        std::string deviceDir = root + "/" + entryName.substr(0, entryName.find(':'));
        HidDeviceEntry device;
        device.vendorId = ReadSysfsHex(deviceDir + "/idVendor");
        device.productId = ReadSysfsHex(deviceDir + "/idProduct");
        if (!IdMatches(vendorId, device.vendorId) || !IdMatches(productId, device.productId)) {
            continue;
        }
        device.name = Common::Printable(ReadSysfsString(deviceDir + "/product"));
        std::vector<unsigned char> report = ReadReportDescriptor(interfaceDir + "/report_descriptor");
        (void)ParseHidUsage(report.data(), report.size(), device.usagePage, device.usage);
        devices.push_back(device);
    }
    closedir(directory);
    return true;
}

bool ParseHidUsage(const unsigned char* data, unsigned long length, unsigned short& usagePage, unsigned short& usage)
{
    usagePage = 0;
    usage = 0;
    if (data == nullptr || length == 0) {
        return false;
    }
    bool pageFound = false;
    bool usageFound = false;
    unsigned long position = 0;
    while (position < length && !(pageFound && usageFound)) {
        unsigned char prefix = data[position];
        if (prefix == LONG_ITEM_PREFIX) {
            if (position + 1 >= length) {
                break;
            }
            position += data[position + 1] + LONG_ITEM_HEADER;
            continue;
        }
        unsigned sizeCode = prefix & 0x03;
        unsigned long dataSize = sizeCode == 3 ? 4 : sizeCode;
        unsigned type = (prefix >> 2) & 0x03;
        unsigned tag = prefix >> 4;
        if (position + 1 + dataSize > length) {
            break;
        }
        uint32_t value = 0;
        for (unsigned long i = 0; i < dataSize; ++i) {
            value |= static_cast<uint32_t>(data[position + 1 + i]) << (8 * i);
        }
        if (type == ITEM_TYPE_MAIN) {
            break;
        }
        if (type == ITEM_TYPE_GLOBAL && tag == TAG_USAGE_PAGE && !pageFound) {
            usagePage = static_cast<unsigned short>(value & 0xFFFF);
            pageFound = true;
        } else if (type == ITEM_TYPE_LOCAL && tag == TAG_USAGE && !usageFound) {
            usage = static_cast<unsigned short>(value & 0xFFFF);
            usageFound = true;
        }
        position += 1 + dataSize;
    }
    return pageFound || usageFound;
}

std::string ReadSysfsString(const std::string& path)
{
    FILE* file = nullptr;
    if (Common::fopen_s(&file, path.c_str(), "rb") != 0 || file == nullptr) {
        return std::string();
    }
    char line[ATTRIBUTE_LINE_LEN] = {0};
    bool gotLine = std::fgets(line, sizeof(line), file) != nullptr;
    Common::CloseFile(file);
    if (!gotLine) {
        return std::string();
    }
    std::string text(line, strnlen(line, sizeof(line)));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

}  // namespace Hid
