#ifndef VEXIL_TESTS_SIM_USBBENCH_H
#define VEXIL_TESTS_SIM_USBBENCH_H

#include <string>
#include <vector>

#include "ProgramRunner.h"

namespace Sim {

// Runs a program under the usbbench program of the build (virtual USB devices under umockdev, real
// libusb in the program): the bench's options, then the program and its words.
ProgramResult RunUnderUsbBench(const std::string& buildDir, const std::vector<std::string>& benchOptions,
                               const std::vector<std::string>& command, const ProgramOptions& options = {});

// The lines of a text, each with its line end, in order.
std::vector<std::string> Lines(const std::string& text);

}  // namespace Sim

#endif
