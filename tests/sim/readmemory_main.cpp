// How much memory a flash read takes: reads flash of two sizes from the virtual Qx71 chip on a pty
// through the built vexil, and prints the tool's peak resident memory for each. A read streams into
// its output file, so the peak should not grow with the size read.
//
//   readmemory <build dir> [<MiB> <MiB>]      (default: 4 and 32)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "FwpkgBuilder.h"
#include "Qx71Chip.h"
#include "Qx71Session.h"
#include "ToolChipBench.h"

namespace {

constexpr size_t MIB = 1024 * 1024;

// A forked process counts the memory of its parent until it starts another program, and that count
// stays with it. So the tool is started by a launcher forked while this process is still small: it
// takes the tool's words through a pipe and answers with the tool's peak resident memory in KiB.
class Launcher {
public:
    Launcher()
    {
        int request[2] = {-1, -1};
        int answer[2] = {-1, -1};
        if (pipe(request) != 0 || pipe(answer) != 0) {
            return;
        }
        m_pid = fork();
        if (m_pid == 0) {
            close(request[1]);
            close(answer[0]);
            _exit(Serve(request[0], answer[1]));
        }
        close(request[0]);
        close(answer[1]);
        m_request = request[1];
        m_answer = answer[0];
    }

    // The tool's exit status and its peak, or -1 when it could not run.
    long Run(const std::vector<std::string>& arguments, int& exitCode)
    {
        std::string joined;
        for (const std::string& argument : arguments) {
            joined += argument + '\n';
        }
        joined += '\n';
        if (write(m_request, joined.data(), joined.size()) != static_cast<ssize_t>(joined.size())) {
            return -1;
        }
        long reply[2] = {-1, -1};
        if (read(m_answer, reply, sizeof(reply)) != static_cast<ssize_t>(sizeof(reply))) {
            return -1;
        }
        exitCode = static_cast<int>(reply[0]);
        close(m_request);
        waitpid(m_pid, nullptr, 0);
        return reply[1];
    }

private:
    static int Serve(int request, int answer)
    {
        std::vector<std::string> arguments;
        std::string line;
        char byte = 0;
        while (read(request, &byte, 1) == 1) {
            if (byte != '\n') {
                line += byte;
            } else if (!line.empty()) {
                arguments.push_back(line);
                line.clear();
            } else {
                break;
            }
        }
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(&argument[0]);
        }
        argv.push_back(nullptr);
        pid_t tool = fork();
        if (tool == 0) {
            freopen("/dev/null", "w", stdout);
            execv(argv[0], argv.data());
            _exit(127);
        }
        int status = 0;
        struct rusage usage = {};
        long reply[2] = {-1, -1};
        if (tool > 0 && wait4(tool, &status, 0, &usage) == tool) {
            reply[0] = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            reply[1] = usage.ru_maxrss;
        }
        return write(answer, reply, sizeof(reply)) == static_cast<ssize_t>(sizeof(reply)) ? 0 : 1;
    }

    pid_t m_pid = -1;
    int m_request = -1;
    int m_answer = -1;
};

// Runs in a process of its own, so that each read starts from the same state.
int MeasureRead(const std::string& buildDir, size_t mebibytes)
{
    Launcher launcher;
    Sim::ToolChipBench tool(buildDir, "qx71");
    if (!tool.Ready()) {
        std::fprintf(stderr, "no tool in %s\n", buildDir.c_str());
        return 1;
    }
    Sim::Qx71Chip& chip = tool.StartChip();
    chip.Preload(0, Sim::PatternBytes(mebibytes * MIB, 9));
    std::string package = tool.WritePackage(Sim::SamplePackageImages());
    std::string output = tool.install.Path("flash.bin");
    int exitCode = -1;
    long peakKib = launcher.Run({tool.install.Binary(), "read", "-c", "qx71", "-p", tool.bench.PortPath(), "-f",
                                 package, "-a", "0", "-z", std::to_string(mebibytes * MIB), "-o", output},
                                exitCode);
    std::printf("read of %3zu MiB: exit %d, peak resident %6.1f MiB\n", mebibytes, exitCode,
                static_cast<double>(peakKib) / 1024.0);
    std::fflush(stdout);
    return exitCode == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 4) {
        std::fprintf(stderr, "usage: readmemory <build dir> [<MiB> <MiB>]\n");
        return 2;
    }
    std::vector<size_t> sizes = {4, 32};
    if (argc == 4) {
        sizes = {static_cast<size_t>(std::atoi(argv[2])), static_cast<size_t>(std::atoi(argv[3]))};
    }
    int failures = 0;
    for (size_t size : sizes) {
        pid_t child = fork();
        if (child == 0) {
            _exit(MeasureRead(argv[1], size));
        }
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
