#include "CliParser.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Burn.h"
#include "CommonUtil.h"

using BurnInfo::BurnContext;

namespace {

const char* const AFTER_RESET = "--after-reset";
const int PACKET_SIZES[] = {1024, 2048, 4096, 8192};

// The word under the scan and the next word, which value options take whatever it looks like.
struct OptionWord {
    const char* word;
    const char* value;  // null when the word is the last one

    bool Is(const char* name) const { return std::strcmp(word, name) == 0; }
    bool Is(const char* shortName, const char* longName) const { return Is(shortName) || Is(longName); }
    bool IsValued(const char* name) const { return value != nullptr && Is(name); }
    bool IsValued(const char* shortName, const char* longName) const
    {
        return value != nullptr && Is(shortName, longName);
    }
};

struct TransportSeen {
    bool serial = false;
    bool usb = false;
};

void ApplyTargetOption(const OptionWord& option, BurnContext& context)
{
    if (option.IsValued("-c", "--chip")) {
        context.SetChipName(option.value);
    } else if (option.IsValued("-p", "--port")) {
        context.SetTransportWay(BurnInfo::TRANSPORT_SERIAL);
        context.SetSerialPort(option.value);
    } else if (option.IsValued("-f", "--file")) {
        context.SetFilePath(option.value);
    } else if (option.IsValued("-o", "--output")) {
        context.SetOutputPath(option.value);
    } else if (option.IsValued("-b", "--baud")) {
        context.SetBaudRate(std::atoi(option.value));
    } else if (option.IsValued("-s", "--stop-bits")) {
        context.SetStopBit(std::atoi(option.value));
    } else if (option.IsValued("--parity")) {
        context.SetParity(std::atoi(option.value));
    }
}

// A word after -d that is no "<vid>:<pid>" and has no ":" is left to be read as an option of its own.
bool ApplyDeviceOption(const char* value, BurnContext& context)
{
    context.SetTransportWay(BurnInfo::TRANSPORT_USB);
    if (value == nullptr || value[0] == '-') {
        return true;
    }
    int vendorId = -1;
    int productId = -1;
    if (ParseVidPid(value, vendorId, productId)) {
        context.SetUsbVid(vendorId);
        context.SetUsbPid(productId);
        return true;
    }
    if (std::strchr(value, ':') != nullptr) {
        std::printf("error: Invalid device id '%s', expected <vid>:<pid> in hex, e.g. 0483:df11\n", value);
        return false;
    }
    return true;
}

bool ApplyTransportOption(const OptionWord& option, BurnContext& context, TransportSeen& seen)
{
    if (option.Is("-p", "--port")) {
        seen.serial = true;
    } else if (option.Is("-d", "--device")) {
        seen.usb = true;
        return ApplyDeviceOption(option.value, context);
    } else if (option.IsValued("-S", "--serial-number")) {
        context.SetUsbSerialNumber(option.value);
    } else if (option.IsValued("--transfer-size")) {
        int size = std::atoi(option.value);
        if (!CheckTransferSize(size)) {
            return false;
        }
        context.SetUsbTransferSize(size);
    } else if (option.IsValued("--timeout")) {
        int timeout = std::atoi(option.value);
        if (timeout < 1) {
            std::printf("error: Invalid timeout %s, expected a positive millisecond value\n", option.value);
            return false;
        }
        context.SetUsbTimeout(timeout);
    }
    return true;
}

bool ApplyNumberOption(const OptionWord& option, void (BurnContext::*setter)(int), BurnContext& context)
{
    int number = 0;
    if (!CommonUtil::ConvertToLow32OrReport(option.value, option.word, number)) {
        return false;
    }
    (context.*setter)(number);
    return true;
}

// The packet size is a library-wide setting, so it reaches the library at once.
bool ApplyPacketSize(const char* value)
{
    int size = std::atoi(value);
    if (std::find(std::begin(PACKET_SIZES), std::end(PACKET_SIZES), size) == std::end(PACKET_SIZES)) {
        std::printf("error: Invalid packet-size %d, valid values are 1024, 2048, 4096, 8192\n", size);
        return false;
    }
    SetPacketSize(static_cast<unsigned>(size));
    return true;
}

int AfterResetValue(const char* word)
{
    const char* equals = std::strchr(word, '=');
    return equals == nullptr ? 1 : std::atoi(equals + 1);
}

bool ApplyBurnControlOption(const OptionWord& option, BurnContext& context)
{
    if (option.IsValued("-e", "--erase-size")) {
        return ApplyNumberOption(option, &BurnContext::SetEraseSize, context);
    } else if (option.IsValued("-a", "--address")) {
        return ApplyNumberOption(option, &BurnContext::SetAddress, context);
    } else if (option.IsValued("-z", "--size")) {
        return ApplyNumberOption(option, &BurnContext::SetReadSize, context);
    } else if (option.IsValued("--only-burn")) {
        context.AddOnlyBurnName(option.value);
    } else if (option.IsValued("--burn-interval")) {
        context.SetBurnInterval(std::atoi(option.value));
    } else if (option.IsValued("--packet-size")) {
        return ApplyPacketSize(option.value);
    } else if (option.Is("--switch-after-loader")) {
        context.SetSwitchAfterLoader(true);
    } else if (option.Is("--before-reset")) {
        context.SetBeforeReset(true);
    } else if (option.Is("-r") || std::strncmp(option.word, AFTER_RESET, std::strlen(AFTER_RESET)) == 0) {
        context.SetReboot(option.Is("-r") ? 1 : AfterResetValue(option.word));
    }
    return true;
}

}  // namespace

