#include "CliParser.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Burn.h"
#include "Common.h"
#include "CommonUtil.h"

using BurnInfo::BurnContext;

namespace {

const char* const AFTER_RESET = "--after-reset";
const long long PACKET_SIZES[] = {1024, 2048, 4096, 8192};
// The library takes a read's size as a signed 32-bit number.
constexpr CommonUtil::NumberRule READ_SIZE = {0, 0x7FFFFFFFLL, true, "0 to 0x7FFFFFFF"};

// What an option word takes from the word after it.
enum class Takes {
    NOTHING,
    VALUE,      // the next word, whatever it looks like
    DEVICE_ID,  // the next word unless it begins with "-"
};

struct KnownOption {
    const char* shortName;  // null when there is none
    const char* longName;   // null when there is none
    Takes takes;
};

// Every word the main pass knows. Help, version and --config are taken and left alone here: the
// command entry and the pre-pass read them.
const KnownOption KNOWN_OPTIONS[] = {
    {"-c", "--chip", Takes::VALUE},
    {"-p", "--port", Takes::VALUE},
    {"-f", "--file", Takes::VALUE},
    {"-o", "--output", Takes::VALUE},
    {"-b", "--baud", Takes::VALUE},
    {"-s", "--stop-bits", Takes::VALUE},
    {nullptr, "--parity", Takes::VALUE},
    {"-d", "--device", Takes::DEVICE_ID},
    {"-S", "--serial-number", Takes::VALUE},
    {nullptr, "--transfer-size", Takes::VALUE},
    {nullptr, "--timeout", Takes::VALUE},
    {"-e", "--erase-size", Takes::VALUE},
    {"-a", "--address", Takes::VALUE},
    {"-z", "--size", Takes::VALUE},
    {nullptr, "--only-burn", Takes::VALUE},
    {nullptr, "--burn-interval", Takes::VALUE},
    {nullptr, "--packet-size", Takes::VALUE},
    {nullptr, "--switch-after-loader", Takes::NOTHING},
    {nullptr, "--before-reset", Takes::NOTHING},
    {"-r", AFTER_RESET, Takes::NOTHING},
    {"-h", "--help", Takes::NOTHING},
    {"-v", "--version", Takes::NOTHING},
    {nullptr, "--config", Takes::VALUE},
};

bool SameWord(const char* word, const char* name)
{
    return name != nullptr && std::strcmp(word, name) == 0;
}

// The reset option is --after-reset alone or with "=N".
bool IsAfterReset(const char* word)
{
    size_t length = std::strlen(AFTER_RESET);
    return std::strncmp(word, AFTER_RESET, length) == 0 && (word[length] == '\0' || word[length] == '=');
}

// A word after -d is its id unless it is an option of its own.
bool IsDeviceIdWord(const char* word)
{
    return word != nullptr && word[0] != '-';
}

const KnownOption* FindKnownOption(const char* word)
{
    for (const KnownOption& option : KNOWN_OPTIONS) {
        if (SameWord(word, option.shortName) || SameWord(word, option.longName) ||
            (SameWord(AFTER_RESET, option.longName) && IsAfterReset(word))) {
            return &option;
        }
    }
    return nullptr;
}

bool TakesNextWord(const KnownOption& option, const char* next)
{
    return (option.takes == Takes::VALUE && next != nullptr) ||
           (option.takes == Takes::DEVICE_ID && IsDeviceIdWord(next));
}

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

bool ApplyIntOption(const OptionWord& option, const CommonUtil::NumberRule& rule, void (BurnContext::*setter)(int),
                    BurnContext& context)
{
    int number = 0;
    if (!CommonUtil::ConvertToLow32OrReport(option.value, rule, option.word, number)) {
        return false;
    }
    (context.*setter)(number);
    return true;
}

bool ApplyTargetOption(const OptionWord& option, BurnContext& context)
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
        return ApplyIntOption(option, CommonUtil::POSITIVE_INT, &BurnContext::SetBaudRate, context);
    } else if (option.IsValued("-s", "--stop-bits")) {
        return ApplyIntOption(option, STOP_BITS, &BurnContext::SetStopBit, context);
    } else if (option.IsValued("--parity")) {
        return ApplyIntOption(option, PARITY, &BurnContext::SetParity, context);
    }
    return true;
}

bool ApplyDeviceOption(const char* value, BurnContext& context)
{
    context.SetTransportWay(BurnInfo::TRANSPORT_USB);
    if (!IsDeviceIdWord(value)) {
        return true;
    }
    int vendorId = -1;
    int productId = -1;
    if (!ParseVidPid(value, vendorId, productId)) {
        std::printf("error: Invalid device id '%s', expected <vid>:<pid> in hex, e.g. 0483:df11\n",
                    Common::Printable(value).c_str());
        return false;
    }
    context.SetUsbVid(vendorId);
    context.SetUsbPid(productId);
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
        long long size = 0;
        if (!CommonUtil::ConvertWithinRule(option.value, DFU_TRANSFER_SIZE, size)) {
            std::printf("error: Invalid transfer-size %s, valid range is %d-%d\n",
                        Common::Printable(option.value).c_str(), DFU_TRANSFER_SIZE_MIN, DFU_TRANSFER_SIZE_MAX);
            return false;
        }
        context.SetUsbTransferSize(static_cast<int>(size));
    } else if (option.IsValued("--timeout")) {
        long long timeout = 0;
        if (!CommonUtil::ConvertWithinRule(option.value, CommonUtil::POSITIVE_INT, timeout)) {
            std::printf("error: Invalid timeout %s, expected a positive millisecond value\n",
                        Common::Printable(option.value).c_str());
            return false;
        }
        context.SetUsbTimeout(static_cast<int>(timeout));
    }
    return true;
}

