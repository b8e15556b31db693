#include "UsbDfuDevice.h"

#include <libusb.h>

#include <set>
#include <utility>

#include "Common.h"

namespace Dfu {

namespace {

constexpr uint8_t DFU_CLASS = 0xFE;
constexpr uint8_t DFU_SUBCLASS = 0x01;
constexpr uint8_t DFU_MODE_PROTOCOL = 2;
constexpr uint8_t FUNCTIONAL_DESCRIPTOR_TYPE = 0x21;
constexpr int FUNCTIONAL_SHORT_LENGTH = 7;
constexpr int FUNCTIONAL_FULL_LENGTH = 9;
constexpr uint8_t WILL_DETACH = 0x08;
constexpr uint8_t REQUEST_TYPE_OUT = 0x21;
constexpr uint8_t REQUEST_TYPE_IN = 0xA1;
constexpr unsigned short DETACH_TIMEOUT_MS = 1000;
constexpr int STRING_MAX = 255;
constexpr int DOT_EVERY_TRIES = 5;

std::string ReadString(libusb_device_handle* handle, uint8_t index, const char* fallback)
{
    unsigned char text[STRING_MAX + 1] = {0};
    if (index == 0) {
        return fallback;
    }
    int length = libusb_get_string_descriptor_ascii(handle, index, text, STRING_MAX);
    return length < 1 ? std::string(fallback) : std::string(reinterpret_cast<char*>(text), static_cast<size_t>(length));
}

bool IdsMatch(const DfuDeviceInfo& info, int vid, int pid)
{
    return (vid < 0 || vid == info.vendorId) && (pid < 0 || pid == info.productId);
}

void FillStrings(libusb_device* device, uint8_t serialIndex, uint8_t nameIndex, DfuDeviceInfo& info)
{
    libusb_device_handle* handle = nullptr;
    if (libusb_open(device, &handle) != 0 || handle == nullptr) {
        info.serial = "?";
        info.name = "UNKNOWN";
        return;
    }
    info.serial = ReadString(handle, serialIndex, "?");
    info.name = ReadString(handle, nameIndex, "UNKNOWN");
    libusb_close(handle);
}

// The serial number is printed without its control bytes, so the filter may be given as printed or as
// the device has it.
bool SerialMatches(const std::string& deviceSerial, const char* wanted)
{
    return wanted == nullptr || wanted[0] == '\0' || deviceSerial == wanted ||
           Common::Printable(deviceSerial) == wanted;
}

// Every DFU alternate setting of one configuration whose serial number matches.
void CollectFromConfig(libusb_device* device, const DfuDeviceInfo& ids, uint8_t serialIndex,
                       const libusb_config_descriptor& config, std::vector<UsbDfuDevice::Candidate>& out,
                       const char* serial)
{
    for (int i = 0; i < config.bNumInterfaces; ++i) {
        const libusb_interface& interface = config.interface[i];
        for (int a = 0; a < interface.num_altsetting; ++a) {
            const libusb_interface_descriptor& setting = interface.altsetting[a];
            if (setting.bInterfaceClass != DFU_CLASS || setting.bInterfaceSubClass != DFU_SUBCLASS) {
                continue;
            }
            DfuDeviceInfo info = ids;
            info.configurationValue = config.bConfigurationValue;
            info.interfaceNumber = setting.bInterfaceNumber;
            info.alternateSetting = setting.bAlternateSetting;
            info.hasAlternateSettings = interface.num_altsetting > 1;
            info.dfuMode = setting.bInterfaceProtocol == DFU_MODE_PROTOCOL;
            info.busNumber = libusb_get_bus_number(device);
            info.deviceAddress = libusb_get_device_address(device);
            if (!UsbDfuDevice::ParseFunctionalDescriptor(setting.extra, setting.extra_length, info)) {
                (void)UsbDfuDevice::ParseFunctionalDescriptor(config.extra, config.extra_length, info);
            }
            FillStrings(device, serialIndex, setting.iInterface, info);
            if (SerialMatches(info.serial, serial)) {
                info.serial = Common::Printable(info.serial);
                info.name = Common::Printable(info.name);
                out.push_back({libusb_ref_device(device), info});
            }
        }
    }
}

// A device in runtime mode shows its DFU interface again once it has come back in DFU mode.
const UsbDfuDevice::Candidate* FirstInDfuMode(const std::vector<UsbDfuDevice::Candidate>& found)
{
    for (const UsbDfuDevice::Candidate& candidate : found) {
        if (candidate.info.dfuMode) {
            return &candidate;
        }
    }
    return nullptr;
}

}  // namespace

UsbDfuDevice::~UsbDfuDevice()
{
    Close();
}

void UsbDfuDevice::Close()
{
    if (m_handle != nullptr) {
        (void)libusb_release_interface(m_handle, m_info.interfaceNumber);
        libusb_close(m_handle);
        m_handle = nullptr;
    }
    if (m_context != nullptr) {
        libusb_exit(m_context);
        m_context = nullptr;
    }
}

int UsbDfuDevice::RequestOut(unsigned char request, unsigned short value, const unsigned char* data,
                             unsigned short length, int timeoutMs)
{
    if (m_handle == nullptr) {
        return PORT_NO_DEVICE;
    }
    return libusb_control_transfer(m_handle, REQUEST_TYPE_OUT, request, value, m_info.interfaceNumber,
                                   const_cast<unsigned char*>(data), length, static_cast<unsigned>(timeoutMs));
}

int UsbDfuDevice::RequestIn(unsigned char request, unsigned short value, unsigned char* data, unsigned short length,
                            int timeoutMs)
{
    if (m_handle == nullptr) {
        return PORT_NO_DEVICE;
    }
    return libusb_control_transfer(m_handle, REQUEST_TYPE_IN, request, value, m_info.interfaceNumber, data, length,
                                   static_cast<unsigned>(timeoutMs));
}

int UsbDfuDevice::ResetDevice()
{
    if (m_handle == nullptr) {
        return PORT_NO_DEVICE;
    }
    return libusb_reset_device(m_handle);
}

bool UsbDfuDevice::ParseFunctionalDescriptor(const unsigned char* bytes, int length, DfuDeviceInfo& info)
{
    for (int position = 0; bytes != nullptr && position + 1 < length;) {
        int descriptorLength = bytes[position];
        if (descriptorLength < 2 || position + descriptorLength > length) {
            return false;
        }
        const unsigned char* descriptor = bytes + position;
        if (descriptor[1] == FUNCTIONAL_DESCRIPTOR_TYPE && descriptorLength >= FUNCTIONAL_SHORT_LENGTH) {
            info.attributes = descriptor[2];
            info.detachTimeout = Common::GetLe16(descriptor + 3);
            info.transferSize = Common::GetLe16(descriptor + 5);
            if (descriptorLength >= FUNCTIONAL_FULL_LENGTH) {
                info.bcdDfu = Common::GetLe16(descriptor + 7);
            }
            return true;
        }
        position += descriptorLength;
    }
    return false;
}

bool UsbDfuDevice::CollectCandidates(libusb_context* context, std::vector<Candidate>& out, int vid, int pid,
                                     const char* serial)
{
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0) {
        return false;
    }
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device* device = list[i];
        libusb_device_descriptor descriptor = {};
        if (libusb_get_device_descriptor(device, &descriptor) != 0) {
            continue;
        }
        DfuDeviceInfo ids;
        ids.vendorId = descriptor.idVendor;
        ids.productId = descriptor.idProduct;
        if (!IdsMatch(ids, vid, pid)) {
            continue;
        }
        for (uint8_t c = 0; c < descriptor.bNumConfigurations; ++c) {
            libusb_config_descriptor* config = nullptr;
            if (libusb_get_config_descriptor(device, c, &config) != 0 || config == nullptr) {
                continue;
            }
            CollectFromConfig(device, ids, descriptor.iSerialNumber, *config, out, serial);
            libusb_free_config_descriptor(config);
        }
    }
    libusb_free_device_list(list, 1);
    return true;
}

