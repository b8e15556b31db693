#include "BurnChipBase.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "ChipDriverFactory.h"
#include "Common.h"
#include "DefaultSerportFrame.h"
#include "FwpkgCheck.h"
#include "SerialPortProbe.h"
#include "WaitTime.h"
#include "securec.h"

uint32_t BurnChipBase::m_chipType = 0;
uint32_t BurnChipBase::m_department = 0;
bool BurnChipBase::m_isEraseBeforeBurn = true;
bool BurnChipBase::m_isOnlyBurnLoader = false;
bool BurnChipBase::m_isBurnDeviceInfo = false;
uint32_t BurnChipBase::m_packetSize = 1024;

namespace {

constexpr int REPLY_FRAME_LEN = 6;
constexpr int REPLY_BUFFER_LEN = 1024;
constexpr int ACK_FRAME_LEN = 12;
constexpr uint32_t ACK_FRAME_MAGIC = 0xDEADBEEF;
constexpr unsigned char BOARD_FRAME_FLAG = 0xCE;
constexpr int BOARD_FRAME_LEN = 6;
constexpr size_t PORT_NAME_BUFFER_LEN = 512;
constexpr int FAILED_WRITE_PAUSE_MS = 10;
constexpr int BOARD_POLL_MS = 100;
constexpr int RESETTING_PAUSE_US = 10000;
constexpr unsigned long MIB = 1024UL * 1024UL;

using Common::PrintPlain;

// Why a 6-byte reply frame is refused: null when it is valid, "" when it is passed over silently.
const char* ReplyFrameFault(const unsigned char* reply, const unsigned char* sent)
{
    if (reply[0] != Common::XACK) {
        return "flag is not equal to 0xCB.\n";
    }
    if (sent[0] == Common::XDATA || sent[0] == Common::XTAIL) {
        if (reply[1] != sent[1]) {
            return "index error.\n";
        }
    } else if (reply[1] + reply[2] != 0xFF) {
        return "";
    }
    if (reply[3] == Common::NACK) {
        return "ack error.\n";
    }
    if (!Common::Crc16BeMatches(reply, 4)) {
        return "crc check error.\n";
    }
    return nullptr;
}

// A port name must fit the name field together with its terminating zero byte.
bool FillPortAttr(const char* port, unsigned baud, int stopBits, int parity, Common::TRANSPORT_MODE_ATTR_U& attr)
{
    size_t nameLength = port == nullptr ? 0 : strnlen(port, Common::UART_NAME_LEN);
    if (port == nullptr || nameLength >= Common::UART_NAME_LEN ||
        memcpy_s(attr.portName, sizeof(attr.portName), port, nameLength) != EOK) {
        return false;
    }
    attr.baudRate = baud;
    attr.stopBits = stopBits;
    attr.parity = parity;
    return true;
}

void WriteToStdout(const char* text)
{
    std::fputs(text, stdout);
    std::fflush(stdout);
}

}  // namespace

BurnChipBase::~BurnChipBase()
{
    m_frameFormat.reset();
    if (m_transport != nullptr) {
        m_transport->Close();
        m_transport.reset();
    }
}

bool BurnChipBase::ShakeHand()
{
    return true;
}

bool BurnChipBase::EraseAllFlash()
{
    return true;
}

bool BurnChipBase::FilePrepare(const std::string& bootFile)
{
    (void)bootFile;
    return true;
}

bool BurnChipBase::InitBoard()
{
    return true;
}

bool BurnChipBase::InitDdr()
{
    return true;
}

bool BurnChipBase::SecurityVerification()
{
    return true;
}

bool BurnChipBase::DownloadBootData()
{
    return true;
}

bool BurnChipBase::WaitBootRun()
{
    return true;
}

bool BurnChipBase::DownloadAllinoneBin(const char* file, unsigned long address)
{
    (void)file;
    (void)address;
    return true;
}

bool BurnChipBase::Reset()
{
    return true;
}

