#include "ScratchDir.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <vector>

namespace Sim {

ScratchDir::ScratchDir()
{
    std::string pattern = "/tmp/vexil-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) != nullptr) {
        path = name.data();
    }
}

ScratchDir::~ScratchDir()
{
    if (!path.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
}

bool WriteTextFile(const std::string& path, const std::string& text)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    return static_cast<bool>(file);
}

std::set<std::string> FilesIn(const std::string& directory)
{
    std::set<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

StdoutRedirect::StdoutRedirect(int descriptor)
{
    std::fflush(stdout);
    saved = dup(STDOUT_FILENO);
    dup2(descriptor, STDOUT_FILENO);
}

StdoutRedirect::~StdoutRedirect()
{
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
}

}  // namespace Sim
