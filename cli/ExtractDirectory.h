#ifndef VEXIL_CLI_EXTRACTDIRECTORY_H
#define VEXIL_CLI_EXTRACTDIRECTORY_H

#include <cstdio>
#include <string>

#include "FileDescriptor.h"

// The directory a package is unpacked into before its images are burnt. A package may lie where
// others can write (such as /tmp), so the directory must be this user's own and closed to others:
// otherwise whoever made it first could place links that the burn would write through. Runs of
// packages of one name share it, so each run unpacks into a new directory of its own inside it, which
// no other run uses, and removes that directory when it ends. Both are held open: the files go into,
// and are read back from, the directories that were checked even if their names are given to others.
class ExtractDirectory {
public:
    ExtractDirectory() = default;
    ~ExtractDirectory();
    ExtractDirectory(const ExtractDirectory&) = delete;
    ExtractDirectory& operator=(const ExtractDirectory&) = delete;

    // Makes the directory when absent, then the run's own in it; refuses, in one line, one that is a
    // link, no directory, another user's, or one that group or others may write.
    bool Open(const std::string& path);
    // The path of a file as the messages show it: in the directory the user knows.
    std::string PathOf(const std::string& name) const { return m_path + name; }
    // The path of a file as the library is handed it: through the run's own directory as it was made.
    std::string HeldPathOf(const std::string& name) const { return m_run.HeldPath() + "/" + name; }
    // A new file of this name; nullptr, with errno, when it cannot be made. The run's directory is new
    // and its names are the run's own, so a file that the name already leads to is one that the medium
    // takes for another of the run's names (letter case, Unicode folding, short names): it is refused
    // with EEXIST, never replaced nor written through.
    FILE* Create(const std::string& name) const;
    // A file of the directory itself, not one a link of that name points to.
    FILE* Read(const std::string& name) const;
    // Removes the run's own directory with all it holds.
    void Remove();

private:
    bool Refuse(const char* reason);
    bool MakeRunDirectory();

    std::string m_path;
    FileDescriptor m_directory;
    std::string m_runName;
    FileDescriptor m_run;
};

#endif
