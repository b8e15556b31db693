#include "UsbBench.h"

namespace Sim {

ProgramResult RunUnderUsbBench(const std::string& buildDir, const std::vector<std::string>& benchOptions,
                               const std::vector<std::string>& command, const ProgramOptions& options)
{
    std::vector<std::string> arguments = {buildDir + "/usbbench"};
    arguments.insert(arguments.end(), benchOptions.begin(), benchOptions.end());
    arguments.push_back("--");
    arguments.insert(arguments.end(), command.begin(), command.end());
    return RunProgram(arguments, options);
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

}  // namespace Sim
