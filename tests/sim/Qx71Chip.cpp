#include "Qx71Chip.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace Sim {

namespace {

constexpr int POLL_MS = 20;
// A frame that stops arriving for this long has lost bytes on the line.
constexpr int QUIET_GAP_MS = 200;

}  // namespace

Qx71Chip::Qx71Chip(PtyBench& bench, Qx71Variant variant, Qx71Faults faults)
    : m_bench(bench), m_machine(variant, std::move(faults))
{
    // Called with the lock held.
    m_machine.SetSink([this](const Bytes& bytes) { m_bench.Write(bytes); });
}

Qx71Chip::~Qx71Chip()
{
    Stop();
}

void Qx71Chip::Start()
{
    Stop();
    m_stop.store(false);
    m_hasThread = pthread_create(&m_thread, nullptr, ThreadEntry, this) == 0;
}

void Qx71Chip::Stop()
{
    if (m_hasThread) {
        m_stop.store(true);
        pthread_join(m_thread, nullptr);
        m_hasThread = false;
    }
}

void* Qx71Chip::ThreadEntry(void* argument)
{
    static_cast<Qx71Chip*>(argument)->Loop();
    return nullptr;
}

void Qx71Chip::Loop()
{
    long long lastBytes = NowMs();
    while (!m_stop.load() && Serve(lastBytes)) {
    }
    m_changed.notify_all();
}

// One pass of the chip's thread; false once the chip has gone away.
bool Qx71Chip::Serve(long long& lastBytes)
{
    if (Locked([](const Qx71Machine& machine) { return machine.StopsReading(); })) {
        PtyBench::Delay(POLL_MS);  // the library's bytes pile up in the pty
        return true;
    }
    bool hungUp = false;
    unsigned rateBefore = m_bench.LineBaudRate();
    Bytes chunk = m_bench.ReadSome(POLL_MS, &hungUp);
    unsigned rateAfter = m_bench.LineBaudRate();
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!chunk.empty()) {
        lastBytes = NowMs();
        m_machine.OnBytes(chunk, PtyBench::ChunkRate(rateBefore, rateAfter, m_machine.BaudRate()));
    } else if (NowMs() - lastBytes >= QUIET_GAP_MS) {
        m_machine.OnQuiet();
    }
    if (hungUp) {
        m_machine.OnHungUp();
    }
    bool gone = m_machine.GoneAway();
    lock.unlock();
    if (gone) {
        m_bench.HangUp();
        m_gone.store(true);
    }
    m_changed.notify_all();
    return !gone;
}

template <typename Look>
auto Qx71Chip::Locked(Look look) const -> decltype(look(std::declval<const Qx71Machine&>()))
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return look(m_machine);
}

void Qx71Chip::Preload(uint32_t address, const Bytes& data)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_machine.Preload(address, data);
}

void Qx71Chip::PowerCycle()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_machine.PowerCycle();
}

void Qx71Chip::ResumeUpload()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_machine.ResumeUpload();
}

std::map<uint32_t, Bytes> Qx71Chip::FlashMap() const
{
    return Locked([](const Qx71Machine& machine) { return machine.FlashMap(); });
}

Bytes Qx71Chip::ReadFlash(uint32_t address, size_t length) const
{
    return Locked([&](const Qx71Machine& machine) { return machine.ReadFlash(address, length); });
}

std::vector<Qx71Image> Qx71Chip::Images() const
{
    return Locked([](const Qx71Machine& machine) { return machine.Images(); });
}

std::vector<Qx71CommandFrame> Qx71Chip::CommandFrames() const
{
    return Locked([](const Qx71Machine& machine) { return machine.CommandFrames(); });
}

std::vector<Qx71CommandFrame> Qx71Chip::Commands() const
{
    return Locked([](const Qx71Machine& machine) { return machine.Commands(); });
}

Bytes Qx71Chip::Wire() const
{
    return Locked([](const Qx71Machine& machine) { return machine.Wire(); });
}

std::string Qx71Chip::ConsoleInput() const
{
    return Locked([](const Qx71Machine& machine) { return machine.ConsoleInput(); });
}

unsigned Qx71Chip::BaudRate() const
{
    return Locked([](const Qx71Machine& machine) { return machine.BaudRate(); });
}

size_t Qx71Chip::GarbledBytes() const
{
    return Locked([](const Qx71Machine& machine) { return machine.GarbledBytes(); });
}

size_t Qx71Chip::HandshakeFrames() const
{
    return Locked([](const Qx71Machine& machine) { return machine.HandshakeFrames(); });
}

size_t Qx71Chip::EraseAlls() const
{
    return Locked([](const Qx71Machine& machine) { return machine.EraseAlls(); });
}

size_t Qx71Chip::Uploads() const
{
    return Locked([](const Qx71Machine& machine) { return machine.Uploads(); });
}

bool Qx71Chip::ResetSeen() const
{
    return Locked([](const Qx71Machine& machine) { return machine.ResetSeen(); });
}

bool Qx71Chip::HungUp() const
{
    return Locked([](const Qx71Machine& machine) { return machine.HungUp(); });
}

bool Qx71Chip::Stalled() const
{
    return Locked([](const Qx71Machine& machine) { return machine.Stalled(); });
}

bool Qx71Chip::Gone() const
{
    return m_gone.load();
}

bool Qx71Chip::WaitUntil(const std::function<bool(const Qx71Chip&)>& condition, int timeoutMs) const
{
    long long deadline = NowMs() + timeoutMs;
    while (!condition(*this)) {
        long long left = deadline - NowMs();
        if (left <= 0) {
            return false;
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::milliseconds(std::min<long long>(left, POLL_MS)));
    }
    return true;
}

}  // namespace Sim
