// usbbench: runs a program against virtual USB devices, with the real libusb of that program.
//
// It builds a umockdev testbed (a sysfs tree and /dev nodes that the preload library shows the
// child instead of the real ones), answers the usbdevfs ioctls of every DFU device node by running a
// Sim::VirtualDfuDevice, starts the program under the preload and waits for it. Its exit status is
// the program's (125 when the bench itself could not be set up).
//
//   usbbench [options] -- program [arguments...]
//     --dfu VID:PID[:SERIAL]   a DFU device (repeat for several devices)
//     --runtime PID            the first device starts in runtime mode with this product id; a USB
//                              reset after DETACH makes it leave the bus and come back in DFU mode
//     --transfer-size N        wTransferSize of the functional descriptor (0: none)
//     --poll-ms N              bwPollTimeout of the busy answers
//     --busy-polls N           dfuDNBUSY answers after each DNLOAD block
//     --stall-at-block N       the DNLOAD of block N stalls
//     --leave-at-block N       the device leaves the bus at the DNLOAD of block N
//     --flash FILE             what the flash holds (and an upload serves) at the start
//     --save-download FILE     after the program: the bytes of the last download that was manifested
//     --report-polls           after the program: how many status requests came too early
//     --control-strings        serial numbers and interface names end with terminal control bytes
//     --interrupt-at-block N   Ctrl-C (SIGINT) to the program when the first device takes DNLOAD block N
//     --interrupt-at-manifest  Ctrl-C to the program as a device answers the status request that ends
//                              its manifest; the answer waits until the program has taken the signal
//     --again                  then the program runs once more on the same bus; the first run's status
//                              goes to standard error, the bench's is the second's
//     --hid VID:PID:NAME:HEX   a HID device whose report descriptor is the hexadecimal text HEX
//     --boot-loader MODE       the department-3 boot loader stands behind the first device: "loader"
//                              (takes boot command frames) or "rom" (takes only a loader until one ran)
//     --save-boot DIR          after the program: what the boot loader took (frames.txt, state.txt and
//                              flash-ADDRESS.bin per image in its flash)
#include <glib.h>
#include <glib/gstdio.h>
#include <umockdev.h>

#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <linux/usbdevice_fs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Common.h"
#include "DfuBootLoader.h"
#include "FwpkgBuilder.h"
#include "VirtualDfuDevice.h"

