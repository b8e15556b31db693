#ifndef VEXIL_LIBRARY_BURNTYPESIXCHIP_H
#define VEXIL_LIBRARY_BURNTYPESIXCHIP_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BurnChipBase.h"
#include "Common.h"

namespace BurnTypeSixChipSp {

// On the wire a frame stands between 0x5C 0x73 and 0x5C 0x65, every 0x5C inside it doubled.
constexpr unsigned char ESCAPE = Common::ESCAPE_CHAR;
constexpr unsigned char START_MARK = Common::HEAD_FLAG >> 8;
constexpr unsigned char END_MARK = Common::TAIL_FLAG >> 8;
// A reply: sequence byte, REPLY_TYPE, the command answered, its return code, any data, check byte.
constexpr unsigned char REPLY_TYPE = 0x02;
constexpr unsigned char RETURN_SUCCESS = 0x01;
// What the SSB code loader prints while it waits.
extern const char* const SSB_BANNER;

// Undoes the escape of what came over the line, read in pieces cut anywhere, and gives each frame that
// came in whole. Inside a frame a 0x5C and the byte after it go together, so a doubled 0x5C is one
// byte; between frames, where a console prints unescaped text, only 0x5C 0x73 means anything. A start
// mark begins a frame anew, dropping a frame begun before; an end mark outside a frame is passed over.
class EscapedFrameScanner {
public:
    // True when byte ended a frame.
    bool Feed(unsigned char byte);
    // The first frame that comes in whole in data; false when none does.
    static bool FirstFrame(const unsigned char* data, unsigned long length, std::vector<unsigned char>& frame);

private:
    bool m_afterEscape = false;
    bool m_inFrame = false;
    std::vector<unsigned char> m_frame;
};

// A TypeSix frame: sequence byte, command, payload, then the XOR of all of them.
std::vector<unsigned char> BuildFrame(unsigned char seq, unsigned char command,
                                      const std::vector<unsigned char>& payload = {});
// 0x5C 0x73, the frame as it is, 0x5C 0x65: the exit frames go out so, without a reply.
std::vector<unsigned char> RawFrame(const std::vector<unsigned char>& frame);
// Sends the reset frame, which the chip does not answer, and takes the port back to the boot ROM's rate.
bool SendResetFrame(BurnChipBase& chip, unsigned char seq);
// A file is read in pieces of at most this many bytes.
constexpr long long FILE_PIECE_LIMIT = 134217728;
// A per-packet size must leave a whole packet inside the 128 MiB a file is read in; reports when not.
bool PacketSizeUsable(int perPacketSize);
// Sends an escaped frame and collects what comes back until judge, given the whole area after each read
// that brought bytes, is done or has failed; what arrived before is dropped, so that a late reply to an
// earlier frame cannot pass for this one's. The frame goes again when a try of perTryMs passes without
// either or when a flood without a reply fills the area; a try runs its whole time once begun, and a new
// one begins only inside overallMs (TIMED_OUT after). A frame sent more than once and answered waits for
// the answers to its other sendings before it ends, until its last sending plus the longest time an
// answer took plus a try. Ends too on a cancel or when the device has gone.
WaitTime::Outcome ExchangeEscaped(BurnChipBase& chip, const std::vector<unsigned char>& escaped, long long perTryMs,
                                  long long overallMs,
                                  const std::function<WaitTime::Step(const std::vector<unsigned char>& area)>& judge);
// Collects what the chip prints, unprintable bytes as blanks, and lets judge decide after each read; the
// text judged is the new read behind the last characters of the earlier ones that may still begin a
// banner. Ends when judge does, when the chip's handshake time-out passes, on a cancel or when the device
// has gone.
WaitTime::Outcome WatchConsole(BurnChipBase& chip, const std::function<WaitTime::Step(std::string& text)>& judge);

// The driver of a TypeSix boot ROM: escaped frames answered by escaped replies, the SSB booted page by
// page, and the flash written through the TypeSix protocol once the SSB runs.
class BurnTypeSixChip : public BurnChipBase {
public:
    // How long each exchange may last, in milliseconds.
    struct TimeLimits {
        unsigned long frameTryMs = Common::FRAME_TIMEOUT;
        unsigned long frameOverallMs = Common::TOTAL_TIMEOUT;
        unsigned long eraseSsbTryMs = 2000;
        unsigned long eraseAllTryMs = 180000;
        unsigned long eraseAllOverallMs = 300000;
    };

