#include "BurnTypeSixChip.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "Common.h"
#include "FwpkgCheck.h"
#include "TypeSixSerCusPro.h"
#include "WaitTime.h"

namespace BurnTypeSixChipSp {

namespace {

using Common::PrintInfo;
using Common::PrintPlain;
using WaitTime::Outcome;
using WaitTime::Step;

constexpr unsigned char CMD_INIT = 0x01;
constexpr unsigned char CMD_VERSION = 0x25;
constexpr unsigned char CMD_ERASE_SSB = 0x0F;
constexpr unsigned char CMD_ERASE_ALL = 0x10;
constexpr unsigned char CMD_SSB_PAGE = 0xFC;
constexpr unsigned char CMD_SHA = 0xFD;
constexpr unsigned char CMD_KEY_STORE = 0x13;
constexpr unsigned char CMD_CERTIFICATE = 0x14;
constexpr unsigned char CMD_SIGNATURE = 0x15;
constexpr unsigned char CMD_BOOT_EXIT = 0x0A;
constexpr unsigned char CMD_ERASE_ALL_EXIT = 0x08;
constexpr unsigned char CMD_RESET = 0x0C;
constexpr size_t MIN_REPLY_LEN = 5;

constexpr unsigned long RECV_AREA_LIMIT = 49151;
constexpr unsigned long READ_CHUNK = 4096;
constexpr int POLL_SLICE_MS = 5;
constexpr unsigned BOOT_BAUD_RATE = 115200;  // the boot ROM's, back after a reset
constexpr int NO_HANDSHAKE_LIMIT = -1;  // 0xFFFFFFFF as the device keeps it
constexpr size_t SSB_PAGE_OVERHEAD = 7;

const char* const ROM_BANNER = "-romloader";

// Package image types of the package road.
constexpr uint32_t TYPE_SSB = 0;
constexpr uint32_t TYPE_SSB_SHA = 24;
constexpr uint32_t TYPE_SMALL_SSB = 28;
constexpr uint32_t TYPE_SMALL_SSB_SHA = 29;
constexpr uint32_t TYPE_APP_SHA = 102;

bool IsConsoleByte(unsigned char byte)
{
    return (byte >= 8 && byte <= 13) || (byte >= 32 && byte <= 126);
}

int FileKindOfImageType(uint32_t type)
{
    switch (type) {
        case 18:
            return 2;
        case 20:
            return 0;
        case 22:
            return 1;
        case 26:
            return 4;
        default:
            return -1;
    }
}

// One frame's exchange. Each sending of the frame may be answered, as long after that sending as the
// chip takes, so the answers are counted over every read, whatever the judge makes of them: those still
// to come once the frame is done are awaited and dropped.
class EscapedExchange {
public:
    using Judge = std::function<Step(const std::vector<unsigned char>& area)>;

    EscapedExchange(BurnChipBase& chip, const std::vector<unsigned char>& escaped, long long perTryMs,
                    long long overallMs, const Judge& judge)
        : m_chip(chip), m_escaped(escaped), m_perTryMs(perTryMs), m_overallMs(overallMs), m_judge(judge)
    {
    }
    Outcome Run();

private:
    Step Pass();
    Step Send();
    Step Look();
    unsigned long ReceiveIntoArea();
    void Drop(bool countAnswers);
    void CountAnswers(const unsigned char* bytes, unsigned long count);
    Outcome AwaitLateAnswers();

