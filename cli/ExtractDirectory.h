#ifndef VEXIL_CLI_EXTRACTDIRECTORY_H
#define VEXIL_CLI_EXTRACTDIRECTORY_H

#include <cstdio>
#include <string>

#include "FileDescriptor.h"

// The directory a package is unpacked into before its images are burnt. A package may lie where
// others can write (such as /tmp), so the directory must be this user's own and closed to others:
// otherwise whoever made it first could place links that the burn would write through. It is held
// open, so that the files go into the directory that was checked even if its name is given to
// another one meanwhile.
class ExtractDirectory {
public:
    // Makes the directory when absent; refuses, in one line, one that is a link, no directory, another
    // user's, or one that group or others may write.
    bool Open(const std::string& path);
    // The path of a file of the directory, as the library is handed it.
    std::string PathOf(const std::string& name) const { return m_path + name; }
    // A new file of this name in place of an older one, which is replaced and never written through,
    // be it a link or another name of a file elsewhere. nullptr when it cannot be made.
    FILE* Create(const std::string& name) const;
    // A file of the directory itself, not one a link of that name points to.
    FILE* Read(const std::string& name) const;

private:
    bool Refuse(const char* reason);

    std::string m_path;
    FileDescriptor m_directory;
};

#endif