namespace {

constexpr int BENCH_FAILED = 125;
constexpr int BUS_NUMBER = 1;
constexpr int HID_BUS_NUMBER = 2;
constexpr int FIRST_DEVICE_NUMBER = 2;

// Standard requests the bench answers itself; the class requests go to the virtual device.
constexpr uint8_t REQUEST_TYPE_STANDARD_IN = 0x80;
constexpr uint8_t REQUEST_TYPE_CLASS_MASK = 0x60;
constexpr uint8_t REQUEST_TYPE_CLASS = 0x20;
constexpr uint8_t REQUEST_TYPE_IN = 0x80;
constexpr uint8_t GET_DESCRIPTOR = 6;
constexpr uint8_t DESCRIPTOR_DEVICE = 1;
constexpr uint8_t DESCRIPTOR_CONFIGURATION = 2;
constexpr uint8_t DESCRIPTOR_STRING = 3;
constexpr size_t SETUP_LENGTH = 8;

constexpr uint8_t STRING_MANUFACTURER = 1;
constexpr uint8_t STRING_PRODUCT = 2;
constexpr uint8_t STRING_SERIAL = 3;
constexpr uint8_t STRING_INTERFACE = 4;

void PutLe16(std::vector<uint8_t>& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

std::vector<uint8_t> DeviceDescriptor(uint16_t vendorId, uint16_t productId)
{
    std::vector<uint8_t> d = {18, DESCRIPTOR_DEVICE};
    PutLe16(d, 0x0200);                   // bcdUSB
    d.insert(d.end(), {0, 0, 0, 64});     // class, subclass, protocol, bMaxPacketSize0
    PutLe16(d, vendorId);
    PutLe16(d, productId);
    PutLe16(d, 0x0100);                   // bcdDevice
    d.insert(d.end(), {STRING_MANUFACTURER, STRING_PRODUCT, STRING_SERIAL, 1});
    return d;
}

// The device descriptor, then one configuration with one interface and the descriptors behind it.
std::vector<uint8_t> DeviceWithOneInterface(uint16_t vendorId, uint16_t productId,
                                            const std::vector<uint8_t>& interfaceAndExtras)
{
    std::vector<uint8_t> d = DeviceDescriptor(vendorId, productId);
    d.insert(d.end(), {9, DESCRIPTOR_CONFIGURATION});
    PutLe16(d, static_cast<uint16_t>(9 + interfaceAndExtras.size()));
    d.insert(d.end(), {1, 1, 0, 0x80, 50});  // one interface, value 1, no string, bus powered, 100 mA
    d.insert(d.end(), interfaceAndExtras.begin(), interfaceAndExtras.end());
    return d;
}

std::vector<uint8_t> DfuDescriptors(const Sim::DfuDescription& description)
{
    std::vector<uint8_t> extras = {9, 4, description.interfaceNumber, description.alternateSetting, 0, 0xFE, 0x01,
                                   static_cast<uint8_t>(description.runtimeMode ? 1 : 2), STRING_INTERFACE};
    extras.insert(extras.end(), {9, 0x21, description.attributes});
    PutLe16(extras, description.detachTimeout);
    PutLe16(extras, description.transferSize);
    PutLe16(extras, description.bcdDfu);
    return DeviceWithOneInterface(description.vendorId, description.productId, extras);
}

std::vector<uint8_t> HidDescriptors(uint16_t vendorId, uint16_t productId, uint16_t reportLength)
{
    std::vector<uint8_t> extras = {9, 4, 0, 0, 1, 0x03, 0, 0, 0};
    extras.insert(extras.end(), {9, 0x21, 0x11, 0x01, 0, 1, 0x22});
    PutLe16(extras, reportLength);
    extras.insert(extras.end(), {7, 5, 0x81, 3, 8, 0, 10});  // interrupt IN endpoint
    return DeviceWithOneInterface(vendorId, productId, extras);
}

std::vector<uint8_t> StringDescriptor(const std::string& text)
{
    std::vector<uint8_t> d = {static_cast<uint8_t>(2 + 2 * text.size()), DESCRIPTOR_STRING};
    for (char c : text) {
        PutLe16(d, static_cast<uint8_t>(c));
    }
    return d;
}

std::string Hex4(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof(text), "%04x", value & 0xFFFF);
    return text;
}

std::string DevNodeName(int bus, int devNumber)
{
    char name[64];
    std::snprintf(name, sizeof(name), "/dev/bus/usb/%03d/%03d", bus, devNumber);
    return name;
}

// The attribute files every USB device has in sysfs, with one configuration.
std::vector<std::pair<std::string, std::string>> UsbDeviceAttributes(uint16_t vendorId, uint16_t productId, int bus,
                                                                     int devNumber, const char* speed,
                                                                     const std::string& product)
{
    return {{"idVendor", Hex4(vendorId)}, {"idProduct", Hex4(productId)}, {"busnum", std::to_string(bus)},
            {"devnum", std::to_string(devNumber)}, {"speed", speed}, {"bConfigurationValue", "1"},
            {"bNumConfigurations", "1"}, {"product", product}};
}

struct HidSpec {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string name;
    std::vector<uint8_t> report;
};

struct BenchOptions {
    std::vector<Sim::DfuDescription> devices;
    std::vector<HidSpec> hids;
    int runtimeProductId = -1;
    Sim::DfuFaults faults;
    bool transferSizeGiven = false;
    uint16_t transferSize = 0;
    std::string flashFile;
    std::string saveDownload;
    bool bootLoader = false;
    Sim::DfuBootLoaderFaults bootFaults;
    std::string saveBoot;
    bool reportPolls = false;
    int interruptAtBlock = -1;
    bool interruptAtManifest = false;
    bool again = false;
    std::vector<std::string> command;
};

class Bench;

struct SysfsDevice {
    std::string name;
    std::string parent;  // sysfs path of the parent device, empty for none
    std::vector<std::pair<std::string, std::string>> attributes;
    std::vector<std::pair<std::string, std::vector<uint8_t>>> binaryAttributes;
    std::vector<std::pair<std::string, std::string>> properties;
};

// One DFU device on the bus: the virtual device, its sysfs place and its node.
struct DfuNode {
    Bench* bench = nullptr;
    std::unique_ptr<Sim::VirtualDfuDevice> device;
    std::string sysName;
    std::string sysPath;
    std::string devNode;
    int devNumber = 0;
    bool gone = false;                        // left the bus: every request fails with ENODEV
    int enumerations = 0;                     // the device's count when it was put on the bus
    bool removed = false;                     // taken out of the testbed
    std::deque<UMockdevIoctlData*> reapable;  // completed URBs not yet reaped
    UMockdevIoctlBase* handler = nullptr;
};

class Bench {
public:
    explicit Bench(BenchOptions options) : m_options(std::move(options)) {}
    ~Bench();

