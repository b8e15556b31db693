#ifndef VEXIL_LIBRARY_TYPESIXSERCUSPRO_H
#define VEXIL_LIBRARY_TYPESIXSERCUSPRO_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "Common.h"
#include "TransportProtocolBase.h"

namespace TypeSixSerCusProSp {

// The flash road of a TypeSix chip once its SSB code loader runs: every frame but the reset and the
// data requests goes through the chip driver's SendFrame, which waits for the chip's good reply.
class TypeSixSerCusPro : public TransportProtocolBase {
public:
    // How long each exchange may last, in milliseconds.
    struct TimeLimits {
        unsigned long initTryMs = 150;
        unsigned long frameTryMs = Common::FRAME_TIMEOUT;
        unsigned long frameOverallMs = Common::TOTAL_TIMEOUT;
        unsigned long binHeadTryMs = 30000;
        unsigned long binHeadOverallMs = 60000;
        long long eraseCoreUnitMs = 30000;  // per whole 2 MiB of the partition, at least once
        long long dataRequestTryMs = 1000;
        long long dataRequestOverallMs = 30000;
    };

    // What ParseRecvDataAndWriteFile decided.
    enum DataVerdict { DATA_FATAL = 0, DATA_DONE = 1, DATA_WAIT = 2 };

    explicit TypeSixSerCusPro(BurnChipBase* chip);
    ~TypeSixSerCusPro() override = default;

    bool DownloadFile(const char* fileSpec, unsigned long addr, unsigned long len) override;
    bool DownloadData(unsigned char* data, unsigned long len, unsigned long addr, unsigned long size) override;
    bool UploadFile(const char* path, int len, unsigned long addr) override;

    int StartDownloadFile(const char* fileSpec, unsigned long addr, unsigned long len);
    int DownloadAppFile(const unsigned char* data, unsigned long dataLen, unsigned long size);
    int DownloadOtherFile(const unsigned char* data, const std::string& path, unsigned long dataLen,
                          unsigned long addr, unsigned long len);
    int PreparingForDownload(unsigned long size);
    int ReadyAndSetSpeed();
    int Ready();
    int SendFile(const std::string& path);
    int SendFileData(const unsigned char* data, unsigned long len, unsigned long total, unsigned long& sent);
    int SendData(const unsigned char* data, unsigned long len, bool last);

    int Init();
    int SetSpeed();
    int SetFlashLimits();
    int EraseCore(unsigned long size);
    int StartFlashing();
    int EndFlashingPage();
    int SetMemoryConfig(unsigned long imageLength);
    int SendAppShaData();
    int SetKvKey();
    int WriteBinHead(unsigned long addr, unsigned long len);
    int SendShaData(unsigned long addr, unsigned long fileSize);
    int Reset();

    int RecvDataAndWriteFile(unsigned long addr, unsigned int count, FILE* file);
    int ParseRecvDataAndWriteFile(const unsigned char* data, unsigned long held, unsigned int count,
                                  FILE* file) const;
    bool ParseRecvDataFrame(std::vector<unsigned char>& frame, const unsigned char* data, unsigned long held) const;

    // Builds the data request for count bytes at addr, with the next sequence byte, into a buffer of
    // DATA_REQUEST_LENGTH bytes.
    static constexpr size_t DATA_REQUEST_LENGTH = 11;
    void InitDataRequestFrame(unsigned char* buffer, unsigned int count, unsigned long addr);

    void SetTimeLimits(const TimeLimits& limits) { m_limits = limits; }

private:
    unsigned char NextSeq();
    unsigned char KindByte() const;
    int Exchange(unsigned char command, const std::vector<unsigned char>& payload, unsigned long perTryMs,
                 unsigned long overallMs);
    bool Step(bool done, const char* failure) const;
    bool LoadShaFile(const std::string& path);
    bool ReadBlocksInto(FILE* file, unsigned long addr, unsigned long total);

    TimeLimits m_limits;
    uint32_t m_frameSeq = 0;
    std::vector<unsigned char> m_shaFile;  // the companion file of one download
};

}  // namespace TypeSixSerCusProSp

#endif
