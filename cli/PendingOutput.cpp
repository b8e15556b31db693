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

// A link stays a link: the read replaces the file it points to.
std::string FollowLinks(const std::string& path)
{
    char resolved[PATH_MAX] = {0};
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

}  // namespace

PendingOutput::PendingOutput(std::string output) : m_output(std::move(output)) {}

PendingOutput::~PendingOutput()
{
    Discard();
}

bool PendingOutput::Create()
{
    if (CommonUtil::FileIsExists(m_output) && !CommonUtil::IsRegularFile(m_output)) {
        m_path = m_output;
        return true;
    }
    m_target = FollowLinks(m_output);
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
    std::printf("error: Cannot create the output file: %s (%s).\n", m_output.c_str(), std::strerror(error));
    return false;
}

bool PendingOutput::Keep()
{
    if (!m_pending) {
        return true;
    }
    if (std::rename(m_path.c_str(), m_target.c_str()) != 0) {
        std::printf("error: Cannot put the read in place of %s (%s).\n", m_output.c_str(), std::strerror(errno));
        return false;
    }
    m_pending = false;
    Interrupt::SetScratchFile("");
    return true;
}

void PendingOutput::Discard()
{
    if (!m_pending) {
        return;
    }
    m_pending = false;
    bool removed = std::remove(m_path.c_str()) == 0;
    Interrupt::SetScratchFile("");
    if (removed) {
        std::printf("note: Removed the incomplete read; %s is as it was before.\n", m_output.c_str());
    } else {
        std::printf("warning: The incomplete read %s could not be removed.\n", m_path.c_str());
    }
}
