#ifndef VEXIL_TESTS_SIM_TYPESIXCHIP_H
#define VEXIL_TESTS_SIM_TYPESIXCHIP_H

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "PtyBench.h"
#include "SimPort.h"

// A TypeSix chip: a boot ROM that prints its banner and takes an SSB page by page, the SSB code loader
// that it boots, which writes flash through the flashing frames and sends flash back on data
// requests. Frames are 0x5C 0x73, the frame with every 0x5C doubled, 0x5C 0x65; each is answered by
// a reply of the same form. An SSB whose image begins with SMALL_SSB_MARK is a small SSB: it prints
// the boot ROM's banner again and takes the next SSB. The reset frame restarts what runs, at 115200.
namespace Sim {

extern const char* const TYPESIX_ROM_BANNER;
extern const char* const TYPESIX_SSB_BANNER;
extern const char* const SMALL_SSB_MARK;

// What the chip does wrong when told to.
struct TypeSixFaults {
    bool silent = false;               // no banner, no reply, ever (the frames are still heard)
    bool badCheckByte = false;         // every reply carries a wrong check byte
    uint8_t refusedCommand = 0;        // frames of this command are answered with return code 0
    int refusals = -1;                 // how many of them (-1: all)
    uint8_t unansweredCommand = 0;     // frames of this command the SSB never answers (0: none)
    bool splitReplies = false;         // replies arrive in two pieces, cut inside a doubled 0x5C when there is one
    std::string noise;                 // console text before every reply
    long long goneAfterHostBytes = -1; // the chip goes away once it has got this many bytes
    size_t chatter = 0;                // bytes of log the boot ROM prints whenever the line is quiet
    long long answerAfterMs = 0;       // every answer comes this late; a frame sent again is answered again
    std::function<bool()> ssbStartsWhen;  // a booted SSB says nothing until this holds (empty: at once)
};

// One frame as it came over the line.
struct TypeSixFrameSeen {
    Bytes wire;           // with its marks, as sent
    Bytes frame;          // sequence byte to check byte, escapes undone
    unsigned baudRate = 0;
};

// The SSB the boot ROM received.
struct TypeSixBoot {
    std::vector<Bytes> pages;      // page frames whole
    Bytes image;                   // put together once the SHA frame gave the length
    bool pagesGood = false;        // every page in order with its check byte right after its data
    uint32_t announcedLength = 0;
    Bytes digest;
    Bytes keyStore;
    Bytes certificate;
    Bytes signature;
    bool started = false;          // the boot exit came
};

// One image written to flash.
struct TypeSixFlashImage {
    bool appRoad = false;          // bin head and SHA frame, else the flashing frames
    uint8_t kind = 0;              // partition byte of the flashing frames
    uint8_t binHeadType = 0;
    uint32_t address = 0;
    uint32_t length = 0;           // from the bin head or the memory configuration
    Bytes data;
    Bytes sha;
    uint32_t shaFileSize = 0;
    std::vector<size_t> packetFrameSizes;
    bool complete = false;
};

class TypeSixChip : public SimPortPeer {
public:
    explicit TypeSixChip(TypeSixFaults faults = {});

    // Bytes from the host; gives what the chip answers, in the pieces it writes them.
    std::vector<Bytes> TakeHostBytes(const Bytes& bytes, long long nowMs);
    // Time with nothing from the host: a waiting stage prints its banner every BANNER_PERIOD_MS.
    std::vector<Bytes> Idle(long long nowMs);
    void HostSpeed(unsigned baudRate) { m_hostBaudRate = baudRate; }
    void Preload(uint32_t address, const Bytes& data);
    bool Gone() const { return m_gone; }

    // SimPortPeer: serves the in-process port; the second piece of a split reply comes on the next wait.
    void OnHostBytes(SimPort& port, const Bytes& bytes) override;
    void OnIdle(SimPort& port, long long nowMs) override;
    void OnSpeed(unsigned baudRate) override { HostSpeed(baudRate); }

