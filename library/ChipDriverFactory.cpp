#include "ChipDriverFactory.h"

#include <new>

#include "BurnDfuChip.h"
#include "BurnKp7715Chip.h"
#include "BurnQx71Chip.h"
#include "BurnSeDfuChip.h"
#include "BurnTypeSixChip.h"
#include "DeviceListText.h"
#include "HidDeviceList.h"
#include "SerportTransport.h"
#include "TypeSixSerCusPro.h"
#include "UsbDfuDevice.h"

namespace ChipDriverFactory {

namespace {
Makers g_makers;
}

DriverKind SerialDriverFor(uint32_t chipType, uint32_t department)
{
    if (department != CONNECTION_DEPARTMENT) {
        return DriverKind::NONE;
    }
    switch (chipType) {
        case QX71_CHIP_TYPE:
            return DriverKind::QX71;
        case KP7715_CHIP_TYPE:
            return DriverKind::KP7715;
        case TYPE_SIX_CHIP_TYPE:
            return DriverKind::TYPE_SIX;
        default:
            return DriverKind::NONE;
    }
}

DriverKind UsbDfuDriverFor(uint32_t chipType)
{
    bool packageAware = chipType == TYPE_SIX_CHIP_TYPE || chipType == QX71_CHIP_TYPE || chipType == KP7715_CHIP_TYPE;
    return packageAware ? DriverKind::SE_DFU : DriverKind::GENERIC_DFU;
}

std::unique_ptr<TransportTypeBase> NewSerialTransport()
{
    if (g_makers.newSerialTransport != nullptr) {
        return g_makers.newSerialTransport();
    }
    return std::unique_ptr<TransportTypeBase>(new (std::nothrow) SerportTransport());
}

std::unique_ptr<Dfu::DfuPortBase> NewDfuPort()
{
    if (g_makers.newDfuPort != nullptr) {
        return g_makers.newDfuPort();
    }
    return std::unique_ptr<Dfu::DfuPortBase>(new (std::nothrow) Dfu::UsbDfuDevice());
}

std::unique_ptr<BurnChipBase> NewChip(DriverKind kind)
{
    if (g_makers.newChip != nullptr) {
        return g_makers.newChip(kind);
    }
    switch (kind) {
        case DriverKind::QX71:
            return std::unique_ptr<BurnChipBase>(new (std::nothrow) BurnQx71ChipSp::BurnQx71Chip());
        case DriverKind::KP7715:
            return std::unique_ptr<BurnChipBase>(new (std::nothrow) BurnKp7715ChipSp::BurnKp7715Chip());
        case DriverKind::TYPE_SIX:
            return std::unique_ptr<BurnChipBase>(new (std::nothrow) BurnTypeSixChipSp::BurnTypeSixChip());
        case DriverKind::GENERIC_DFU:
            return std::unique_ptr<BurnChipBase>(new (std::nothrow) BurnDfuChip());
        case DriverKind::SE_DFU:
            return std::unique_ptr<BurnChipBase>(new (std::nothrow) BurnSeDfuChip());
        default:
            // The other driver classes join here as they are added.
            return nullptr;
    }
}

std::unique_ptr<TransportProtocolBase> NewRoutedProtocol(BurnChipBase& chip)
{
    if (g_makers.newRoutedProtocol != nullptr) {
        return g_makers.newRoutedProtocol(chip);
    }
    return std::unique_ptr<TransportProtocolBase>(new (std::nothrow) TypeSixSerCusProSp::TypeSixSerCusPro(&chip));
}

bool IsQx71Family(const BurnChipBase& chip)
{
    return dynamic_cast<const BurnQx71ChipSp::BurnQx71Chip*>(&chip) != nullptr;
}

bool OpenUsbDfu(BurnChipBase& chip, int vid, int pid, const char* serial)
{
    auto* dfuChip = dynamic_cast<BurnDfuChip*>(&chip);
    return dfuChip != nullptr && dfuChip->OpenUsbDfu(vid, pid, serial);
}

void SetDfuTransferSize(BurnChipBase& chip, int size)
{
    if (auto* dfuChip = dynamic_cast<BurnDfuChip*>(&chip)) {
        dfuChip->SetDfuTransferSize(size);
    }
}

void SetDfuTimeout(BurnChipBase& chip, int ms)
{
    if (auto* dfuChip = dynamic_cast<BurnDfuChip*>(&chip)) {
        dfuChip->SetDfuTimeout(ms);
    }
}

bool ListHidDevices(std::vector<std::string>& lines, int vid, int pid)
{
    lines.clear();
    std::vector<Hid::HidDeviceEntry> devices;
    if (!Hid::ListHidDevices(devices, vid, pid)) {
        return false;
    }
    for (const Hid::HidDeviceEntry& device : devices) {
        // The product id comes before the vendor id; a missing id prints as ffffffff.
        lines.push_back(DeviceListText::FormatLine("Name:%s,PID:0x%x,VID:0x%x,Usage:0x%x,UsagePage:0x%x\n",
            device.name.c_str(), static_cast<unsigned>(device.productId), static_cast<unsigned>(device.vendorId),
            device.usage, device.usagePage));
    }
    return true;
}

bool ListUsbDfuDevices(std::vector<std::string>& lines, int vid, int pid)
{
    std::vector<Dfu::DfuDeviceInfo> devices;
    if (!Dfu::UsbDfuDevice::ListDevices(devices, vid, pid)) {
        return false;
    }
    for (const Dfu::DfuDeviceInfo& device : devices) {
        lines.push_back(Dfu::DeviceLine(device));
    }
    return true;
}

void OverrideMakers(const Makers& makers)
{
    g_makers = makers;
}

}  // namespace ChipDriverFactory
