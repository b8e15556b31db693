#include "TypeSixChip.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace Sim {

const char* const TYPESIX_ROM_BANNER = "-romloader";
const char* const TYPESIX_SSB_BANNER = "-ssb-codeloader";
const char* const SMALL_SSB_MARK = "SMALL";

namespace {

constexpr uint8_t MARK = 0x5C;
constexpr uint8_t START = 0x73;
constexpr uint8_t END = 0x65;
constexpr uint8_t REPLY = 0x02;
constexpr uint8_t OK = 0x01;
constexpr uint8_t REFUSED = 0x00;
constexpr unsigned BOOT_RATE = 115200;
constexpr size_t PAGE_HEAD = 6;
constexpr int POLL_MS = 10;
constexpr int PIECE_GAP_MS = 2;

uint8_t Xor(const Bytes& bytes, size_t count)
{
    uint8_t check = 0;
    for (size_t i = 0; i < count; ++i) {
        check ^= bytes[i];
    }
    return check;
}

uint32_t Be32(const Bytes& bytes, size_t at)
{
    if (bytes.size() < at + 4) {
        return 0;
    }
    return (static_cast<uint32_t>(bytes[at]) << 24) | (static_cast<uint32_t>(bytes[at + 1]) << 16) |
           (static_cast<uint32_t>(bytes[at + 2]) << 8) | bytes[at + 3];
}

Bytes Tail(const Bytes& bytes, size_t from)
{
    return from < bytes.size() ? Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end()) : Bytes();
}

// A security file behind its head bytes and 16-bit big-endian length.
Bytes SecurityFile(const Bytes& payload, size_t head)
{
    if (payload.size() < head + 2) {
        return {};
    }
    size_t length = (static_cast<size_t>(payload[head]) << 8) | payload[head + 1];
    Bytes data = Tail(payload, head + 2);
    data.resize(std::min(length, data.size()));
    return data;
}

// Two pieces, cut inside the first doubled 0x5C of the body, else in its middle.
std::vector<Bytes> SplitInTwo(const Bytes& bytes)
{
    size_t cut = bytes.size() / 2;
    for (size_t i = 2; i + 1 < bytes.size(); ++i) {
        if (bytes[i] == MARK && bytes[i + 1] == MARK) {
            cut = i + 1;
            break;
        }
    }
    return {Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut)),
            Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(cut), bytes.end())};
}

}  // namespace

TypeSixChip::TypeSixChip(TypeSixFaults faults) : m_faults(std::move(faults)), m_refusalsLeft(m_faults.refusals) {}

void TypeSixChip::Preload(uint32_t address, const Bytes& data)
{
    m_flash[address] = data;
}

std::vector<uint8_t> TypeSixChip::Commands() const
{
    std::vector<uint8_t> commands;
    for (const TypeSixFrameSeen& seen : m_frames) {
        commands.push_back(seen.frame.size() > 1 ? seen.frame[1] : 0);
    }
    return commands;
}

Bytes TypeSixChip::ReadFlash(uint32_t address, size_t length) const
{
    Bytes view(length, 0xFF);
    for (const auto& entry : m_flash) {
        for (size_t i = 0; i < entry.second.size(); ++i) {
            uint64_t at = static_cast<uint64_t>(entry.first) + i;
            if (at >= address && at < static_cast<uint64_t>(address) + length) {
                view[at - address] = entry.second[i];
            }
        }
    }
    return view;
}

