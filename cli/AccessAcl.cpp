#include "AccessAcl.h"

#include <cerrno>
#include <cstring>
#include <endian.h>
#include <linux/limits.h>
#include <linux/posix_acl.h>
#include <linux/posix_acl_xattr.h>
#include <sys/stat.h>
#include <sys/xattr.h>

const char* const ACCESS_ACL_ATTRIBUTE = "system.posix_acl_access";

namespace {

constexpr uint32_t NO_ID = static_cast<uint32_t>(ACL_UNDEFINED_ID);
constexpr mode_t CLASS_BITS = 07;
constexpr int OWNER_SHIFT = 6;
constexpr int GROUP_SHIFT = 3;
// Owner, owning group and others: an ACL of these alone is what the permission bits say.
constexpr size_t BITS_ENTRIES = 3;

bool NamesOne(uint16_t tag)
{
    return tag == ACL_USER || tag == ACL_GROUP;
}

uint16_t ClassBits(mode_t mode, int shift)
{
    return static_cast<uint16_t>((mode >> shift) & CLASS_BITS);
}

}  // namespace

bool AccessAcl::ReadFrom(const std::string& path)
{
    struct stat status = {};
    if (stat(path.c_str(), &status) != 0) {
        return false;
    }
    std::vector<char> value(XATTR_SIZE_MAX);
    return Parse(value, getxattr(path.c_str(), ACCESS_ACL_ATTRIBUTE, value.data(), value.size()), status.st_mode);
}

bool AccessAcl::Parse(const std::vector<char>& value, ssize_t length, mode_t mode)
{
    if (length < 0) {
        m_entries = {{ACL_USER_OBJ, ClassBits(mode, OWNER_SHIFT), NO_ID},
                     {ACL_GROUP_OBJ, ClassBits(mode, GROUP_SHIFT), NO_ID},
                     {ACL_OTHER, ClassBits(mode, 0), NO_ID}};
        return errno == ENODATA || errno == ENOTSUP;
    }
    size_t size = static_cast<size_t>(length);
    posix_acl_xattr_header header = {};
    if (size < sizeof(header) || (size - sizeof(header)) % sizeof(posix_acl_xattr_entry) != 0) {
        errno = EINVAL;
        return false;
    }
    std::memcpy(&header, value.data(), sizeof(header));
    if (le32toh(header.a_version) != POSIX_ACL_XATTR_VERSION) {
        errno = EINVAL;
        return false;
    }
    m_entries.clear();
    for (size_t at = sizeof(header); at < size; at += sizeof(posix_acl_xattr_entry)) {
        posix_acl_xattr_entry entry = {};
        std::memcpy(&entry, value.data() + at, sizeof(entry));
        m_entries.push_back({le16toh(entry.e_tag), le16toh(entry.e_perm), le32toh(entry.e_id)});
    }
    return true;
}

// An ACL of the three entries alone goes into the permission bits, so that a file system without ACLs
// takes it too; the kernel keeps the bits in step with any other.
bool AccessAcl::WriteTo(int file) const
{
    if (m_entries.size() == BITS_ENTRIES) {
        bool none = fremovexattr(file, ACCESS_ACL_ATTRIBUTE) == 0 || errno == ENODATA || errno == ENOTSUP;
        return none && fchmod(file, Mode()) == 0;
    }
    posix_acl_xattr_header header = {htole32(POSIX_ACL_XATTR_VERSION)};
    std::vector<char> value(sizeof(header) + m_entries.size() * sizeof(posix_acl_xattr_entry));
    std::memcpy(value.data(), &header, sizeof(header));
    size_t at = sizeof(header);
    for (const Entry& entry : m_entries) {
        posix_acl_xattr_entry raw = {htole16(entry.tag), htole16(entry.permissions), htole32(entry.id)};
        std::memcpy(value.data() + at, &raw, sizeof(raw));
        at += sizeof(raw);
    }
    return fsetxattr(file, ACCESS_ACL_ATTRIBUTE, value.data(), value.size(), 0) == 0;
}

// The mask bounds what the named entries and the owning group get; the other's mask, where it has none,
// is its owning group's entry, which then stands for its whole group class.
void AccessAcl::BoundBy(const AccessAcl& other, bool sameOwningGroup)
{
    std::vector<Entry> bounded;
    for (Entry entry : m_entries) {
        const Entry* same = other.Find(entry.tag, entry.id);
        if (NamesOne(entry.tag) && same == nullptr) {
            continue;
        }
        uint16_t granted = entry.tag == ACL_MASK ? other.GroupClass() : (same != nullptr ? same->permissions : 0);
        if (entry.tag == ACL_GROUP_OBJ && !sameOwningGroup) {
            granted = 0;
        }
        entry.permissions &= granted;
        bounded.push_back(entry);
    }
    m_entries = bounded;
    DropMaskWithoutNamedEntries();
}

const AccessAcl::Entry* AccessAcl::Find(uint16_t tag, uint32_t id) const
{
    for (const Entry& entry : m_entries) {
        if (entry.tag == tag && (!NamesOne(tag) || entry.id == id)) {
            return &entry;
        }
    }
    return nullptr;
}

uint16_t AccessAcl::Permissions(uint16_t tag) const
{
    const Entry* entry = Find(tag, NO_ID);
    return entry != nullptr ? entry->permissions : 0;
}

uint16_t AccessAcl::GroupClass() const
{
    return Find(ACL_MASK, NO_ID) != nullptr ? Permissions(ACL_MASK) : Permissions(ACL_GROUP_OBJ);
}

// A mask is there for named entries only; once they are gone, what it took from the owning group is
// taken from that entry itself.
void AccessAcl::DropMaskWithoutNamedEntries()
{
    for (const Entry& entry : m_entries) {
        if (NamesOne(entry.tag)) {
            return;
        }
    }
    uint16_t groupClass = GroupClass();
    std::vector<Entry> kept;
    for (Entry entry : m_entries) {
        if (entry.tag == ACL_GROUP_OBJ) {
            entry.permissions &= groupClass;
        }
        if (entry.tag != ACL_MASK) {
            kept.push_back(entry);
        }
    }
    m_entries = kept;
}

mode_t AccessAcl::Mode() const
{
    return static_cast<mode_t>(Permissions(ACL_USER_OBJ) << OWNER_SHIFT | GroupClass() << GROUP_SHIFT |
                               Permissions(ACL_OTHER));
}