void BurnChipBase::SetCtrlPeriod(int ms)
{
    m_ctrlPeriod = ms;
}

void BurnChipBase::SetSwitchAfterLoader(bool isSwitch)
{
    m_isSwitchAfterLoader = isSwitch;
}

void BurnChipBase::SetBeforeReset(bool isReset)
{
    m_isBeforeReset = isReset;
}

void BurnChipBase::SetAtResetCommand(const std::string& command)
{
    m_atResetCommand = command;
}

// ---- Routed operations: the TypeSix serial protocol made for one call ----

template <typename Operation>
int BurnChipBase::RunRouted(Operation operation)
{
    if (!m_isTransportReady) {
        PrintPlain("no transmission mode is selected.\n");
        return 0;
    }
    if (m_chipType != ChipDriverFactory::TYPE_SIX_CHIP_TYPE) {
        PrintPlain("no chipType is match.\n");
        return 0;
    }
    m_protocol = ChipDriverFactory::NewRoutedProtocol(*this);
    if (m_protocol == nullptr) {
        PrintPlain("new boot download protocol failed.\n");
        return 0;
    }
    bool result = operation(*m_protocol);
    m_protocol.reset();
    return result ? 1 : 0;
}

int BurnChipBase::DownloadFile(const char* file, unsigned long address, unsigned long length, int fileKind)
{
    WriteToStdout("DownloadFile1.\n");
    bool ran = false;
    int result = RunRouted([&](TransportProtocolBase& protocol) {
        ran = true;
        WriteToStdout("DownloadFile2.\n");
        protocol.SetFileType(fileKind);
        return protocol.DownloadFile(file, address, length);
    });
    if (ran) {
        WriteToStdout("DownloadFile3.\n");
    }
    return result;
}

int BurnChipBase::DownloadToDdr(const char* file, unsigned char* data, unsigned long first, unsigned long second)
{
    return RunRouted([&](TransportProtocolBase& protocol) {
        return protocol.DownloadFileToDdr(data, second, first, file);
    });
}

bool BurnChipBase::UploadFile(unsigned long address, int length, const char* outFile)
{
    return RunRouted([&](TransportProtocolBase& protocol) { return protocol.UploadFile(outFile, length, address); }) !=
           0;
}

bool BurnChipBase::EraseFlash(unsigned long address, unsigned long length)
{
    return RunRouted([&](TransportProtocolBase& protocol) {
               bool erased = protocol.EraseFlash(address, length);
               if (!erased) {
                   PrintPlain("erase flash failed.\n");
               }
               return erased;
           }) != 0;
}

// ---- Services ----

long long BurnChipBase::GetThisPtr() const
{
    return reinterpret_cast<long long>(this);
}

bool BurnChipBase::CheckIsCancel()
{
    if (m_transport != nullptr) {
        return m_transport->IsCancel();
    }
    // A USB device is searched for before any handle exists that Cancel could reach, so the cancel
    // query is asked too; its answer stays, as a Cancel's does.
    if (m_isCancel.load() == 0 && Common::Cancelled()) {
        m_isCancel.store(1);
    }
    return m_isCancel.load() != 0;
}

void BurnChipBase::SetIsCancel()
{
    m_isCancel.store(1);
    if (m_transport != nullptr) {
        m_transport->SetIsCancel(true);
    }
}

namespace {

// The chip's port and cancel flag, as a wait loop watches them.
class ChipWatch : public WaitTime::Watch {
public:
    explicit ChipWatch(BurnChipBase& chip) : m_chip(chip) {}
    void Wait(int ms) override { m_chip.WaitForData(ms); }
    bool Cancelled() override { return m_chip.CheckIsCancel(); }
    bool DeviceGone() override { return m_chip.IsDeviceGone(); }

private:
    BurnChipBase& m_chip;
};

}  // namespace

