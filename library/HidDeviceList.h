#ifndef VEXIL_LIBRARY_HIDDEVICELIST_H
#define VEXIL_LIBRARY_HIDDEVICELIST_H

#include <string>
#include <vector>

// The USB HID interfaces attached, read from sysfs without opening any device.
namespace Hid {

struct HidDeviceEntry {
    int vendorId = -1;   // -1 when the attribute is missing or empty
    int productId = -1;
    unsigned short usage = 0;       // the first Usage of the report descriptor, 0 when none
    unsigned short usagePage = 0;   // the first Usage Page, 0 when none
    std::string name;
};

// A negative id matches any; false only when the USB device directory cannot be opened.
bool ListHidDevices(std::vector<HidDeviceEntry>& devices, int vendorId, int productId);
// The same walk over another sysfs device directory.
bool ListHidDevicesUnder(const std::string& root, std::vector<HidDeviceEntry>& devices, int vendorId, int productId);

// Walks the items up to the first Main item; true when a usage page or a usage was found.
bool ParseHidUsage(const unsigned char* data, unsigned long length, unsigned short& usagePage, unsigned short& usage);

// The first line of an attribute file (at most 255 characters) without its line end; empty when unreadable.
std::string ReadSysfsString(const std::string& path);

}  // namespace Hid

#endif
