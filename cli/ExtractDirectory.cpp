#include "ExtractDirectory.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Common.h"
#include "CommonUtil.h"
#include "Interrupt.h"

namespace {

constexpr mode_t DIRECTORY_MODE = 0755;
constexpr mode_t FILE_MODE = 0644;  // less the umask
const char* const RUN_DIRECTORY_PATTERN = "run.XXXXXX";

// A trailing "/" would make the kernel follow a link of that name.
std::string WithoutTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

const char* ReasonToRefuse(const struct stat& status)
{
    if (S_ISLNK(status.st_mode)) {
        return "Is a symbolic link";
    }
    if (!S_ISDIR(status.st_mode)) {
        return std::strerror(ENOTDIR);
    }
    if (status.st_uid != geteuid()) {
        return "Owned by another user";
    }
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "Writable by group or others";
    }
    return nullptr;
}

// A stream on the file of this name in the directory itself, never on one a link of that name points to.
FILE* StreamAt(int directory, const std::string& name, int flags, const char* mode)
{
    int descriptor = openat(directory, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, FILE_MODE);
    FILE* file = descriptor < 0 ? nullptr : fdopen(descriptor, mode);
    if (file == nullptr && descriptor >= 0) {
        close(descriptor);
    }
    return file;
}

}  // namespace

ExtractDirectory::~ExtractDirectory()
{
    Remove();
}

bool ExtractDirectory::Open(const std::string& path)
{
    Remove();
    m_directory.Reset();
    m_path = path;
    std::string bare = WithoutTrailingSlashes(path);
    if (mkdir(bare.c_str(), DIRECTORY_MODE) != 0 && errno != EEXIST) {
        return Refuse(std::strerror(errno));
    }
    // O_PATH with O_NOFOLLOW holds a link itself, which fstat then shows as one.
    m_directory.Reset(open(bare.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat status = {};
    if (!m_directory.IsOpen() || fstat(m_directory.Get(), &status) != 0) {
        return Refuse(std::strerror(errno));
    }
    const char* reason = ReasonToRefuse(status);
    return reason == nullptr ? MakeRunDirectory() : Refuse(reason);
}

// A new name that only this user may enter; it is named for the end at once as soon as it is made, so
// that a second signal cannot leave it behind.
bool ExtractDirectory::MakeRunDirectory()
{
    std::string pattern = m_directory.HeldPath() + "/" + RUN_DIRECTORY_PATTERN;
    int error = 0;
    Interrupt::WithEndHeldOff([&]() {
        if (mkdtemp(&pattern[0]) == nullptr) {
            error = errno;
            return;
        }
        m_runName = pattern.substr(pattern.rfind('/') + 1);
        Interrupt::SetScratchDirectory(m_directory.Get(), m_runName);
    });
    if (error != 0) {
        return Refuse(std::strerror(error));
    }
    m_run.Reset(openat(m_directory.Get(), m_runName.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat status = {};
    if (!m_run.IsOpen() || fstat(m_run.Get(), &status) != 0) {
        return Refuse(std::strerror(errno));
    }
    const char* reason = ReasonToRefuse(status);
    return reason == nullptr || Refuse(reason);
}

bool ExtractDirectory::Refuse(const char* reason)
{
    std::printf("error: Cannot use the extract directory %s (%s).\n", Common::Printable(m_path).c_str(), reason);
    Remove();
    m_directory.Reset();
    return false;
}

void ExtractDirectory::Remove()
{
    if (!m_runName.empty()) {
        (void)CommonUtil::RemoveDirectoryWithFiles(m_directory.Get(), m_runName);
        Interrupt::SetScratchDirectory(-1, "");
        m_runName.clear();
    }
    m_run.Reset();
}

FILE* ExtractDirectory::Create(const std::string& name) const
{
    FILE* file = nullptr;
    int error = 0;
    // Made while the end at once is held off, so that its removal of the run's directory finds every file.
    Interrupt::WithEndHeldOff([&]() {
        file = StreamAt(m_run.Get(), name, O_WRONLY | O_CREAT | O_EXCL, "wb");
        error = errno;
    });
    errno = error;
    return file;
}

FILE* ExtractDirectory::Read(const std::string& name) const
{
    return StreamAt(m_run.Get(), name, O_RDONLY, "rb");
}
