#ifndef VEXIL_TESTS_SIM_PTYBENCH_H
#define VEXIL_TESTS_SIM_PTYBENCH_H

#include <pthread.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Common.h"

// A pseudo-terminal pair on which a virtual chip stands in for a board: the library opens the slave
// path as its serial port, the bench works the master side.
namespace Sim {

using Bytes = std::vector<uint8_t>;

// Milliseconds of a monotonic clock, for the bench's own time limits.
long long NowMs();
// Milliseconds of CPU time the whole process has used, to show that a wait does not spin.
long long CpuMs();
// What a serial transport opens: the port at path, at the given rate.
Common::TRANSPORT_MODE_ATTR_U PortAttr(const std::string& path, unsigned baudRate = 115200);

class PtyBench {
public:
    // Called on the device thread with every chunk the library sent.
    using Responder = std::function<void(PtyBench& bench, const Bytes& chunk)>;

    PtyBench();
    ~PtyBench();
    PtyBench(const PtyBench&) = delete;
    PtyBench& operator=(const PtyBench&) = delete;

    bool IsOpen() const;
    const std::string& PortPath() const;
    // The bench's own descriptor of the slave side: it keeps the line alive between the library's
    // open and close, and shows the line settings the library applied.
    int SlaveFd() const;

    // Device to library. Writes give up after timeoutMs when the library does not read.
    bool Write(const Bytes& bytes, int timeoutMs = 5000);
    bool Write(const std::string& text);
    bool WriteSplit(const Bytes& bytes, size_t pieceSize, int gapMs);
    static void Delay(int ms);
    // Bytes that are neither an ack nor a nak nor a reply-frame flag.
    static Bytes Garbage(size_t count, uint32_t seed);

    // Library to device, while no device thread runs.
    Bytes ReadFor(int ms);
    Bytes ReadExactly(size_t count, int timeoutMs);
    // Waits at most timeoutMs for bytes and takes those that have arrived. After ReleaseSlave,
    // hungUp tells that no program holds the port open.
    Bytes ReadSome(int timeoutMs, bool* hungUp = nullptr);

    // Closes the bench's own descriptor of the slave side, so that the library's close shows as a
    // hang-up on the master side.
    void ReleaseSlave();
    // The speed the library set on its port, in baud; 0 when it is none of the usual ones.
    unsigned LineBaudRate() const;
    // The rate a chunk came at, from samples of the line before and after it was read: when the line
    // changed meanwhile (the library moving to the working rate after the chip's ack, or putting the
    // line back as it found it once its last bytes are out), the chunk came at the chip's rate if
    // either sample says so.
    static unsigned ChunkRate(unsigned before, unsigned after, unsigned chipRate);

    void StartDevice(Responder responder);
    void StopDevice();
    // Everything the device thread has read so far.
    Bytes Received() const;
    bool WaitForReceived(size_t count, int timeoutMs) const;

    // The device disappears: both of the bench's descriptors close.
    void HangUp();

private:
    static void* DeviceThreadEntry(void* argument);
    void DeviceLoop();
    bool WaitReadable(int timeoutMs) const;

    int m_master = -1;
    int m_slave = -1;
    std::string m_portPath;
    int m_wakePipe[2] = {-1, -1};
    pthread_t m_thread{};
    bool m_hasThread = false;
    Responder m_responder;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_arrived;
    Bytes m_received;
};

// Answers the library frame by frame: split decides the length of the next whole frame in the
// pending bytes (0 while it is incomplete), answer runs for each frame with its index from 0.
class FramedResponder {
public:
    using Splitter = std::function<size_t(const Bytes& pending)>;
    using Answer = std::function<void(PtyBench& bench, const Bytes& frame, size_t index)>;

    FramedResponder(Splitter split, Answer answer);
    static Splitter FixedLength(size_t length);
    PtyBench::Responder AsResponder();
    std::vector<Bytes> Frames() const;

private:
    struct State {
        Splitter split;
        Answer answer;
        Bytes pending;
        std::vector<Bytes> frames;
        mutable std::mutex mutex;
    };
    std::shared_ptr<State> m_state;
};

// A scripted chip: the n-th frame gets the n-th answer; frames after the script get the last one.
class Script {
public:
    using Step = std::function<void(PtyBench& bench, const Bytes& frame)>;

    Script& Then(Step step);
    FramedResponder::Answer AsAnswer() const;

    static Step Reply(const Bytes& bytes);
    static Step Silence();
    static Step Ack();
    static Step Nak();
    static Step ReplySplit(const Bytes& bytes, size_t pieceSize, int gapMs);
    static Step DelayThen(int ms, Step step);

private:
    std::vector<Step> m_steps;
};

}  // namespace Sim

#endif
