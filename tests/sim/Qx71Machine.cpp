#include "Qx71Machine.h"

#include <algorithm>

#include "Qx71Wire.h"

namespace Sim {

namespace {

constexpr unsigned BOOT_BAUD_RATE = 115200;
constexpr uint32_t ERASE_ALL = 0xFFFFFFFF;
constexpr uint32_t ERASE_SIZE_KEPT_FROM = 0xF0FFFFFF;
constexpr size_t UPLOAD_DATA_SIZE = 1024;
constexpr size_t DAMAGE_OFFSET = 100;
constexpr size_t MAGIC_LEN = 4;
constexpr uint64_t NOR_ERASE_CAP = 16 * 1024 * 1024;  // a bench chip erases at most this much by bytes

// Lines of boot log, as many bytes as asked for.
Bytes ConsoleFlood(size_t count)
{
    static const std::string LINE = "[flash] verifying sector ...\r\n";
    Bytes text;
    while (text.size() < count) {
        text.insert(text.end(), LINE.begin(), LINE.end());
    }
    text.resize(count);
    return text;
}


// Drops the bytes before the next possible frame start; a partial magic at the end stays.
Bytes TakeUntilMagic(Bytes& pending)
{
    static const Bytes MAGIC = {0xEF, 0xBE, 0xAD, 0xDE};
    auto found = std::search(pending.begin(), pending.end(), MAGIC.begin(), MAGIC.end());
    size_t cut = static_cast<size_t>(found - pending.begin());
    if (found == pending.end()) {
        size_t keep = 0;
        for (size_t length = std::min(MAGIC_LEN - 1, pending.size()); length > 0 && keep == 0; --length) {
            if (std::equal(pending.end() - static_cast<std::ptrdiff_t>(length), pending.end(), MAGIC.begin())) {
                keep = length;
            }
        }
        cut = pending.size() - keep;
    }
    Bytes dropped(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(cut));
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(cut));
    return dropped;
}

// Erased bytes read as 0xFF; an image at a higher address covers one below it where they overlap.
Bytes FlashView(const std::map<uint32_t, Bytes>& flash, uint32_t address, size_t length)
{
    Bytes view(length, 0xFF);
    for (const auto& entry : flash) {
        uint64_t begin = std::max<uint64_t>(entry.first, address);
        uint64_t end = std::min<uint64_t>(static_cast<uint64_t>(entry.first) + entry.second.size(),
                                          static_cast<uint64_t>(address) + length);
        for (uint64_t at = begin; at < end; ++at) {
            view[at - address] = entry.second[at - entry.first];
        }
    }
    return view;
}

}  // namespace

Qx71Machine::Qx71Machine(Qx71Variant variant, Qx71Faults faults) : m_variant(variant), m_faults(std::move(faults)) {}

void Qx71Machine::SetSink(Sink sink)
{
    m_sink = std::move(sink);
}

void Qx71Machine::OnBytes(const Bytes& chunk, unsigned lineBaudRate)
{
    m_wire.insert(m_wire.end(), chunk.begin(), chunk.end());
    if (lineBaudRate != m_baudRate) {
        m_garbled += chunk.size();
    } else {
        m_pending.insert(m_pending.end(), chunk.begin(), chunk.end());
        Process();
    }
}

bool Qx71Machine::StopsReading() const
{
    return m_faults.stopReadingAfterBytes >= 0 && m_wire.size() >= static_cast<size_t>(m_faults.stopReadingAfterBytes);
}

bool Qx71Machine::GoneAway() const
{
    return m_gone ||
           (m_faults.goneAfterBytes >= 0 && m_wire.size() >= static_cast<size_t>(m_faults.goneAfterBytes));
}

void Qx71Machine::OnHungUp()
{
    m_hungUp = !m_wire.empty();
}

// A frame that stopped short is asked for again; stray bytes elsewhere are forgotten.
void Qx71Machine::OnQuiet()
{
    if (m_pending.empty()) {
        return;
    }
    if (m_stage == Stage::BOOT_ROM) {
        m_consoleInput.append(m_pending.begin(), m_pending.end());
    }
    m_pending.clear();
    if (m_stage == Stage::RECEIVING) {
        AskAgain();
    }
}

void Qx71Machine::Process()
{
    if (m_stalled) {
        m_pending.clear();
        return;
    }
    bool progress = true;
    while (progress && !m_pending.empty()) {
        switch (m_stage) {
            case Stage::BOOT_ROM:
                progress = ProcessBootRom();
                break;
            case Stage::COMMANDS:
                progress = ProcessCommands();
                break;
            case Stage::RECEIVING:
                progress = ProcessReceiving();
                break;
            case Stage::UPLOADING:
                progress = ProcessUploading();
                break;
        }
    }
}

