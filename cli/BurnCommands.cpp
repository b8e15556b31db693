#include "BurnCommands.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "Burn.h"
#include "CliParser.h"
#include "Common.h"
#include "CommonUtil.h"
#include "ConnectionBurnerWorker.h"
#include "DfuBurnerWorker.h"
#include "FwpkgInfo.h"
#include "Interrupt.h"
#include "Kp7715BurnerWorker.h"
#include "Qx71BurnerWorker.h"
#include "TypeSixBurnerWorker.h"

using BurnInfo::BurnContext;

namespace {

constexpr int LIST_BUFFER_SIZE = 8192;
constexpr int LIST_TYPE_INDEX = 2;
constexpr uint64_t ADDRESS_SPACE_END = uint64_t{1} << 32;
const char* const USB_CHIP_NAME = "dfu";

template <typename Worker>
std::unique_ptr<BurnerWorkerBase> MakeWorker(std::unique_ptr<BurnContext>& context)
{
    std::unique_ptr<BurnerWorkerBase> worker(new (std::nothrow) Worker(std::move(context)));
    if (worker == nullptr) {
        std::puts("error: new BurnerWorker class failed!");
    }
    return worker;
}

void PrintVerdict(int result, const char* failed, const char* succeeded)
{
    bool success = result == BurnInfo::SUCCESS;
    const char* text = success ? succeeded : failed;
    BurnerWorkerBase::StartLineAfterProgress(text);
    std::printf("%s", (success ? CommonUtil::Green(text) : CommonUtil::Red(text)).c_str());
}

void WriteVerdict(int result)
{
    PrintVerdict(result, "\nWrite failed.\n", "\nWrite successfully.\n");
}

void EraseVerdict(int result)
{
    PrintVerdict(result, "Erase failed.\n", "Erase successfully.\n");
}

// A read reports through the worker's own lines.
void NoVerdict(int result)
{
    (void)result;
}

// Options a command or a road never uses: given on the command line, each would be dropped while the
// rest goes on. A row names options the same reason refuses.
struct UnusedOptions {
    std::vector<std::string> names;
    const char* why;
};

const std::vector<UnusedOptions> WRITE_UNUSED = {
    {{"--erase-size"}, "A write erases what it burns"},
    {{"--size", "--output"}, "A write reads nothing back"},
};
const std::vector<UnusedOptions> ERASE_UNUSED = {
    {{"--erase-size", "--address", "--size", "--only-burn"}, "Erase always erases the whole flash"},
    {{"--output"}, "An erase reads nothing back"},
    {{"--switch-after-loader", "--burn-interval", "--packet-size"}, "An erase burns no image"},
};
const std::vector<UnusedOptions> READ_UNUSED = {
    {{"--after-reset", "--before-reset"}, "A read resets nothing"},
    {{"--erase-size", "--only-burn", "--switch-after-loader", "--burn-interval", "--packet-size"},
     "A read erases and burns nothing"},
};
const std::vector<UnusedOptions> SERIAL_UNUSED = {
    {{"--serial-number", "--transfer-size", "--timeout"}, "A serial port is no USB device"},
};
const std::vector<UnusedOptions> USB_UNUSED = {
    {{"--baud", "--stop-bits", "--parity"}, "A USB device has no baud rate, stop bits or parity"},
    {{"--before-reset", "--switch-after-loader", "--burn-interval", "--packet-size"},
     "A USB DFU device has no serial handshake or YMODEM packets"},
};
// The handshake's pace, the reset sent during it, the switch of rate after the loader and the YMODEM
// packet size are handed to the Qx71 family's driver alone.
const std::vector<UnusedOptions> QX71_ROAD_UNUSED = {};
const std::vector<UnusedOptions> TYPESIX_ROAD_UNUSED = {
    {{"--switch-after-loader", "--burn-interval", "--packet-size"},
     "The TypeSix road has a handshake and packets of its own"},
    {{"--baud"}, "The TypeSix road runs at its boot ROM's 115200 baud"},
};
const std::vector<UnusedOptions> OTHER_CHIP_ROAD_UNUSED = {
    {{"--before-reset", "--switch-after-loader", "--burn-interval", "--packet-size"},
     "This chip's road has no Qx71-family handshake or YMODEM packets"},
};

using WorkerMaker = std::unique_ptr<BurnerWorkerBase> (*)(std::unique_ptr<BurnContext>& context);

// The worker that serves a chip of the connection department over a serial port, and what its road
// never uses; the last row serves every chip of the department that no other row names.
struct SerialRoad {
    int chipType;
    WorkerMaker make;
    const std::vector<UnusedOptions>& unused;
};

const SerialRoad SERIAL_ROADS[] = {
    {BurnInfo::CHIP_TYPE_QX71, MakeWorker<Qx71BurnerWorkerSp::Qx71BurnerWorker>, QX71_ROAD_UNUSED},
    {BurnInfo::CHIP_TYPE_KP7715, MakeWorker<Kp7715BurnerWorkerSp::Kp7715BurnerWorker>, QX71_ROAD_UNUSED},
    {BurnInfo::CHIP_TYPE_TYPESIX, MakeWorker<TypeSixBurnerWorkerSp::TypeSixBurnerWorker>, TYPESIX_ROAD_UNUSED},
    {0, MakeWorker<ConnectionBurnerWorker>, OTHER_CHIP_ROAD_UNUSED},
};

// Null for a chip of another department: no serial worker serves it.
const SerialRoad* SerialRoadOf(int chipType)
{
    if (BurnInfo::DepartmentOf(chipType) != BurnInfo::CONNECTION_CHIP) {
        return nullptr;
    }
    const SerialRoad* others = std::end(SERIAL_ROADS) - 1;
    return std::find_if(std::begin(SERIAL_ROADS), others,
                        [chipType](const SerialRoad& road) { return road.chipType == chipType; });
}

// Refuses the first option the command line gave that a row names; burn.config's settings are
// defaults shared by every command and road, and never refused.
bool NoneGiven(const BurnContext& context, const std::vector<UnusedOptions>& rows)
{
    for (const UnusedOptions& row : rows) {
        std::string given = context.FirstOptionAmong(row.names);
        if (!given.empty()) {
            std::printf("error: %s; it takes no %s.\n", row.why, Common::Printable(given).c_str());
            return false;
        }
    }
    return true;
}

bool RoadUsesEveryOption(const BurnContext& context)
{
    if (context.GetTransportWay() == BurnInfo::TRANSPORT_USB) {
        return NoneGiven(context, USB_UNUSED);
    }
    const SerialRoad* road = SerialRoadOf(context.GetChipType());
    return NoneGiven(context, SERIAL_UNUSED) && (road == nullptr || NoneGiven(context, road->unused));
}

// A package's images go where the package puts them, and only a package has images to pick from.
bool WriteRequestHonoured(const BurnContext& context)
{
    if (!NoneGiven(context, WRITE_UNUSED)) {
        return false;
    }
    std::string address = context.FirstOptionAmong({"--address"});
    bool onlyBurn = context.HasOption("--only-burn");
    if (address.empty() && !onlyBurn) {
        return true;
    }
    std::string file = context.GetBurnFile();
    bool package = BurnInfo::IsFirmwarePackage(file);
    if (Interrupt::Received() != 0) {
        return false;  // the read was stopped: what the file holds is unknown
    }
    // What a file that does not open holds is unknown: the worker refuses it as it does without --only-burn.
    if (onlyBurn && !package && CommonUtil::RegularFileOpens(file)) {
        std::printf("error: --only-burn selects images of a firmware package; %s is not one.\n",
                    Common::Printable(file).c_str());
        return false;
    }
    if (!address.empty() && (package || context.IsPartitionTable())) {
        std::printf("error: %s places a plain image; %s gives its images addresses of their own.\n",
                    Common::Printable(address).c_str(), Common::Printable(file).c_str());
        return false;
    }
    return true;
}

bool EraseRequestHonoured(const BurnContext& context)
{
    return NoneGiven(context, ERASE_UNUSED);
}

// A range past the 32-bit addresses would wrap round to address 0 on a chip that counts in 32 bits.
bool ReadRequestHonoured(const BurnContext& context)
{
    if (!NoneGiven(context, READ_UNUSED)) {
        return false;
    }
    uint32_t address = static_cast<uint32_t>(context.GetAddress());
    int size = context.GetReadSize();
    if (size > 0 && uint64_t{address} + static_cast<uint64_t>(size) > ADDRESS_SPACE_END) {
        std::printf("error: The read of 0x%X bytes at 0x%08X runs past the end of the 32-bit address space.\n",
                    static_cast<unsigned>(size), address);
        return false;
    }
    return true;
}

// Runs one operation of a worker, then its verdict; the worker goes (context, then device) at the end.
int RunWorker(int argc, char* argv[], int (BurnerWorkerBase::*operation)(), void (*verdict)(int),
              RequestCheck honoured)
{
    std::unique_ptr<BurnerWorkerBase> worker = GetBurner(argc, argv, honoured);
    if (worker == nullptr) {
        return BurnInfo::PARAM_ERROR;
    }
    if (Interrupt::Received() != 0) {
        return BurnInfo::PARAM_ERROR;  // stopped during the set-up: no device is opened
    }
    int result = ((*worker).*operation)();
    // A success is the outcome only when no signal stopped the run before it was decided: the status
    // is then 128 + the signal, and no verdict of success may come before it.
    if (result != BurnInfo::SUCCESS || Interrupt::Settle(result)) {
        verdict(result);
    }
    return result;
}

// The options after "list <type>", read as those after the command word of a burn command.
bool ParseListOptions(int argc, char* argv[], BurnContext& context, const std::vector<std::string>& used,
                      const char* why)
{
    return ParseExtraParam(argc - 1, argv + 1, &context) &&
           TakesOnly(context, used, std::string("list ") + argv[LIST_TYPE_INDEX], why);
}

// A serial port has no USB ids, so a filter cannot narrow the list.
int ListSerialPortsAsked(int argc, char* argv[])
{
    BurnContext context;
    if (!ParseListOptions(argc, argv, context, {}, "it lists every serial port.")) {
        return 1;
    }
    return ListSerialPorts();
}

// The library writes whole device lines while they fit, each at most this long, and counts every
// device all the same: a list the buffer cut short is asked for again in one that holds every line.
constexpr size_t DEVICE_LINE_MAX = 510;

int ListDevices(int (*list)(char*, int, int, int), std::vector<char>& buffer, int vid, int pid)
{
    size_t size = LIST_BUFFER_SIZE;
    while (true) {
        buffer.assign(size, '\0');
        int count = list(buffer.data(), static_cast<int>(size), vid, pid);
        size_t devices = count > 0 ? static_cast<size_t>(count) : 0;
        size_t lines = static_cast<size_t>(std::count(buffer.begin(), buffer.end(), '\n'));
        size_t room = devices * DEVICE_LINE_MAX + 1;
        // A second call has room for every line counted; only devices plugged in meanwhile ask for more.
        if (lines >= devices || room <= size || room > INT_MAX) {
            return count;
        }
        size = room;
    }
}

void PrintListPieces(const std::string& text)
{
    for (const std::string& piece : CommonUtil::Split(text, ';')) {
        if (!piece.empty()) {
            std::puts(piece.c_str());
        }
    }
}

}  // namespace

