#ifndef VEXIL_TESTS_SIM_PROGRAMRUNNER_H
#define VEXIL_TESTS_SIM_PROGRAMRUNNER_H

#include <string>
#include <vector>

namespace Sim {

struct ProgramResult {
    std::string output;  // standard output and standard error, as written
    int exitCode = -1;   // -1 when the program did not exit normally or ran out of time
};

enum class OutputKind { Pipe, Terminal };

struct ProgramOptions {
    OutputKind output = OutputKind::Pipe;
    std::string workingDirectory;   // empty: the test's own
    bool emptyArgumentVector = false;  // start the program with no argument at all, not even its name
    int timeoutMs = 20000;
};

// Runs a program with the given arguments (the first is the program's path) and collects what it prints.
ProgramResult RunProgram(const std::vector<std::string>& arguments, const ProgramOptions& options = {});

}  // namespace Sim

#endif
