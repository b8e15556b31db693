#ifndef VEXIL_LIBRARY_BURNCHIPBASE_H
#define VEXIL_LIBRARY_BURNCHIPBASE_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Common.h"
#include "FrameFormatBase.h"
#include "TransportProtocolBase.h"
#include "TransportTypeBase.h"
#include "WaitTime.h"

// A block of memory to be sent to a given address by SendFileBySerial.
struct DataInfo {
    const unsigned char* data = nullptr;
    unsigned long length = 0;
    unsigned long address = 0;
};

// The chip driver base class a device handle points to. The command-line tool calls virtual
// operations through the handle, so their order is fixed: drivers append their own after these.
class BurnChipBase {
public:
    // Library-wide settings, shared by every device.
    static uint32_t m_chipType;
    static uint32_t m_department;
    static bool m_isEraseBeforeBurn;
    static bool m_isOnlyBurnLoader;
    static bool m_isBurnDeviceInfo;
    static uint32_t m_packetSize;

    BurnChipBase() = default;
    BurnChipBase(const BurnChipBase&) = delete;
    BurnChipBase& operator=(const BurnChipBase&) = delete;

    virtual ~BurnChipBase();
    virtual bool ShakeHand();
    virtual bool EraseAllFlash();
    virtual bool FilePrepare(const std::string& bootFile);
    virtual bool InitBoard();
    virtual bool InitDdr();
    virtual bool SecurityVerification();
    virtual bool DownloadBootData();
    virtual bool WaitBootRun();
    virtual bool DownloadAllinoneBin(const char* file, unsigned long address);
    virtual bool EraseFlash(unsigned long address, unsigned long length);
    virtual bool UploadFile(unsigned long address, int length, const char* outFile);
    // Sends a frame until a valid 6-byte reply frame answers it or overallMs has passed.
    virtual bool SendFrame(unsigned char* frame, unsigned long length, unsigned long perTryMs,
                           unsigned long overallMs, bool report);
    virtual bool Reset();
    virtual void SetCtrlPeriod(int ms);
    virtual void SetSwitchAfterLoader(bool isSwitch);
    virtual void SetBeforeReset(bool isReset);
    virtual void SetAtResetCommand(const std::string& command);
    virtual void SetOnlyBurnNames(const std::vector<std::string>& names) = 0;
    virtual std::vector<std::string> GetOnlyBurnNames() const = 0;

    // Services for drivers and protocols.
    long long GetThisPtr() const;
    bool CheckIsCancel();
    void SetIsCancel();
    unsigned long Send(const unsigned char* data, unsigned long length);
    unsigned long Receive(unsigned char* buffer, unsigned long length);
    int WaitForData(int ms);
    void UngetReceived(int count);
    void SetProgress(int percent) const;
    void ClearRecvBuff();
    void ReSettingSerialParameters(unsigned baud, int stopBits, int parity);
    // Sends a frame until the chip answers it with the one byte 0xAA or overallMs has passed.
    bool SendFrameBySerial(const unsigned char* frame, unsigned long length, unsigned long perTryMs,
                           unsigned long overallMs);
    bool CheckReplyFrameValidity(const unsigned char* received, int length, const unsigned char* sent);
    bool OpenSerialPort(const char* port, unsigned baud, int stopBits, int parity);
    // The usable serial ports, joined by ";"; -1 for no buffer.
    static int InitSerialPortList(char* buffer, int length);
    int DownloadFile(const char* file, unsigned long address, unsigned long length, int fileKind);
    int DownloadToDdr(const char* file, unsigned char* data, unsigned long first, unsigned long second);
    int SendCmd(unsigned char* cmd, unsigned long length, unsigned char* reply, int replyLength, int timeoutMs);
    bool NewFrameFormat();
    // The one wait loop of the serial drivers and protocols: between tries it waits on the port, and it
    // ends at once on a cancel or when the device has gone.
    WaitTime::Outcome PollUntil(long long limitMs, int sliceMs, const std::function<WaitTime::Step()>& tryOnce);
    // True once the device of the port has gone away for good.
    bool IsDeviceGone() const;
    // True once a byte has gone to the device: one never talked to needs no reset.
    bool HasSentAny() const { return m_hasSentAny; }

