#include "TypeSixSerCusPro.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "BurnChipBase.h"
#include "BurnTypeSixChip.h"
#include "Common.h"
#include "WaitTime.h"
#include "securec.h"

namespace TypeSixSerCusProSp {

namespace {

using BurnTypeSixChipSp::BuildFrame;
using BurnTypeSixChipSp::FILE_PIECE_LIMIT;
using BurnTypeSixChipSp::REPLY_TYPE;
using BurnTypeSixChipSp::RETURN_SUCCESS;
using BurnTypeSixChipSp::SSB_BANNER;
using Common::PrintInfo;
using Common::PrintPlain;
using WaitTime::Outcome;

constexpr unsigned char CMD_INIT = 0x01;
constexpr unsigned char CMD_APP_SHA = 0x02;
constexpr unsigned char CMD_START_FLASHING = 0x03;
constexpr unsigned char CMD_DATA = 0x04;
constexpr unsigned char CMD_END_FLASHING = 0x05;
constexpr unsigned char CMD_MEMORY_CONFIG = 0x06;
constexpr unsigned char CMD_ERASE_CORE = 0x07;
constexpr unsigned char CMD_SET_SPEED = 0x0D;
constexpr unsigned char CMD_FLASH_LIMITS = 0x11;
constexpr unsigned char CMD_KV_KEY = 0x1E;
constexpr unsigned char CMD_DATA_REQUEST = 0x21;
constexpr unsigned char CMD_BIN_HEAD = 0x36;
constexpr unsigned char CMD_SHA = 0x37;
constexpr size_t DATA_REPLY_OVERHEAD = 5;

constexpr unsigned int UPLOAD_BLOCK = 4096;
constexpr unsigned long ERASE_UNIT = 2097152;
constexpr int KIND_APP_A = 100;
constexpr int KIND_APP_B = 101;
constexpr int KIND_APP_C = 103;

void AppendBe32(std::vector<unsigned char>& bytes, unsigned long value)
{
    unsigned char field[4];
    Common::PutBe32(field, static_cast<uint32_t>(value));
    bytes.insert(bytes.end(), field, field + 4);
}

bool IsAppKind(int kind)
{
    return kind == KIND_APP_A || kind == KIND_APP_B || kind == KIND_APP_C;
}

unsigned char BinHeadType(int kind)
{
    switch (kind) {
        case KIND_APP_B:
            return 1;
        case KIND_APP_C:
            return 2;
        default:
            return 0;
    }
}

// The ratio in single precision, scaled in double: 4096 of 6400 bytes shows 63, not the 64 a float product gives.
int Percent(unsigned long done, unsigned long total)
{
    float ratio = static_cast<float>(done) / static_cast<float>(total);
    return static_cast<int>(static_cast<double>(ratio) * 100.0);
}

}  // namespace

TypeSixSerCusPro::TypeSixSerCusPro(BurnChipBase* chip) : TransportProtocolBase(chip) {}

unsigned char TypeSixSerCusPro::NextSeq()
{
    return static_cast<unsigned char>(m_frameSeq++ & 0xFF);
}

unsigned char TypeSixSerCusPro::KindByte() const
{
    return static_cast<unsigned char>(m_fileType & 0xFF);
}

int TypeSixSerCusPro::Exchange(unsigned char command, const std::vector<unsigned char>& payload,
                               unsigned long perTryMs, unsigned long overallMs)
{
    std::vector<unsigned char> frame = BuildFrame(NextSeq(), command, payload);
    return m_chip->SendFrame(frame.data(), frame.size(), perTryMs, overallMs, true) ? 1 : 0;
}

bool TypeSixSerCusPro::Step(bool done, const char* failure) const
{
    if (!done) {
        PrintPlain(failure);
    }
    return done;
}

// ---- Download roads ----

bool TypeSixSerCusPro::DownloadFile(const char* fileSpec, unsigned long addr, unsigned long len)
{
    int result = StartDownloadFile(fileSpec, addr, len);
    if (result == 0) {
        (void)Reset();
    }
    return result != 0;
}

bool TypeSixSerCusPro::LoadShaFile(const std::string& path)
{
    unsigned long length = 0;
    std::unique_ptr<unsigned char[]> data =
        Common::GetFileData(path, length, 0, [this]() { return m_chip->CheckIsCancel(); });
    if (data == nullptr) {
        PrintInfo(m_chip->GetThisPtr(), Common::INFO_MESSAGE, "get sha file content failed: %s\n",
                  Common::Printable(path).c_str());
        return false;
    }
    m_shaFile.assign(data.get(), data.get() + length);
    SetShaData(m_shaFile.data(), length);
    return true;
}

int TypeSixSerCusPro::StartDownloadFile(const char* fileSpec, unsigned long addr, unsigned long len)
{
    m_frameSeq = 0;
    if (fileSpec == nullptr) {
        PrintInfo(m_chip->GetThisPtr(), Common::INFO_MESSAGE, "invalid file format: %s\n", "");
        return 0;
    }
    std::vector<std::string> fields = Common::Split(fileSpec, '|');
    std::string imagePath = fileSpec;
    if (fields.size() == 2) {
        imagePath = fields[0];
        if (!LoadShaFile(fields[1])) {
            return 0;
        }
    } else if (!fields.empty()) {
        PrintInfo(m_chip->GetThisPtr(), Common::INFO_MESSAGE, "invalid file format: %s\n",
                  Common::Printable(fileSpec).c_str());
        return 0;
    }
    int result = 0;
    if (IsAppKind(m_fileType)) {
        result = DownloadOtherFile(nullptr, imagePath, 0, addr, len);
    } else {
        unsigned long length = 0;
        std::unique_ptr<unsigned char[]> image = Common::GetFileData(imagePath, length, m_chip->GetThisPtr(),
                                                                       [this]() { return m_chip->CheckIsCancel(); });
        if (image == nullptr) {
            PrintInfo(m_chip->GetThisPtr(), Common::INFO_MESSAGE, "get file content failed: %s\n",
                      Common::Printable(imagePath).c_str());
        } else {
            result = DownloadAppFile(image.get(), length, len);
        }
    }
    // The companion file is held for this download only.
    SetShaData(nullptr, 0);
    m_shaFile.clear();
    return result;
}

bool TypeSixSerCusPro::DownloadData(unsigned char* data, unsigned long len, unsigned long addr, unsigned long size)
{
    if (m_fileType == KIND_APP_A || m_fileType == KIND_APP_B) {
        return DownloadOtherFile(data, "", len, addr, size) != 0;
    }
    return DownloadAppFile(data, len, size) != 0;
}

int TypeSixSerCusPro::DownloadAppFile(const unsigned char* data, unsigned long dataLen, unsigned long size)
{
    unsigned long sent = 0;
    bool done = PreparingForDownload(size) && SendFileData(data, dataLen, dataLen, sent) &&
                Step(EndFlashingPage(), "end flashing page failed.\n") &&
                Step(SetMemoryConfig(dataLen), "set memory config failed.\n") &&
                (m_shaData == nullptr || m_shaLength == 0 || Step(SendAppShaData(), "send sha data failed.\n")) &&
                Step(SetKvKey(), "set kv key failed.\n") &&
                (!m_chip->GetIsReset() || Step(Reset(), "reset failed.\n"));
    return done ? 1 : 0;
}

int TypeSixSerCusPro::DownloadOtherFile(const unsigned char* data, const std::string& path, unsigned long dataLen,
                                        unsigned long addr, unsigned long len)
{
    if (!ReadyAndSetSpeed() || !Step(WriteBinHead(addr, len), "write bin head failed.\n")) {
        return 0;
    }
    if (data != nullptr) {
        unsigned long sent = 0;
        if (!SendFileData(data, dataLen, dataLen, sent)) {
            Common::Print("", "failed to send data.\n", m_chip->GetThisPtr(), "");
            return 0;
        }
    } else if (!SendFile(path)) {
        Common::Print("", "failed to send file.\n", m_chip->GetThisPtr(), "");
        return 0;
    }
    unsigned long fileSize = path.empty() ? 0 : static_cast<unsigned long>(Common::GetBigFileLen(path));
    bool done = Step(EndFlashingPage(), "end flashing page failed.\n") &&
                Step(SendShaData(addr, fileSize), "send sha data failed.\n") &&
                (!m_chip->GetIsReset() || Step(Reset(), "reset failed.\n"));
    return done ? 1 : 0;
}

int TypeSixSerCusPro::PreparingForDownload(unsigned long size)
{
    bool done = ReadyAndSetSpeed() && Step(SetFlashLimits(), "set flash limits failed.\n") &&
                Step(EraseCore(size), "erase core failed.\n") && Step(StartFlashing(), "start flashing failed.\n");
    return done ? 1 : 0;
}

int TypeSixSerCusPro::ReadyAndSetSpeed()
{
    if (m_chip->GetIsReady() && !Ready()) {
        PrintPlain("ready failed.\n");
        return 0;
    }
    if (!Step(Init(), "erase init failed.\n") || !Step(SetSpeed(), "set speed failed.\n")) {
        return 0;
    }
    m_chip->ReSettingSerialParameters(m_chip->GetBaudRate(), m_chip->GetStopBit(), m_chip->GetParity());
    return 1;
}

int TypeSixSerCusPro::Ready()
{
    Outcome outcome = BurnTypeSixChipSp::WatchConsole(*m_chip, [](std::string& text) {
        return text.find(SSB_BANNER) != std::string::npos ? WaitTime::Step::DONE : WaitTime::Step::AGAIN;
    });
    if (outcome != Outcome::DONE) {
        return 0;
    }
    m_chip->SetProgress(0);
    return 1;
}

int TypeSixSerCusPro::SendFile(const std::string& path)
{
    int packetSize = m_chip->GetPerPacketSize();
    if (!BurnTypeSixChipSp::PacketSizeUsable(packetSize)) {
        return 0;
    }
    unsigned long fileSize = static_cast<unsigned long>(Common::GetBigFileLen(path));
    unsigned long perPacket = static_cast<unsigned long>(packetSize);
    unsigned long pieceSize = static_cast<unsigned long>(FILE_PIECE_LIMIT) / perPacket * perPacket;
    unsigned long pieces = (fileSize + pieceSize - 1) / pieceSize;
    unsigned long sent = 0;
    for (unsigned long piece = 0; piece < pieces; ++piece) {
        if (m_chip->CheckIsCancel()) {
            PrintPlain("\n user cancelled!\n");
            return 0;
        }
        unsigned long offset = piece * pieceSize;
        unsigned long length = std::min(pieceSize, fileSize - offset);
        std::unique_ptr<unsigned char[]> data = Common::GetPartFileData(
            path, m_chip->GetThisPtr(), offset, length, [this]() { return m_chip->CheckIsCancel(); });
        if (data == nullptr) {
            PrintInfo(m_chip->GetThisPtr(), Common::INFO_MESSAGE, "get file content failed: %s\n",
                      Common::Printable(path).c_str());
            return 0;
        }
        if (!SendFileData(data.get(), length, fileSize, sent)) {
            return 0;
        }
    }
    return 1;
}

int TypeSixSerCusPro::SendFileData(const unsigned char* data, unsigned long len, unsigned long total,
                                   unsigned long& sent)
{
    int packetSize = m_chip->GetPerPacketSize();
    if (!BurnTypeSixChipSp::PacketSizeUsable(packetSize)) {
        return 0;
    }
    unsigned long perPacket = static_cast<unsigned long>(packetSize);
    bool withProgress = total != 0 && len > perPacket;
    for (unsigned long done = 0; done < len;) {
        if (m_chip->CheckIsCancel()) {
            PrintPlain("\n user cancelled!\n");
            return 0;
        }
        unsigned long length = std::min(perPacket, len - done);
        if (!SendData(data + done, length, done + length == len)) {
            Common::Print("", "failed to send data packet.\n", m_chip->GetThisPtr(), "");
            return 0;
        }
        PrintPlain("#");
        done += length;
        sent += length;
        if (withProgress) {
            m_chip->SetProgress(Percent(sent, total));
        }
    }
    return 1;
}

int TypeSixSerCusPro::SendData(const unsigned char* data, unsigned long len, bool last)
{
    (void)last;
    unsigned long perPacket = static_cast<unsigned long>(m_chip->GetPerPacketSize());
    if (len > perPacket) {
        PrintPlain("memcpy_s failed\n");
        return 0;
    }
    std::vector<unsigned char> payload(data, data + len);
    payload.resize(perPacket, 0xFF);
    if (!Exchange(CMD_DATA, payload, m_limits.frameTryMs, m_limits.frameOverallMs)) {
        PrintPlain("send frame failed.\n");
        return 0;
    }
    return 1;
}

// ---- Frames ----

int TypeSixSerCusPro::Init()
{
    return Exchange(CMD_INIT, {}, m_limits.initTryMs, m_limits.frameOverallMs);
}

int TypeSixSerCusPro::SetSpeed()
{
    std::vector<unsigned char> payload;
    AppendBe32(payload, m_chip->GetBaudRate());
    payload.insert(payload.end(), {0x00, 0x00, 0x70, 0x00});
    return Exchange(CMD_SET_SPEED, payload, m_limits.frameTryMs, m_limits.frameOverallMs);
}

int TypeSixSerCusPro::SetFlashLimits()
{
    return Exchange(CMD_FLASH_LIMITS, {0x01, 0x10, 0x01, 0x30, 0x00, 0xA0, 0x00, 0x18, 0x01, 0x00},
                    m_limits.frameTryMs, m_limits.frameOverallMs);
}

int TypeSixSerCusPro::EraseCore(unsigned long size)
{
    long long tryMs = m_limits.eraseCoreUnitMs * static_cast<long long>(size / ERASE_UNIT);
    tryMs = std::max(tryMs, m_limits.eraseCoreUnitMs);
    return Exchange(CMD_ERASE_CORE, {KindByte()}, static_cast<unsigned long>(tryMs),
                    static_cast<unsigned long>(2 * tryMs));
}

int TypeSixSerCusPro::StartFlashing()
{
    return Exchange(CMD_START_FLASHING, {KindByte(), 0x00, 0x00}, m_limits.frameTryMs, m_limits.frameOverallMs);
}

int TypeSixSerCusPro::EndFlashingPage()
{
    return Exchange(CMD_END_FLASHING, {}, m_limits.frameTryMs, m_limits.frameOverallMs);
}

int TypeSixSerCusPro::SetMemoryConfig(unsigned long imageLength)
{
    std::vector<unsigned char> payload = {KindByte()};
    AppendBe32(payload, imageLength);
    payload.insert(payload.end(), {0x00, 0x04, 0x00, 0x00});
    return Exchange(CMD_MEMORY_CONFIG, payload, m_limits.frameTryMs, m_limits.frameOverallMs);
}

int TypeSixSerCusPro::SendAppShaData()
{
    std::vector<unsigned char> payload(1 + static_cast<size_t>(m_shaLength), KindByte());
    std::copy(m_shaData, m_shaData + m_shaLength, payload.begin() + 1);
    return Exchange(CMD_APP_SHA, payload, m_limits.frameTryMs, m_limits.frameOverallMs);
}

int TypeSixSerCusPro::SetKvKey()
{
    return Exchange(CMD_KV_KEY, {0x00, 0x00, 0x04, 0x00, 0x00, 0x01, 0x00}, m_limits.frameTryMs,
                    m_limits.frameOverallMs);
}

int TypeSixSerCusPro::WriteBinHead(unsigned long addr, unsigned long len)
{
    std::vector<unsigned char> payload = {BinHeadType(m_fileType)};
    AppendBe32(payload, addr);
    AppendBe32(payload, len);
    return Exchange(CMD_BIN_HEAD, payload, m_limits.binHeadTryMs, m_limits.binHeadOverallMs);
}

int TypeSixSerCusPro::SendShaData(unsigned long addr, unsigned long fileSize)
{
    if (m_shaData == nullptr) {
        PrintPlain("memcpy_s failed\n");
        return 0;
    }
    std::vector<unsigned char> payload;
    AppendBe32(payload, addr);
    AppendBe32(payload, fileSize);
    payload.insert(payload.end(), m_shaData, m_shaData + m_shaLength);
    return Exchange(CMD_SHA, payload, m_limits.frameTryMs, m_limits.frameOverallMs);
}

int TypeSixSerCusPro::Reset()
{
    return BurnTypeSixChipSp::SendResetFrame(*m_chip, NextSeq()) ? 1 : 0;
}

// ---- Upload ----

bool TypeSixSerCusPro::UploadFile(const char* path, int len, unsigned long addr)
{
    if (len < 1 || !ReadyAndSetSpeed()) {
        return false;
    }
    FILE* file = nullptr;
    Common::fopen_s(&file, path, "wb");
    if (file == nullptr) {
        PrintInfo(m_chip->GetThisPtr(), Common::INFO_MESSAGE, "fopen_s file failed: %s\n",
                  Common::Printable(path).c_str());
        return false;
    }
    m_chip->SetProgress(0);
    bool read = ReadBlocksInto(file, addr, static_cast<unsigned long>(len));
    // The last buffered blocks are written at the close, so a full disk may show only there.
    if (std::fclose(file) != 0 && read) {
        PrintInfo(m_chip->GetThisPtr(), Common::INFO_MESSAGE, "Closing the output file %s failed.\n",
                  Common::Printable(path).c_str());
        return false;
    }
    return read && Step(Reset(), "reset failed.\n");
}

bool TypeSixSerCusPro::ReadBlocksInto(FILE* file, unsigned long addr, unsigned long total)
{
    for (unsigned long done = 0; done < total;) {
        if (m_chip->CheckIsCancel()) {
            return false;
        }
        unsigned int count = static_cast<unsigned int>(std::min<unsigned long>(total - done, UPLOAD_BLOCK));
        if (!RecvDataAndWriteFile(addr, count, file)) {
            PrintPlain("failed to send data packet.\n");
            return false;
        }
        PrintPlain("#");
        done += count;
        addr += count;
        m_chip->SetProgress(Percent(done, total));
    }
    return true;
}

void TypeSixSerCusPro::InitDataRequestFrame(unsigned char* buffer, unsigned int count, unsigned long addr)
{
    std::vector<unsigned char> payload;
    AppendBe32(payload, addr);
    AppendBe32(payload, count);
    std::vector<unsigned char> frame = BuildFrame(NextSeq(), CMD_DATA_REQUEST, payload);
    (void)memcpy_s(buffer, DATA_REQUEST_LENGTH, frame.data(), frame.size());
}

int TypeSixSerCusPro::RecvDataAndWriteFile(unsigned long addr, unsigned int count, FILE* file)
{
    unsigned char request[DATA_REQUEST_LENGTH];
    InitDataRequestFrame(request, count, addr);
    Outcome outcome = BurnTypeSixChipSp::ExchangeEscaped(
        *m_chip, Common::GetDouble5CFrameData(request, DATA_REQUEST_LENGTH), m_limits.dataRequestTryMs,
        m_limits.dataRequestOverallMs, [&](const std::vector<unsigned char>& area) {
            int verdict = ParseRecvDataAndWriteFile(area.data(), area.size(), count, file);
            return verdict == DATA_DONE ? WaitTime::Step::DONE
                                        : (verdict == DATA_FATAL ? WaitTime::Step::FAILED : WaitTime::Step::AGAIN);
        });
    if (outcome == Outcome::TIMED_OUT) {
        PrintPlain("receive data timeout error.\n");
    }
    return outcome == Outcome::DONE ? 1 : 0;
}

int TypeSixSerCusPro::ParseRecvDataAndWriteFile(const unsigned char* data, unsigned long held, unsigned int count,
                                                FILE* file) const
{
    std::vector<unsigned char> frame;
    if (!ParseRecvDataFrame(frame, data, held) || frame.size() < DATA_REPLY_OVERHEAD) {
        return DATA_WAIT;
    }
    long long handle = m_chip->GetThisPtr();
    if (frame[1] != REPLY_TYPE) {
        PrintInfo(handle, Common::INFO_DEBUG, "ack error2: %d\n", frame[1]);
        return DATA_WAIT;
    }
    unsigned char computed = Common::CalculateCrc(frame.data(), static_cast<unsigned int>(frame.size() - 1));
    if (computed != frame.back()) {
        PrintInfo(handle, Common::INFO_DEBUG, "the calculated  crc: %d is not equal to the received crc: %d.\n",
                  computed, frame.back());
        return DATA_WAIT;
    }
    if (frame[3] != RETURN_SUCCESS) {
        PrintInfo(handle, Common::INFO_DEBUG, "return code error: %d.\n", frame[3]);
        return DATA_WAIT;
    }
    if (frame.size() - DATA_REPLY_OVERHEAD != count) {
        PrintInfo(handle, Common::INFO_DEBUG, "len error:%d. recv len:%d\n",
                  static_cast<int>(frame.size() - DATA_REPLY_OVERHEAD), static_cast<int>(count));
        return DATA_WAIT;
    }
    if (std::fwrite(frame.data() + 4, 1, count, file) != count) {
        PrintInfo(handle, Common::INFO_DEBUG, "fwrite failed.\n");
        return DATA_FATAL;
    }
    return DATA_DONE;
}

bool TypeSixSerCusPro::ParseRecvDataFrame(std::vector<unsigned char>& frame, const unsigned char* data,
                                          unsigned long held) const
{
    return BurnTypeSixChipSp::EscapedFrameScanner::FirstFrame(data, held, frame);
}

}  // namespace TypeSixSerCusProSp
