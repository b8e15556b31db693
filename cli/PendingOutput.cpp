#include "PendingOutput.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/limits.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "AccessAcl.h"
#include "BurnInfo.h"
#include "Common.h"
#include "CommonUtil.h"
#include "Interrupt.h"

namespace {

// A name taken by chance is tried again with another.
constexpr int MAX_NAME_TRIES = 100;
// The scratch file's name is as short and as hard to guess as mkstemp's, whatever the output's name.
constexpr size_t SCRATCH_RANDOM_LETTERS = 8;
const char SCRATCH_LETTERS[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
// A new output is made with the rights the directory gives any new file (its default ACL, else the
// umask), which it keeps: no one may open it before it is whole who could not open it afterwards.
constexpr mode_t NEW_FILE_MODE = 0666;
// A file that replaces another is this user's alone until it has taken over the older one's rights.
constexpr mode_t REPLACING_FILE_MODE = 0600;
constexpr mode_t PERMISSION_BITS = 0777;
// Like the set-user-ID bits, which the mode leaves out, file capabilities are not carried over to a dump.
const char* const FILE_CAPABILITIES = "security.capability";
// How often a FIFO without a reader is tried again: no event tells a writer that one has come.
constexpr int READER_RETRY_MS = 50;
// A longer chain of links is taken for a loop, as the kernel does.
constexpr int MAX_LINK_HOPS = 40;
const char* const NO_NAME_LEFT = "the file it opens has no name any more";

bool SameFile(const struct stat& one, const struct stat& other)
{
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

std::string RandomScratchName()
{
    unsigned char random[SCRATCH_RANDOM_LETTERS] = {0};
    if (getrandom(random, sizeof(random), 0) != static_cast<ssize_t>(sizeof(random))) {
        return "";
    }
    std::string name = ".vexil-";
    for (unsigned char byte : random) {
        name += SCRATCH_LETTERS[byte % (sizeof(SCRATCH_LETTERS) - 1)];
    }
    return name + ".part";
}

// The names of a file's extended attributes, one after another each ending in a zero byte; empty on a
// file system that has none.
bool ListAttributes(const std::string& path, std::vector<char>& names)
{
    names.assign(XATTR_LIST_MAX, '\0');
    ssize_t length = listxattr(path.c_str(), names.data(), names.size());
    names.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return length >= 0 || errno == ENOTSUP;
}

// The text of the link a handle taken without following it holds.
std::string ReadLink(int link)
{
    char target[PATH_MAX] = {0};
    ssize_t length = readlinkat(link, "", target, sizeof(target) - 1);
    return length > 0 ? std::string(target, static_cast<size_t>(length)) : std::string();
}

// A sticky directory that others may write, such as /tmp: another user may put files in it.
bool SharedSticky(const struct stat& directory)
{
    return (directory.st_mode & S_ISVTX) != 0 && (directory.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// Where others may put files in a sticky directory, everyone is held to what the kernel's
// protected_symlinks, protected_regular and protected_fifos hold them to in place, whether or not they
// are switched on, and in a directory that only a group may write as well: a link, file or FIFO of
// neither this user nor the directory's owner is not followed or written. Another user's link in /tmp
// or a team's directory must not steer what root writes.
bool PlantedByAnother(const struct stat& directory, const struct stat& file)
{
    return SharedSticky(directory) && file.st_uid != geteuid() && file.st_uid != directory.st_uid;
}

// In a sticky directory only the owner of a file or of the directory, or the superuser, may replace it.
bool MayReplace(const struct stat& directory, const struct stat& file)
{
    uid_t user = geteuid();
    if (file.st_uid == user || (directory.st_mode & S_ISVTX) == 0) {
        return true;
    }
    return !PlantedByAnother(directory, file) && (user == 0 || directory.st_uid == user);
}

}  // namespace

PendingOutput::PendingOutput(std::string output) : m_output(std::move(output)) {}

PendingOutput::~PendingOutput()
{
    Discard();
}

bool PendingOutput::Find()
{
    if (!m_searched) {
        m_searched = true;
        m_reached = KernelTakesThePath() && Resolve();
    }
    return m_reached;
}

bool PendingOutput::IsTheFileOpenAt(int descriptor) const
{
    struct stat open = {};
    return m_reached && m_existed && fstat(descriptor, &open) == 0 && SameFile(m_found, open);
}

bool PendingOutput::Check()
{
    if (!Find() || !TakeDecisions()) {
        return false;
    }
    if (!m_direct) {
        if (!MakeFileBeside()) {
            return false;
        }
        Remove();
    }
    return true;
}

// The walk below goes a name at a time, so it would reach what no path the kernel takes can name: the
// whole path is held to the kernel's limits first, as is each name in it.
bool PendingOutput::KernelTakesThePath() const
{
    if (m_output.size() >= PATH_MAX) {
        return Refuse(ENAMETOOLONG);
    }
    for (const std::string& name : CommonUtil::Split(m_output, '/')) {
        if (name.size() > NAME_MAX) {
            return Refuse(ENAMETOOLONG);
        }
    }
    return true;
}

// Links are followed here, once, hop by hop from the directory each one is in, at the last name as on
// the way to it.
bool PendingOutput::Resolve()
{
    std::string path = m_output;
    int hops = 0;
    for (bool first = true;; first = false) {
        if (!EnterDirectoryOf(path, first, hops)) {
            return false;
        }
        m_checked.Reset(openat(m_directory.Get(), m_name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        m_existed = m_checked.IsOpen() && fstat(m_checked.Get(), &m_found) == 0;
        if (!m_existed && errno != ENOENT) {
            return Refuse(errno);
        }
        if (!m_existed || !S_ISLNK(m_found.st_mode)) {
            // The name the kernel gave a file may have gone to another since, or never have been one.
            return !m_namedByKernel || (m_existed && SameFile(m_found, m_kernelNamed)) || Refuse(NO_NAME_LEFT);
        }
        if (!MayFollowLink(m_directory.Get(), m_found, hops)) {
            return false;
        }
        path = ReadLink(m_checked.Get());
        if (path.empty()) {
            return Refuse(errno);
        }
        // The text of a kernel's link need not be a name ("pipe:[1234]"): it is followed by opening it.
        if (IsKernelLink(m_directory.Get())) {
            if (!OpenKernelLink()) {
                return false;
            }
            if (!S_ISREG(m_found.st_mode)) {
                return true;
            }
        }
    }
}

bool PendingOutput::EnterDirectoryOf(const std::string& path, bool first, int& hops)
{
    size_t slash = path.rfind('/');
    std::string directoryPart = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    if (!Walk(m_directory, directoryPart, hops)) {
        return false;
    }
    m_directoryText = path.rfind('/', 0) == 0 || first ? directoryPart : m_directoryText + directoryPart;
    m_name = path.substr(directoryPart.size());
    return !(m_name.empty() || m_name == "." || m_name == "..") || Refuse(EISDIR);
}

// From the directory held (the working directory when none is) to the one the path names, a name at a
// time, so that a link on the way is followed as one at the last name is.
bool PendingOutput::Walk(FileDescriptor& directory, const std::string& path, int& hops) const
{
    directory.Reset(openat(directory.IsOpen() ? directory.Get() : AT_FDCWD, path.rfind('/', 0) == 0 ? "/" : ".",
                           O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!directory.IsOpen()) {
        return Refuse(errno);
    }
    for (const std::string& name : CommonUtil::Split(path, '/')) {
        if (!name.empty() && name != "." && !Enter(directory, name, hops)) {
            return false;
        }
    }
    return true;
}

// A directory is opened as such, so that an automount point on the way is mounted. A link is followed
// from the directory it is in; only a kernel's link is left to the kernel.
bool PendingOutput::Enter(FileDescriptor& directory, const std::string& name, int& hops) const
{
    FileDescriptor entry(openat(directory.Get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (entry.IsOpen()) {
        directory = std::move(entry);
        return true;
    }
    if (errno != ENOTDIR) {
        return Refuse(errno);
    }
    entry.Reset(openat(directory.Get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat found = {};
    if (!entry.IsOpen() || fstat(entry.Get(), &found) != 0) {
        return Refuse(errno);
    }
    if (!S_ISLNK(found.st_mode)) {
        return Refuse(ENOTDIR);
    }
    if (!MayFollowLink(directory.Get(), found, hops)) {
        return false;
    }
    if (IsKernelLink(directory.Get())) {
        directory.Reset(openat(directory.Get(), name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        return directory.IsOpen() || Refuse(errno);
    }
    std::string target = ReadLink(entry.Get());
    return target.empty() ? Refuse(errno) : Walk(directory, target, hops);
}

// One more link: refused where another user planted it, and past as many as the kernel follows.
bool PendingOutput::MayFollowLink(int directory, const struct stat& link, int& hops) const
{
    if (++hops > MAX_LINK_HOPS) {
        return Refuse(ELOOP);
    }
    struct stat holder = {};
    if (fstat(directory, &holder) != 0) {
        return Refuse(errno);
    }
    return !PlantedByAnother(holder, link) || Refuse(EACCES);
}

// The links under /proc (/proc/self, /proc/<pid>/fd/N) and their kind are the kernel's own.
bool PendingOutput::IsKernelLink(int directory) const
{
    struct statfs system = {};
    return fstatfs(directory, &system) == 0 && system.f_type == PROC_SUPER_MAGIC;
}

// What the link opens is the output. A regular file is read into as through its own name, which the
// link's text gives; one that has none any more is no output the read could be put in place of.
bool PendingOutput::OpenKernelLink()
{
    m_checked.Reset(openat(m_directory.Get(), m_name.c_str(), O_PATH | O_CLOEXEC));
    if (!m_checked.IsOpen() || fstat(m_checked.Get(), &m_found) != 0) {
        return Refuse(errno);
    }
    if (S_ISREG(m_found.st_mode)) {
        if (m_found.st_nlink == 0) {
            return Refuse(NO_NAME_LEFT);
        }
        m_namedByKernel = true;
        m_kernelNamed = m_found;
    }
    return true;
}

// Owner and mode are those of the output as it was checked: whatever appears at its name during the
// read has no say in them.
bool PendingOutput::TakeDecisions()
{
    if (!m_existed) {
        return true;
    }
    if (S_ISDIR(m_found.st_mode)) {
        return Refuse(EISDIR);
    }
    // The kernel opens no socket by a name, and the read is handed to the library as one.
    if (S_ISSOCK(m_found.st_mode)) {
        return Refuse(ENXIO);
    }
    // As when the output was written in place: one this user may not write is refused, not replaced.
    if (faccessat(AT_FDCWD, m_checked.HeldPath().c_str(), W_OK, AT_EACCESS) != 0) {
        return Refuse(errno);
    }
    struct stat directory = {};
    if (fstat(m_directory.Get(), &directory) != 0) {
        return Refuse(errno);
    }
    if (!S_ISREG(m_found.st_mode)) {
        m_direct = true;
        return !(S_ISFIFO(m_found.st_mode) && PlantedByAnother(directory, m_found)) || Refuse(EPERM);
    }
    if (!MayReplace(directory, m_found)) {
        return Refuse(EPERM);
    }
    // In a shared directory a second name may be another user's link to a file of this user's: only a
    // file of one name is the output whose owner and mode the read takes over.
    m_takesOver = m_found.st_nlink == 1 || !SharedSticky(directory);
    m_mode = m_found.st_mode & PERMISSION_BITS;
    return true;
}

// A file whose rights the read does not take over still bounds them: the read is no more open than it
// either, whatever another name of it is.
mode_t PendingOutput::CreationMode() const
{
    if (m_takesOver) {
        return REPLACING_FILE_MODE;
    }
    return m_existed ? NEW_FILE_MODE & m_mode : NEW_FILE_MODE;
}

bool PendingOutput::Create()
{
    return m_direct ? OpenDirectOutput() : MakeFileBeside();
}

bool PendingOutput::Refuse(int error) const
{
    return Refuse(std::strerror(error));
}

bool PendingOutput::Refuse(const char* reason) const
{
    std::printf("error: Cannot create the output file: %s (%s).\n", Common::Printable(m_output).c_str(), reason);
    return false;
}

bool PendingOutput::MakeFileBeside()
{
    for (int tries = 0; tries < MAX_NAME_TRIES; ++tries) {
        std::string candidate = RandomScratchName();
        if (candidate.empty()) {
            break;
        }
        m_file.Reset(Interrupt::CreateScratchFile(m_directory.Get(), candidate,
                                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                                  CreationMode()));
        if (m_file.IsOpen()) {
            m_partName = candidate;
            m_pending = true;
            return true;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    return Refuse(errno);
}

// The device, FIFO or pipe that was checked, through the handle taken then: one put at its name since
// gets nothing. A FIFO is opened once it has a reader, and a signal ends that wait as it ends the
// library's waits.
bool PendingOutput::OpenDirectOutput()
{
    std::string checked = m_checked.HeldPath();
    while (true) {
        m_file.Reset(open(checked.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (m_file.IsOpen()) {
            return true;
        }
        if (errno != ENXIO || !S_ISFIFO(m_found.st_mode)) {
            return Refuse(errno);
        }
        if (Interrupt::CancelQuery() != 0) {
            return false;
        }
        (void)poll(nullptr, 0, READER_RETRY_MS);
    }
}

std::vector<unsigned char> PendingOutput::FirstBytes(size_t count) const
{
    std::vector<unsigned char> bytes;
    if (!m_existed || !S_ISREG(m_found.st_mode)) {
        return bytes;
    }
    FileDescriptor file(open(m_checked.HeldPath().c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    bytes.resize(count);
    ssize_t length = file.IsOpen() ? pread(file.Get(), bytes.data(), count, 0) : -1;
    bytes.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return bytes;
}

bool PendingOutput::StillNamesTheFile() const
{
    struct stat named = {};
    struct stat written = {};
    return fstatat(m_directory.Get(), m_partName.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           fstat(m_file.Get(), &written) == 0 && SameFile(named, written);
}

// The read takes the older file's place as writing it in place did: with its permission bits, its access
// ACL and its other extended attributes, and with its owner where this user may give the file away
// (only the superuser may; the read then stays this user's, in the older file's group where this user
// may set it). A new output keeps the rights it was made with.
bool PendingOutput::TakeOverRights() const
{
    if (!m_existed) {
        return true;
    }
    bool sameGroup = false;
    if (!TakeOverOwnership(sameGroup)) {
        return false;
    }
    if (m_takesOver && !(TakeOverAttributes() && fchmod(m_file.Get(), m_mode) == 0)) {
        return false;
    }
    return (m_takesOver && sameGroup) || GrantNoMoreThanReplaced(sameGroup);
}

// The owner where the rights are taken over and this user may give the file away, else the group where
// this user may set it (the superuser, or a member of that group). Only a refusal is no failure.
bool PendingOutput::TakeOverOwnership(bool& sameGroup) const
{
    sameGroup = true;
    if (m_takesOver && fchown(m_file.Get(), m_found.st_uid, m_found.st_gid) == 0) {
        return true;
    }
    if (m_takesOver && errno != EPERM) {
        return false;
    }
    if (fchown(m_file.Get(), static_cast<uid_t>(-1), m_found.st_gid) == 0) {
        return true;
    }
    sameGroup = false;
    return errno == EPERM;
}

// Where the read has not taken over the older file's rights, or not with its group, it grants no one
// more than that file did: not the group the directory gave it, nor a user or group that the directory's
// default ACL named and the older file did not.
bool PendingOutput::GrantNoMoreThanReplaced(bool sameGroup) const
{
    AccessAcl replaced;
    AccessAcl read;
    if (!replaced.ReadFrom(m_checked.HeldPath()) || !read.ReadFrom(m_file.HeldPath())) {
        return false;
    }
    read.BoundBy(replaced, sameGroup);
    return read.WriteTo(m_file.Get());
}

// As cp -a carries them over, read through the handle taken at the check and set on the open new file.
// An attribute this user may not set is left behind, but not the access ACL: without it the read would
// be more open than the file it replaces, as it would with an ACL the directory gave the new file.
bool PendingOutput::TakeOverAttributes() const
{
    std::string replaced = m_checked.HeldPath();
    std::vector<char> names;
    if (!ListAttributes(replaced, names)) {
        return false;
    }
    bool acl = false;
    std::vector<char> value(XATTR_SIZE_MAX);
    for (size_t at = 0; at < names.size(); at += std::strlen(&names[at]) + 1) {
        const char* name = &names[at];
        if (std::strcmp(name, FILE_CAPABILITIES) == 0) {
            continue;
        }
        bool isAcl = std::strcmp(name, ACCESS_ACL_ATTRIBUTE) == 0;
        acl = acl || isAcl;
        ssize_t length = getxattr(replaced.c_str(), name, value.data(), value.size());
        bool copied = length >= 0 && fsetxattr(m_file.Get(), name, value.data(), static_cast<size_t>(length), 0) == 0;
        if (!copied && isAcl) {
            return false;
        }
    }
    return acl || fremovexattr(m_file.Get(), ACCESS_ACL_ATTRIBUTE) == 0 || errno == ENODATA || errno == ENOTSUP;
}

// A first signal that came before this point stops the read and leaves the output as it was; once it is
// passed, one no longer changes the outcome. Ending at once waits until the read is in place and no
// longer named for removal, and ends with the read's status.
bool PendingOutput::Keep()
{
    bool kept = false;
    Interrupt::WithEndHeldOff([&]() {
        kept = Interrupt::Settle(BurnInfo::SUCCESS) && PutInPlace();
        if (!kept) {
            Interrupt::Settle(BurnInfo::READ_PARTITION_FAILED);  // no outcome when a signal came first
        }
    });
    return kept;
}

bool PendingOutput::PutInPlace()
{
    if (!m_pending) {
        return true;
    }
    m_pending = false;
    if (!StillNamesTheFile()) {
        // Someone else's file has the name now: it is neither put in place nor removed.
        Interrupt::SetScratchFile(-1, "");
        std::printf("error: Cannot put the read in place of %s: %s no longer names the file it was written into.\n",
                    Common::Printable(m_output).c_str(), Common::Printable(PartText()).c_str());
        return false;
    }
    bool renamed = TakeOverRights() &&
                   renameat(m_directory.Get(), m_partName.c_str(), m_directory.Get(), m_name.c_str()) == 0;
    int error = errno;
    m_stranded = !renamed;
    Interrupt::SetScratchFile(-1, "");
    if (!renamed) {
        std::printf("error: Cannot put the read in place of %s (%s).\n", Common::Printable(m_output).c_str(),
                    std::strerror(error));
    }
    return renamed;
}

void PendingOutput::Discard()
{
    if (m_stranded) {
        m_stranded = false;
        std::printf("note: The whole read is kept in %s.\n", Common::Printable(PartText()).c_str());
        return;
    }
    if (!m_pending) {
        return;
    }
    if (!Remove()) {
        std::printf("warning: The incomplete read %s could not be removed.\n", Common::Printable(PartText()).c_str());
    } else if (m_existed) {
        std::printf("note: Removed the incomplete read; %s is as it was before.\n",
                    Common::Printable(m_output).c_str());
    } else {
        std::printf("note: Removed the incomplete read; nothing was made at %s.\n",
                    Common::Printable(m_output).c_str());
    }
}

bool PendingOutput::Remove()
{
    m_pending = false;
    bool removed = StillNamesTheFile() && unlinkat(m_directory.Get(), m_partName.c_str(), 0) == 0;
    Interrupt::SetScratchFile(-1, "");
    m_file.Reset();
    return removed;
}