// The packet size is a library-wide setting, so it reaches the library at once.
bool ApplyPacketSize(const char* value)
{
    long long size = 0;
    if (!CommonUtil::ConvertToNumber(value, size) ||
        std::find(std::begin(PACKET_SIZES), std::end(PACKET_SIZES), size) == std::end(PACKET_SIZES)) {
        std::printf("error: Invalid packet-size %s, valid values are 1024, 2048, 4096, 8192\n",
                    Common::Printable(value).c_str());
        return false;
    }
    SetPacketSize(static_cast<unsigned>(size));
    return true;
}

// The number after "=" of "--after-reset=N", or null for "-r" and a bare "--after-reset".
const char* AfterResetNumber(const char* word)
{
    const char* equals = std::strchr(word, '=');
    return equals == nullptr ? nullptr : equals + 1;
}

// "-r" and a bare "--after-reset" ask for the reset; "--after-reset=N" gives its number.
bool ApplyAfterReset(const char* word, BurnContext& context)
{
    const char* number = AfterResetNumber(word);
    if (number == nullptr) {
        context.SetReboot(1);
        return true;
    }
    int reboot = 0;
    if (!CommonUtil::ConvertToLow32OrReport(number, CommonUtil::NON_NEGATIVE_INT, AFTER_RESET, reboot)) {
        return false;
    }
    context.SetReboot(reboot);
    return true;
}

bool ApplyBurnControlOption(const OptionWord& option, BurnContext& context)
{
    if (option.IsValued("-e", "--erase-size")) {
        return ApplyIntOption(option, CommonUtil::ADDRESS_32, &BurnContext::SetEraseSize, context);
    } else if (option.IsValued("-a", "--address")) {
        return ApplyIntOption(option, CommonUtil::ADDRESS_32, &BurnContext::SetAddress, context);
    } else if (option.IsValued("-z", "--size")) {
        return ApplyIntOption(option, READ_SIZE, &BurnContext::SetReadSize, context);
    } else if (option.IsValued("--only-burn")) {
        context.AddOnlyBurnName(option.value);
    } else if (option.IsValued("--burn-interval")) {
        return ApplyIntOption(option, CommonUtil::NON_NEGATIVE_INT, &BurnContext::SetBurnInterval, context);
    } else if (option.IsValued("--packet-size")) {
        return ApplyPacketSize(option.value);
    } else if (option.Is("--switch-after-loader")) {
        context.SetSwitchAfterLoader(true);
    } else if (option.Is("--before-reset")) {
        context.SetBeforeReset(true);
    } else if (option.Is("-r") || IsAfterReset(option.word)) {
        return ApplyAfterReset(option.word, context);
    }
    return true;
}

// A command that resets nothing takes a word that asks for no reset, so that one is noted apart.
const char* NotedName(const KnownOption& option, const char* word)
{
    long long reboot = -1;
    const char* number = IsAfterReset(word) ? AfterResetNumber(word) : nullptr;
    if (number != nullptr && CommonUtil::ConvertWithinRule(number, CommonUtil::NON_NEGATIVE_INT, reboot) &&
        reboot == 0) {
        return BurnContext::NO_REBOOT_OPTION;
    }
    return option.longName != nullptr ? option.longName : option.shortName;
}

void NoteKnownOption(const char* word, BurnContext& context)
{
    const KnownOption* option = FindKnownOption(word);
    if (option != nullptr) {
        context.NoteOption(NotedName(*option, word), word);
    }
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
    if (!CheckOptionWords(argc, argv)) {
        return false;
    }
    TransportSeen seen;
    // One step per word: a value word is looked at again as an option word in the next step.
    for (int i = EXTRA_START; i < argc; ++i) {
        OptionWord option = {argv[i], i + 1 < argc ? argv[i + 1] : nullptr};
        NoteKnownOption(option.word, *context);
        if (!ApplyTargetOption(option, *context) || !ApplyTransportOption(option, *context, seen) ||
            !ApplyBurnControlOption(option, *context)) {
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

bool CheckOptionWords(int argc, char** argv)
{
    bool isValue = false;  // the word before took this one as its value
    for (int i = EXTRA_START; i < argc; ++i) {
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        const KnownOption* option = FindKnownOption(argv[i]);
        if (option == nullptr && !isValue) {
            std::printf("error: Unknown option '%s'.\n", Common::Printable(argv[i]).c_str());
            return false;
        }
        if (option != nullptr && option->takes == Takes::VALUE && next == nullptr) {
            std::printf("error: Option '%s' needs a value.\n", Common::Printable(argv[i]).c_str());
            return false;
        }
        // An empty word names nothing: a path, a name or a number the user left out.
        if (option != nullptr && option->takes == Takes::VALUE && *next == '\0') {
            std::printf("error: Option '%s' has an empty value.\n", Common::Printable(argv[i]).c_str());
            return false;
        }
        isValue = option != nullptr && TakesNextWord(*option, next);
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