std::vector<Bytes> TypeSixChip::TakeHostBytes(const Bytes& bytes, long long nowMs)
{
    std::vector<Bytes> out;
    if (m_gone) {
        return out;
    }
    m_hostBytes += static_cast<long long>(bytes.size());
    if (m_faults.goneAfterHostBytes >= 0 && m_hostBytes >= m_faults.goneAfterHostBytes) {
        m_gone = true;
        return out;
    }
    m_lastActivityMs = nowMs;
    if (m_hostBaudRate != m_baudRate) {
        return out;  // bytes at another rate are noise on the line
    }
    m_pending.insert(m_pending.end(), bytes.begin(), bytes.end());
    // Bytes before a start mark are console input; a frame stays pending until its end mark.
    size_t start = 0;
    while (true) {
        while (start + 1 < m_pending.size() && !(m_pending[start] == MARK && m_pending[start + 1] == START)) {
            ++start;
        }
        if (start + 1 >= m_pending.size()) {
            break;
        }
        Bytes frame;
        size_t at = start + 2;
        bool ended = false;
        while (at + 1 < m_pending.size() && !ended) {
            if (m_pending[at] != MARK) {
                frame.push_back(m_pending[at++]);
            } else if (m_pending[at + 1] == END) {
                ended = true;
                at += 2;
            } else if (m_pending[at + 1] == START) {
                frame.clear();
                start = at;
                at += 2;
            } else {
                // A doubled 0x5C is one byte; an unpaired one (a raw frame) stands as it is.
                frame.push_back(MARK);
                at += m_pending[at + 1] == MARK ? 2 : 1;
            }
        }
        if (!ended) {
            break;
        }
        OnFrame(Bytes(m_pending.begin() + static_cast<std::ptrdiff_t>(start),
                      m_pending.begin() + static_cast<std::ptrdiff_t>(at)),
                frame, out);
        start = at;
    }
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(start));
    // A silent chip still hears the frames, so that what was sent to it can be told.
    if (m_faults.silent) {
        out.clear();
    }
    if (m_faults.answerAfterMs > 0) {
        for (Bytes& piece : out) {
            m_late.emplace_back(nowMs + m_faults.answerAfterMs, std::move(piece));
        }
        return TakeDue(nowMs);
    }
    return out;
}

std::vector<Bytes> TypeSixChip::TakeDue(long long nowMs)
{
    std::vector<Bytes> due;
    while (!m_late.empty() && m_late.front().first <= nowMs) {
        due.push_back(std::move(m_late.front().second));
        m_late.pop_front();
    }
    return due;
}

std::vector<Bytes> TypeSixChip::Idle(long long nowMs)
{
    std::vector<Bytes> out;
    if (m_gone || m_faults.silent) {
        return out;
    }
    if (!m_late.empty()) {
        return TakeDue(nowMs);
    }
    if (m_faults.chatter > 0 && m_stage == Stage::BOOT_ROM) {
        out.push_back(Bytes(m_faults.chatter, '.'));
    }
    if (nowMs - m_lastActivityMs >= BANNER_PERIOD_MS) {
        m_lastActivityMs = nowMs;
        Banner(out);
    }
    return out;
}

void TypeSixChip::Banner(std::vector<Bytes>& out)
{
    if (m_stage == Stage::SSB && m_faults.ssbStartsWhen && !m_faults.ssbStartsWhen()) {
        return;
    }
    std::string text = m_stage == Stage::SSB ? std::string("\r\nSSB 2.1 ") + TYPESIX_SSB_BANNER + "\r\n"
                                              : std::string("\r\nBootROM ") + TYPESIX_ROM_BANNER + "\r\n";
    // The word arrives in two reads, as a slow console writes it.
    size_t cut = text.find('-') + 3;
    out.push_back(Bytes(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(cut)));
    out.push_back(Bytes(text.begin() + static_cast<std::ptrdiff_t>(cut), text.end()));
}

void TypeSixChip::OnFrame(const Bytes& wire, const Bytes& frame, std::vector<Bytes>& out)
{
    // A slow chip hears a frame sent again while it works on the first sending and answers it the same.
    bool again = m_faults.answerAfterMs > 0 && !m_frames.empty() && m_frames.back().frame == frame;
    m_frames.push_back({wire, frame, m_baudRate});
    if (again) {
        out.insert(out.end(), m_lastAnswer.begin(), m_lastAnswer.end());
        return;
    }
    size_t before = out.size();
    Act(frame, out);
    m_lastAnswer.assign(out.begin() + static_cast<std::ptrdiff_t>(before), out.end());
}