void ParseConfigParam(int argc, char** argv, BurnContext* context)
{
    if (argv == nullptr || context == nullptr) {
        return;
    }
    for (int i = EXTRA_START; i < argc - 1; ++i) {
        if (std::strcmp(argv[i], "--config") == 0) {
            context->SetConfigPath(argv[i + 1]);
        }
    }
}

bool ParseExtraParam(int argc, char** argv, BurnContext* context)
{
    if (argv == nullptr || context == nullptr) {
        return false;
    }
    TransportSeen seen;
    // One step per word: a value word is looked at again as an option word in the next step.
    for (int i = EXTRA_START; i < argc; ++i) {
        OptionWord option = {argv[i], i + 1 < argc ? argv[i + 1] : nullptr};
        ApplyTargetOption(option, *context);
        if (!ApplyTransportOption(option, *context, seen) || !ApplyBurnControlOption(option, *context)) {
            return false;
        }
    }
    if (seen.serial && seen.usb) {
        std::puts("error: -p/--port and -d/--device are mutually exclusive (serial and USB transports cannot be "
                  "combined)");
        return false;
    }
    return true;
}

bool CheckTransferSize(int size)
{
    if (size < DFU_TRANSFER_SIZE_MIN || size > DFU_TRANSFER_SIZE_MAX) {
        std::printf("error: Invalid transfer-size %d, valid range is %d-%d\n", size, DFU_TRANSFER_SIZE_MIN,
                    DFU_TRANSFER_SIZE_MAX);
        return false;
    }
    return true;
}

bool ParseVidPid(const char* text, int& vendorId, int& productId)
{
    if (text == nullptr) {
        return false;
    }
    std::vector<std::string> ids = CommonUtil::Split(text, ':');
    int vendor = 0;
    int product = 0;
    if (ids.size() != 2 || !ParseHexId(ids[0], vendor) || !ParseHexId(ids[1], product)) {
        return false;
    }
    vendorId = vendor;
    productId = product;
    return true;
}

bool ParseHexId(const std::string& text, int& id)
{
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
    }
    if (digits.empty() || digits.size() > 4) {
        return false;
    }
    char* end = nullptr;
    long value = std::strtol(digits.c_str(), &end, 16);
    if (*end != '\0' || value < 0 || value > USB_ID_MAX) {
        return false;
    }
    id = static_cast<int>(value);
    return true;
}
