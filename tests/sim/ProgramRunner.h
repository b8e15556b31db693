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
// Standard output alone goes to a console that takes nothing, whose other end the program holds itself: a
// full pipe that it may not open anew (as another user's), a terminal stopped with Ctrl-S, a full socket.
enum class Console { Reading, FullPipe, StoppedTerminal, FullSocket };

struct ProgramOptions {
    OutputKind output = OutputKind::Pipe;
    std::string workingDirectory;   // empty: the test's own
    bool emptyArgumentVector = false;  // start the program with no argument at all, not even its name
    bool closedOutput = false;  // standard output is a pipe whose reader is gone (as of `| head -1`)
    Console console = Console::Reading;
    size_t consoleRoom = 0;  // what a full pipe still takes
    int timeoutMs = 20000;
    std::vector<std::string> launcher;  // words that start the program, as prlimit --fsize=4096 (RunVexil)
    int pendingSignal = 0;  // sent to the program before it runs, held back until it takes it: a signal at once
};

// Runs a program with the given arguments (the first is the program's path) and collects what it prints.
ProgramResult RunProgram(const std::vector<std::string>& arguments, const ProgramOptions& options = {});

// Whether the tests may act as the other user of the machine (Sim::NOBODY), to see what that user can do
// to the tool's files; a shell command run as that user, true when it succeeded.
bool MayActAsNobody();
const char* const NOT_AS_NOBODY = "acting as another user takes root and setpriv (util-linux)";
bool RunAsNobody(const std::string& shellCommand);

// A program that runs beside the test, its standard output and error in one pipe: its first lines
// can be read while it runs. Killed when the object goes before it has finished.
class BackgroundProgram {
public:
    explicit BackgroundProgram(const std::vector<std::string>& arguments, const ProgramOptions& options = {});
    ~BackgroundProgram();
    BackgroundProgram(const BackgroundProgram&) = delete;
    BackgroundProgram& operator=(const BackgroundProgram&) = delete;

    // The next line without its line end; false when none came in time.
    bool ReadLine(std::string& line, int timeoutMs);
    // Waits for the end: what was printed after the lines already read, and the exit status.
    ProgramResult Finish(int timeoutMs);
    // Waits until the program is blocked in a write to its standard output; false when it was not in time.
    bool BlockedWritingItsOutput(int timeoutMs) const;
    // Sends the program a signal; false when it has already been reaped.
    bool Signal(int signalNumber) const;
    int Pid() const { return m_child; }

private:
    int m_child = -1;
    int m_reader = -1;
    std::string m_pending;
};

}  // namespace Sim

#endif