WaitTime::Outcome BurnChipBase::PollUntil(long long limitMs, int sliceMs,
                                          const std::function<WaitTime::Step()>& tryOnce)
{
    ChipWatch watch(*this);
    long long outerDeadline = m_stepDeadline;
    m_stepDeadline = Common::GetTime() + std::max(0LL, limitMs);
    WaitTime::Outcome outcome = WaitTime::PollUntil(watch, limitMs, sliceMs, tryOnce);
    m_stepDeadline = outerDeadline;
    if (outcome == WaitTime::Outcome::DEVICE_GONE) {
        ReportDeviceGone();
    }
    return outcome;
}

bool BurnChipBase::IsDeviceGone() const
{
    return m_transport != nullptr && m_transport->IsDeviceGone();
}

// Said once: every step after it fails with its own line.
void BurnChipBase::ReportDeviceGone()
{
    if (!m_goneReported) {
        m_goneReported = true;
        PrintPlain("The device has disconnected.\n");
    }
}

bool BurnChipBase::HasTransport(const char* what) const
{
    if (m_transport != nullptr) {
        return true;
    }
    if (what != nullptr) {
        PrintPlain(what);
    }
    return false;
}

unsigned long BurnChipBase::Send(const unsigned char* data, unsigned long length)
{
    if (!HasTransport("no transmission mode is selected.\n")) {
        return 0;
    }
    Common::PrintSendRecv(1, data, static_cast<int>(length > INT_MAX ? INT_MAX : length));
    m_transport->SetTimeout(SendLimitMs(), 0);
    unsigned long sent = m_transport->Send(data, length);
    m_hasSentAny = m_hasSentAny || sent > 0;
    if (sent < length && m_transport->IsDeviceGone()) {
        ReportDeviceGone();
    }
    return sent;
}

// A send inside a wait may take what is left of the wait, so that a port that takes nothing fails the
// step at its own time limit; on its own a send waits at most the write time-out.
unsigned long BurnChipBase::SendLimitMs() const
{
    long long limit = Common::SERIAL_WRITE_TIMEOUT;
    if (m_stepDeadline >= 0) {
        limit = std::min(limit, std::max(1LL, m_stepDeadline - Common::GetTime()));
    }
    return static_cast<unsigned long>(limit);
}

unsigned long BurnChipBase::Receive(unsigned char* buffer, unsigned long length)
{
    if (!HasTransport("no transmission mode is selected.\n")) {
        return 0;
    }
    return m_transport->Receive(buffer, length);
}

int BurnChipBase::WaitForData(int ms)
{
    if (m_transport != nullptr) {
        return m_transport->WaitForData(ms);
    }
    if (ms > 0) {
        Common::DelayUs(ms * 1000.0);
    }
    return 0;
}

void BurnChipBase::UngetReceived(int count)
{
    if (m_transport != nullptr) {
        m_transport->UngetReceived(count);
    }
}

void BurnChipBase::SetProgress(int percent) const
{
    if (g_setProgress != nullptr) {
        g_setProgress(GetThisPtr(), percent);
    }
}

void BurnChipBase::ClearRecvBuff()
{
    if (m_transport != nullptr) {
        m_transport->OnAdataAvailable(m_recvText);
    }
}

void BurnChipBase::ReSettingSerialParameters(unsigned baud, int stopBits, int parity)
{
    (void)stopBits;
    (void)parity;
    Common::DelayUs(RESETTING_PAUSE_US);
    if (!HasTransport("ReSettingSerialParameters: dynamic_cast failed.\n")) {
        return;
    }
    m_transport->ChangeSpeed(static_cast<int>(baud));
}

