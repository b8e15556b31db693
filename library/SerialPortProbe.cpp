#include "SerialPortProbe.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SerialPortProbe {

namespace {

bool Exists(const std::string& path)
{
    struct stat info = {};
    return stat(path.c_str(), &info) == 0;
}

}  // namespace

bool HasUartBehind(int fd, const std::string& name, const std::string& sysClassTty)
{
    const std::string devPrefix = "/dev/";
    if (name.rfind(devPrefix + "ttyS", 0) != 0) {
        return true;
    }
    struct serial_struct serial = {};
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0 && serial.type == PORT_UNKNOWN) {
        return false;
    }
    std::string entry = sysClassTty + "/" + name.substr(devPrefix.size());
    if (!Exists(entry)) {
        return true;  // no sysfs to ask
    }
    return Exists(entry + "/device/driver");
}

bool IsUsable(const std::string& name)
{
    int fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    bool usable = isatty(fd) == 1 && HasUartBehind(fd, name);
    close(fd);
    return usable;
}

}  // namespace SerialPortProbe
