#include "PendingOutput.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "CommonUtil.h"
#include "Interrupt.h"

namespace {

// Another process with this one's id may have left a file behind.
constexpr int MAX_NAME_TRIES = 100;
constexpr mode_t NEW_FILE_MODE = 0666;  // less the umask, as for any file the tool creates
constexpr mode_t PERMISSION_BITS = 0777;
// A longer chain of links is taken for a loop.
constexpr int MAX_LINK_HOPS = 40;

std::string ReadLink(const std::string& path)
{
    char target[PATH_MAX] = {0};
    ssize_t length = readlink(path.c_str(), target, sizeof(target) - 1);
    return length > 0 ? std::string(target, static_cast<size_t>(length)) : std::string();
}

// A link stays a link: the read replaces the file it points to, also one that does not exist yet.
// "" for a loop.
std::string FollowLinks(std::string path)
{
    for (int hops = 0; hops < MAX_LINK_HOPS; ++hops) {
        char resolved[PATH_MAX] = {0};
        if (realpath(path.c_str(), resolved) != nullptr) {
            return resolved;
        }
        std::string next = ReadLink(path);
        if (next.empty()) {
            return path;
        }
        path = next[0] == '/' ? next : CommonUtil::GetParentDir(path) + next;
    }
    return std::string();
}

// In a sticky directory (such as /tmp) only the owner of a file or of the directory may replace it.
bool MayReplace(const std::string& target, const struct stat& file)
{
    uid_t user = geteuid();
    if (user == 0 || file.st_uid == user) {
        return true;
    }
    std::string directory = CommonUtil::GetParentDir(target);
    struct stat status = {};
    return stat(directory.empty() ? "." : directory.c_str(), &status) != 0 || (status.st_mode & S_ISVTX) == 0 ||
           status.st_uid == user;
}

// The read takes the older file's place as writing it in place did: with its permission bits, and
// with its owner where this user may give the file away.
void TakeOverOwnerAndMode(const std::string& path, const struct stat& older)
{
    if (chown(path.c_str(), older.st_uid, older.st_gid) != 0) {
        // Only the superuser may; the read then stays this user's.
    }
    chmod(path.c_str(), older.st_mode & PERMISSION_BITS);
}

}  // namespace

PendingOutput::PendingOutput(std::string output) : m_output(std::move(output)) {}

PendingOutput::~PendingOutput()
{
    Discard();
}

bool PendingOutput::Check()
{
    if (!Create()) {
        return false;
    }
    if (m_pending) {
        Remove();
    }
    return true;
}

bool PendingOutput::Create()
{
    struct stat existing = {};
    bool exists = stat(m_output.c_str(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode)) {
        return Refuse(EISDIR);
    }
    // As when the output was written in place: one this user may not write is refused, not replaced.
    if (exists && access(m_output.c_str(), W_OK) != 0) {
        return Refuse(errno);
    }
    if (exists && !S_ISREG(existing.st_mode)) {
        m_path = m_output;
        return true;
    }
    m_target = FollowLinks(m_output);
    if (m_target.empty()) {
        return Refuse(ELOOP);
    }
    if (exists && !MayReplace(m_target, existing)) {
        return Refuse(EPERM);
    }
    return MakeFileBeside();
}

bool PendingOutput::Refuse(int error) const
{
    std::printf("error: Cannot create the output file: %s (%s).\n", m_output.c_str(), std::strerror(error));
    return false;
}

bool PendingOutput::MakeFileBeside()
{
    std::string directory = CommonUtil::GetParentDir(m_target);
    std::string stem = directory + "." + m_target.substr(directory.size()) + "." + std::to_string(getpid()) + ".";
    for (int tries = 0; tries < MAX_NAME_TRIES; ++tries) {
        std::string candidate = stem + std::to_string(tries) + ".part";
        // Named before it is made: a second signal between the two would leave it behind.
        Interrupt::SetScratchFile(candidate);
        int descriptor = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, NEW_FILE_MODE);
        if (descriptor >= 0) {
            close(descriptor);
            m_path = candidate;
            m_pending = true;
            return true;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    int error = errno;
    Interrupt::SetScratchFile("");
    return Refuse(error);
}

bool PendingOutput::Keep()
{
    if (!m_pending) {
        return true;
    }
    struct stat older = {};
    if (stat(m_target.c_str(), &older) == 0 && S_ISREG(older.st_mode)) {
        TakeOverOwnerAndMode(m_path, older);
    }
    bool renamed = std::rename(m_path.c_str(), m_target.c_str()) == 0;
    int error = errno;
    m_pending = false;
    m_stranded = !renamed;
    Interrupt::SetScratchFile("");
    if (!renamed) {
        std::printf("error: Cannot put the read in place of %s (%s).\n", m_output.c_str(), std::strerror(error));
    }
    return renamed;
}

void PendingOutput::Discard()
{
    if (m_stranded) {
        m_stranded = false;
        std::printf("note: The whole read is kept in %s.\n", m_path.c_str());
        return;
    }
    if (!m_pending) {
        return;
    }
    if (Remove()) {
        std::printf("note: Removed the incomplete read; %s is as it was before.\n", m_output.c_str());
    } else {
        std::printf("warning: The incomplete read %s could not be removed.\n", m_path.c_str());
    }
}

bool PendingOutput::Remove()
{
    m_pending = false;
    bool removed = std::remove(m_path.c_str()) == 0;
    Interrupt::SetScratchFile("");
    return removed;
}