bool Qx71Machine::ProcessBootRom()
{
    Bytes text = TakeUntilMagic(m_pending);
    m_consoleInput.append(text.begin(), text.end());
    Bytes frame;
    FrameScan scan = TakeCommandFrame(frame);
    if (scan != FrameScan::FRAME) {
        return scan == FrameScan::NOT_A_FRAME || !text.empty();
    }
    if (Qx71Command(frame) == QX71_SHAKE_HAND) {
        OnHandshake(frame);
    } else if (Qx71Command(frame) == QX71_RESET) {
        m_resetSeen = true;
    }
    return true;
}

// Takes one command frame from the pending bytes and records it. A byte that cannot begin one is
// dropped; the boot ROM keeps it as console input.
FrameScan Qx71Machine::TakeCommandFrame(Bytes& frame)
{
    FrameScan scan = TakeQx71Frame(m_pending, frame);
    if (scan == FrameScan::NOT_A_FRAME) {
        if (m_stage == Stage::BOOT_ROM) {
            m_consoleInput.push_back(static_cast<char>(m_pending.front()));
        }
        m_pending.erase(m_pending.begin());
    } else if (scan == FrameScan::FRAME) {
        m_commandFrames.push_back({frame, m_baudRate});
    }
    return scan;
}

void Qx71Machine::OnHandshake(const Bytes& frame)
{
    ++m_handshakes;
    if (m_faults.silent) {
        return;
    }
    if (m_faults.ignoredHandshakes > 0) {
        --m_faults.ignoredHandshakes;
        return;
    }
    if (m_faults.refusedHandshakes > 0) {
        --m_faults.refusedHandshakes;
        Answer(QX71_SHAKE_HAND, false);
        return;
    }
    // The loader may follow by YMODEM at the rate the frame names; command frames are taken too.
    Answer(QX71_SHAKE_HAND, true, {YM_C});
    m_baudRate = ReadLe32(Qx71Payload(frame), 0);
    m_stage = Stage::COMMANDS;
    m_loaderAllowed = true;
}

bool Qx71Machine::ProcessCommands()
{
    if (m_loaderAllowed && m_pending.front() == YM_SOH) {
        m_loaderAllowed = false;
        StartReceiving(Qx71Image());
        return true;
    }
    Bytes frame;
    FrameScan scan = TakeCommandFrame(frame);
    if (scan != FrameScan::FRAME) {
        return scan == FrameScan::NOT_A_FRAME;
    }
    if (Qx71Command(frame) == QX71_SHAKE_HAND) {
        return true;  // the boot ROM is no longer listening
    }
    m_loaderAllowed = false;
    size_t index = m_commands++;
    if (Qx71Command(frame) == m_faults.unansweredCommand) {
        return true;
    }
    if (static_cast<int>(index) == m_faults.refusedCommand) {
        Answer(Qx71Command(frame), false);
        return true;
    }
    OnCommand(frame);
    return true;
}

void Qx71Machine::OnCommand(const Bytes& frame)
{
    Bytes payload = Qx71Payload(frame);
    switch (Qx71Command(frame)) {
        case QX71_SWITCH_BAUD:
            Answer(QX71_SWITCH_BAUD, true);
            m_baudRate = ReadLe32(payload, 0);
            break;
        case QX71_UPLOAD:
            Answer(QX71_UPLOAD, true);
            StartUpload(ReadLe32(payload, 4), ReadLe32(payload, 0));
            break;
        case QX71_RESET:
            m_resetSeen = true;
            m_stage = Stage::BOOT_ROM;
            m_baudRate = BOOT_BAUD_RATE;
            break;
        case QX71_FLASH_IMAGE:
        case QX71_NV_KV:
        case QX71_FACTORY:
        case QX71_OTP_EFUSE:
        case QX71_VERSION:
            OnFileCommand(frame);
            break;
        default:
            Answer(Qx71Command(frame), false);
            break;
    }
}

bool Qx71Machine::EraseSizeAccepted(uint32_t eraseSize) const
{
    uint32_t sector = m_variant == Qx71Variant::Kp7715 ? 512 : 4096;
    return eraseSize % sector == 0 || eraseSize >= ERASE_SIZE_KEPT_FROM;
}