    BurnChipBase& m_chip;
    const std::vector<unsigned char>& m_escaped;
    long long m_perTryMs;
    long long m_overallMs;
    const Judge& m_judge;
    long long m_start = 0;
    bool m_sendDue = true;
    bool m_overallUp = false;
    std::vector<long long> m_sendTimes;
    std::vector<unsigned char> m_area;  // what came since the last sending
    EscapedFrameScanner m_answerScanner;
    size_t m_answers = 0;
    long long m_longestAnswerMs = 0;
};

Outcome EscapedExchange::Run()
{
    Drop(false);
    m_start = Common::GetTime();
    // The last try begins before the overall limit and may run its whole time past it.
    Outcome outcome = m_chip.PollUntil(m_overallMs + m_perTryMs, POLL_SLICE_MS, [this]() { return Pass(); });
    if (m_overallUp) {
        return Outcome::TIMED_OUT;
    }
    bool answered = outcome == Outcome::DONE || outcome == Outcome::FAILED;
    if (!answered || m_sendTimes.size() < 2) {
        return outcome;
    }
    Outcome late = AwaitLateAnswers();
    return late == Outcome::DONE ? outcome : late;
}

// One pass of the wait: what came is judged, and the frame goes when it is due or its try is up.
Step EscapedExchange::Pass()
{
    if (!m_sendDue) {
        Step seen = Look();
        if (seen != Step::AGAIN) {
            return seen;
        }
        if (!m_sendDue && !WaitTime::IsUp(m_sendTimes.back(), m_perTryMs)) {
            return Step::AGAIN;
        }
    }
    return Send();
}

Step EscapedExchange::Send()
{
    if (WaitTime::IsUp(m_start, m_overallMs)) {
        m_overallUp = true;
        return Step::FAILED;
    }
    m_sendDue = true;
    if (m_chip.Send(m_escaped.data(), m_escaped.size()) < m_escaped.size()) {
        return Step::AGAIN;  // a port that takes nothing is tried again after a slice
    }
    m_sendDue = false;
    m_sendTimes.push_back(Common::GetTime());
    m_area.clear();
    return Look();
}

Step EscapedExchange::Look()
{
    unsigned long taken = ReceiveIntoArea();
    if (m_area.size() > RECV_AREA_LIMIT) {
        m_sendDue = true;  // a flood without a reply: the frame goes again
        return Step::AGAIN;
    }
    // Nothing new cannot change the verdict on what is held.
    return taken == 0 ? Step::AGAIN : m_judge(m_area);
}

// Appends what has arrived until nothing more has or the area holds more than its limit; returns how much.
unsigned long EscapedExchange::ReceiveIntoArea()
{
    unsigned char chunk[READ_CHUNK];
    unsigned long taken = 0;
    unsigned long count = 0;
    while (m_area.size() <= RECV_AREA_LIMIT && (count = m_chip.Receive(chunk, READ_CHUNK)) > 0) {
        m_area.insert(m_area.end(), chunk, chunk + count);
        CountAnswers(chunk, count);
        taken += count;
    }
    return taken;
}

void EscapedExchange::Drop(bool countAnswers)
{
    unsigned char chunk[READ_CHUNK];
    unsigned long count = 0;
    while ((count = m_chip.Receive(chunk, READ_CHUNK)) > 0) {
        if (countAnswers) {
            CountAnswers(chunk, count);
        }
    }
}

// The answers come in the order of the sendings, so the nth answer belongs to the nth sending or a later
// one: its time since the nth sending is never shorter than the time the chip took.
void EscapedExchange::CountAnswers(const unsigned char* bytes, unsigned long count)
{
    long long now = Common::GetTime();
    for (unsigned long i = 0; i < count; ++i) {
        if (!m_answerScanner.Feed(bytes[i])) {
            continue;
        }
        if (m_answers < m_sendTimes.size()) {
            m_longestAnswerMs = std::max(m_longestAnswerMs, now - m_sendTimes[m_answers]);
        }
        ++m_answers;
    }
}

// No answer still to come is due later than the last sending plus the longest time an answer took plus
// one try; each is awaited until then and dropped, so that none can pass for the next frame's answer.
Outcome EscapedExchange::AwaitLateAnswers()
{
    while (m_answers < m_sendTimes.size()) {
        size_t seen = m_answers;
        long long dueBy = m_sendTimes.back() + m_longestAnswerMs + m_perTryMs;
        Outcome outcome = m_chip.PollUntil(dueBy - Common::GetTime(), POLL_SLICE_MS, [&]() {
            Drop(true);
            return m_answers > seen ? Step::DONE : Step::AGAIN;
        });
        if (outcome != Outcome::DONE) {
            return outcome == Outcome::TIMED_OUT ? Outcome::DONE : outcome;
        }
    }
    return Outcome::DONE;
}

}  // namespace

const char* const SSB_BANNER = "-ssb-codeloader";

bool EscapedFrameScanner::Feed(unsigned char byte)
{
    if (!m_afterEscape) {
        m_afterEscape = byte == ESCAPE;
        if (!m_afterEscape && m_inFrame) {
            m_frame.push_back(byte);
        }
        return false;
    }
    m_afterEscape = false;
    if (byte == START_MARK) {
        m_frame.clear();
        m_inFrame = true;
        return false;
    }
    if (!m_inFrame) {
        m_afterEscape = byte == ESCAPE;  // a console's backslash pairs with nothing
        return false;
    }
    if (byte == END_MARK) {
        m_inFrame = false;
        return true;
    }
    m_frame.push_back(byte);
    return false;
}

bool EscapedFrameScanner::FirstFrame(const unsigned char* data, unsigned long length, std::vector<unsigned char>& frame)
{
    EscapedFrameScanner scanner;
    for (unsigned long i = 0; i < length; ++i) {
        if (scanner.Feed(data[i])) {
            frame = std::move(scanner.m_frame);
            return true;
        }
    }
    frame.clear();
    return false;
}

WaitTime::Outcome ExchangeEscaped(BurnChipBase& chip, const std::vector<unsigned char>& escaped, long long perTryMs,
                                  long long overallMs,
                                  const std::function<Step(const std::vector<unsigned char>& area)>& judge)
{
    return EscapedExchange(chip, escaped, perTryMs, overallMs, judge).Run();
}

std::vector<unsigned char> BuildFrame(unsigned char seq, unsigned char command,
                                      const std::vector<unsigned char>& payload)
{
    std::vector<unsigned char> frame;
    frame.reserve(payload.size() + 3);
    frame.push_back(seq);
    frame.push_back(command);
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(Common::CalculateCrc(frame.data(), static_cast<unsigned int>(frame.size())));
    return frame;
}

std::vector<unsigned char> RawFrame(const std::vector<unsigned char>& frame)
{
    std::vector<unsigned char> raw;
    raw.reserve(frame.size() + 4);
    raw.push_back(ESCAPE);
    raw.push_back(START_MARK);
    raw.insert(raw.end(), frame.begin(), frame.end());
    raw.push_back(ESCAPE);
    raw.push_back(END_MARK);
    return raw;
}

bool SendResetFrame(BurnChipBase& chip, unsigned char seq)
{
    std::vector<unsigned char> frame = BuildFrame(seq, CMD_RESET, {0x00, 0x00, 0x00, 0x00});
    std::vector<unsigned char> escaped = Common::GetDouble5CFrameData(frame.data(), frame.size());
    if (chip.Send(escaped.data(), escaped.size()) != escaped.size()) {
        return false;
    }
    chip.ReSettingSerialParameters(BOOT_BAUD_RATE, 0, 0);
    return true;
}

bool PacketSizeUsable(int perPacketSize)
{
    if (perPacketSize >= 1 && perPacketSize <= FILE_PIECE_LIMIT) {
        return true;
    }
    PrintInfo(0, Common::INFO_MESSAGE, "invalid per-packet size: %d, it must be 1 to %lld.\n", perPacketSize,
              FILE_PIECE_LIMIT);
    return false;
}

BurnTypeSixChip::~BurnTypeSixChip() = default;

void BurnTypeSixChip::SetOnlyBurnNames(const std::vector<std::string>& names)
{
    (void)names;
}

std::vector<std::string> BurnTypeSixChip::GetOnlyBurnNames() const
{
    return {};
}

unsigned char BurnTypeSixChip::NextSeq()
{
    return static_cast<unsigned char>(m_frameSeq++ & 0xFF);
}

// ---- The frame exchange ----

int BurnTypeSixChip::CheckRecvData(const unsigned char* data, unsigned long length) const
{
    std::vector<unsigned char> reply;
    if (!EscapedFrameScanner::FirstFrame(data, length, reply)) {
        return REPLY_INCOMPLETE;
    }
    // A reply too short to hold type, return code and check byte answers nothing.
    int type = reply.size() > 1 ? reply[1] : -1;
    if (type != REPLY_TYPE || reply.size() < MIN_REPLY_LEN) {
        PrintInfo(GetThisPtr(), Common::INFO_MESSAGE, "ack error1:%d\n", type);
        return REPLY_BAD;
    }
    if (reply[3] != RETURN_SUCCESS) {
        PrintInfo(GetThisPtr(), Common::INFO_MESSAGE, "return code error:%d\n", reply[3]);
        return REPLY_BAD;
    }
    unsigned char computed = Common::CalculateCrc(reply.data(), static_cast<unsigned int>(reply.size() - 1));
    if (computed != reply.back()) {
        PrintInfo(GetThisPtr(), Common::INFO_MESSAGE,
                  "the calculated  crc:%d is not equal to the received crc:%d.\n", computed, reply.back());
        return REPLY_BAD;
    }
    return REPLY_GOOD;
}

bool BurnTypeSixChip::SendFrame(unsigned char* frame, unsigned long length, unsigned long perTryMs,
                                unsigned long overallMs, bool flag)
{
    (void)flag;
    Outcome outcome = ExchangeEscaped(*this, Common::GetDouble5CFrameData(frame, length),
                                      static_cast<long long>(perTryMs), static_cast<long long>(overallMs),
                                      [this](const std::vector<unsigned char>& area) {
                                          int verdict = CheckRecvData(area.data(), area.size());
                                          return verdict == REPLY_GOOD ? Step::DONE
                                                                       : (verdict == REPLY_BAD ? Step::FAILED
                                                                                               : Step::AGAIN);
                                      });
    if (outcome == Outcome::TIMED_OUT) {
        Common::Print("", "Timeout error.\n", GetThisPtr(), "");
    }
    return outcome == Outcome::DONE;
}

bool BurnTypeSixChip::SendOwnFrame(const std::vector<unsigned char>& frame, unsigned long perTryMs,
                                   unsigned long overallMs)
{
    std::vector<unsigned char> copy = frame;
    return SendFrame(copy.data(), copy.size(), perTryMs, overallMs, true);
}

bool BurnTypeSixChip::SendOwnFrame(const std::vector<unsigned char>& frame)
{
    return SendOwnFrame(frame, m_limits.frameTryMs, m_limits.frameOverallMs);
}

// The init frame always goes as sequence 0.
bool BurnTypeSixChip::SendInitFrame()
{
    return SendOwnFrame(BuildFrame(0x00, CMD_INIT));
}

bool BurnTypeSixChip::WriteRaw(const std::vector<unsigned char>& bytes)
{
    return Send(bytes.data(), bytes.size()) == bytes.size();
}

// ---- Banners ----

WaitTime::Outcome WatchConsole(BurnChipBase& chip, const std::function<WaitTime::Step(std::string& text)>& judge)
{
    int timeout = chip.GetHandshakeTimeout();
    long long limit = timeout == NO_HANDSHAKE_LIMIT ? LLONG_MAX / 2 : (timeout < 0 ? 0 : timeout);
    // Of what was judged, only the tail that may still hold the start of a banner is kept: a chatty
    // console then takes no more memory, nor more time per read, however long the wait.
    const size_t tail = std::max(std::strlen(ROM_BANNER), std::strlen(SSB_BANNER)) - 1;
    std::string text;
    return chip.PollUntil(limit, POLL_SLICE_MS, [&]() {
        unsigned char chunk[READ_CHUNK];
        unsigned long count = chip.Receive(chunk, READ_CHUNK);
        if (count == 0) {
            return Step::AGAIN;
        }
        for (unsigned long i = 0; i < count; ++i) {
            text.push_back(IsConsoleByte(chunk[i]) ? static_cast<char>(chunk[i]) : ' ');
        }
        Step step = judge(text);
        if (text.size() > tail) {
            text.erase(0, text.size() - tail);
        }
        return step;
    });
}

bool BurnTypeSixChip::ShakeHand()
{
    bool eraseFailed = false;
    Outcome outcome = WatchConsole(*this, [&](std::string& text) {
        if (text.find(ROM_BANNER) != std::string::npos) {
            return Step::DONE;
        }
        if (text.find(SSB_BANNER) != std::string::npos) {
            if (!EraseSsb()) {
                eraseFailed = true;
                return Step::FAILED;
            }
            text.clear();
        }
        return Step::AGAIN;
    });
    if (outcome == Outcome::DONE) {
        SetProgress(0);
        return true;
    }
    if (!eraseFailed) {
        PrintPlain("ready failed.\n");
    }
    return false;
}

bool BurnTypeSixChip::WaitSsbRunning()
{
    bool running = false;
    WatchConsole(*this, [&](std::string& text) {
        if (text.find(ROM_BANNER) != std::string::npos) {
            return Step::FAILED;
        }
        running = text.find(SSB_BANNER) != std::string::npos;
        return running ? Step::DONE : Step::AGAIN;
    });
    return running;
}

bool BurnTypeSixChip::EraseSsb()
{
    if (!SendInitFrame()) {
        PrintPlain("erase init failed.\n");
        return false;
    }
    if (!SendOwnFrame(BuildFrame(0x01, CMD_ERASE_SSB), m_limits.eraseSsbTryMs, m_limits.frameOverallMs)) {
        PrintPlain("erase ssb failed.\n");
        return false;
    }
    if (!SendExitFrame()) {
        PrintPlain("send exit frame failed!\n");
        return false;
    }
    return true;
}

// ---- The boot road ----

bool BurnTypeSixChip::ReadBootFile(const std::string& path, std::unique_ptr<unsigned char[]>& buffer,
                                   unsigned long& length, const char* failure)
{
    unsigned long read = 0;
    std::unique_ptr<unsigned char[]> data =
        Common::GetFileData(path, read, GetThisPtr(), [this]() { return CheckIsCancel(); });
    if (data == nullptr) {
        PrintInfo(GetThisPtr(), Common::INFO_MESSAGE, failure, Common::Printable(path).c_str());
        return false;
    }
    buffer = std::move(data);
    length = read;
    return true;
}

bool BurnTypeSixChip::FilePrepare(const std::string& spec)
{
    std::vector<std::string> pieces = Common::Split(spec, '|');
    if (pieces.size() < 2) {
        PrintInfo(GetThisPtr(), Common::INFO_MESSAGE, "Invalid file format: %s\n", Common::Printable(spec).c_str());
        return false;
    }
    unsigned long length = 0;
    if (!ReadBootFile(pieces[0], m_ssbFileData, length, "get ssb file content failed: %s\n")) {
        return false;
    }
    m_ssb = {m_ssbFileData.get(), length};
    if (!ReadBootFile(pieces[1], m_shaFileData, length, "get sha file content failed: %s\n")) {
        return false;
    }
    m_ssbSha = {m_shaFileData.get(), length};
    constexpr size_t SECURITY_SPEC_PIECES = 5;
    if (pieces.size() != SECURITY_SPEC_PIECES) {
        return true;
    }
    return (pieces[2].empty() ||
            ReadBootFile(pieces[2], m_keyStore, m_keyStoreLength, "get key store content failed: %s\n")) &&
           (pieces[3].empty() ||
            ReadBootFile(pieces[3], m_certificate, m_certificateLength, "get certificate content failed: %s\n")) &&
           (pieces[4].empty() ||
            ReadBootFile(pieces[4], m_signature, m_signatureLength, "get signature content failed: %s\n"));
}

bool BurnTypeSixChip::InitBoard()
{
    m_frameSeq = 1;
    if (!SendInitFrame()) {
        PrintPlain("send init cmd failed\n");
        return false;
    }
    if (!SendOwnFrame(BuildFrame(NextSeq(), CMD_VERSION))) {
        PrintPlain("read version info failed.\n");
        return false;
    }
    return true;
}

bool BurnTypeSixChip::DownloadBootData()
{
    if (!FsbWritePage(m_ssb.data, m_ssb.length)) {
        PrintPlain("fsb write page failed\n");
        return false;
    }
    if (!SendShaData(m_ssbSha.data, m_ssbSha.length, m_ssb.length)) {
        PrintPlain("send sha data failed\n");
        return false;
    }
    if (m_keyStore != nullptr && !SendKeyStoreData()) {
        PrintPlain("send keystore data failed\n");
        return false;
    }
    if (m_certificate != nullptr && !SendCertificateData()) {
        PrintPlain("send certificate data failed\n");
        return false;
    }
    if (m_signature != nullptr && !SendSignatureData()) {
        PrintPlain("send signature data failed\n");
        return false;
    }
    if (!SendExitFrame()) {
        PrintPlain("send exit frame failed!\n");
        return false;
    }
    if (!GetIsReady() && !WaitSsbRunning()) {
        Common::PrintPlain("Ssb running failed, codeloader not received!\n", GetThisPtr());
        return false;
    }
    PrintPlain("load ssb success.\n");
    return true;
}

bool BurnTypeSixChip::FsbWritePage(const unsigned char* data, unsigned long length)
{
    int packetSize = GetPerPacketSize();
    if (!PacketSizeUsable(packetSize)) {
        return false;
    }
    unsigned long perPacket = static_cast<unsigned long>(packetSize);
    unsigned long pages = length / perPacket + (length % perPacket != 0 ? 1 : 0);
    unsigned long sent = 0;
    for (unsigned long page = 0; page < pages; ++page) {
        if (CheckIsCancel()) {
            PrintPlain("\nUser Cancelled!\n");
            return false;
        }
        unsigned long pageLength = std::min(perPacket, length - sent);
        if (!SendSsbData(static_cast<unsigned short>(page), data + sent, pageLength, page + 1 == pages)) {
            PrintPlain("failed to send data packet.\n");
            return false;
        }
        PrintPlain("#");
        sent += pageLength;
        if (length > perPacket) {
            SetProgress(static_cast<int>(static_cast<unsigned long long>(sent) * 100 / length));
        }
    }
    return true;
}

bool BurnTypeSixChip::SendSsbData(unsigned short pageIndex, const unsigned char* data, unsigned long length,
                                  bool last)
{
    (void)last;
    std::vector<unsigned char> payload(4, 0x00);
    Common::PutLe16(payload.data(), pageIndex);
    payload.insert(payload.end(), data, data + length);
    std::vector<unsigned char> frame = BuildFrame(NextSeq(), CMD_SSB_PAGE, payload);
    frame.resize(static_cast<size_t>(GetPerPacketSize()) + SSB_PAGE_OVERHEAD, 0xFF);
    return SendOwnFrame(frame);
}

bool BurnTypeSixChip::SendShaData(const unsigned char* digest, unsigned long digestLength,
                                  unsigned long imageLength)
{
    std::vector<unsigned char> payload(4);
    Common::PutBe32(payload.data(), static_cast<uint32_t>(imageLength));
    if (digest != nullptr) {
        payload.insert(payload.end(), digest, digest + digestLength);
    }
    return SendOwnFrame(BuildFrame(NextSeq(), CMD_SHA, payload));
}

// A security file goes behind its head bytes and its 16-bit big-endian length.
bool BurnTypeSixChip::SendSecurityFile(unsigned char command, std::vector<unsigned char> head,
                                       const unsigned char* data, unsigned long length)
{
    unsigned char field[2];
    Common::PutBe16(field, static_cast<uint16_t>(length));
    head.insert(head.end(), field, field + 2);
    head.insert(head.end(), data, data + length);
    return SendOwnFrame(BuildFrame(NextSeq(), command, head));
}

bool BurnTypeSixChip::SendKeyStoreData()
{
    return SendSecurityFile(CMD_KEY_STORE, {0x01}, m_keyStore.get(), m_keyStoreLength);
}

bool BurnTypeSixChip::SendCertificateData()
{
    return SendSecurityFile(CMD_CERTIFICATE, {}, m_certificate.get(), m_certificateLength);
}

bool BurnTypeSixChip::SendSignatureData()
{
    return SendSecurityFile(CMD_SIGNATURE, {0x02, 0x02}, m_signature.get(), m_signatureLength);
}

bool BurnTypeSixChip::SendExitFrame()
{
    return WriteRaw(RawFrame(BuildFrame(NextSeq(), CMD_BOOT_EXIT)));
}

bool BurnTypeSixChip::ShakeHandAndInit()
{
    if (!ShakeHand()) {
        PrintPlain("shake hand failed!\n");
        return false;
    }
    if (!InitBoard()) {
        PrintPlain("init board failed!\n");
        return false;
    }
    return true;
}

bool BurnTypeSixChip::DownloadSsb()
{
    return ShakeHandAndInit() && DownloadBootData();
}

// ---- Erase all and reset ----

bool BurnTypeSixChip::EraseAllFlash()
{
    if (!WaitSsbRunning()) {
        return false;
    }
    Common::PrintPlain("Erasing all images ...\nIt takes a few minutes.", GetThisPtr());
    m_frameSeq = 1;
    if (!SendInitFrame()) {
        Common::PrintPlain("Send init cmd failed", GetThisPtr());
        return false;
    }
    if (!SendOwnFrame(BuildFrame(NextSeq(), CMD_ERASE_ALL), m_limits.eraseAllTryMs, m_limits.eraseAllOverallMs)) {
        Common::PrintPlain("The erasure failed. \nIt may be because the version does not support the full erase "
                           "function.\nPlease update the version.",
                           GetThisPtr());
        return false;
    }
    return WriteRaw(RawFrame(BuildFrame(NextSeq(), CMD_ERASE_ALL_EXIT)));
}

bool BurnTypeSixChip::Reset()
{
    return SendResetFrame(*this, 0x00);
}

// ---- The package road ----

bool BurnTypeSixChip::ParseFile(const char* path)
{
    m_partitions.clear();
    m_ssb = m_ssbSha = m_smallSsb = m_smallSsbSha = ImageRef();
    m_packageLength = 0;
    m_packageData = Common::GetFileData(path, m_packageLength, GetThisPtr(), [this]() { return CheckIsCancel(); });
    if (m_packageData == nullptr) {
        PrintInfo(GetThisPtr(), Common::INFO_MESSAGE, "get file content failed: %s\n", Common::Printable(path).c_str());
        return false;
    }
    std::vector<Common::FileHead> images;
    std::string version;
    std::string error;
    if (!Common::ParseFwpkg(m_packageData.get(), m_packageLength, images, version, error, true)) {
        PrintInfo(GetThisPtr(), Common::INFO_MESSAGE, "%s\n", error.c_str());
        return false;
    }
    // Every image must lie whole inside the file before the first byte goes to the chip.
    error = Common::PackageTableFault(images, m_packageLength);
    if (!error.empty()) {
        PrintInfo(GetThisPtr(), Common::INFO_MESSAGE, "%s\n", error.c_str());
        return false;
    }
    for (const Common::FileHead& image : images) {
        unsigned char* data = m_packageData.get() + image.offset;
        ImageRef reference = {data, image.length};
        switch (image.type) {
            case TYPE_SSB:
                m_ssb = reference;
                break;
            case TYPE_SSB_SHA:
                m_ssbSha = reference;
                break;
            case TYPE_SMALL_SSB:
                m_smallSsb = reference;
                break;
            case TYPE_SMALL_SSB_SHA:
                m_smallSsbSha = reference;
                break;
            default:
                m_partitions.push_back({image.fileName, image.length, image.type, image.burnAddr, image.burnSize,
                                        data});
                break;
        }
    }
    return true;
}

bool BurnTypeSixChip::DownloadSmallSsb()
{
    if (!ShakeHandAndInit()) {
        return false;
    }
    if (!FsbWritePage(m_smallSsb.data, m_smallSsb.length)) {
        PrintPlain("fsb write page failed!\n");
        return false;
    }
    if (!SendShaData(m_smallSsbSha.data, m_smallSsbSha.length, m_smallSsb.length)) {
        PrintPlain("send sha data failed!\n");
        return false;
    }
    if (!SendExitFrame()) {
        PrintPlain("send exit frame failed!\n");
        return false;
    }
    PrintPlain("load small ssb success.\n");
    return true;
}

bool BurnTypeSixChip::InitShaData(TransportProtocolBase& protocol, const std::string& imageName)
{
    for (const PartitionItem& partition : m_partitions) {
        if (partition.type == TYPE_APP_SHA && imageName.find(partition.name) != std::string::npos) {
            protocol.SetShaData(partition.data, static_cast<unsigned long>(partition.length));
            return true;
        }
    }
    PrintInfo(GetThisPtr(), Common::INFO_MESSAGE, "the sha256.bin file of file %s is not found.\n",
              Common::Printable(imageName).c_str());
    return false;
}

bool BurnTypeSixChip::BurnPartition(const PartitionItem& partition)
{
    // Outside the package road there is no protocol to hand the data to.
    TransportProtocolBase* protocol = GetProtocol();
    if (protocol == nullptr) {
        return false;
    }
    int kind = FileKindOfImageType(partition.type);
    if (kind >= 0) {
        protocol->SetFileType(kind);
    } else if ((partition.type == 100 || partition.type == 101) && !InitShaData(*protocol, partition.name)) {
        return false;
    }
    if (!protocol->DownloadData(partition.data, static_cast<unsigned long>(partition.length),
                                static_cast<unsigned long>(partition.burnAddr),
                                static_cast<unsigned long>(partition.burnSize))) {
        return false;
    }
    PrintInfo(GetThisPtr(), Common::INFO_MESSAGE, "burn %s successfully.\n", Common::Printable(partition.name).c_str());
    return true;
}

// The protocol stands in the chip's slot while the partitions are burnt, and only then.
bool BurnTypeSixChip::BurnPartitions()
{
    SetProtocol(std::unique_ptr<TransportProtocolBase>(new (std::nothrow) TypeSixSerCusProSp::TypeSixSerCusPro(this)));
    if (GetProtocol() == nullptr) {
        PrintPlain("new download protocol failed.\n");
        return false;
    }
    bool burnt = std::all_of(m_partitions.begin(), m_partitions.end(),
                             [this](const PartitionItem& partition) { return BurnPartition(partition); });
    SetProtocol(nullptr);
    return burnt;
}

bool BurnTypeSixChip::DownloadAllinoneBin(const char* path, unsigned long address)
{
    (void)address;
    if (!ParseFile(path)) {
        PrintInfo(GetThisPtr(), Common::INFO_MESSAGE, "parse file:%s failed!\n", Common::Printable(path).c_str());
        return false;
    }
    if (m_smallSsbSha.data != nullptr && !DownloadSmallSsb()) {
        PrintPlain("load small ssb failed.\n");
        return false;
    }
    if (!DownloadSsb()) {
        PrintPlain("load ssb failed.\n");
        return false;
    }
    return BurnPartitions();
}

}  // namespace BurnTypeSixChipSp
