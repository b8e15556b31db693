#ifndef VEXIL_TESTS_SIM_TOOLINSTALL_H
#define VEXIL_TESTS_SIM_TOOLINSTALL_H

#include <string>
#include <vector>

#include "FwpkgBuilder.h"
#include "ProgramRunner.h"
#include "ScratchDir.h"

namespace Sim {

// A private installation of the tool in a scratch directory: config/ and ChipProperties/ copied from
// the build, so that a test may add chips or write burn.config without touching the build's own.
// The tool finds both beside the executable, so the executable is copied too (or, for tests that run
// the tool's code in-process, named by a link that the burn context may read instead of /proc/self/exe).
class ToolInstall {
public:
    enum class Executable { Copy, LinkOnly };

    ToolInstall(const std::string& buildDir, Executable executable = Executable::Copy);

    bool Ready() const { return m_ready; }
    const std::string& Dir() const { return m_dir.Path(); }
    std::string Path(const std::string& name) const { return m_dir / name; }
    std::string Binary() const { return m_dir / "vexil"; }
    // A link to the installed executable's path, for BurnContext::InitExePath.
    std::string ExeLink() const { return m_dir / "exe-link"; }

    bool AddChip(const std::string& name, const std::string& properties) const;
    bool WriteConfig(const std::string& text) const;
    // Writes a firmware package into the installation's directory and gives its path ("" on failure).
    std::string WritePackage(const std::string& name, const std::vector<PackageImage>& images,
                             const FwpkgOptions& options = {}) const;
    ProgramResult Run(const std::vector<std::string>& words, const ProgramOptions& options = {}) const;

private:
    ScratchDir m_dir;
    bool m_ready = false;
};

// Runs the given vexil executable with the words after its name.
ProgramResult RunVexil(const std::string& binary, const std::vector<std::string>& words,
                       const ProgramOptions& options = {});

}  // namespace Sim

#endif