    bool Build();
    int Run();
    bool SaveDownload() const;
    bool SaveBoot() const;
    void ReportEarlyPolls() const;

private:
    bool AddDfuDevice(DfuNode& node, const Sim::DfuDescription& description);
    bool AddHidDevice(const HidSpec& hid, int index);
    bool MakeDevNode(const std::string& devNode);
    std::string InTestbed(const std::string& path) const;
    std::string AddToTestbed(const SysfsDevice& device);
    void Reenumerate(DfuNode& node);
    void RemoveFromTestbed(DfuNode& node);
    static gboolean OnIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer data);
    static gboolean OnReenumerate(gpointer data);
    static gboolean OnRemove(gpointer data);
    void HandleIoctl(DfuNode& node, UMockdevIoctlClient* client);
    void FollowBusChanges(DfuNode& node);
    void SubmitUrb(DfuNode& node, UMockdevIoctlClient* client, UMockdevIoctlData* argument);
    int RunCommand();
    int Control(DfuNode& node, const uint8_t* setup, uint8_t* data, uint16_t length);
    void InterruptAtBlock(const DfuNode& node, uint16_t block);
    void InterruptAtManifest();
    int StandardRequest(DfuNode& node, const uint8_t* setup, uint8_t* data, uint16_t length);

    BenchOptions m_options;
    UMockdevTestbed* m_testbed = nullptr;
    mutable std::mutex m_lock;  // the ioctl handlers run on umockdev's worker thread
    std::vector<std::unique_ptr<DfuNode>> m_nodes;
    std::unique_ptr<Sim::DfuBootLoader> m_bootLoader;
    int m_nextDevNumber = FIRST_DEVICE_NUMBER;
    std::atomic<pid_t> m_child{-1};  // the program while it runs
    bool m_interrupted = false;
};

Bench::~Bench()
{
    for (auto& node : m_nodes) {
        for (UMockdevIoctlData* urb : node->reapable) {
            g_object_unref(urb);
        }
        if (node->handler != nullptr) {
            g_object_unref(node->handler);
        }
    }
    if (m_testbed != nullptr) {
        g_object_unref(m_testbed);
    }
}

bool Bench::Build()
{
    m_testbed = umockdev_testbed_new();
    if (m_testbed == nullptr) {
        std::fprintf(stderr, "usbbench: cannot make the testbed\n");
        return false;
    }
    for (size_t i = 0; i < m_options.devices.size(); ++i) {
        Sim::DfuDescription description = m_options.devices[i];
        if (i == 0 && m_options.runtimeProductId >= 0) {
            description.runtimeMode = true;
            description.runtimeProductId = static_cast<uint16_t>(m_options.runtimeProductId);
        }
        if (m_options.transferSizeGiven) {
            description.transferSize = m_options.transferSize;
        }
        auto node = std::make_unique<DfuNode>();
        node->bench = this;
        node->device = std::make_unique<Sim::VirtualDfuDevice>(description, m_options.faults);
        node->device->SetClock([] { return static_cast<uint64_t>(Common::GetTimeUs()); });
        node->sysName = "1-" + std::to_string(i + 1);
        if (!m_options.flashFile.empty()) {
            std::vector<uint8_t> flash = Sim::ReadBinaryFile(m_options.flashFile);
            node->device->Preload(0, flash);
            node->device->SetUploadLength(flash.size());
        }
        if (i == 0 && m_options.bootLoader) {
            m_bootLoader = std::make_unique<Sim::DfuBootLoader>(m_options.bootFaults);
            node->device->SetDownloadHandler(m_bootLoader.get());
        }
        if (!AddDfuDevice(*node, node->device->Description())) {
            return false;
        }
        m_nodes.push_back(std::move(node));
    }
    for (size_t i = 0; i < m_options.hids.size(); ++i) {
        if (!AddHidDevice(m_options.hids[i], static_cast<int>(i))) {
            return false;
        }
    }
    return true;
}

bool Bench::AddDfuDevice(DfuNode& node, const Sim::DfuDescription& description)
{
    node.devNumber = m_nextDevNumber++;
    node.devNode = DevNodeName(BUS_NUMBER, node.devNumber);
    std::string product = Hex4(description.vendorId) + "/" + Hex4(description.productId) + "/100";
    SysfsDevice sysfs;
    sysfs.name = node.sysName;
    sysfs.attributes = UsbDeviceAttributes(description.vendorId, description.productId, BUS_NUMBER, node.devNumber,
                                           "480", "Virtual DFU");
    sysfs.attributes.push_back({"serial", description.serial});
    sysfs.binaryAttributes = {{"descriptors", DfuDescriptors(description)}};
    sysfs.properties = {{"DEVTYPE", "usb_device"}, {"DEVNAME", node.devNode}, {"PRODUCT", product},
                        {"BUSNUM", "001"}, {"DEVNUM", std::to_string(node.devNumber)}};
    {
        std::lock_guard<std::mutex> hold(m_lock);
        node.gone = false;
        node.removed = false;
    }
    // The node answers before the "add" uevent tells anyone to open it.
    if (!MakeDevNode(node.devNode)) {
        return false;
    }
    if (node.handler == nullptr) {
        node.handler = umockdev_ioctl_base_new();
        g_signal_connect(node.handler, "handle-ioctl", G_CALLBACK(OnIoctl), &node);
    }
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(m_testbed, node.devNode.c_str(), node.handler, &error)) {
        std::fprintf(stderr, "usbbench: cannot attach to %s: %s\n", node.devNode.c_str(),
                     error != nullptr ? error->message : "?");
        g_clear_error(&error);
        return false;
    }
    node.sysPath = AddToTestbed(sysfs);
    return !node.sysPath.empty();
}