bool BurnChipBase::SendFrameBySerial(const unsigned char* frame, unsigned long length, unsigned long perTryMs,
                                     unsigned long overallMs)
{
    if (!HasTransport("no transmission mode is selected.\n")) {
        return false;
    }
    ClearRecvBuff();
    m_transport->SetTimeout(perTryMs, perTryMs);
    bool nakSeen = false;
    bool sendDue = true;
    long long tryStart = 0;
    // A frame the port did not take is sent again after one slice.
    WaitTime::Outcome outcome = PollUntil(overallMs, FAILED_WRITE_PAUSE_MS, [&]() {
        if (sendDue) {
            if (Send(frame, length) < length) {
                return WaitTime::Step::AGAIN;
            }
            sendDue = false;
            tryStart = Common::GetTime();
        }
        if (TakeAckByte(nakSeen)) {
            return WaitTime::Step::DONE;
        }
        sendDue = WaitTime::IsUp(tryStart, static_cast<long long>(perTryMs));
        return WaitTime::Step::AGAIN;
    });
    if (outcome == WaitTime::Outcome::DONE) {
        return true;
    }
    if (outcome != WaitTime::Outcome::TIMED_OUT) {
        return false;
    }
    if (nakSeen) {
        PrintPlain("Nack error(The serial port transmission may be unstable.).\n");
    } else {
        PrintPlain("Timeout error.\n");
        PrintPlain("1. Check whether the serial port connection is normal.\n");
        PrintPlain("2. The U-Boot is faulty.\n");
    }
    return false;
}

bool BurnChipBase::TakeAckByte(bool& nakSeen)
{
    unsigned char byte = 0;
    while (m_transport->Receive(&byte, 1) == 1) {
        if (byte == Common::ACK) {
            return true;
        }
        if (byte == Common::NAK) {
            nakSeen = true;
        } else if (TakeConsoleText(byte)) {
            return true;
        }
    }
    return false;
}

// Console text before the answer goes to the received text; an ack that arrived with it in the same
// chunk still counts, and the bytes after that ack stay unread for whoever reads next.
bool BurnChipBase::TakeConsoleText(unsigned char first)
{
    std::string text(1, static_cast<char>(first));
    m_transport->OnAdataAvailable(text);
    size_t ack = text.find(static_cast<char>(Common::ACK));
    if (ack == std::string::npos) {
        m_recvText += text;
        return false;
    }
    m_recvText.append(text, 0, ack);
    m_transport->UngetReceived(static_cast<int>(text.size() - ack - 1));
    return true;
}

bool BurnChipBase::SendFrame(unsigned char* frame, unsigned long length, unsigned long perTryMs,
                             unsigned long overallMs, bool report)
{
    // The reply is matched against the first two bytes of the frame.
    if (!HasTransport("no transmission mode is selected.\n") || frame == nullptr || length < 2) {
        return false;
    }
    m_transport->SetTimeout(Common::SERIAL_WRITE_TIMEOUT, Common::FRAME_TIMEOUT);
    long long start = Common::GetTime();
    unsigned long sent = 0;
    bool sendDue = true;
    long long tryStart = 0;
    ReplyBuffer reply;
    WaitTime::Outcome outcome = PollUntil(overallMs, FAILED_WRITE_PAUSE_MS, [&]() {
        if (sendDue) {
            if (sent == 0) {
                ClearRecvBuff();
            }
            sent += Send(frame + sent, length - sent);
            if (sent < length) {
                return WaitTime::Step::AGAIN;
            }
            sendDue = false;
            tryStart = Common::GetTime();
            reply.count = 0;
        }
        if (TakeReplyFrame(frame, reply)) {
            return WaitTime::Step::DONE;
        }
        if (WaitTime::IsUp(tryStart, static_cast<long long>(perTryMs)) ||
            reply.count + REPLY_FRAME_LEN > REPLY_BUFFER_LEN) {
            sendDue = true;
            sent = 0;
        }
        return WaitTime::Step::AGAIN;
    });
    if (outcome == WaitTime::Outcome::DONE) {
        return true;
    }
    if (report && outcome == WaitTime::Outcome::TIMED_OUT) {
        PrintPlain(m_errorInfo.c_str());
        PrintPlain(m_transport->GetErrorStrInfo().c_str());
        Common::PrintInfo(GetThisPtr(), Common::INFO_MESSAGE, "send frame timeout error: %d.\n",
                          static_cast<int>(Common::GetTime() - start));
    }
    return false;
}