void TypeSixChip::Act(const Bytes& frame, std::vector<Bytes>& out)
{
    if (frame.size() < 3) {
        return;
    }
    uint8_t command = frame[1];
    // A page's check byte follows its data, before the fill; the pages are judged once the length is known.
    if (command != 0xFC && Xor(frame, frame.size() - 1) != frame.back()) {
        return Reply(frame, out, {}, true);
    }
    if (command == 0x0C) {
        Restart(out);
    } else if (m_stage == Stage::SSB) {
        OnSsbFrame(frame, out);
    } else {
        OnBootRomFrame(frame, out);
    }
}

void TypeSixChip::OnBootRomFrame(const Bytes& frame, std::vector<Bytes>& out)
{
    uint8_t command = frame[1];
    Bytes payload(frame.begin() + 2, frame.end() - 1);
    if (command == 0xFC && (m_boots.empty() || m_boots.back().started || !m_boots.back().digest.empty())) {
        m_boots.emplace_back();
    }
    TypeSixBoot* boot = m_boots.empty() ? nullptr : &m_boots.back();
    switch (command) {
        case 0x01:
        case 0x0F:
            return Reply(frame, out);
        case 0x25:
            return Reply(frame, out, {MARK, 0x21, 0x06});  // version 5C.21.06
        case 0xFC:
            boot->pages.push_back(frame);
            return Reply(frame, out);
        case 0xFD:
            if (boot == nullptr) {
                break;
            }
            boot->announcedLength = Be32(payload, 0);
            boot->digest = Tail(payload, 4);
            FinishBootImage(*boot);
            return Reply(frame, out);
        case 0x13:
        case 0x14:
        case 0x15:
            if (boot == nullptr) {
                break;
            }
            (command == 0x13 ? boot->keyStore : command == 0x14 ? boot->certificate : boot->signature) =
                SecurityFile(payload, command == 0x13 ? 1 : command == 0x14 ? 0 : 2);
            return Reply(frame, out);
        case 0x0A:
            return BootExit(out);
        default:
            break;
    }
    Reply(frame, out, {}, true);
}

void TypeSixChip::FinishBootImage(TypeSixBoot& boot) const
{
    boot.image.clear();
    boot.pagesGood = !boot.pages.empty();
    size_t left = boot.announcedLength;
    for (size_t index = 0; index < boot.pages.size(); ++index) {
        const Bytes& page = boot.pages[index];
        size_t perPacket = page.size() - PAGE_HEAD - 1;
        size_t count = std::min(perPacket, left);
        bool indexRight = page[2] == (index & 0xFF) && page[3] == ((index >> 8) & 0xFF);
        bool checkRight = Xor(page, PAGE_HEAD + count) == page[PAGE_HEAD + count];
        bool fillRight = std::all_of(page.begin() + static_cast<std::ptrdiff_t>(PAGE_HEAD + count + 1), page.end(),
                                     [](uint8_t byte) { return byte == 0xFF; });
        boot.pagesGood = boot.pagesGood && indexRight && checkRight && fillRight && count > 0;
        boot.image.insert(boot.image.end(), page.begin() + PAGE_HEAD,
                          page.begin() + static_cast<std::ptrdiff_t>(PAGE_HEAD + count));
        left -= count;
    }
    boot.pagesGood = boot.pagesGood && left == 0;
}

void TypeSixChip::BootExit(std::vector<Bytes>& out)
{
    if (m_boots.empty() || m_boots.back().digest.empty() || m_boots.back().started) {
        return;
    }
    TypeSixBoot& boot = m_boots.back();
    boot.started = true;
    std::string mark = SMALL_SSB_MARK;
    bool small = boot.image.size() >= mark.size() && std::equal(mark.begin(), mark.end(), boot.image.begin());
    m_stage = small ? Stage::BOOT_ROM : Stage::SSB;
    Banner(out);
}

void TypeSixChip::Restart(std::vector<Bytes>& out)
{
    ++m_resets;
    m_baudRate = BOOT_RATE;
    Banner(out);
}

TypeSixFlashImage& TypeSixChip::Current()
{
    if (m_images.empty()) {
        m_images.emplace_back();
    }
    return m_images.back();
}