void Qx71Machine::OnFileCommand(const Bytes& frame)
{
    uint8_t command = Qx71Command(frame);
    Bytes payload = Qx71Payload(frame);
    Qx71Image image;
    image.command = command;
    if (command == QX71_OTP_EFUSE || command == QX71_VERSION) {
        image.announcedLength = ReadLe32(payload, 0);
    } else {
        image.hasAddress = true;
        image.address = ReadLe32(payload, 0);
        image.announcedLength = ReadLe32(payload, 4);
        image.eraseSize = ReadLe32(payload, 8);
        bool modeValid = command != QX71_FLASH_IMAGE || payload[13] == static_cast<uint8_t>(~payload[12]);
        image.mode = command == QX71_FLASH_IMAGE ? payload[12] : 0;
        if (!modeValid || !EraseSizeAccepted(image.eraseSize)) {
            Answer(command, false);
            return;
        }
    }
    if (command == QX71_FLASH_IMAGE && image.announcedLength == 0 && image.eraseSize == ERASE_ALL) {
        m_flash.clear();
        m_norCells.clear();
        ++m_eraseAlls;
        Answer(command, true);
        return;
    }
    if (m_faults.norFlash && image.hasAddress) {
        NorErase(image.address, image.eraseSize);
    }
    Answer(command, true, {YM_C});
    StartReceiving(image);
}

void Qx71Machine::StartReceiving(const Qx71Image& image)
{
    m_current = image;
    m_current.baudRate = m_baudRate;
    m_stage = Stage::RECEIVING;
    m_ymodemStep = YmodemStep::BLOCK_ZERO;
}

// ---- Receiving a file ----

// Takes one whole YMODEM frame (or an EOT) from the start of the pending bytes; bytes that cannot
// begin one are dropped. False while the frame is incomplete.
bool Qx71Machine::TakeYmodemFrame(Bytes& frame)
{
    while (!m_pending.empty()) {
        uint8_t start = m_pending.front();
        if (start == YM_EOT) {
            frame = {YM_EOT};
            m_pending.erase(m_pending.begin());
            return true;
        }
        size_t size = YmodemDataSize(start);
        if (size != 0 && m_pending.size() >= 3 && m_pending[2] != static_cast<uint8_t>(~m_pending[1])) {
            size = 0;
        }
        if (size == 0) {
            m_pending.erase(m_pending.begin());
            continue;
        }
        bool isData = start != YM_SOH;
        if (isData && !m_damageDone && static_cast<int>(m_dataFrames) == m_faults.damagedFrame &&
            m_pending.size() >= DAMAGE_OFFSET + m_faults.lostBytes) {
            m_damageDone = true;
            auto from = m_pending.begin() + static_cast<std::ptrdiff_t>(DAMAGE_OFFSET);
            m_pending.erase(from, from + static_cast<std::ptrdiff_t>(m_faults.lostBytes));
        }
        size_t length = 3 + size + 2;
        if (m_pending.size() < length) {
            return false;
        }
        frame.assign(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(length));
        m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(length));
        return true;
    }
    return false;
}

bool Qx71Machine::ProcessReceiving()
{
    Bytes frame;
    if (!TakeYmodemFrame(frame)) {
        return false;
    }
    if (frame.size() > 1 && !YmodemFrameValid(frame)) {
        m_pending.clear();
        AskAgain();
        return true;
    }
    switch (m_ymodemStep) {
        case YmodemStep::BLOCK_ZERO:
            OnBlockZero(frame);
            break;
        case YmodemStep::DATA:
            OnDataFrame(frame);
            break;
        case YmodemStep::CLOSING:
            OnClosingBlock(frame);
            break;
    }
    return true;
}

void Qx71Machine::OnBlockZero(const Bytes& frame)
{
    std::string name;
    uint64_t size = 0;
    if (!ParseYmodemBlockZero(frame, name, size) || name.empty()) {
        AskAgain();
        return;
    }
    m_current.name = name;
    m_current.size = size;
    m_current.data.clear();
    m_expectedNumber = 1;
    m_ymodemStep = YmodemStep::DATA;
    Write({YM_ACK});
}