bool TakesOnly(const BurnContext& context, const std::vector<std::string>& used, const std::string& command,
               const char* why)
{
    std::string unused = context.FirstOptionBesides(used);
    if (!unused.empty()) {
        std::printf("error: %s takes no %s; %s\n", command.c_str(), Common::Printable(unused).c_str(), why);
        return false;
    }
    return true;
}

int InitBurnParam(int argc, char* argv[], BurnContext* context)
{
    ParseConfigParam(argc, argv, context);
    if (!context->LoadBurnConfig()) {
        return BurnInfo::LOAD_FILE_FAILED;
    }
    if (!ParseExtraParam(argc, argv, context)) {
        std::puts("error: Parse command arguments failed!");
        return BurnInfo::PARAM_ERROR;
    }
    if (context->GetTransportWay() == BurnInfo::TRANSPORT_USB && context->GetChipName().empty()) {
        context->SetChipName(USB_CHIP_NAME);
    }
    if (!context->CheckBurnParameters()) {
        return BurnInfo::PARAM_ERROR;
    }
    if (!context->LoadChipProperties()) {
        std::puts("error: Load chip properties file failed!");
        return BurnInfo::LOAD_FILE_FAILED;
    }
    if (!context->IsTransportSupported()) {
        return BurnInfo::PARAM_ERROR;
    }
    if (!context->ParseBurnFile()) {
        std::puts("error: Parse partition burn file failed!");
        return BurnInfo::LOAD_FILE_FAILED;
    }
    return BurnInfo::SUCCESS;
}

