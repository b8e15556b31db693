#ifndef VEXIL_CLI_PENDINGOUTPUT_H
#define VEXIL_CLI_PENDINGOUTPUT_H

#include <string>

// Where a read writes the flash contents until they are whole: a new file beside the output (in the
// same directory, so that the rename is atomic), put in the output's place only once the read has
// succeeded. A read that fails or is interrupted leaves nothing under the output's name that could
// pass for a whole dump, and a file of that name from before stays as it was. An output that exists
// and is no regular file (a device, a FIFO) has nothing to be replaced and is written directly.
class PendingOutput {
public:
    explicit PendingOutput(std::string output);
    // Discards the new file unless it was kept.
    ~PendingOutput();
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;

    // Each of these says why when it fails.
    // Before anything is transferred: whether the read could be put in place; leaves no file behind.
    bool Check();
    bool Create();
    // A whole read that cannot be put in place stays under its own name, which Discard then tells.
    bool Keep();
    // Removes the new file and says so.
    void Discard();
    // The file the read writes into.
    const std::string& Path() const { return m_path; }

private:
    bool Refuse(int error) const;
    bool MakeFileBeside();
    bool Remove();

    std::string m_output;  // as the user named it
    std::string m_target;  // the file it names, links followed
    std::string m_path;
    bool m_pending = false;   // m_path is a new file not yet kept or removed
    bool m_stranded = false;  // m_path holds a whole read that could not be put in place
};

#endif
