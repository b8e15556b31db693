#ifndef VEXIL_LIBRARY_DEVICELISTTEXT_H
#define VEXIL_LIBRARY_DEVICELISTTEXT_H

#include <string>
#include <vector>

// The text of the HID and USB DFU device lists.
namespace DeviceListText {

// One device line, cut to 510 characters.
std::string FormatLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Appends whole lines while they fit with a terminating zero byte, stopping at the first empty line
// or the first that does not fit; returns the number of devices found, whether or not they fitted.
int Fill(char* buffer, int length, const std::vector<std::string>& lines);

}  // namespace DeviceListText

#endif
