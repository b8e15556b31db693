#ifndef VEXIL_TESTS_SIM_SCRATCHDIR_H
#define VEXIL_TESTS_SIM_SCRATCHDIR_H

#include <set>
#include <string>

namespace Sim {

// A fresh directory under /tmp, removed with everything in it when the object goes.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& Path() const { return path; }
    // The path of a name inside the directory.
    std::string operator/(const std::string& name) const { return path + "/" + name; }

private:
    std::string path;
};

bool WriteTextFile(const std::string& path, const std::string& text);
// The names of the entries of a directory; none when it cannot be read.
std::set<std::string> FilesIn(const std::string& directory);

// Runs a callable with the process's standard output going to the given descriptor.
class StdoutRedirect {
public:
    explicit StdoutRedirect(int descriptor);
    ~StdoutRedirect();
    StdoutRedirect(const StdoutRedirect&) = delete;
    StdoutRedirect& operator=(const StdoutRedirect&) = delete;

private:
    int saved;
};

}  // namespace Sim

#endif
