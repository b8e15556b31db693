#ifndef VEXIL_LIBRARY_CHIPDRIVERFACTORY_H
#define VEXIL_LIBRARY_CHIPDRIVERFACTORY_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "BurnChipBase.h"
#include "DfuPortBase.h"
#include "TransportProtocolBase.h"
#include "TransportTypeBase.h"

// The one place that knows the concrete chip driver classes: the device API and the chip driver
// base reach the drivers, the routed protocol and the USB device lists only through it.
namespace ChipDriverFactory {

constexpr uint32_t CONNECTION_DEPARTMENT = 3;
constexpr uint32_t TYPE_SIX_CHIP_TYPE = 0x30002;
constexpr uint32_t QX71_CHIP_TYPE = 0x30004;
constexpr uint32_t KP7715_CHIP_TYPE = 0x30005;

enum class DriverKind { NONE, QX71, KP7715, TYPE_SIX, SE_DFU, GENERIC_DFU };

DriverKind SerialDriverFor(uint32_t chipType, uint32_t department);
DriverKind UsbDfuDriverFor(uint32_t chipType);

// The byte port a serial driver opens; null when memory ran out.
std::unique_ptr<TransportTypeBase> NewSerialTransport();
// The USB DFU port a DFU driver opens; null when memory ran out.
std::unique_ptr<Dfu::DfuPortBase> NewDfuPort();
// Null when the kind has no driver class or memory ran out.
std::unique_ptr<BurnChipBase> NewChip(DriverKind kind);
// The protocol a routed serial operation runs; null when it cannot be made.
std::unique_ptr<TransportProtocolBase> NewRoutedProtocol(BurnChipBase& chip);

bool IsQx71Family(const BurnChipBase& chip);
bool OpenUsbDfu(BurnChipBase& chip, int vid, int pid, const char* serial);
// Both ignore a device that is not a USB DFU driver.
void SetDfuTransferSize(BurnChipBase& chip, int size);
void SetDfuTimeout(BurnChipBase& chip, int ms);

// One formatted line per device found; false when the enumeration failed.
bool ListHidDevices(std::vector<std::string>& lines, int vid, int pid);
bool ListUsbDfuDevices(std::vector<std::string>& lines, int vid, int pid);

// Lets tests stand drivers and protocols of their own in for the real ones; null members keep the real ones.
struct Makers {
    std::unique_ptr<BurnChipBase> (*newChip)(DriverKind kind) = nullptr;
    std::unique_ptr<TransportProtocolBase> (*newRoutedProtocol)(BurnChipBase& chip) = nullptr;
    // Lets protocol tests run in-process against a virtual chip that implements the transport.
    std::unique_ptr<TransportTypeBase> (*newSerialTransport)() = nullptr;
    // Lets DFU tests run in-process against a virtual DFU device behind the port.
    std::unique_ptr<Dfu::DfuPortBase> (*newDfuPort)() = nullptr;
};
void OverrideMakers(const Makers& makers);

}  // namespace ChipDriverFactory

#endif