void TypeSixChip::OnSsbFrame(const Bytes& frame, std::vector<Bytes>& out)
{
    uint8_t command = frame[1];
    if (command != 0 && command == m_faults.unansweredCommand) {
        return;
    }
    Bytes payload(frame.begin() + 2, frame.end() - 1);
    switch (command) {
        case 0x0F:
            m_ssbErasePending = true;
            break;
        case 0x0A:
            if (m_ssbErasePending) {
                m_ssbErasePending = false;
                m_stage = Stage::BOOT_ROM;
                Banner(out);
            }
            return;
        case 0x08:
            return;
        case 0x10:
            m_flash.clear();
            ++m_eraseAlls;
            break;
        case 0x0D:
            Reply(frame, out);
            m_baudRate = Be32(payload, 0);
            return;
        case 0x03: {
            TypeSixFlashImage image;
            image.kind = payload.empty() ? 0 : payload[0];
            m_images.push_back(image);
            break;
        }
        case 0x36: {
            TypeSixFlashImage image;
            image.appRoad = true;
            image.binHeadType = payload.empty() ? 0 : payload[0];
            image.address = Be32(payload, 1);
            image.length = Be32(payload, 5);
            m_images.push_back(image);
            break;
        }
        case 0x04:
            Current().data.insert(Current().data.end(), payload.begin(), payload.end());
            Current().packetFrameSizes.push_back(frame.size());
            break;
        case 0x06:
            Current().length = Be32(payload, 1);
            Current().data.resize(std::min<size_t>(Current().data.size(), Current().length));
            break;
        case 0x02:
            Current().sha = Tail(payload, 1);
            break;
        case 0x1E:
            Current().complete = Current().data.size() == Current().length;
            break;
        case 0x37: {
            // The bin head gives the partition's length; the file's own size comes with its digest.
            TypeSixFlashImage& image = Current();
            image.shaFileSize = Be32(payload, 4);
            image.sha = Tail(payload, 8);
            size_t size = image.shaFileSize != 0 ? image.shaFileSize : image.length;
            size_t packet = image.packetFrameSizes.empty() ? 1 : image.packetFrameSizes.back() - 3;
            image.complete = image.data.size() >= size && image.data.size() - size < packet;
            image.data.resize(std::min(image.data.size(), size));
            m_flash[image.address] = image.data;
            break;
        }
        case 0x21:
            return Reply(frame, out, ReadFlash(Be32(payload, 0), Be32(payload, 4)));
        case 0x01:
        case 0x05:
        case 0x07:
        case 0x11:
        case 0x25:
            break;
        default:
            return Reply(frame, out, {}, true);
    }
    Reply(frame, out);
}

void TypeSixChip::Reply(const Bytes& frame, std::vector<Bytes>& out, const Bytes& extra, bool refuse)
{
    bool refused = refuse;
    if (frame[1] == m_faults.refusedCommand && m_faults.refusedCommand != 0 && m_refusalsLeft != 0) {
        refused = true;
        m_refusalsLeft -= m_refusalsLeft > 0 ? 1 : 0;
    }
    Bytes reply = {frame[0], REPLY, frame[1], refused ? REFUSED : OK};
    reply.insert(reply.end(), extra.begin(), extra.end());
    reply.push_back(static_cast<uint8_t>(Xor(reply, reply.size()) ^ (m_faults.badCheckByte ? 0xA5 : 0x00)));
    Bytes wire(m_faults.noise.begin(), m_faults.noise.end());
    wire.push_back(MARK);
    wire.push_back(START);
    for (uint8_t byte : reply) {
        wire.push_back(byte);
        if (byte == MARK) {
            wire.push_back(MARK);
        }
    }
    wire.push_back(MARK);
    wire.push_back(END);
    if (m_faults.splitReplies) {
        for (Bytes& piece : SplitInTwo(wire)) {
            out.push_back(piece);
        }
    } else {
        out.push_back(wire);
    }
}

// ---- The in-process port ----

void TypeSixChip::OnHostBytes(SimPort& port, const Bytes& bytes)
{
    for (const Bytes& piece : m_later) {
        port.Deliver(piece);
    }
    m_later.clear();
    std::vector<Bytes> pieces = TakeHostBytes(bytes, SimPortSession::NowMs());
    if (m_gone) {
        port.GoAway();
        return;
    }
    if (!pieces.empty()) {
        port.Deliver(pieces.front());
        m_later.assign(pieces.begin() + 1, pieces.end());
    }
}

