#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "BurnCommands.h"
#include "BurnContext.h"
#include "BurnInfo.h"
#include "BurnerWorkerBase.h"
#include "CliParser.h"
#include "Common.h"
#include "CommonUtil.h"
#include "FwpkgInfo.h"
#include "Interrupt.h"
#include "securec.h"

namespace {

const char* const VERSION = "26.07.1";

const char* const USAGE_LINES[] = {
    "vexil - embedded chip flash tool over UART / USB DFU\n",
    "Usage:",
    "  vexil <write|erase|read|parse|list> [options]\n",
    "Commands:",
    "  write     Burn an image / firmware package to flash",
    "  erase     Erase the flash",
    "  read      Read flash data back into a file",
    "  parse     Print the image table of a .fwpkg file (-f), no device needed",
    "  list <hid|serial>",
    "            hid: attached HID devices (how chips appear in normal mode)",
    "            and USB DFU devices, filterable by -d <vid>:<pid>;",
    "            serial: available serial ports\n",
    "General:",
    "  -h, --help                 Show this help",
    "  -v, --version              Show version\n",
    "Connection / target:",
    "  -c, --chip <name>          Chip name, e.g. qx71",
    "  -p, --port <port>          Serial port, e.g. /dev/ttyUSB0 (implies serial transport)",
    "  -b, --baud <rate>          Baud rate (default 115200)",
    "  -s, --stop-bits <n>        Stop bits",
    "      --parity <n>           Parity",
    "  -d, --device [<vid>:<pid>] USB DFU device (implies USB transport; hex ids,",
    "                             bare -d auto-detects a single device); excludes -p",
    "  -S, --serial-number <sn>   Pick one of several identical USB devices",
    "  -f, --file <path>          Image / partition table (.fwpkg / .bin / .xml)",
    "      --config <path>        Path to burn.config\n",
    "USB DFU control:",
    "      --transfer-size <n>    DFU chunk size 64-65535 (device value wins)",
    "      --timeout <ms>         DFU control-transfer timeout (default 5000)\n",
    "Burn control:",
    "  -r, --after-reset[=N]      Reset after finishing (bare = reset, --after-reset=0 = no)",
    "      --only-burn <part>     Burn only the given partition (repeatable)",
    "      --burn-interval <ms>   Inter-frame interval",
    "      --packet-size <n>      Transfer packet size (1024 / 2048 / 4096 / 8192)",
    "      --switch-after-loader  Switch baud after loader",
    "      --before-reset         Reset before burning\n",
    "Erase control:",
    "  -e, --erase-size <size>    Erase size\n",
    "Export control:",
    "  -a, --address <addr>       Read start address",
    "  -o, --output <path>        File the read writes to (default <package>_read.bin)",
    "  -z, --size <size>          Read size\n",
    "Example:",
    "  vexil write -c qx71 -p /dev/ttyUSB0 -b 921600 -f qx71-nimbos-app_all.fwpkg",
    "  vexil write -c tn48 -d 0483:df11 -f app.fwpkg     (USB DFU)",
    "  vexil list serial",
};
static_assert(sizeof(USAGE_LINES) / sizeof(USAGE_LINES[0]) == 46, "the usage text has 46 lines");

constexpr size_t INDEX_CELL_LEN = 12;
constexpr size_t NUMBER_CELL_LEN = 16;
constexpr size_t TYPE_CELL_LEN = 48;
const char* const TABLE_ROW_FORMAT = "%-3s  %-28s  %-12s  %-12s  %-12s  %s\n";

void Help()
{
    for (const char* line : USAGE_LINES) {
        std::puts(line);
    }
}

std::string HexCell(uint32_t value)
{
    char cell[NUMBER_CELL_LEN] = {0};
    snprintf_s(cell, sizeof(cell), sizeof(cell) - 1, "0x%08X", value);
    return cell;
}

void PrintImageRow(unsigned int index, const BurnInfo::FwImageInfo& row)
{
    char indexCell[INDEX_CELL_LEN] = {0};
    snprintf_s(indexCell, sizeof(indexCell), sizeof(indexCell) - 1, "%u", index);
    char typeCell[TYPE_CELL_LEN] = {0};
    int type = static_cast<int>(row.type);
    snprintf_s(typeCell, sizeof(typeCell), sizeof(typeCell) - 1, "%s (%d)",
               BurnInfo::FwImageTypeName(type).c_str(), type);
    std::printf(TABLE_ROW_FORMAT, indexCell, Common::Printable(row.name).c_str(), HexCell(row.address).c_str(),
                HexCell(row.writeSize).c_str(), HexCell(row.eraseSize).c_str(), typeCell);
}

void PrintImageTable(const std::string& file, const std::string& version,
                     const std::vector<BurnInfo::FwImageInfo>& rows)
{
    std::printf("File  : %s\n", Common::Printable(file).c_str());
    if (!version.empty()) {
        std::printf("Version: %s\n", Common::Printable(version).c_str());
    }
    std::printf("Images: %u\n\n", static_cast<unsigned int>(rows.size()));
    std::printf(TABLE_ROW_FORMAT, "Idx", "Name", "Address", "WriteSize", "EraseSize", "Type");
    std::printf(TABLE_ROW_FORMAT, "---", "----------------------------", "----------", "----------", "----------",
                "----------");
    for (size_t i = 0; i < rows.size(); ++i) {
        PrintImageRow(static_cast<unsigned int>(i), rows[i]);
    }
}

int Parse(int argc, char* argv[])
{
    // A word or value the parser cannot take may be an option the user counts on: no listing without it.
    BurnInfo::BurnContext context;
    if (!ParseExtraParam(argc, argv, &context)) {
        return 1;
    }
    std::string file = context.GetBurnFile();
    if (file.empty()) {
        std::puts("error: parse requires -f <fwpkg file>");
        return 1;
    }
    if (!TakesOnly(context, {"--file"}, "parse", "it reads the package given with -f and nothing else.")) {
        return 1;
    }
    std::vector<BurnInfo::FwImageInfo> rows;
    std::string error;
    std::string version;
    std::string refusal;
    bool parsed = BurnInfo::ParseFwpkgInfo(file, rows, error, &version, &refusal);
    // A signal stops the read of the package: the tool then says only why it stopped, and shows no table.
    if (Interrupt::Received() != 0) {
        return 1;
    }
    if (!parsed) {
        std::printf("error: %s\n", error.c_str());
        return 1;
    }
    PrintImageTable(file, version, rows);
    // The table is shown all the same, but a package that every burn refuses does not pass.
    if (!refusal.empty()) {
        std::printf("error: %s\n", refusal.c_str());
        return 1;
    }
    return 0;
}

bool IsWord(const char* word, const char* shortName, const char* longName)
{
    return std::strcmp(word, shortName) == 0 || std::strcmp(word, longName) == 0;
}

// Help or the version, asked for by any word, is all a run does.
bool HelpOrVersionAsked(int argc, char* argv[])
{
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        if (IsWord(argv[i], "-h", "--help")) {
            Help();
            return true;
        }
        if (IsWord(argv[i], "-v", "--version")) {
            std::printf("vexil Version: %s\n", VERSION);
            return true;
        }
    }
    return false;
}