    // One package image burnt through the protocol.
    struct PartitionItem {
        std::string name;
        uint64_t length = 0;
        uint32_t type = 0;
        uint64_t burnAddr = 0;
        uint64_t burnSize = 0;
        unsigned char* data = nullptr;
    };

    // A reply of the chip as CheckRecvData judges it.
    enum ReplyVerdict { REPLY_BAD = 0, REPLY_GOOD = 1, REPLY_INCOMPLETE = 2 };

    BurnTypeSixChip() = default;
    ~BurnTypeSixChip() override;

    bool ShakeHand() override;
    bool EraseAllFlash() override;
    bool FilePrepare(const std::string& spec) override;
    bool InitBoard() override;
    bool DownloadBootData() override;
    bool DownloadAllinoneBin(const char* path, unsigned long address) override;
    bool SendFrame(unsigned char* frame, unsigned long length, unsigned long perTryMs, unsigned long overallMs,
                   bool flag) override;
    bool Reset() override;
    void SetOnlyBurnNames(const std::vector<std::string>& names) override;
    std::vector<std::string> GetOnlyBurnNames() const override;

    int CheckRecvData(const unsigned char* data, unsigned long length) const;
    bool WaitSsbRunning();
    bool EraseSsb();
    bool FsbWritePage(const unsigned char* data, unsigned long length);
    bool SendSsbData(unsigned short pageIndex, const unsigned char* data, unsigned long length, bool last);
    bool SendShaData(const unsigned char* digest, unsigned long digestLength, unsigned long imageLength);
    bool SendKeyStoreData();
    bool SendCertificateData();
    bool SendSignatureData();
    bool SendExitFrame();
    bool DownloadSsb();

    // The package road.
    bool ParseFile(const char* path);
    bool DownloadSmallSsb();
    bool InitShaData(TransportProtocolBase& protocol, const std::string& imageName);

    void SetTimeLimits(const TimeLimits& limits) { m_limits = limits; }
    const TimeLimits& GetTimeLimits() const { return m_limits; }

private:
    struct ImageRef {
        const unsigned char* data = nullptr;
        unsigned long length = 0;
    };
    unsigned char NextSeq();
    bool SendOwnFrame(const std::vector<unsigned char>& frame, unsigned long perTryMs, unsigned long overallMs);
    bool SendOwnFrame(const std::vector<unsigned char>& frame);
    bool SendInitFrame();
    bool SendSecurityFile(unsigned char command, std::vector<unsigned char> head, const unsigned char* data,
                          unsigned long length);
    bool WriteRaw(const std::vector<unsigned char>& bytes);
    bool ShakeHandAndInit();
    bool ReadBootFile(const std::string& path, std::unique_ptr<unsigned char[]>& buffer, unsigned long& length,
                      const char* failure);
    bool BurnPartitions();
    bool BurnPartition(const PartitionItem& partition);

    TimeLimits m_limits;
    std::unique_ptr<unsigned char[]> m_packageData;
    unsigned long m_packageLength = 0;
    std::unique_ptr<unsigned char[]> m_ssbFileData;
    std::unique_ptr<unsigned char[]> m_shaFileData;
    ImageRef m_ssb;
    ImageRef m_ssbSha;
    ImageRef m_smallSsb;
    ImageRef m_smallSsbSha;
    std::unique_ptr<unsigned char[]> m_keyStore;
    unsigned long m_keyStoreLength = 0;
    std::unique_ptr<unsigned char[]> m_certificate;
    unsigned long m_certificateLength = 0;
    std::unique_ptr<unsigned char[]> m_signature;
    unsigned long m_signatureLength = 0;
    uint32_t m_frameSeq = 0;
    std::vector<PartitionItem> m_partitions;
};

}  // namespace BurnTypeSixChipSp

#endif
