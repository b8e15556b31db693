#ifndef VEXIL_LIBRARY_SERPORTTRANSPORT_H
#define VEXIL_LIBRARY_SERPORTTRANSPORT_H

#include <pthread.h>
#include <termios.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "TransportTypeBase.h"

namespace RecvThreadFuncSp {
// Entry of the receive thread; the argument is the SerportTransport it serves.
void* RecvThreadFunc(void* argument);
}  // namespace RecvThreadFuncSp

// A Linux serial port in raw 8N1 mode, held for exclusive use. One receive thread per open port appends
// every incoming byte to a buffer; bytes already taken stay in it for a while, so that they can be
// given back, and are then dropped. The thread also notices when the device goes away.
class SerportTransport : public TransportTypeBase {
public:
    SerportTransport() = default;
    ~SerportTransport() override;

    bool Open(const Common::TRANSPORT_MODE_ATTR_U& attr) override;
    void Close() override;
    unsigned long Send(const unsigned char* data, unsigned long length) override;
    unsigned long Receive(unsigned char* buffer, unsigned long length) override;
    int WaitForData(int ms) override;
    void UngetReceived(int count) override;
    int OnAdataAvailable(std::string& out) override;
    void ChangeSpeed(int baudRate) override;
    bool IsDeviceGone() const override;
    // The write time-out bounds how long a Send waits for a peer that takes no bytes at all.
    bool SetTimeout(unsigned long writeMs, unsigned long readMs) override;

    // Applies the line settings to the open port; also used alone to change the speed of an open port.
    void SettingSerialParameters(int baudRate);
    void OnReceive(const unsigned char* data, unsigned long length);

private:
    friend void* RecvThreadFuncSp::RecvThreadFunc(void* argument);

    void ReceiveLoop();
    void BackOff();
    bool StartReceiveThread();
    void StopReceiveThread();
    void ReleasePort();
    size_t UnreadLocked() const;
    void DropTakenLocked();
    bool TakeExclusiveUse();
    void ReportBusy() const;
    void DrainOutput();
    void CheckNodeStillThere();
    void MarkDeviceGone();

    struct termios m_savedLine = {};  // the line settings found at open
    bool m_hasSavedLine = false;
    long long m_lastSendMs = -1;
    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    std::vector<unsigned char> m_recvBuffer;  // its size is the received count
    size_t m_readPos = 0;
    size_t m_lastTake = 0;  // where the last take began: a give-back may need all of it
    std::atomic<bool> m_gone{false};
    std::string m_path;
    unsigned m_baudRate = 0;
    long long m_writeLimitMs = Common::SERIAL_WRITE_TIMEOUT;
    pthread_t m_thread{};
    bool m_hasThread = false;
    int m_wakePipe[2] = {-1, -1};  // wakes the receive thread at once when the port closes
    std::mutex m_mutex;
    std::condition_variable m_dataArrived;
};

#endif
