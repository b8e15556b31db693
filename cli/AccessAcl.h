#ifndef VEXIL_CLI_ACCESSACL_H
#define VEXIL_CLI_ACCESSACL_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// The extended attribute that holds a file's POSIX access ACL.
extern const char* const ACCESS_ACL_ATTRIBUTE;

// Who may do what with a file: its POSIX access ACL as the kernel keeps it, or, for a file without one
// (or on a file system without ACLs), the three entries its permission bits stand for.
class AccessAcl {
public:
    // Each of these is false, with errno set, when the ACL can be neither read nor set.
    bool ReadFrom(const std::string& path);
    bool WriteTo(int file) const;

    // No entry grants more than the same entry of the other ACL; a user or group the other does not name
    // is dropped, and without the same owning group the owning group is granted nothing.
    void BoundBy(const AccessAcl& other, bool sameOwningGroup);

private:
    struct Entry {
        uint16_t tag;
        uint16_t permissions;
        uint32_t id;
    };
    bool Parse(const std::vector<char>& value, ssize_t length, mode_t mode);
    const Entry* Find(uint16_t tag, uint32_t id) const;
    uint16_t Permissions(uint16_t tag) const;
    uint16_t GroupClass() const;
    void DropMaskWithoutNamedEntries();
    mode_t Mode() const;

    std::vector<Entry> m_entries;
};

#endif
