#ifndef VEXIL_TESTS_SIM_TOOLCHIPBENCH_H
#define VEXIL_TESTS_SIM_TOOLCHIPBENCH_H

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FwpkgBuilder.h"
#include "ProgramRunner.h"
#include "PtyBench.h"
#include "Qx71Chip.h"
#include "ToolInstall.h"

// The built vexil against a virtual Qx71-family chip: the chip serves on a pty bench in the test's
// process, and the tool, run from a private installation, burns through the bench's port.
namespace Sim {

class ToolChipBench {
public:
    // chipName is the tool's name of the chip ("qx71" or "kp7715"); it picks the chip's variant.
    ToolChipBench(const std::string& buildDir, const std::string& chipName);

    bool Ready() const;
    Qx71Chip& StartChip(const Qx71Faults& faults = {});
    std::string WritePackage(const std::vector<PackageImage>& images, const FwpkgOptions& options = {},
                             const std::string& name = "app.fwpkg") const;
    // vexil <command> -c <chip> -p <bench port> <words...>.
    ProgramResult Run(const std::string& command, const std::vector<std::string>& words,
                      const ProgramOptions& options = {}) const;
    // The same, started beside the test.
    std::unique_ptr<BackgroundProgram> Start(const std::string& command, const std::vector<std::string>& words,
                                             const ProgramOptions& options = {}) const;

    const std::string chipName;
    ToolInstall install;
    PtyBench bench;
    std::unique_ptr<Qx71Chip> chip;
};

// The tool's first line of every command that opens a serial port.
extern const std::string PLEASE_RESET_LINE;
// What the tool says when the chip answers a command with its negative ack.
extern const std::string ACK_REFUSED_LINE;
// The reset frame the tool sends after a burn or an erase with -r.
extern const Bytes RESET_FRAME;

// The bar the tool draws on a pipe for one progress report; 100 ends its line.
std::string ProgressBar(int percent);
// The tool's lines for one image the chip asked for with 'C': the YMODEM handshake text, the start,
// one bar per percent given (none while progress printing is off) and the chip's ack.
std::string ImageLines(const std::string& name, const std::vector<int>& percents = {});
// The bytes of the chip's command frames but the handshakes, in order.
std::vector<Bytes> CommandBytes(const Qx71Chip& chip);
// Names the instances of a test run once per chip name.
std::string ChipParamName(const ::testing::TestParamInfo<const char*>& info);
// The last count bytes (all of them when fewer).
Bytes Tail(const Bytes& bytes, size_t count);

}  // namespace Sim

#endif