bool BurnChipBase::TakeReplyFrame(const unsigned char* sent, ReplyBuffer& reply)
{
    while (reply.count + REPLY_FRAME_LEN <= REPLY_BUFFER_LEN) {
        unsigned long got = m_transport->Receive(reply.bytes + reply.count, REPLY_FRAME_LEN);
        if (got == 0) {
            return false;
        }
        reply.count += static_cast<int>(got);
        if (reply.count >= REPLY_FRAME_LEN && CheckReplyFrameValidity(reply.bytes, reply.count, sent)) {
            return true;
        }
    }
    return false;
}

bool BurnChipBase::CheckReplyFrameValidity(const unsigned char* received, int length, const unsigned char* sent)
{
    bool reasonGiven = false;
    for (int position = 0; position + REPLY_FRAME_LEN <= length; ++position) {
        unsigned char reply[REPLY_FRAME_LEN] = {0};
        if (memcpy_s(reply, sizeof(reply), received + position, REPLY_FRAME_LEN) != EOK) {
            m_errorInfo = "memcpy_s recvbuf failed.\n";
            return false;
        }
        const char* fault = ReplyFrameFault(reply, sent);
        if (fault == nullptr) {
            return true;
        }
        if (*fault != '\0') {
            m_errorInfo = fault;
            reasonGiven = true;
        }
    }
    if (!reasonGiven) {
        m_errorInfo = "check response frame failed.\n";
    }
    return false;
}

bool BurnChipBase::OpenSerialPort(const char* port, unsigned baud, int stopBits, int parity)
{
    m_transport = ChipDriverFactory::NewSerialTransport();
    if (m_transport == nullptr) {
        PrintPlain("new serport transport failed\n");
        return false;
    }
    Common::TRANSPORT_MODE_ATTR_U attr = {};
    if (!FillPortAttr(port, baud, stopBits, parity, attr)) {
        PrintPlain("the length of the created UART is less than the length of the UART to be copied.\n");
        return false;
    }
    if (!m_transport->Open(attr)) {
        return false;
    }
    m_isTransportReady = true;
    // Without a frame format object SendCmd could never work.
    return NewFrameFormat();
}

int BurnChipBase::InitSerialPortList(char* buffer, int length)
{
    if (buffer == nullptr || length < 1) {
        return -1;
    }
    memset_s(buffer, static_cast<size_t>(length), 0, static_cast<size_t>(length));
    for (const char* family : {"/dev/ttyS%d", "/dev/ttyUSB%d"}) {
        for (unsigned int number = 0; number < Common::UART_ENUM_MAX_NUM; ++number) {
            char name[PORT_NAME_BUFFER_LEN] = {0};
            if (snprintf_s(name, sizeof(name), sizeof(name) - 1, family, number) < 0) {
                continue;
            }
            if (SerialPortProbe::IsUsable(name)) {
                GetUart(buffer, length, name);
            }
        }
    }
    size_t used = strnlen(buffer, static_cast<size_t>(length));
    if (used > 0) {
        buffer[used - 1] = '\0';  // the final ";"
    }
    return 0;
}

void BurnChipBase::GetUart(char* buffer, int length, const char* name)
{
    if (buffer == nullptr || length < 1 || name == nullptr) {
        return;
    }
    char entry[PORT_NAME_BUFFER_LEN] = {0};
    if (sprintf_s(entry, sizeof(entry), "%s;", name) < 0) {
        return;
    }
    size_t used = strnlen(buffer, static_cast<size_t>(length));
    size_t entryLength = std::strlen(entry);
    if (used + entryLength >= static_cast<size_t>(length) || std::strstr(buffer, entry) != nullptr) {
        return;
    }
    memcpy_s(buffer + used, static_cast<size_t>(length) - used, entry, entryLength + 1);
}

