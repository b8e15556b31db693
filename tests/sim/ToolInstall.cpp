#include "ToolInstall.h"

#include <filesystem>
#include <unistd.h>

namespace Sim {

namespace fs = std::filesystem;

ToolInstall::ToolInstall(const std::string& buildDir, Executable executable)
{
    std::error_code error;
    fs::copy(fs::path(buildDir) / "config", m_dir / "config", fs::copy_options::recursive, error);
    if (error) {
        return;
    }
    fs::copy(fs::path(buildDir) / "ChipProperties", m_dir / "ChipProperties", fs::copy_options::recursive, error);
    if (error) {
        return;
    }
    if (executable == Executable::Copy) {
        fs::copy_file(fs::path(buildDir) / "vexil", Binary(), error);
        if (error) {
            return;
        }
    }
    m_ready = symlink(Binary().c_str(), ExeLink().c_str()) == 0;
}

bool ToolInstall::AddChip(const std::string& name, const std::string& properties) const
{
    return WriteTextFile(m_dir / ("ChipProperties/" + name + ".txt"), properties);
}

bool ToolInstall::WriteConfig(const std::string& text) const
{
    return WriteTextFile(m_dir / "config/burn.config", text);
}

std::string ToolInstall::WritePackage(const std::string& name, const std::vector<PackageImage>& images,
                                      const FwpkgOptions& options) const
{
    std::string path = m_dir / name;
    return WriteBinaryFile(path, BuildFwpkg(images, options)) ? path : std::string();
}

ProgramResult ToolInstall::Run(const std::vector<std::string>& words, const ProgramOptions& options) const
{
    return RunVexil(Binary(), words, options);
}

ProgramResult RunVexil(const std::string& binary, const std::vector<std::string>& words,
                       const ProgramOptions& options)
{
    std::vector<std::string> arguments = options.launcher;
    arguments.push_back(binary);
    arguments.insert(arguments.end(), words.begin(), words.end());
    return RunProgram(arguments, options);
}

}  // namespace Sim