    void SetPortBaudRate(unsigned baud) { m_portBaudRate = baud; }
    unsigned GetBaudRate() const { return m_portBaudRate; }
    void SetTargetBaudRate(unsigned baud) { m_targetBaudRate = baud; }
    unsigned GetTargetBaudRate() const { return m_targetBaudRate; }
    void SetComName(const std::string& name) { m_comName = name; }
    void SetStopBit(int stopBits) { m_stopBit = stopBits; }
    int GetStopBit() const { return m_stopBit; }
    void SetParity(int parity) { m_parity = parity; }
    int GetParity() const { return m_parity; }
    void SetBootDdrAddr(unsigned long address) { m_bootDdrAddr = address; }
    unsigned long GetBootDdrAddr() const { return static_cast<unsigned long>(m_bootDdrAddr); }
    void SetHandshakeTimeout(int ms) { m_handshakeTimeout = ms; }
    int GetHandshakeTimeout() { return m_handshakeTimeout; }
    void SetPerPacketSize(int size) { m_perPacketSize = size; }
    int GetPerPacketSize() { return m_perPacketSize; }
    void SetIsReset(bool isReset) { m_isReset = isReset; }
    bool GetIsReset() { return m_isReset; }
    void SetIsReady(bool isReady) { m_isReady = isReady; }
    bool GetIsReady() { return m_isReady; }

    // Older frame exchanges and helpers that the drivers in use do not call.
    bool SendFrameNoReply(const unsigned char* frame, unsigned long length, unsigned long overallMs);
    bool SendCmdAndNoReply(const char* cmd, unsigned long length, int overallMs);
    bool SendFileBySerial(const DataInfo& info);
    bool SendHeadFrameBySerial(const DataInfo& info);
    bool SendDataInfo(const DataInfo& info);
    bool SendDataFrameBySerial(const unsigned char* data, unsigned long length);
    bool SendTailFrameBySerial();
    void PrintCurRecv();
    bool SendShakeHandFrame(const unsigned char* bytes, unsigned long length, unsigned long overallMs);
    bool SendBoardFrame(unsigned char cmd, unsigned long overallMs);
    int RecvFrame(unsigned char* buffer, int size, int count, int waitMs);
    int FiltRecv(unsigned char* buffer, int count);
    static std::vector<unsigned char> GetBoardFrameCmd(unsigned char cmd);
    bool SendStartFrame();
    static bool CheckRecvFrame(const unsigned char* data, int length);
    static bool CheckRecvFrame(const unsigned char* frame, int length, unsigned char firstByte);
    static int CheckAsciiTextPos(const unsigned char* data, int length);
    static void GetUart(char* buffer, int length, const char* name);
    bool OpenComm(const char* name, unsigned baud, int stopBits, int parity);
    bool NewDownloadProtocol();
    int DownloadData(const char* file, unsigned char* data, unsigned long length, unsigned long address);
    bool InitBeforeBurn();
    static int SetFrameFrequency(unsigned baud);
    void SetErrorInfo(const std::string& text);
    std::string GetErrorInfo() const;
    void InitHead(unsigned char* head, unsigned char flag);
    bool CheckFwpkgHeadData(const unsigned char* data, unsigned long length);
    static unsigned long CalculationTimeout(unsigned long length);
    bool StartTftpServer();
    bool CloseTftpServer();

protected:
    // The protocol object slot: a driver's own road that runs on a protocol keeps it here while it runs.
    void SetProtocol(std::unique_ptr<TransportProtocolBase> protocol) { m_protocol = std::move(protocol); }
    TransportProtocolBase* GetProtocol() const { return m_protocol.get(); }

private:
    template <typename Operation>
    int RunRouted(Operation operation);
    // Reply bytes gathered over one try of SendFrame.
    struct ReplyBuffer {
        unsigned char bytes[1024] = {0};
        int count = 0;
    };
    bool TakeAckByte(bool& nakSeen);
    bool TakeConsoleText(unsigned char first);
    bool TakeReplyFrame(const unsigned char* sent, ReplyBuffer& reply);
    bool HasTransport(const char* what) const;
    void ReportDeviceGone();
    unsigned long SendLimitMs() const;

    unsigned m_portBaudRate = 115200;
    unsigned m_targetBaudRate = 0;
    int m_stopBit = 0;
    int m_parity = 0;
    uint64_t m_bootDdrAddr = 0;
    std::string m_recvText;  // bytes that arrived outside an expected answer
    std::unique_ptr<TransportTypeBase> m_transport;
    std::unique_ptr<TransportProtocolBase> m_protocol;
    std::unique_ptr<FrameFormatBase> m_frameFormat;
    bool m_isTransportReady = false;
    std::atomic<int> m_isCancel{0};
    std::string m_errorInfo;
    int m_handshakeTimeout = static_cast<int>(Common::TOTAL_TIMEOUT);
    int m_perPacketSize = static_cast<int>(Common::PER_PACKET_SIZE);
    int m_ctrlPeriod = 10;
    bool m_isSwitchAfterLoader = false;
    bool m_isBeforeReset = false;
    std::string m_atResetCommand;
    bool m_isReset = true;
    bool m_isReady = true;
    std::string m_comName;
    unsigned char m_frameSeq = 1;
    bool m_goneReported = false;
    bool m_hasSentAny = false;
    long long m_stepDeadline = -1;  // when the running wait must end; -1 outside a wait
};

#endif