int BurnChipBase::SendCmd(unsigned char* cmd, unsigned long length, unsigned char* reply, int replyLength,
                          int timeoutMs)
{
    if (m_frameFormat == nullptr) {
        Common::PrintInfo(GetThisPtr(), Common::INFO_MESSAGE, "frame format object is null.\n");
        return 0;
    }
    return m_frameFormat->SendCmd(cmd, length, reply, replyLength, timeoutMs) ? 1 : 0;
}

bool BurnChipBase::NewFrameFormat()
{
    if (!m_isTransportReady) {
        return true;
    }
    m_frameFormat.reset(new (std::nothrow) DefaultSerportFrameSp::DefaultSerportFrame());
    if (m_frameFormat == nullptr) {
        PrintPlain("new frame format failed.\n");
        return false;
    }
    m_frameFormat->SetTransport(this);
    return true;
}

// ---- Older frame exchanges and helpers ----

bool BurnChipBase::SendFrameNoReply(const unsigned char* frame, unsigned long length, unsigned long overallMs)
{
    return PollUntil(overallMs, FAILED_WRITE_PAUSE_MS, [&]() {
               return Send(frame, length) == length ? WaitTime::Step::DONE : WaitTime::Step::AGAIN;
           }) == WaitTime::Outcome::DONE;
}

bool BurnChipBase::SendCmdAndNoReply(const char* cmd, unsigned long length, int overallMs)
{
    constexpr unsigned long maxCommand = Common::MAX_CMD_LENGTH - 3;
    if (cmd == nullptr || length > maxCommand) {
        return false;
    }
    unsigned long limit = overallMs > 0 ? static_cast<unsigned long>(overallMs) : 0;
    std::vector<unsigned char> head = FrameFormatBase::BuildCmdHeadFrame(length);
    std::vector<unsigned char> data =
        FrameFormatBase::BuildCmdDataFrame(reinterpret_cast<const unsigned char*>(cmd), length);
    return !data.empty() && SendFrameNoReply(head.data(), head.size(), limit) &&
           SendFrameNoReply(data.data(), data.size(), limit);
}

bool BurnChipBase::SendFileBySerial(const DataInfo& info)
{
    m_frameSeq = 1;
    return SendHeadFrameBySerial(info) && SendDataInfo(info) && SendTailFrameBySerial();
}

bool BurnChipBase::SendHeadFrameBySerial(const DataInfo& info)
{
    unsigned char frame[14] = {static_cast<unsigned char>(Common::XHEAD), 0x00, 0xFF, 0x01};
    Common::PutBe32(frame + 4, static_cast<uint32_t>(info.length));
    Common::PutBe32(frame + 8, static_cast<uint32_t>(info.address));
    Common::PutCrc16Be(frame, 12);
    return SendFrameBySerial(frame, sizeof(frame), Common::FRAME_TIMEOUT, Common::TOTAL_TIMEOUT);
}

bool BurnChipBase::SendDataInfo(const DataInfo& info)
{
    for (unsigned long offset = 0; offset < info.length; offset += Common::MAX_DATA_FRAME_LEN) {
        unsigned long piece = std::min<unsigned long>(Common::MAX_DATA_FRAME_LEN, info.length - offset);
        if (CheckIsCancel() || !SendDataFrameBySerial(info.data + offset, piece)) {
            return false;
        }
        SetProgress(static_cast<int>((offset + piece) * 100 / info.length));
    }
    return true;
}

bool BurnChipBase::SendDataFrameBySerial(const unsigned char* data, unsigned long length)
{
    std::vector<unsigned char> frame(length + 5, 0);
    InitHead(frame.data(), static_cast<unsigned char>(Common::XDATA));
    if (length > 0 && memcpy_s(frame.data() + 3, length, data, length) != EOK) {
        return false;
    }
    Common::PutCrc16Be(frame.data(), length + 3);
    return SendFrameBySerial(frame.data(), frame.size(), Common::FRAME_TIMEOUT, Common::TOTAL_TIMEOUT);
}

