#ifndef VEXIL_LIBRARY_TRANSPORTTYPEBASE_H
#define VEXIL_LIBRARY_TRANSPORTTYPEBASE_H

#include <atomic>
#include <string>

#include "Common.h"

// A byte-stream transport under the serial chip drivers.
class TransportTypeBase {
public:
    TransportTypeBase() = default;
    virtual ~TransportTypeBase() = default;
    TransportTypeBase(const TransportTypeBase&) = delete;
    TransportTypeBase& operator=(const TransportTypeBase&) = delete;

    virtual bool Open(const Common::TRANSPORT_MODE_ATTR_U& attr) = 0;
    virtual void Close() = 0;
    virtual unsigned long Send(const unsigned char* data, unsigned long length) = 0;
    virtual unsigned long Receive(unsigned char* buffer, unsigned long length) = 0;
    virtual int WaitForData(int ms);
    virtual void UngetReceived(int count);
    virtual std::string ClearPipe(bool all);
    virtual bool SetTimeout(unsigned long writeMs, unsigned long readMs);
    virtual int OnAdataAvailable(std::string& out);
    virtual void ClearRecvBuff();
    virtual int WriteDataByPipe(char* data, int length);
    virtual int OpenFastbootUsb(const char* serial);
    // Slots after those of the interface above.
    // True once the device has gone away for good (unplugged, node removed); every wait then ends.
    virtual bool IsDeviceGone() const;
    // Moves an open port to another speed.
    virtual void ChangeSpeed(int baudRate);

    // A raised cancel is reported once; otherwise the registered cancel query decides.
    bool IsCancel();
    void SetIsCancel(bool cancel);
    void SetHandle(long long handle);
    std::string GetDeviceName() const;
    std::string GetErrorStrInfo() const;
    int GetErrorCode() const;

protected:
    bool CancelRaised() const;

private:
    long long m_handle = 0;
    std::atomic<bool> m_isCancel{false};
    std::string m_deviceName;
    int m_errorCode = 0;
    std::string m_errorStrInfo;
};

#endif
