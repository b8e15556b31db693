#ifndef VEXIL_TESTS_SIM_QX71MACHINE_H
#define VEXIL_TESTS_SIM_QX71MACHINE_H

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "PtyBench.h"
#include "Qx71Wire.h"

// The state machine of a Qx71-family chip, apart from how bytes reach it: a boot ROM that answers the
// handshake and takes the rate it names, and a loader that takes command frames, receives images by
// YMODEM into a flash map, erases it, sends it back by YMODEM and reboots on the reset frame. Bytes the
// library sends at a rate other than the chip's own are lost, as on a real line. Not thread-safe: the
// face that serves it (a pty thread, an in-process port) keeps it to one thread at a time.
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
    int silentAfterImage = -1;       // after this image the chip says nothing more
    size_t floodBeforeImageAck = 0;  // bytes of console log written before each image ack
    int damagedImageAck = -1;        // the image whose ack comes with a broken CRC
    long long goneAfterBytes = -1;   // the device goes away once this many bytes have come (-1: never)
    long long stopReadingAfterBytes = -1;  // the chip stops taking bytes after this many (-1: never)
    bool norFlash = false;           // erasing sets 0xFF, writing only clears bits
    int stalledDataFrame = -1;       // from this data frame on (of the images, or of an upload) the chip is mute
    int goneAtUploadFrame = -1;      // the device goes away instead of sending this data frame of an upload
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

class Qx71Machine {
public:
    using Sink = std::function<void(const Bytes&)>;

    Qx71Machine(Qx71Variant variant, Qx71Faults faults);

    // Where the chip's answers go.
    void SetSink(Sink sink);
    // Bytes from the library, on a line set to lineBaudRate.
    void OnBytes(const Bytes& chunk, unsigned lineBaudRate);
    // The line has been quiet a while: a frame that stopped short is asked for again.
    void OnQuiet();
    // The library closed the port.
    void OnHungUp();
    bool StopsReading() const;
    bool GoneAway() const;
    const Qx71Faults& Faults() const { return m_faults; }

    void Preload(uint32_t address, const Bytes& data);
    void PowerCycle();
    // The chip stalled in an upload goes on with the frame it held back.
    void ResumeUpload();

    const std::map<uint32_t, Bytes>& FlashMap() const { return m_flash; }
    Bytes ReadFlash(uint32_t address, size_t length) const;
    const std::vector<Qx71Image>& Images() const { return m_images; }
    const std::vector<Qx71CommandFrame>& CommandFrames() const { return m_commandFrames; }
    std::vector<Qx71CommandFrame> Commands() const;
    const Bytes& Wire() const { return m_wire; }
    const std::string& ConsoleInput() const { return m_consoleInput; }
    unsigned BaudRate() const { return m_baudRate; }
    size_t GarbledBytes() const { return m_garbled; }
    size_t HandshakeFrames() const { return m_handshakes; }
    size_t EraseAlls() const { return m_eraseAlls; }
    size_t Uploads() const { return m_uploads; }
    bool ResetSeen() const { return m_resetSeen; }
    bool HungUp() const { return m_hungUp; }
    bool Stalled() const { return m_stalled; }

private:
    enum class Stage { BOOT_ROM, RECEIVING, COMMANDS, UPLOADING };
    enum class YmodemStep { BLOCK_ZERO, DATA, CLOSING };
    enum class UploadStep { WANT_C_BLOCK_ZERO, WANT_ACK_BLOCK_ZERO, WANT_C_DATA, DATA, WANT_ACK_EOT, WANT_C_CLOSING,
                            WANT_ACK_CLOSING };

    void Process();
    bool ProcessBootRom();
    bool ProcessCommands();
    bool ProcessReceiving();
    bool ProcessUploading();
    FrameScan TakeCommandFrame(Bytes& frame);
    void OnHandshake(const Bytes& frame);
    void OnCommand(const Bytes& frame);
    void OnFileCommand(const Bytes& frame);
    void StartReceiving(const Qx71Image& image);
    bool EraseSizeAccepted(uint32_t eraseSize) const;
    bool TakeYmodemFrame(Bytes& frame);
    void OnBlockZero(const Bytes& frame);
    void OnDataFrame(const Bytes& frame);
    void OnClosingBlock(const Bytes& frame);
    void FinishImage();
    void NorErase(uint32_t address, uint32_t size);
    void NorProgram(uint32_t address, const Bytes& data);
    void StartUpload(uint32_t address, uint32_t length);
    void SendUploadFrame(bool damaged);
    void SendFreshUploadFrame();
    void AskAgain();
    void Answer(uint8_t command, bool positive, const Bytes& after = {});
    void Write(const Bytes& bytes);

    Qx71Variant m_variant;
    Qx71Faults m_faults;
    Sink m_sink;
    bool m_mute = false;

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
    bool m_gone = false;
    bool m_damageDone = false;
    bool m_askAgainDone = false;
    bool m_loaderAllowed = false;   // right after the handshake the loader may come, or commands
    std::map<uint32_t, Bytes> m_flash;
    std::map<uint64_t, uint8_t> m_norCells;  // programmed bytes of a NOR flash; the rest read 0xFF
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