// Where a path of the child's view (/sys/..., /dev/...) lies in the testbed.
std::string Bench::InTestbed(const std::string& path) const
{
    gchar* root = umockdev_testbed_get_root_dir(m_testbed);
    std::string inside = std::string(root) + path;
    g_free(root);
    return inside;
}

// The attribute files are in place before umockdev announces the device, as the kernel has them:
// a program that reads them on the "add" uevent must find them all. Gives the sysfs path, "" on failure.
std::string Bench::AddToTestbed(const SysfsDevice& device)
{
    std::string directory = InTestbed((device.parent.empty() ? "/sys/devices" : device.parent) + "/" + device.name);
    bool written = g_mkdir_with_parents(directory.c_str(), 0755) == 0;
    for (const auto& attribute : device.attributes) {
        std::string line = attribute.second + "\n";
        written = written && g_file_set_contents((directory + "/" + attribute.first).c_str(), line.data(),
                                                 static_cast<gssize>(line.size()), nullptr);
    }
    for (const auto& attribute : device.binaryAttributes) {
        written = written && g_file_set_contents((directory + "/" + attribute.first).c_str(),
                                                 reinterpret_cast<const gchar*>(attribute.second.data()),
                                                 static_cast<gssize>(attribute.second.size()), nullptr);
    }
    std::vector<gchar*> properties;
    for (const auto& property : device.properties) {
        properties.push_back(const_cast<gchar*>(property.first.c_str()));
        properties.push_back(const_cast<gchar*>(property.second.c_str()));
    }
    properties.push_back(nullptr);
    gchar* noAttributes[] = {nullptr};
    gchar* sysPath = written ? umockdev_testbed_add_devicev(m_testbed, "usb", device.name.c_str(),
                                                            device.parent.empty() ? nullptr : device.parent.c_str(),
                                                            noAttributes, properties.data())
                             : nullptr;
    if (sysPath == nullptr) {
        std::fprintf(stderr, "usbbench: cannot add %s\n", device.name.c_str());
        return std::string();
    }
    std::string path = sysPath;
    g_free(sysPath);
    return path;
}

// The node the program opens; its ioctls go to the handler attached under the same name.
bool Bench::MakeDevNode(const std::string& devNode)
{
    std::string path = InTestbed(devNode);
    gchar* directory = g_path_get_dirname(path.c_str());
    bool made = g_mkdir_with_parents(directory, 0755) == 0 && g_file_set_contents(path.c_str(), "", 0, nullptr);
    g_free(directory);
    if (!made) {
        std::fprintf(stderr, "usbbench: cannot make %s\n", path.c_str());
    }
    return made;
}

bool Bench::AddHidDevice(const HidSpec& hid, int index)
{
    std::string name = "2-" + std::to_string(index + 1);
    int devNumber = m_nextDevNumber++;
    SysfsDevice device;
    device.name = name;
    device.attributes = UsbDeviceAttributes(hid.vendorId, hid.productId, HID_BUS_NUMBER, devNumber, "12", hid.name);
    device.binaryAttributes = {
        {"descriptors", HidDescriptors(hid.vendorId, hid.productId, static_cast<uint16_t>(hid.report.size()))}};
    device.properties = {{"DEVTYPE", "usb_device"}, {"DEVNAME", DevNodeName(HID_BUS_NUMBER, devNumber)}};
    SysfsDevice interface;
    interface.name = name + ":1.0";
    interface.parent = AddToTestbed(device);
    interface.attributes = {{"bInterfaceClass", "03"}, {"bInterfaceSubClass", "00"}, {"bInterfaceProtocol", "00"},
                            {"bInterfaceNumber", "00"}};
    interface.binaryAttributes = {{"report_descriptor", hid.report}};
    interface.properties = {{"DEVTYPE", "usb_interface"}};
    if (interface.parent.empty() || AddToTestbed(interface).empty()) {
        return false;
    }
    return true;
}

gboolean Bench::OnIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer data)
{
    (void)handler;
    DfuNode* node = static_cast<DfuNode*>(data);
    node->bench->HandleIoctl(*node, client);
    return TRUE;
}