void TypeSixChip::OnIdle(SimPort& port, long long nowMs)
{
    if (m_later.empty()) {
        m_later = Idle(nowMs);
    }
    if (!m_later.empty()) {
        port.Deliver(m_later.front());
        m_later.erase(m_later.begin());
    }
}

// ---- On a pty ----

TypeSixPtyChip::TypeSixPtyChip(PtyBench& bench, TypeSixFaults faults, unsigned lineBaudRate)
    : m_bench(bench), m_lineBaudRate(lineBaudRate), m_chip(std::move(faults))
{
}

TypeSixPtyChip::~TypeSixPtyChip()
{
    Stop();
}

void TypeSixPtyChip::Start()
{
    Stop();
    m_stop.store(false);
    m_hasThread = pthread_create(&m_thread, nullptr, ThreadEntry, this) == 0;
}

void TypeSixPtyChip::Stop()
{
    if (m_hasThread) {
        m_stop.store(true);
        pthread_join(m_thread, nullptr);
        m_hasThread = false;
    }
}

void* TypeSixPtyChip::ThreadEntry(void* argument)
{
    static_cast<TypeSixPtyChip*>(argument)->Loop();
    return nullptr;
}

void TypeSixPtyChip::Pace(size_t bytes)
{
    if (m_lineBaudRate == 0) {
        return;
    }
    double lineMs = static_cast<double>(bytes) * 10000.0 / m_lineBaudRate;
    double now = static_cast<double>(NowMs());
    double wait = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lineFreeAtMs = std::max(m_lineFreeAtMs, now) + lineMs;
        m_wireMs += lineMs;
        wait = m_lineFreeAtMs - now;
    }
    if (wait > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long long>(wait * 1000.0)));
    }
}

void TypeSixPtyChip::Write(const std::vector<Bytes>& pieces)
{
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) {
            PtyBench::Delay(PIECE_GAP_MS);
        }
        Pace(pieces[i].size());
        m_bench.Write(pieces[i]);
    }
    if (!pieces.empty()) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lastReplyMs = static_cast<double>(NowMs());
    }
}

void TypeSixPtyChip::Loop()
{
    while (!m_stop.load()) {
        bool hungUp = false;
        unsigned rateBefore = m_bench.LineBaudRate();
        Bytes chunk = m_bench.ReadSome(POLL_MS, &hungUp);
        unsigned rateAfter = m_bench.LineBaudRate();
        if (!chunk.empty()) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_firstByteMs = m_firstByteMs < 0 ? static_cast<double>(NowMs()) : m_firstByteMs;
        }
        Pace(chunk.size());
        std::vector<Bytes> pieces;
        bool gone = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_chip.HostSpeed(PtyBench::ChunkRate(rateBefore, rateAfter, m_chip.BaudRate()));
            if (!chunk.empty()) {
                m_talked = true;
                pieces = m_chip.TakeHostBytes(chunk, NowMs());
                gone = m_chip.Gone();
            } else if (!hungUp) {
                // Nobody holds the port: a banner now would be lost, as on a board nobody listens to.
                pieces = m_chip.Idle(NowMs());
            }
            m_hungUp = m_hungUp || (hungUp && m_talked);
        }
        m_changed.notify_all();
        if (gone) {
            m_bench.HangUp();
            return;
        }
        Write(pieces);
        m_changed.notify_all();
    }
}

void TypeSixPtyChip::Inspect(const std::function<void(const TypeSixChip&)>& inspect) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    inspect(m_chip);
}

bool TypeSixPtyChip::WaitUntil(const std::function<bool(const TypeSixChip&)>& condition, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return condition(m_chip); });
}

bool TypeSixPtyChip::HungUp() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_hungUp;
}

double TypeSixPtyChip::WireMs() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_wireMs;
}

double TypeSixPtyChip::BusyMs() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_firstByteMs < 0 ? 0 : m_lastReplyMs - m_firstByteMs;
}

}  // namespace Sim
