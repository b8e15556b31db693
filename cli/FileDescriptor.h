#ifndef VEXIL_CLI_FILEDESCRIPTOR_H
#define VEXIL_CLI_FILEDESCRIPTOR_H

#include <unistd.h>

#include <string>

// An open file or directory that closes itself; -1 holds none.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int descriptor) : m_descriptor(descriptor) {}
    ~FileDescriptor() { Reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : m_descriptor(other.m_descriptor) { other.m_descriptor = -1; }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept
    {
        if (this != &other) {
            Reset(other.m_descriptor);
            other.m_descriptor = -1;
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int Get() const { return m_descriptor; }
    bool IsOpen() const { return m_descriptor >= 0; }
    // A name that opens this very file, or leads into this very directory, whatever its own name now is.
    std::string HeldPath() const { return "/proc/self/fd/" + std::to_string(m_descriptor); }
    void Reset(int descriptor = -1)
    {
        if (m_descriptor >= 0) {
            close(m_descriptor);
        }
        m_descriptor = descriptor;
    }

private:
    int m_descriptor = -1;
};

#endif
