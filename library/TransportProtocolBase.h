#ifndef VEXIL_LIBRARY_TRANSPORTPROTOCOLBASE_H
#define VEXIL_LIBRARY_TRANSPORTPROTOCOLBASE_H

#include <string>

class BurnChipBase;

// Base of the download protocols. A protocol reaches its device only through the chip driver
// that owns it; every operation a protocol does not replace reports success and sends nothing.
class TransportProtocolBase {
public:
    explicit TransportProtocolBase(BurnChipBase* chip);
    virtual ~TransportProtocolBase() = default;
    TransportProtocolBase(const TransportProtocolBase&) = delete;
    TransportProtocolBase& operator=(const TransportProtocolBase&) = delete;

    virtual bool DownloadFileToDdr(unsigned char* data, unsigned long length, unsigned long address,
                                   const char* file);
    virtual bool DownloadFile(const char* file, unsigned long address, unsigned long length);
    virtual bool DownloadData(unsigned char* data, unsigned long length, unsigned long address,
                              unsigned long size);
    virtual bool UploadFile(const char* file, int length, unsigned long address);
    virtual bool EraseFlash(unsigned long address, unsigned long length);
    virtual bool DownloadDataToDdr(unsigned long address, const char* file);
    virtual bool SendData(unsigned long address, unsigned long length, unsigned char* data);

    void SetTransport(BurnChipBase* chip);
    void SetFileType(int kind);
    // The digest stays the caller's; it must outlive its use by the protocol.
    void SetShaData(unsigned char* data, unsigned long length);
    bool SendBootCommand(const std::string& command, int timeoutMs);

protected:
    int m_fileType = -1;
    BurnChipBase* m_chip = nullptr;
    unsigned char* m_shaData = nullptr;
    unsigned long m_shaLength = 0;
};

#endif