void Bench::HandleIoctl(DfuNode& node, UMockdevIoctlClient* client)
{
    std::lock_guard<std::mutex> hold(m_lock);
    unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* argument = umockdev_ioctl_client_get_arg(client);
    bool reaping = request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY;
    // What completed before the device left can still be reaped, as usbfs allows.
    if (node.gone && !(reaping && !node.reapable.empty())) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    GError* error = nullptr;
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(argument, 0, sizeof(uint32_t), &error);
            if (caps == nullptr) {
                break;
            }
            uint32_t none = 0;
            std::memcpy(caps->data, &none, sizeof(none));
            umockdev_ioctl_client_complete(client, 0, 0);
            g_object_unref(caps);
            return;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE:
        case USBDEVFS_DISCONNECT_CLAIM:
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP:
            umockdev_ioctl_client_complete(client, 0, 0);
            return;
        case USBDEVFS_GETDRIVER:
        case USBDEVFS_IOCTL:
            umockdev_ioctl_client_complete(client, -1, ENODATA);  // no kernel driver is bound
            return;
        case USBDEVFS_RESET:
            node.device->UsbReset();
            FollowBusChanges(node);
            umockdev_ioctl_client_complete(client, node.gone ? -1 : 0, node.gone ? ENODEV : 0);
            return;
        case USBDEVFS_SUBMITURB:
            SubmitUrb(node, client, argument);
            return;
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY: {
            if (node.reapable.empty()) {
                umockdev_ioctl_client_complete(client, -1, EAGAIN);
                return;
            }
            UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(argument, 0, sizeof(void*), &error);
            if (slot == nullptr) {
                break;
            }
            UMockdevIoctlData* urb = node.reapable.front();
            node.reapable.pop_front();
            umockdev_ioctl_data_set_ptr(slot, 0, urb);
            umockdev_ioctl_client_complete(client, 0, 0);
            g_object_unref(urb);
            g_object_unref(slot);
            return;
        }
        case USBDEVFS_DISCARDURB:
            umockdev_ioctl_client_complete(client, -1, EINVAL);  // every URB completes at once
            return;
        default:
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
            return;
    }
    std::fprintf(stderr, "usbbench: cannot reach the memory of ioctl 0x%lx: %s\n", request,
                 error != nullptr ? error->message : "?");
    g_clear_error(&error);
    umockdev_ioctl_client_complete(client, -1, EFAULT);
}