void UsbDfuDevice::FreeCandidates(std::vector<Candidate>& candidates)
{
    for (Candidate& candidate : candidates) {
        libusb_unref_device(candidate.device);
    }
    candidates.clear();
}

void UsbDfuDevice::PrintOpenFailureHint(int error)
{
    switch (error) {
        case LIBUSB_ERROR_ACCESS:
            Report("No permission to access the device: run with sudo, or add a udev rule.\n");
            break;
        case LIBUSB_ERROR_BUSY:
            Report("The device interface is in use by another program.\n");
            break;
        case LIBUSB_ERROR_NOT_SUPPORTED:
            Report("No usable driver is bound to the device: install the WinUSB driver\n"
                   "(e.g. with the Zadig tool), then replug the device.\n");
            break;
        default:
            break;
    }
}

bool UsbDfuDevice::ListDevices(std::vector<DfuDeviceInfo>& out, int vid, int pid)
{
    out.clear();
    libusb_context* context = nullptr;
    if (libusb_init(&context) != 0) {
        Report("error: unable to initialize libusb.\n");
        return false;
    }
    std::vector<Candidate> found;
    (void)CollectCandidates(context, found, vid, pid, nullptr);
    for (const Candidate& candidate : found) {
        out.push_back(candidate.info);
    }
    FreeCandidates(found);
    libusb_exit(context);
    return true;
}