int RunCommand(int argc, char* argv[])
{
    // Programs may start us with an empty argument vector: that is no command word either.
    if (argv == nullptr || argc < 2 || argv[1] == nullptr) {
        Help();
        return 1;
    }
    if (HelpOrVersionAsked(argc, argv)) {
        return 0;
    }
    const char* command = argv[1];
    const struct {
        const char* word;
        int (*run)(int, char*[]);
    } commands[] = {{"write", Write}, {"erase", Erase}, {"read", Read}, {"parse", Parse}, {"list", List}};
    for (const auto& entry : commands) {
        if (std::strcmp(command, entry.word) == 0) {
            return entry.run(argc, argv);
        }
    }
    Help();
    // A script that mistypes the command must not go on as if it had run.
    return 1;
}

}  // namespace

int main(int argc, char* argv[])
{
    CommonUtil::EnableConsoleColor();
    Interrupt::Watch();
    int status = 0;
    try {
        status = RunCommand(argc, argv);
    } catch (const std::bad_alloc&) {
        // Buffers sized by input are allocated without throwing; this is the last guard for the rest.
        BurnerWorkerBase::StartLineAfterProgress("");
        std::puts("error: Out of memory.");
        status = BurnInfo::NEW_OR_MALLOC_FAILED;
    }
    if (Interrupt::Received() != 0) {
        Interrupt::Report();
        return Interrupt::ExitStatus();
    }
    return status;
}