void Qx71Machine::OnDataFrame(const Bytes& frame)
{
    if (frame[0] == YM_EOT) {
        m_ymodemStep = YmodemStep::CLOSING;
        Write({YM_ACK});
        return;
    }
    uint8_t number = frame[1];
    if (frame[0] == YM_SOH || number == static_cast<uint8_t>(m_expectedNumber - 1)) {
        Write({YM_ACK});  // a frame sent again after its ACK was lost
        return;
    }
    if (number != m_expectedNumber) {
        AskAgain();
        return;
    }
    size_t index = m_dataFrames++;
    if (static_cast<int>(index) == m_faults.stalledDataFrame) {
        m_stalled = true;
        return;
    }
    if (!m_askAgainDone && static_cast<int>(index) == m_faults.askAgainFrame) {
        m_askAgainDone = true;
        --m_dataFrames;
        AskAgain();
        return;
    }
    size_t size = frame.size() - 5;
    m_current.frameSizes.insert(size);
    m_current.data.insert(m_current.data.end(), frame.begin() + 3, frame.end() - 2);
    ++m_expectedNumber;
    Write({YM_ACK});
}

void Qx71Machine::OnClosingBlock(const Bytes& frame)
{
    if (frame[0] == YM_EOT) {
        Write({YM_ACK});
        return;
    }
    std::string name;
    uint64_t size = 0;
    if (!ParseYmodemBlockZero(frame, name, size) || !name.empty()) {
        AskAgain();
        return;
    }
    Write({YM_ACK});
    FinishImage();
}

void Qx71Machine::FinishImage()
{
    Qx71Image& image = m_current;
    image.complete = image.data.size() >= image.size &&
                     (image.command == 0 || image.announcedLength == image.size);
    image.data.resize(std::min<size_t>(image.data.size(), image.size));
    if (image.complete && image.hasAddress && m_faults.norFlash) {
        NorProgram(image.address, image.data);
    } else if (image.complete && image.hasAddress) {
        m_flash[image.address] = image.data;
    }
    int index = static_cast<int>(m_images.size());
    m_images.push_back(image);
    m_stage = Stage::COMMANDS;
    if (index == m_faults.silentAfterImage) {
        m_mute = true;
    }
    if (m_faults.noImageAck || m_mute) {
        return;
    }
    if (m_faults.floodBeforeImageAck > 0) {
        Write(ConsoleFlood(m_faults.floodBeforeImageAck));
    }
    bool positive = image.complete && index != m_faults.refusedImage;
    if (index == m_faults.damagedImageAck) {
        Bytes ack = Qx71AckFrame(image.command, positive ? QX71_ACK_OK : QX71_ACK_REFUSED);
        ack.back() ^= 0xFF;
        Write(ack);
        return;
    }
    Answer(image.command, positive);
}

// A NOR flash sets erased bytes to 0xFF, and programming only clears bits.
void Qx71Machine::NorErase(uint32_t address, uint32_t size)
{
    uint64_t end = std::min<uint64_t>(static_cast<uint64_t>(address) + size, static_cast<uint64_t>(address) + NOR_ERASE_CAP);
    for (uint64_t at = address; at < end; ++at) {
        m_norCells.erase(at);
    }
}

void Qx71Machine::NorProgram(uint32_t address, const Bytes& data)
{
    for (size_t i = 0; i < data.size(); ++i) {
        uint64_t at = static_cast<uint64_t>(address) + i;
        auto cell = m_norCells.find(at);
        uint8_t old = cell == m_norCells.end() ? 0xFF : cell->second;
        m_norCells[at] = static_cast<uint8_t>(old & data[i]);
    }
}

void Qx71Machine::AskAgain()
{
    Write({YM_C});
}

// ---- Sending the flash back ----

void Qx71Machine::StartUpload(uint32_t address, uint32_t length)
{
    m_uploadData = FlashView(m_flash, address, length);
    m_uploadFrame = 0;
    m_uploadCorrupted = false;
    m_uploadStep = UploadStep::WANT_C_BLOCK_ZERO;
    m_stage = Stage::UPLOADING;
}

void Qx71Machine::SendUploadFrame(bool damaged)
{
    if (static_cast<int>(m_uploadFrame) == m_faults.stalledDataFrame) {
        m_stalled = true;
        return;
    }
    if (static_cast<int>(m_uploadFrame) == m_faults.goneAtUploadFrame) {
        m_gone = true;
        return;
    }
    size_t offset = m_uploadFrame * UPLOAD_DATA_SIZE;
    size_t length = std::min(UPLOAD_DATA_SIZE, m_uploadData.size() - offset);
    Bytes data(m_uploadData.begin() + static_cast<std::ptrdiff_t>(offset),
               m_uploadData.begin() + static_cast<std::ptrdiff_t>(offset + length));
    Bytes frame = YmodemDataFrame(static_cast<uint8_t>(m_uploadFrame + 1), data, UPLOAD_DATA_SIZE);
    if (damaged) {
        frame[frame.size() - 1] ^= 0xFF;
    }
    Write(frame);
}