bool UsbDfuDevice::Open(int vid, int pid, const char* serial, const std::function<bool()>& cancelled)
{
    Close();
    if (libusb_init(&m_context) != 0) {
        m_context = nullptr;
        Report("error: unable to initialize libusb.\n");
        return false;
    }
    Report("Waiting for the USB DFU device. Reset or power-cycle the board now if needed...\n");
    DfuWatch watch(cancelled);
    std::vector<Candidate> found;
    bool opened = WaitForCandidates(found, vid, pid, serial, watch) && OpenChosen(found, vid, pid, serial, watch);
    FreeCandidates(found);
    if (!opened) {
        Close();
    }
    return opened;
}

bool UsbDfuDevice::WaitForCandidates(std::vector<Candidate>& found, int vid, int pid, const char* serial,
                                     DfuWatch& watch)
{
    long long start = Common::GetTime();
    long long dotsDue = start + m_limits.dotPeriodMs;
    int dots = 0;
    auto printDots = [&] {
        for (; Common::GetTime() >= dotsDue; dotsDue += m_limits.dotPeriodMs, ++dots) {
            Report(".");
        }
    };
    WaitTime::Outcome outcome = watch.PollWhenDue(m_limits.openWaitMs, m_limits.searchPeriodMs, [&] {
        printDots();
        (void)CollectCandidates(m_context, found, vid, pid, serial);
        watch.DueIn(m_limits.searchPeriodMs);
        return found.empty() ? WaitTime::Step::AGAIN : WaitTime::Step::DONE;
    });
    if (outcome == WaitTime::Outcome::TIMED_OUT) {
        printDots();
    }
    if (dots > 0) {
        Report("\n");
    }
    if (outcome == WaitTime::Outcome::TIMED_OUT) {
        Report("error: No DFU device found. It may be caused by the following reasons:\n");
        Report("1. The device is not in DFU/boot mode, or the USB cable is not connected.\n");
        Report("2. The vid:pid or serial-number filter does not match (try 'vexil list hid').\n");
        Report("3. No permission to access the device: run with sudo, or add a udev rule, e.g.\n"
               "   SUBSYSTEM==\"usb\", ATTRS{idVendor}==\"xxxx\", ATTRS{idProduct}==\"yyyy\", MODE=\"0666\"\n");
    }
    return outcome == WaitTime::Outcome::DONE;
}

bool UsbDfuDevice::OpenChosen(std::vector<Candidate>& found, int vid, int pid, const char* serial, DfuWatch& watch)
{
    std::set<std::pair<uint8_t, uint8_t>> devices;
    for (const Candidate& candidate : found) {
        devices.insert({candidate.info.busNumber, candidate.info.deviceAddress});
    }
    if (devices.size() > 1) {
        Report("error: More than one DFU device found:\n");
        for (const Candidate& candidate : found) {
            Report("  " + DeviceLine(candidate.info));
        }
        Report("Narrow it down with -d <vid>:<pid> or -S <serial-number>.\n");
        return false;
    }
    const Candidate* chosen = FirstInDfuMode(found);
    if (chosen == nullptr) {
        chosen = &found.front();
    }
    m_info = chosen->info;
    Report(Common::FormatInfo("Found DFU device [%04x:%04x] serial=\"%s\" (%s).\n", m_info.vendorId,
                              m_info.productId, m_info.serial.c_str(),
                              m_info.dfuMode ? "DFU mode" : "runtime"));
    libusb_device* device = chosen->device;
    if (!OpenWithRetry(device, watch)) {
        return false;
    }
    if (!m_info.dfuMode && !DetachAndReopen(vid, pid, serial, watch)) {
        return false;
    }
    return ClaimDfuInterface();
}

