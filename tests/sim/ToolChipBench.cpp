#include "ToolChipBench.h"

#include <cstdio>

#include "Qx71Wire.h"

namespace Sim {

ToolChipBench::ToolChipBench(const std::string& buildDir, const std::string& chipName)
    : chipName(chipName), install(buildDir)
{
}

bool ToolChipBench::Ready() const
{
    return install.Ready() && bench.IsOpen();
}

Qx71Chip& ToolChipBench::StartChip(const Qx71Faults& faults)
{
    Qx71Variant variant = chipName == "kp7715" ? Qx71Variant::Kp7715 : Qx71Variant::Qx71;
    chip = std::make_unique<Qx71Chip>(bench, variant, faults);
    chip->Start();
    return *chip;
}

std::string ToolChipBench::WritePackage(const std::vector<PackageImage>& images, const FwpkgOptions& options,
                                        const std::string& name) const
{
    return install.WritePackage(name, images, options);
}

namespace {

std::vector<std::string> CommandWords(const std::string& command, const std::string& chipName,
                                      const std::string& port, const std::vector<std::string>& words)
{
    std::vector<std::string> all = {command, "-c", chipName, "-p", port};
    all.insert(all.end(), words.begin(), words.end());
    return all;
}

}  // namespace

ProgramResult ToolChipBench::Run(const std::string& command, const std::vector<std::string>& words,
                                 const ProgramOptions& options) const
{
    return install.Run(CommandWords(command, chipName, bench.PortPath(), words), options);
}

std::unique_ptr<BackgroundProgram> ToolChipBench::Start(const std::string& command,
                                                        const std::vector<std::string>& words,
                                                        const ProgramOptions& options) const
{
    std::vector<std::string> arguments = CommandWords(command, chipName, bench.PortPath(), words);
    arguments.insert(arguments.begin(), install.Binary());
    return std::make_unique<BackgroundProgram>(arguments, options);
}

const std::string PLEASE_RESET_LINE = "Please reset the device, the waiting time is about 30 seconds.\n";
const std::string ACK_REFUSED_LINE = "CheckAckFrame: ack result error: " + std::to_string(QX71_ACK_REFUSED) + "\n";
const Bytes RESET_FRAME = {0xEF, 0xBE, 0xAD, 0xDE, 0x0C, 0x00, 0x87, 0x78, 0x00, 0x00, 0x61, 0x94};

std::string ProgressBar(int percent)
{
    constexpr int CELLS = 30;
    int filled = percent * CELLS / 100;
    char number[8] = {0};
    std::snprintf(number, sizeof(number), "%3d%%", percent);
    std::string bar = "\r  [" + std::string(filled, '=') + std::string(CELLS - filled, '-') + "] " + number;
    return percent == 100 ? bar + "\n" : bar;
}

std::string ImageLines(const std::string& name, const std::vector<int>& percents)
{
    std::string lines = "C\nStart download: " + name + ".\n";
    for (int percent : percents) {
        lines += ProgressBar(percent);
    }
    return lines + "downloaded: " + name + " successfully.\n";
}

std::vector<Bytes> CommandBytes(const Qx71Chip& chip)
{
    std::vector<Bytes> commands;
    for (const Qx71CommandFrame& frame : chip.Commands()) {
        commands.push_back(frame.bytes);
    }
    return commands;
}

std::string ChipParamName(const ::testing::TestParamInfo<const char*>& info)
{
    return info.param;
}

Bytes Tail(const Bytes& bytes, size_t count)
{
    size_t from = bytes.size() > count ? bytes.size() - count : 0;
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end());
}

}  // namespace Sim
