#ifndef VEXIL_CLI_PENDINGOUTPUT_H
#define VEXIL_CLI_PENDINGOUTPUT_H

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "FileDescriptor.h"

// Where a read writes the flash contents until they are whole: a new file beside the output (in the
// same directory, so that the rename is atomic), put in the output's place only once the read has
// succeeded. A read that fails or is interrupted leaves nothing under the output's name that could
// pass for a whole dump, and a file of that name from before stays as it was. An output that exists
// and is no regular file (a device, a FIFO, a pipe named as /dev/fd/N) has nothing to be replaced and
// is written directly.
//
// The tool may run as root in a directory that others can write, so the output is resolved once, when
// it is checked, and from then on only through the directory it was found in and the file this run
// made: a name swapped or a link planted meanwhile never turns into a write, chown or chmod of another
// file.
class PendingOutput {
public:
    explicit PendingOutput(std::string output);
    // Discards the new file unless it was kept.
    ~PendingOutput();
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;

    // Each of these says why when it fails.
    // Before anything is transferred: finds the output, following a link only where the kernel would
    // for this user; a path the kernel would refuse is refused. Once done, it keeps its outcome.
    bool Find();
    // After Find: whether the output found is the file open at the descriptor, whatever the path it was
    // reached by.
    bool IsTheFileOpenAt(int descriptor) const;
    // Finds the output where that is not done yet, takes the owner and mode the read will have, and
    // makes sure the read could be put in place; leaves no file behind.
    bool Check();
    // After Check: the file the read writes into.
    bool Create();
    // A whole read that cannot be put in place stays under its own name, which Discard then tells. After
    // a signal the read is not put in place.
    bool Keep();
    // Removes the new file and says so.
    void Discard();
    // A name that opens the very file the read writes into, whatever happens to its name meanwhile.
    std::string Path() const { return m_file.HeldPath(); }
    const std::string& Output() const { return m_output; }
    // After Check: up to count bytes from the start of the existing regular file that the read replaces,
    // read from it as it was checked; none for any other output.
    std::vector<unsigned char> FirstBytes(size_t count) const;

private:
    bool Refuse(int error) const;
    bool Refuse(const char* reason) const;
    bool KernelTakesThePath() const;
    bool Resolve();
    bool EnterDirectoryOf(const std::string& path, bool first, int& hops);
    bool Walk(FileDescriptor& directory, const std::string& path, int& hops) const;
    bool Enter(FileDescriptor& directory, const std::string& name, int& hops) const;
    bool MayFollowLink(int directory, const struct stat& link, int& hops) const;
    bool IsKernelLink(int directory) const;
    bool OpenKernelLink();
    bool TakeDecisions();
    mode_t CreationMode() const;
    bool MakeFileBeside();
    bool OpenDirectOutput();
    bool StillNamesTheFile() const;
    bool PutInPlace();
    bool TakeOverRights() const;
    bool TakeOverOwnership(bool& sameGroup) const;
    bool GrantNoMoreThanReplaced(bool sameGroup) const;
    bool TakeOverAttributes() const;
    bool Remove();
    std::string PartText() const { return m_directoryText + m_partName; }

    std::string m_output;         // as the user named it
    bool m_searched = false;      // Find was done
    bool m_reached = false;       // and it found where the output is
    FileDescriptor m_directory;   // where the output's name is, held from the check on
    std::string m_directoryText;  // its path for messages, "" or ending in "/"
    std::string m_name;           // the output's name in it
    bool m_existed = false;
    FileDescriptor m_checked;     // the output as it was checked, an O_PATH handle
    struct stat m_found = {};     // and its state then
    bool m_namedByKernel = false;  // a kernel's link named a regular file, whose own name is resolved
    struct stat m_kernelNamed = {};  // that file
    bool m_direct = false;        // an existing output that is no regular file, written directly
    bool m_takesOver = false;     // the read takes over the existing output's owner and rights
    mode_t m_mode = 0;            // the existing output's permission bits
    FileDescriptor m_file;        // the file the read writes into
    std::string m_partName;       // the new file's name beside the output
    bool m_pending = false;   // the new file is not yet kept or removed
    bool m_stranded = false;  // the new file holds a whole read that could not be put in place
};

#endif