std::unique_ptr<BurnerWorkerBase> GetBurner(int argc, char* argv[], RequestCheck honoured)
{
    std::unique_ptr<BurnContext> context(new (std::nothrow) BurnContext());
    if (context == nullptr) {
        std::puts("error: new BurnContext class failed!");
        return nullptr;
    }
    if (InitBurnParam(argc, argv, context.get()) != BurnInfo::SUCCESS || !honoured(*context) ||
        !RoadUsesEveryOption(*context)) {
        return nullptr;
    }
    int chipType = context->GetChipType();
    return NewBurnerWorker(chipType, std::move(context));
}

std::unique_ptr<BurnerWorkerBase> NewBurnerWorker(int chipType, std::unique_ptr<BurnContext> context)
{
    if (context->GetTransportWay() == BurnInfo::TRANSPORT_USB) {
        return MakeWorker<DfuBurnerWorkerSp::DfuBurnerWorker>(context);
    }
    const SerialRoad* road = SerialRoadOf(chipType);
    if (road == nullptr) {
        std::printf("error: Invalid chiptype :%d\n", chipType);
        return nullptr;
    }
    return road->make(context);
}

int Write(int argc, char* argv[])
{
    return RunWorker(argc, argv, &BurnerWorkerBase::Burn, WriteVerdict, WriteRequestHonoured);
}