// The first sending of the current frame: the one the faults name goes out damaged, once.
void Qx71Machine::SendFreshUploadFrame()
{
    bool damaged = !m_uploadCorrupted && m_faults.corruptUploadFrame == static_cast<int>(m_uploadFrame);
    m_uploadCorrupted = m_uploadCorrupted || damaged;
    SendUploadFrame(damaged);
}

bool Qx71Machine::ProcessUploading()
{
    uint8_t byte = m_pending.front();
    m_pending.erase(m_pending.begin());
    size_t frames = (m_uploadData.size() + UPLOAD_DATA_SIZE - 1) / UPLOAD_DATA_SIZE;
    switch (m_uploadStep) {
        case UploadStep::WANT_C_BLOCK_ZERO:
        case UploadStep::WANT_ACK_BLOCK_ZERO:
            if (byte == YM_C) {
                Write(YmodemBlockZero("flash.bin", m_uploadData.size()));
                m_uploadStep = UploadStep::WANT_ACK_BLOCK_ZERO;
            } else if (byte == YM_ACK && m_uploadStep == UploadStep::WANT_ACK_BLOCK_ZERO) {
                m_uploadStep = UploadStep::WANT_C_DATA;
            }
            break;
        case UploadStep::WANT_C_DATA:
            if (byte == YM_C) {
                SendFreshUploadFrame();
                m_uploadStep = UploadStep::DATA;
            }
            break;
        case UploadStep::DATA:
            if (byte == YM_C) {
                SendUploadFrame(false);
            } else if (byte == YM_ACK && ++m_uploadFrame < frames) {
                SendFreshUploadFrame();
            } else if (byte == YM_ACK) {
                Write({YM_EOT});
                m_uploadStep = UploadStep::WANT_ACK_EOT;
            }
            break;
        case UploadStep::WANT_ACK_EOT:
            if (byte == YM_ACK) {
                m_uploadStep = UploadStep::WANT_C_CLOSING;
            }
            break;
        case UploadStep::WANT_C_CLOSING:
        case UploadStep::WANT_ACK_CLOSING:
            if (byte == YM_C) {
                Write(YmodemClosingBlock());
                m_uploadStep = UploadStep::WANT_ACK_CLOSING;
            } else if (byte == YM_ACK && m_uploadStep == UploadStep::WANT_ACK_CLOSING) {
                ++m_uploads;
                m_stage = Stage::COMMANDS;
            }
            break;
    }
    return true;
}

// ---- Answers ----

void Qx71Machine::Answer(uint8_t command, bool positive, const Bytes& after)
{
    Bytes answer(m_faults.consoleText.begin(), m_faults.consoleText.end());
    Bytes ack = Qx71AckFrame(command, positive ? QX71_ACK_OK : QX71_ACK_REFUSED);
    answer.insert(answer.end(), ack.begin(), ack.end());
    answer.insert(answer.end(), after.begin(), after.end());
    Write(answer);
}

void Qx71Machine::Write(const Bytes& bytes)
{
    if (!m_mute && m_sink) {
        m_sink(bytes);
    }
}

// ---- Test side ----

void Qx71Machine::Preload(uint32_t address, const Bytes& data)
{
    if (m_faults.norFlash) {
        NorProgram(address, data);
        return;
    }
    m_flash[address] = data;
}

void Qx71Machine::PowerCycle()
{
    m_stage = Stage::BOOT_ROM;
    m_baudRate = BOOT_BAUD_RATE;
    m_loaderAllowed = false;
    m_pending.clear();
}

void Qx71Machine::ResumeUpload()
{
    m_stalled = false;
    m_faults.stalledDataFrame = -1;
    SendUploadFrame(false);
}

Bytes Qx71Machine::ReadFlash(uint32_t address, size_t length) const
{
    if (!m_faults.norFlash) {
        return FlashView(m_flash, address, length);
    }
    Bytes view(length, 0xFF);
    for (size_t i = 0; i < length; ++i) {
        auto cell = m_norCells.find(static_cast<uint64_t>(address) + i);
        if (cell != m_norCells.end()) {
            view[i] = cell->second;
        }
    }
    return view;
}

std::vector<Qx71CommandFrame> Qx71Machine::Commands() const
{
    std::vector<Qx71CommandFrame> commands;
    for (const Qx71CommandFrame& frame : m_commandFrames) {
        if (Qx71Command(frame.bytes) != QX71_SHAKE_HAND) {
            commands.push_back(frame);
        }
    }
    return commands;
}

}  // namespace Sim