bool UsbDfuDevice::OpenWithRetry(libusb_device* device, DfuWatch& watch)
{
    int tries = 0;
    int result = 0;
    watch.DueNow();
    long long limitMs = static_cast<long long>(m_limits.openTries + 1) * (m_limits.openRetryMs + 100);
    WaitTime::Outcome outcome = watch.PollWhenDue(limitMs, m_limits.openRetryMs, [&] {
        ++tries;
        result = libusb_open(device, &m_handle);
        if (result == 0 && m_handle != nullptr) {
            return WaitTime::Step::DONE;
        }
        m_handle = nullptr;
        watch.DueIn(m_limits.openRetryMs);
        return tries >= m_limits.openTries ? WaitTime::Step::FAILED : WaitTime::Step::AGAIN;
    });
    if (outcome == WaitTime::Outcome::DONE) {
        return true;
    }
    if (outcome != WaitTime::Outcome::CANCELLED) {
        Report(Common::FormatInfo("error: Cannot open USB device: %s.\n", libusb_error_name(result)));
        PrintOpenFailureHint(result);
    }
    return false;
}

bool UsbDfuDevice::ClaimDfuInterface()
{
    int result = libusb_claim_interface(m_handle, m_info.interfaceNumber);
    if (result != 0) {
        Report(Common::FormatInfo("error: Cannot claim interface %d: %s.\n", m_info.interfaceNumber,
                                  libusb_error_name(result)));
        PrintOpenFailureHint(result);
        return false;
    }
    if (m_info.hasAlternateSettings) {
        result = libusb_set_interface_alt_setting(m_handle, m_info.interfaceNumber, m_info.alternateSetting);
        if (result != 0) {
            Report(Common::FormatInfo("error: Cannot set alternate setting %d: %s.\n",
                                      m_info.alternateSetting, libusb_error_name(result)));
            return false;
        }
    }
    return true;
}

bool UsbDfuDevice::DetachAndReopen(int vid, int pid, const char* serial, DfuWatch& watch)
{
    Report("Device is in runtime mode, requesting DFU detach...\n");
    if (libusb_claim_interface(m_handle, m_info.interfaceNumber) != 0) {
        Report("error: Cannot claim the runtime interface.\n");
        return false;
    }
    (void)libusb_set_interface_alt_setting(m_handle, m_info.interfaceNumber, 0);
    unsigned char status[DFU_STATUS_LENGTH] = {0};
    (void)RequestIn(DFU_GETSTATUS, 0, status, sizeof(status), m_limits.controlMs);
    (void)RequestOut(DFU_DETACH, DETACH_TIMEOUT_MS, nullptr, 0, m_limits.controlMs);
    int reset = libusb_reset_device(m_handle);
    if (reset != 0 && reset != LIBUSB_ERROR_NOT_FOUND) {
        Report("note: USB reset failed; run with sudo or add a udev rule for the device.\n");
        if ((m_info.attributes & WILL_DETACH) == 0) {
            (void)libusb_reset_device(m_handle);
        }
    }
    (void)libusb_release_interface(m_handle, m_info.interfaceNumber);
    libusb_close(m_handle);
    m_handle = nullptr;
    Report("Device will detach and re-attach; waiting for it to come back in DFU mode...\n");

    const DfuDeviceInfo runtime = m_info;
    int tries = 0;
    watch.DueIn(m_limits.reenumeratePeriodMs);
    long long limitMs = static_cast<long long>(m_limits.reenumerateTries) *
                        (m_limits.reenumeratePeriodMs + m_limits.openTries * (m_limits.openRetryMs + 100) + 1000);
    WaitTime::Outcome outcome = watch.PollWhenDue(limitMs, m_limits.reenumeratePeriodMs, [&] {
        ++tries;
        std::vector<Candidate> found;
        (void)CollectCandidates(m_context, found, vid, pid, serial);
        const Candidate* back = FirstInDfuMode(found);
        if (back != nullptr) {
            m_info = back->info;
            m_info.runtimeVendorId = runtime.vendorId;
            m_info.runtimeProductId = runtime.productId;
        }
        bool opened = back != nullptr && OpenWithRetry(back->device, watch);
        FreeCandidates(found);
        if (opened) {
            Report("\nDevice re-enumerated in DFU mode.\n");
            return WaitTime::Step::DONE;
        }
        if (tries % DOT_EVERY_TRIES == 0) {
            Report(".");
        }
        watch.DueIn(m_limits.reenumeratePeriodMs);
        return tries >= m_limits.reenumerateTries ? WaitTime::Step::FAILED : WaitTime::Step::AGAIN;
    });
    if (outcome == WaitTime::Outcome::DONE) {
        return true;
    }
    if (outcome != WaitTime::Outcome::CANCELLED) {
        Report("\nerror: the device did not re-enumerate in DFU mode after detach.\n");
        Report("error: run with sudo or add a udev rule -- the post-loader USB reset needs device access.\n");
    }
    return false;
}

}  // namespace Dfu