int Erase(int argc, char* argv[])
{
    return RunWorker(argc, argv, &BurnerWorkerBase::Erase, EraseVerdict, EraseRequestHonoured);
}

int Read(int argc, char* argv[])
{
    return RunWorker(argc, argv, &BurnerWorkerBase::Read, NoVerdict, ReadRequestHonoured);
}

int List(int argc, char* argv[])
{
    if (argc <= LIST_TYPE_INDEX || argv[LIST_TYPE_INDEX][0] == '-') {
        std::puts("error: list requires a type argument.\n");
        ListUsage();
        return 1;
    }
    const char* type = argv[LIST_TYPE_INDEX];
    if (std::strcmp(type, "serial") == 0) {
        return ListSerialPortsAsked(argc, argv);
    }
    if (std::strcmp(type, "hid") == 0) {
        return ListHidDevices(argc, argv);
    }
    std::printf("error: Unknown list type '%s'.\n\n", Common::Printable(type).c_str());
    ListUsage();
    return 1;
}

void ListUsage()
{
    std::puts("Usage: vexil list <type> [options]\n");
    std::puts("Supported types:");
    std::puts("  hid      HID devices (how chips appear in normal mode) and USB DFU");
    std::puts("           devices; filterable by -d <vid>:<pid>");
    std::puts("  serial   Available serial ports");
}

int ListSerialPorts()
{
    std::vector<char> buffer(LIST_BUFFER_SIZE, '\0');
    if (GetSerialPortList(buffer.data(), LIST_BUFFER_SIZE) != 0) {
        std::puts("error: Serial port enumeration failed.");
        return 1;
    }
    // The library keeps the text terminated within the buffer; the last byte stays zero all the same.
    buffer.back() = '\0';
    std::string ports(buffer.data());
    if (ports.empty()) {
        std::puts("No serial ports found.");
        return 0;
    }
    PrintListPieces(ports);
    return 0;
}

int ListHidDevices(int argc, char* argv[])
{
    BurnContext context;
    if (!ParseListOptions(argc, argv, context, {"--device"}, "its only filter is -d <vid>:<pid>.")) {
        return 1;
    }
    RegisterCallback(ListPrint, nullptr, nullptr);
    std::vector<char> buffer;
    int hidCount = ListDevices(GetHidDeviceList, buffer, context.GetUsbVid(), context.GetUsbPid());
    if (hidCount > 0) {
        std::printf("%s", buffer.data());
    }
    int dfuCount = ListDevices(GetUsbDfuDeviceList, buffer, context.GetUsbVid(), context.GetUsbPid());
    if (dfuCount > 0) {
        std::printf("USB DFU devices:\n%s", buffer.data());
    }
    if (hidCount < 0 && dfuCount < 0) {
        std::puts("error: USB enumeration failed.");
        return 1;
    }
    if (hidCount <= 0 && dfuCount <= 0) {
        std::puts("No HID or USB DFU devices found.");
    }
    return 0;
}

void ListPrint(long long handle, const char* tag, const char* message, const char* debugMessage, int level)
{
    (void)handle;
    (void)tag;
    (void)level;
    if (message != nullptr) {
        std::printf("%s", message);
    }
    if (BurnContext::m_isOpenDebug && debugMessage != nullptr) {
        std::printf("%s", debugMessage);
    }
    std::fflush(stdout);
}