bool BurnChipBase::SendTailFrameBySerial()
{
    unsigned char frame[5] = {0};
    InitHead(frame, static_cast<unsigned char>(Common::XTAIL));
    Common::PutCrc16Be(frame, 3);
    return SendFrameBySerial(frame, sizeof(frame), Common::FRAME_TIMEOUT, Common::TOTAL_TIMEOUT);
}

void BurnChipBase::InitHead(unsigned char* head, unsigned char flag)
{
    head[0] = flag;
    head[1] = m_frameSeq;
    head[2] = static_cast<unsigned char>(0xFF - m_frameSeq);
    ++m_frameSeq;
}

void BurnChipBase::PrintCurRecv()
{
    PrintPlain(Common::PrintableLines(m_recvText).c_str());
    m_recvText.clear();
}

bool BurnChipBase::SendShakeHandFrame(const unsigned char* bytes, unsigned long length, unsigned long overallMs)
{
    if (bytes == nullptr || length == 0) {
        return false;
    }
    std::vector<unsigned char> received;
    unsigned long next = 0;
    bool first = true;
    // One byte goes out per pass; the pass waits one control period or until bytes arrive.
    return PollUntil(overallMs, m_ctrlPeriod, [&]() {
               if (!first) {
                   unsigned char chunk[REPLY_BUFFER_LEN] = {0};
                   unsigned long got = Receive(chunk, sizeof(chunk));
                   received.insert(received.end(), chunk, chunk + got);
                   if (CheckRecvFrame(received.data(), static_cast<int>(received.size()))) {
                       return WaitTime::Step::DONE;
                   }
               }
               first = false;
               Send(bytes + next, 1);
               next = (next + 1) % length;
               return WaitTime::Step::AGAIN;
           }) == WaitTime::Outcome::DONE;
}

std::vector<unsigned char> BurnChipBase::GetBoardFrameCmd(unsigned char cmd)
{
    std::vector<unsigned char> frame = {BOARD_FRAME_FLAG, cmd, static_cast<unsigned char>(0xFF - cmd), 0, 0,
                                        static_cast<unsigned char>(Common::ACK)};
    Common::PutCrc16Be(frame.data(), 3);
    return frame;
}

bool BurnChipBase::SendBoardFrame(unsigned char cmd, unsigned long overallMs)
{
    std::vector<unsigned char> frame = GetBoardFrameCmd(cmd);
    long long start = Common::GetTime();
    if (!SendFrameNoReply(frame.data(), frame.size(), overallMs)) {
        return false;
    }
    unsigned char reply[BOARD_FRAME_LEN] = {0};
    int count = 0;
    WaitTime::Outcome outcome = PollUntil(WaitTime::RemainingMs(start, overallMs), BOARD_POLL_MS, [&]() {
        count += static_cast<int>(Receive(reply + count, static_cast<unsigned long>(BOARD_FRAME_LEN - count)));
        count = FiltRecv(reply, count);
        return count == BOARD_FRAME_LEN ? WaitTime::Step::DONE : WaitTime::Step::AGAIN;
    });
    return outcome == WaitTime::Outcome::DONE && CheckRecvFrame(reply, count, BOARD_FRAME_FLAG);
}

int BurnChipBase::RecvFrame(unsigned char* buffer, int size, int count, int waitMs)
{
    PollUntil(waitMs > 0 ? waitMs : 0, BOARD_POLL_MS, [&]() {
        if (count < size) {
            count += static_cast<int>(Receive(buffer + count, static_cast<unsigned long>(size - count)));
        }
        return count >= size ? WaitTime::Step::DONE : WaitTime::Step::AGAIN;
    });
    return count;
}

// Drops what precedes the first board frame flag (console text) into the received text; returns the
// number of bytes kept at the start of the buffer.
int BurnChipBase::FiltRecv(unsigned char* buffer, int count)
{
    int flag = 0;
    while (flag < count && buffer[flag] != BOARD_FRAME_FLAG) {
        ++flag;
    }
    if (flag == 0) {
        return count;
    }
    m_recvText.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(flag));
    memmove_s(buffer, static_cast<size_t>(count), buffer + flag, static_cast<size_t>(count - flag));
    return count - flag;
}

