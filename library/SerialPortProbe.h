#ifndef VEXIL_LIBRARY_SERIALPORTPROBE_H
#define VEXIL_LIBRARY_SERIALPORTPROBE_H

#include <string>

// Whether a serial device node can be used as a port.
namespace SerialPortProbe {

// A /dev/ttyS node exists for every possible UART; one with no UART behind it (the kernel reports an
// unknown port type, or sysfs shows no driver) is not a usable port. Other nodes are taken as they are.
bool HasUartBehind(int fd, const std::string& name, const std::string& sysClassTty = "/sys/class/tty");
// Opens the node without waiting and without making it the controlling terminal.
bool IsUsable(const std::string& name);

}  // namespace SerialPortProbe

#endif
