#ifndef VEXIL_TESTS_SIM_QX71CHIP_H
#define VEXIL_TESTS_SIM_QX71CHIP_H

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "PtyBench.h"

// A Qx71-family chip on the pty bench: a boot ROM that answers the handshake and takes the rate it
// names, and a loader that takes command frames, receives images by YMODEM into a flash map, erases
// it, sends it back by YMODEM and reboots on the reset frame. Bytes the library sends at a rate
// other than the chip's own are lost, as on a real line.
namespace Sim {

enum class Qx71Variant { Qx71, Kp7715 };

// What the chip does wrong when told to; indices count from 0 in the order things arrive.
struct Qx71Faults {
    bool silent = false;             // counts the handshake frames and answers none
    int ignoredHandshakes = 0;       // handshake frames passed over before the first answer
    int refusedHandshakes = 0;       // then this many answered with a negative ack
    int refusedCommand = -1;         // the command frame (handshakes not counted) refused
    uint8_t unansweredCommand = 0;   // the command byte of frames left without an answer
    int refusedImage = -1;           // the image (the loader is 0) whose closing ack is negative
    bool noImageAck = false;         // no ack at all after an image
    std::string consoleText;         // written before every ack frame
    int askAgainFrame = -1;          // the data frame answered once with 'C' instead of ACK
    int damagedFrame = -1;           // the data frame that loses bytes on the line once
    size_t lostBytes = 16;
    int corruptUploadFrame = -1;     // the data frame of an upload first sent with a bad CRC
    int stalledDataFrame = -1;       // from this data frame on (of the images, or of an upload) the chip is mute
};

// One file the chip received by YMODEM.
struct Qx71Image {
    uint8_t command = 0;             // the command frame that announced it; 0 for the loader
    bool hasAddress = false;         // flash image, NV/KV and factory frames carry a burn address
    uint32_t address = 0;
    uint32_t announcedLength = 0;    // as the command frame gave it
    uint32_t eraseSize = 0;
    uint8_t mode = 0;
    std::string name;                // from block 0
    uint64_t size = 0;               // from block 0
    Bytes data;
    std::set<size_t> frameSizes;     // data bytes per frame, from the start bytes
    unsigned baudRate = 0;           // the chip's rate while it received the image
    bool complete = false;           // every byte arrived and the closing block 0 ended it
};

struct Qx71CommandFrame {
    Bytes bytes;
    unsigned baudRate = 0;           // the chip's rate when the frame arrived
};

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

    // Waits until the condition holds for the chip; false when timeoutMs passed first.
    bool WaitUntil(const std::function<bool(const Qx71Chip&)>& condition, int timeoutMs) const;

private:
    enum class Stage { BOOT_ROM, RECEIVING, COMMANDS, UPLOADING };
    enum class YmodemStep { BLOCK_ZERO, DATA, CLOSING };
    enum class UploadStep { WANT_C_BLOCK_ZERO, WANT_ACK_BLOCK_ZERO, WANT_C_DATA, DATA, WANT_ACK_EOT, WANT_C_CLOSING,
                            WANT_ACK_CLOSING };

    template <typename Value>
    Value Locked(const Value& member) const;
    static void* ThreadEntry(void* argument);
    void Loop();
    void OnBytes(const Bytes& chunk);
    void OnQuiet();
    void Process();
    bool ProcessBootRom();
    bool ProcessCommands();
    bool ProcessReceiving();
    bool ProcessUploading();
    void OnHandshake(const Bytes& frame);
    void OnCommand(const Bytes& frame);
    void OnFileCommand(const Bytes& frame);
    bool EraseSizeAccepted(uint32_t eraseSize) const;
    bool TakeYmodemFrame(Bytes& frame);
    void OnBlockZero(const Bytes& frame);
    void OnDataFrame(const Bytes& frame);
    void OnClosingBlock(const Bytes& frame);
    void FinishImage();
    void StartUpload(uint32_t address, uint32_t length);
    void SendUploadFrame(bool damaged);
    void AskAgain();
    void Answer(uint8_t command, bool positive, const Bytes& after = {});
    void Write(const Bytes& bytes);
    void Notify();

    PtyBench& m_bench;
    Qx71Variant m_variant;
    Qx71Faults m_faults;
    pthread_t m_thread{};
    bool m_hasThread = false;
    std::atomic<bool> m_stop{false};

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    Stage m_stage = Stage::BOOT_ROM;
    unsigned m_baudRate = 115200;
    Bytes m_pending;
    Bytes m_wire;
    std::string m_consoleInput;
    size_t m_garbled = 0;
    size_t m_handshakes = 0;
    size_t m_commands = 0;
    size_t m_dataFrames = 0;
    size_t m_eraseAlls = 0;
    size_t m_uploads = 0;
    bool m_resetSeen = false;
    bool m_hungUp = false;
    bool m_stalled = false;
    bool m_damageDone = false;
    bool m_askAgainDone = false;
    bool m_loaderAllowed = false;   // right after the handshake the loader may come, or commands
    std::map<uint32_t, Bytes> m_flash;
    std::vector<Qx71Image> m_images;
    std::vector<Qx71CommandFrame> m_commandFrames;

    // The file being received.
    Qx71Image m_current;
    YmodemStep m_ymodemStep = YmodemStep::BLOCK_ZERO;
    uint8_t m_expectedNumber = 1;

    // The flash being sent back.
    Bytes m_uploadData;
    UploadStep m_uploadStep = UploadStep::WANT_C_BLOCK_ZERO;
    size_t m_uploadFrame = 0;
    bool m_uploadCorrupted = false;
};

}  // namespace Sim

#endif
