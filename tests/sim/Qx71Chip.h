#ifndef VEXIL_TESTS_SIM_QX71CHIP_H
#define VEXIL_TESTS_SIM_QX71CHIP_H

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "PtyBench.h"
#include "Qx71Machine.h"

// A Qx71-family chip on the pty bench: its own thread reads the bench's master side and feeds the
// chip's state machine. A chip that goes away hangs the bench up; one that stops reading leaves the
// library's bytes in the pty.
namespace Sim {

class Qx71Chip {
public:
    explicit Qx71Chip(PtyBench& bench, Qx71Variant variant = Qx71Variant::Qx71, Qx71Faults faults = {});
    ~Qx71Chip();
    Qx71Chip(const Qx71Chip&) = delete;
    Qx71Chip& operator=(const Qx71Chip&) = delete;

    void Start();
    void Stop();
    // Flash contents from before the burn.
    void Preload(uint32_t address, const Bytes& data);
    // A reset by hand: back to the boot ROM at 115200, flash kept.
    void PowerCycle();
    void ResumeUpload();

    std::map<uint32_t, Bytes> FlashMap() const;
    // The flash as a read sees it: erased bytes are 0xFF.
    Bytes ReadFlash(uint32_t address, size_t length) const;
    std::vector<Qx71Image> Images() const;
    std::vector<Qx71CommandFrame> CommandFrames() const;
    // Every command frame but the handshakes: the driver repeats its handshake frame whenever the ack
    // takes longer than one try, so how many of those arrive depends on the machine's load.
    std::vector<Qx71CommandFrame> Commands() const;
    Bytes Wire() const;                // every byte the library sent
    std::string ConsoleInput() const;  // bytes the boot ROM got that were no frame
    unsigned BaudRate() const;
    size_t GarbledBytes() const;       // bytes that came at a rate other than the chip's
    size_t HandshakeFrames() const;
    size_t EraseAlls() const;
    size_t Uploads() const;
    bool ResetSeen() const;
    bool HungUp() const;               // the library closed the port after talking (ReleaseSlave only)
    bool Stalled() const;              // the stalled data frame has come (or was to be sent)
    bool Gone() const;                 // the chip went away and hung the bench up

    // Waits until the condition holds for the chip; false when timeoutMs passed first.
    bool WaitUntil(const std::function<bool(const Qx71Chip&)>& condition, int timeoutMs) const;

private:
    static void* ThreadEntry(void* argument);
    void Loop();
    bool Serve(long long& lastBytes);
    template <typename Look>
    auto Locked(Look look) const -> decltype(look(std::declval<const Qx71Machine&>()));

    PtyBench& m_bench;
    pthread_t m_thread{};
    bool m_hasThread = false;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_gone{false};

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    Qx71Machine m_machine;
};

}  // namespace Sim

#endif