    const std::vector<TypeSixFrameSeen>& Frames() const { return m_frames; }
    std::vector<uint8_t> Commands() const;
    const std::vector<TypeSixBoot>& Boots() const { return m_boots; }
    const std::vector<TypeSixFlashImage>& Images() const { return m_images; }
    Bytes ReadFlash(uint32_t address, size_t length) const;
    unsigned BaudRate() const { return m_baudRate; }
    size_t Resets() const { return m_resets; }
    size_t EraseAlls() const { return m_eraseAlls; }
    bool SsbRunning() const { return m_stage == Stage::SSB; }

    static constexpr long long BANNER_PERIOD_MS = 100;

private:
    enum class Stage { BOOT_ROM, SSB };

    void OnFrame(const Bytes& wire, const Bytes& frame, std::vector<Bytes>& out);
    void Act(const Bytes& frame, std::vector<Bytes>& out);
    std::vector<Bytes> TakeDue(long long nowMs);
    void OnBootRomFrame(const Bytes& frame, std::vector<Bytes>& out);
    void OnSsbFrame(const Bytes& frame, std::vector<Bytes>& out);
    void FinishBootImage(TypeSixBoot& boot) const;
    void BootExit(std::vector<Bytes>& out);
    void Restart(std::vector<Bytes>& out);
    void Reply(const Bytes& frame, std::vector<Bytes>& out, const Bytes& extra = {}, bool refuse = false);
    void Banner(std::vector<Bytes>& out);
    TypeSixFlashImage& Current();

    TypeSixFaults m_faults;
    Stage m_stage = Stage::BOOT_ROM;
    bool m_smallSsbRunning = false;
    bool m_ssbErasePending = false;
    unsigned m_baudRate = 115200;
    unsigned m_hostBaudRate = 115200;
    long long m_lastActivityMs = -BANNER_PERIOD_MS;
    long long m_hostBytes = 0;
    bool m_gone = false;
    int m_refusalsLeft = -1;
    Bytes m_pending;
    std::vector<Bytes> m_later;  // reply pieces still to come on the in-process port
    std::deque<std::pair<long long, Bytes>> m_late;  // answers held back, with the time they go out
    std::vector<Bytes> m_lastAnswer;
    std::vector<TypeSixFrameSeen> m_frames;
    std::vector<TypeSixBoot> m_boots;
    std::vector<TypeSixFlashImage> m_images;
    std::map<uint32_t, Bytes> m_flash;
    size_t m_resets = 0;
    size_t m_eraseAlls = 0;
};

// The chip on a pty bench, on a thread of its own. With a line rate, every byte in either direction
// takes its time on the line (10 bits per byte), as on a real wire.
class TypeSixPtyChip {
public:
    TypeSixPtyChip(PtyBench& bench, TypeSixFaults faults = {}, unsigned lineBaudRate = 0);
    ~TypeSixPtyChip();
    TypeSixPtyChip(const TypeSixPtyChip&) = delete;
    TypeSixPtyChip& operator=(const TypeSixPtyChip&) = delete;

    void Start();
    void Stop();
    // Runs inspect on the chip under its lock.
    void Inspect(const std::function<void(const TypeSixChip&)>& inspect) const;
    bool WaitUntil(const std::function<bool(const TypeSixChip&)>& condition, int timeoutMs) const;
    bool HungUp() const;
    // Line time of every byte both ways, and the time from the first byte to the last reply, in ms.
    double WireMs() const;
    double BusyMs() const;

private:
    static void* ThreadEntry(void* argument);
    void Loop();
    void Write(const std::vector<Bytes>& pieces);
    void Pace(size_t bytes);

    PtyBench& m_bench;
    unsigned m_lineBaudRate;
    TypeSixChip m_chip;
    pthread_t m_thread{};
    bool m_hasThread = false;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    bool m_hungUp = false;
    bool m_talked = false;
    double m_lineFreeAtMs = 0;
    double m_wireMs = 0;
    double m_firstByteMs = -1;
    double m_lastReplyMs = 0;
};

}  // namespace Sim

#endif