bool BurnChipBase::SendStartFrame()
{
    unsigned char frame[9] = {static_cast<unsigned char>(Common::XSTART)};
    Common::PutBe32(frame + 1, static_cast<uint32_t>(std::time(nullptr)));
    Common::PutBe32(frame + 5, static_cast<uint32_t>(Common::GetTime()));
    return SendFrameBySerial(frame, sizeof(frame), Common::FRAME_TIMEOUT, Common::TOTAL_TIMEOUT);
}

bool BurnChipBase::CheckRecvFrame(const unsigned char* data, int length)
{
    for (int position = 0; data != nullptr && position + ACK_FRAME_LEN <= length; ++position) {
        const unsigned char* frame = data + position;
        if (Common::GetLe32(frame) == ACK_FRAME_MAGIC && Common::Crc16LeMatches(frame, ACK_FRAME_LEN - 2)) {
            return true;
        }
    }
    return false;
}

bool BurnChipBase::CheckRecvFrame(const unsigned char* frame, int length, unsigned char firstByte)
{
    return frame != nullptr && length >= 4 && frame[0] == firstByte && frame[length - 1] == Common::ACK &&
           Common::Crc16BeMatches(frame, static_cast<size_t>(length - 3));
}

int BurnChipBase::CheckAsciiTextPos(const unsigned char* data, int length)
{
    for (int position = 0; data != nullptr && position < length; ++position) {
        if (data[position] >= 0x20 && data[position] < 0x7F) {
            return position;
        }
    }
    return -1;
}

bool BurnChipBase::OpenComm(const char* name, unsigned baud, int stopBits, int parity)
{
    if (m_transport == nullptr || name == nullptr) {
        return false;
    }
    Common::TRANSPORT_MODE_ATTR_U attr = {};
    return FillPortAttr(name, baud, stopBits, parity, attr) && m_transport->Open(attr);
}

bool BurnChipBase::NewDownloadProtocol()
{
    m_protocol = ChipDriverFactory::NewRoutedProtocol(*this);
    if (m_protocol == nullptr) {
        PrintPlain("new boot download protocol failed.\n");
        return false;
    }
    return true;
}

int BurnChipBase::DownloadData(const char* file, unsigned char* data, unsigned long length, unsigned long address)
{
    return RunRouted([&](TransportProtocolBase& protocol) {
        return data == nullptr ? protocol.DownloadFile(file, address, length)
                               : protocol.DownloadData(data, length, address, length);
    });
}

bool BurnChipBase::InitBeforeBurn()
{
    return NewFrameFormat();
}

int BurnChipBase::SetFrameFrequency(unsigned baud)
{
    if (baud >= 921600) {
        return 1;
    }
    return baud >= 115200 ? 5 : 10;
}

void BurnChipBase::SetErrorInfo(const std::string& text)
{
    m_errorInfo = text;
}

std::string BurnChipBase::GetErrorInfo() const
{
    return m_errorInfo;
}

bool BurnChipBase::CheckFwpkgHeadData(const unsigned char* data, unsigned long length)
{
    std::vector<Common::FileHead> images;
    std::string version;
    std::string error;
    if (!Common::ParseFwpkg(data, length, images, version, error, true)) {
        PrintPlain(error.c_str());
        return false;
    }
    return true;
}

unsigned long BurnChipBase::CalculationTimeout(unsigned long length)
{
    unsigned long startedMib = length / MIB + (length % MIB != 0 ? 1 : 0);
    return std::max<unsigned long>(Common::TOTAL_TIMEOUT, startedMib * Common::TOTAL_TIMEOUT);
}

bool BurnChipBase::StartTftpServer()
{
    return true;
}

bool BurnChipBase::CloseTftpServer()
{
    return true;
}