// A control URB runs at once; it waits in the reap queue with its status and length set.
void Bench::SubmitUrb(DfuNode& node, UMockdevIoctlClient* client, UMockdevIoctlData* argument)
{
    GError* error = nullptr;
    UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(argument, 0, sizeof(usbdevfs_urb), &error);
    if (urbData == nullptr) {
        g_clear_error(&error);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
    if (urb->type != USBDEVFS_URB_TYPE_CONTROL || urb->buffer_length < static_cast<int>(SETUP_LENGTH)) {
        g_object_unref(urbData);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer),
                                                            static_cast<gsize>(urb->buffer_length), &error);
    if (buffer == nullptr) {
        g_clear_error(&error);
        g_object_unref(urbData);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
    // wLength never reaches past the buffer the host gave.
    size_t length = std::min<size_t>(static_cast<size_t>(buffer->data[6] | (buffer->data[7] << 8)),
                                     static_cast<size_t>(urb->buffer_length) - SETUP_LENGTH);
    int result = Control(node, buffer->data, buffer->data + SETUP_LENGTH, static_cast<uint16_t>(length));
    FollowBusChanges(node);
    if (result == Sim::VirtualDfuDevice::GONE) {
        g_object_unref(buffer);
        g_object_unref(urbData);
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    urb->status = result < 0 ? -EPIPE : 0;
    urb->actual_length = result < 0 ? 0 : result;
    node.reapable.push_back(urbData);
    g_object_unref(buffer);
    umockdev_ioctl_client_complete(client, 0, 0);
}

// A device that has left the bus is taken out of the testbed; one that shows itself anew (a detach
// to DFU mode, a reset after its manifest) leaves and comes back at a new address. Both happen on the
// main thread, where the testbed lives; the ioctl handlers only ask for them.
void Bench::FollowBusChanges(DfuNode& node)
{
    if (node.gone) {
        return;
    }
    if (!node.device->Present()) {
        node.gone = true;
        g_idle_add(OnRemove, &node);
    } else if (node.device->Enumerations() != node.enumerations) {
        node.enumerations = node.device->Enumerations();
        node.gone = true;
        g_idle_add(OnReenumerate, &node);
    }
}

int Bench::Control(DfuNode& node, const uint8_t* setup, uint8_t* data, uint16_t length)
{
    uint8_t requestType = setup[0];
    uint8_t request = setup[1];
    uint16_t value = static_cast<uint16_t>(setup[2] | (setup[3] << 8));
    uint16_t index = static_cast<uint16_t>(setup[4] | (setup[5] << 8));
    if ((requestType & REQUEST_TYPE_CLASS_MASK) == REQUEST_TYPE_CLASS) {
        if ((requestType & REQUEST_TYPE_IN) != 0) {
            size_t manifests = node.device->Manifests();
            int result = node.device->ControlIn(request, value, index, data, length);
            if (m_options.interruptAtManifest && node.device->Manifests() > manifests) {
                InterruptAtManifest();
            }
            return result;
        }
        if (request == Sim::DfuRequest::DNLOAD && length > 0) {
            InterruptAtBlock(node, value);
        }
        return node.device->ControlOut(request, value, index, data, length);
    }
    if (requestType == REQUEST_TYPE_STANDARD_IN && request == GET_DESCRIPTOR) {
        return StandardRequest(node, setup, data, length);
    }
    return Sim::VirtualDfuDevice::STALL;
}

// The signal goes as the block arrives, so that the program sees it while the device is busy with it.
void Bench::InterruptAtBlock(const DfuNode& node, uint16_t block)
{
    if (m_interrupted || &node != m_nodes.front().get() || block != m_options.interruptAtBlock) {
        return;
    }
    pid_t child = m_child.load();
    m_interrupted = child > 0 && kill(child, SIGINT) == 0;
}

// The download is then whole and its last answer on the way: the program learns of both with the
// signal already taken by a thread of it (no longer among the process's pending signals).
void Bench::InterruptAtManifest()
{
    pid_t child = m_child.load();
    if (m_interrupted || child <= 0 || kill(child, SIGINT) != 0) {
        return;
    }
    m_interrupted = true;
    for (int waitedMs = 0; waitedMs < 2000; ++waitedMs, usleep(1000)) {
        std::ifstream status("/proc/" + std::to_string(child) + "/status");
        std::string line;
        while (std::getline(status, line) && line.rfind("ShdPnd:", 0) != 0) {
        }
        if (line.size() < 8 || (std::stoull(line.substr(7), nullptr, 16) & (1ULL << (SIGINT - 1))) == 0) {
            return;
        }
    }
}

// The hosts read the other descriptors from sysfs; only the strings come over the wire.
int Bench::StandardRequest(DfuNode& node, const uint8_t* setup, uint8_t* data, uint16_t length)
{
    uint8_t type = setup[3];
    uint8_t index = setup[2];
    if (type != DESCRIPTOR_STRING) {
        return Sim::VirtualDfuDevice::STALL;
    }
    Sim::DfuDescription description = node.device->Description();
    std::vector<uint8_t> answer;
    switch (index) {
        case 0:
            answer = {4, DESCRIPTOR_STRING, 0x09, 0x04};
            break;
        case STRING_MANUFACTURER:
            answer = StringDescriptor("vexil tests");
            break;
        case STRING_PRODUCT:
            answer = StringDescriptor("Virtual DFU");
            break;
        case STRING_SERIAL:
            answer = StringDescriptor(description.serial);
            break;
        case STRING_INTERFACE:
            answer = StringDescriptor(description.interfaceName);
            break;
        default:
            return Sim::VirtualDfuDevice::STALL;
    }
    size_t count = std::min<size_t>(length, answer.size());
    std::memcpy(data, answer.data(), count);
    return static_cast<int>(count);
}

// The kernel tells of a device that leaves before it is gone.
void Bench::RemoveFromTestbed(DfuNode& node)
{
    if (node.removed) {
        return;
    }
    umockdev_testbed_uevent(m_testbed, node.sysPath.c_str(), "remove");
    umockdev_testbed_remove_device(m_testbed, node.sysPath.c_str());
    (void)g_unlink(InTestbed(node.devNode).c_str());
    node.removed = true;
}

gboolean Bench::OnRemove(gpointer data)
{
    DfuNode* node = static_cast<DfuNode*>(data);
    node->bench->RemoveFromTestbed(*node);
    return G_SOURCE_REMOVE;
}

gboolean Bench::OnReenumerate(gpointer data)
{
    DfuNode* node = static_cast<DfuNode*>(data);
    node->bench->Reenumerate(*node);
    return G_SOURCE_REMOVE;
}

// Off the bus, then back with the description of its new mode (the DFU-mode product id).
void Bench::Reenumerate(DfuNode& node)
{
    RemoveFromTestbed(node);
    GError* error = nullptr;
    (void)umockdev_testbed_detach_ioctl(m_testbed, node.devNode.c_str(), &error);
    g_clear_error(&error);
    if (!AddDfuDevice(node, node.device->Description())) {
        std::fprintf(stderr, "usbbench: the device did not come back\n");
    }
}

struct ChildWatch {
    GMainLoop* loop = nullptr;
    int status = -1;
};

void OnChildExit(GPid pid, gint status, gpointer data)
{
    auto* watch = static_cast<ChildWatch*>(data);
    watch->status = status;
    g_spawn_close_pid(pid);
    g_main_loop_quit(watch->loop);
}

constexpr const char* PRELOAD_LIBRARY = "libumockdev-preload.so.0";

std::string Prepended(const char* name, const std::string& first, const char* separator)
{
    const char* old = std::getenv(name);
    return old != nullptr && old[0] != '\0' ? first + separator + old : first;
}

bool UnderPreload()
{
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, PRELOAD_LIBRARY) != nullptr;
}

// The testbed checks its own paths through the preload too, so the bench runs under it as well as
// its child (what umockdev-wrapper does); a sanitizer runtime must then let the preload go first.
void RestartUnderPreload(char* argv[])
{
    setenv("LD_PRELOAD", Prepended("LD_PRELOAD", PRELOAD_LIBRARY, ":").c_str(), 1);
    setenv("ASAN_OPTIONS", Prepended("ASAN_OPTIONS", "verify_asan_link_order=0", ":").c_str(), 1);
    execv("/proc/self/exe", argv);
    std::fprintf(stderr, "usbbench: cannot restart under the preload: %s\n", std::strerror(errno));
}

int Bench::RunCommand()
{
    // umockdev's worker thread runs already: the child allocates nothing between fork and exec.
    std::vector<char*> argv;
    for (std::string& word : m_options.command) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    pid_t child = fork();
    if (child < 0) {
        std::perror("usbbench: fork");
        return BENCH_FAILED;
    }
    if (child == 0) {
        // A bench killed for taking too long takes its program along instead of leaving it orphaned.
        (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    m_child.store(child);
    ChildWatch watch;
    watch.loop = g_main_loop_new(nullptr, FALSE);
    g_child_watch_add(child, OnChildExit, &watch);
    g_main_loop_run(watch.loop);
    g_main_loop_unref(watch.loop);
    m_child.store(-1);
    if (WIFEXITED(watch.status)) {
        return WEXITSTATUS(watch.status);
    }
    std::fprintf(stderr, "usbbench: %s ended by signal %d\n", m_options.command[0].c_str(),
                 WIFSIGNALED(watch.status) ? WTERMSIG(watch.status) : 0);
    return BENCH_FAILED;
}

int Bench::Run()
{
    int status = RunCommand();
    if (m_options.again) {
        std::fprintf(stderr, "usbbench: the first run ended with status %d\n", status);
        status = RunCommand();
    }
    return status;
}

// The download of the device that manifested one (with several devices, the one the program chose).
bool Bench::SaveDownload() const
{
    if (m_options.saveDownload.empty() || m_nodes.empty()) {
        return true;
    }
    std::lock_guard<std::mutex> hold(m_lock);
    const Sim::VirtualDfuDevice* device = m_nodes.front()->device.get();
    for (const auto& node : m_nodes) {
        if (node->device->Manifests() > 0) {
            device = node->device.get();
            break;
        }
    }
    return Sim::WriteBinaryFile(m_options.saveDownload, device->Manifested());
}

bool Bench::SaveBoot() const
{
    if (m_options.saveBoot.empty() || m_bootLoader == nullptr) {
        return true;
    }
    std::lock_guard<std::mutex> hold(m_lock);
    std::ofstream frames(m_options.saveBoot + "/frames.txt", std::ios::trunc);
    for (const std::vector<uint8_t>& block : m_bootLoader->FrameBlocks()) {
        frames << std::hex << static_cast<int>(block.size() > 6 ? block[6] : 0) << std::dec << " " << block.size()
               << "\n";
    }
    std::ofstream state(m_options.saveBoot + "/state.txt", std::ios::trunc);
    state << "loader " << m_bootLoader->LoaderRan() << "\nerase-alls " << m_bootLoader->EraseAlls() << "\nleft "
          << !m_nodes.front()->device->Present() << "\n";
    bool written = static_cast<bool>(frames) && static_cast<bool>(state);
    for (const auto& image : m_bootLoader->FlashMap()) {
        char name[32];
        std::snprintf(name, sizeof(name), "/flash-%08x.bin", image.first);
        written = Sim::WriteBinaryFile(m_options.saveBoot + name, image.second) && written;
    }
    return written;
}

void Bench::ReportEarlyPolls() const
{
    if (!m_options.reportPolls) {
        return;
    }
    std::lock_guard<std::mutex> hold(m_lock);
    size_t early = 0;
    for (const auto& node : m_nodes) {
        early += node->device->EarlyPolls();
    }
    std::fprintf(stderr, "usbbench: %zu status requests came before bwPollTimeout had passed\n", early);
}

bool ParseHex16(const std::string& text, uint16_t& value)
{
    char* end = nullptr;
    unsigned long parsed = std::strtoul(text.c_str(), &end, 16);
    if (text.empty() || *end != '\0' || parsed > 0xFFFF) {
        return false;
    }
    value = static_cast<uint16_t>(parsed);
    return true;
}

std::vector<std::string> SplitColons(const std::string& text, size_t most)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (parts.size() + 1 < most) {
        size_t colon = text.find(':', start);
        if (colon == std::string::npos) {
            break;
        }
        parts.push_back(text.substr(start, colon - start));
        start = colon + 1;
    }
    parts.push_back(text.substr(start));
    return parts;
}

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>& bytes)
{
    if (text.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < text.size(); i += 2) {
        uint16_t byte = 0;
        if (!ParseHex16(text.substr(i, 2), byte)) {
            return false;
        }
        bytes.push_back(static_cast<uint8_t>(byte));
    }
    return true;
}

bool ParseOptions(int argc, char* argv[], BenchOptions& options)
{
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        std::string option = argv[i];
        bool* flag = option == "--report-polls"      ? &options.reportPolls
                     : option == "--again"             ? &options.again
                     : option == "--control-strings"   ? &options.faults.controlBytesInStrings
                     : option == "--interrupt-at-manifest" ? &options.interruptAtManifest
                                                       : nullptr;
        if (flag != nullptr) {
            *flag = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "usbbench: %s needs a value\n", option.c_str());
            return false;
        }
        std::string value = argv[++i];
        if (option == "--dfu") {
            std::vector<std::string> parts = SplitColons(value, 3);
            Sim::DfuDescription device;
            if (parts.size() < 2 || !ParseHex16(parts[0], device.vendorId) ||
                !ParseHex16(parts[1], device.productId)) {
                std::fprintf(stderr, "usbbench: bad device %s\n", value.c_str());
                return false;
            }
            if (parts.size() == 3) {
                device.serial = parts[2];
            }
            options.devices.push_back(device);
        } else if (option == "--runtime") {
            uint16_t pid = 0;
            if (!ParseHex16(value, pid)) {
                return false;
            }
            options.runtimeProductId = pid;
        } else if (option == "--transfer-size") {
            options.transferSizeGiven = true;
            options.transferSize = static_cast<uint16_t>(std::atoi(value.c_str()));
        } else if (option == "--poll-ms") {
            options.faults.pollTimeoutMs = static_cast<uint32_t>(std::atoi(value.c_str()));
        } else if (option == "--busy-polls") {
            options.faults.busyPolls = std::atoi(value.c_str());
        } else if (option == "--interrupt-at-block") {
            options.interruptAtBlock = std::atoi(value.c_str());
        } else if (option == "--stall-at-block") {
            options.faults.stallAtBlock = std::atoi(value.c_str());
        } else if (option == "--leave-at-block") {
            options.faults.leavesAtBlock = std::atoi(value.c_str());
        } else if (option == "--flash") {
            options.flashFile = value;
        } else if (option == "--save-download") {
            options.saveDownload = value;
        } else if (option == "--boot-loader") {
            options.bootLoader = true;
            options.bootFaults.needsLoader = value == "rom";
        } else if (option == "--save-boot") {
            options.saveBoot = value;
        } else if (option == "--hid") {
            std::vector<std::string> parts = SplitColons(value, 4);
            HidSpec hid;
            if (parts.size() != 4 || !ParseHex16(parts[0], hid.vendorId) || !ParseHex16(parts[1], hid.productId) ||
                !ParseHexBytes(parts[3], hid.report)) {
                std::fprintf(stderr, "usbbench: bad HID device %s\n", value.c_str());
                return false;
            }
            hid.name = parts[2];
            options.hids.push_back(hid);
        } else {
            std::fprintf(stderr, "usbbench: unknown option %s\n", option.c_str());
            return false;
        }
    }
    for (++i; i < argc; ++i) {
        options.command.push_back(argv[i]);
    }
    if (options.command.empty()) {
        std::fprintf(stderr, "usage: usbbench [options] -- program [arguments...]\n");
        return false;
    }
    return true;
}

}  // namespace

// umockdev tears its ioctl listeners down across its worker thread and ours through GLib's own
// synchronisation, which ThreadSanitizer cannot see into (GLib is not built with it).
extern "C" const char* __tsan_default_suppressions()
{
    return "race:libumockdev.so\nrace:libglib-2.0.so\nrace:libgobject-2.0.so\n";
}

int main(int argc, char* argv[])
{
    if (!UnderPreload()) {
        RestartUnderPreload(argv);
        return BENCH_FAILED;
    }
    BenchOptions options;
    if (!ParseOptions(argc, argv, options)) {
        return BENCH_FAILED;
    }
    Bench bench(std::move(options));
    if (!bench.Build()) {
        return BENCH_FAILED;
    }
    int status = bench.Run();
    bench.ReportEarlyPolls();
    if (!bench.SaveDownload() || !bench.SaveBoot()) {
        std::fprintf(stderr, "usbbench: cannot save the download\n");
        return BENCH_FAILED;
    }
    return status;
}
