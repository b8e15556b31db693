#ifndef VEXIL_LIBRARY_COMMON_H
#define VEXIL_LIBRARY_COMMON_H

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Burn.h"

// The callbacks registered last through RegisterCallback; null switches a channel off.
extern PrintCallback g_printInfo;
extern CancelQueryCallback g_isCancelled;
extern ProgressCallback g_setProgress;

namespace Common {

enum INFO_TYPE {
    INFO_MESSAGE = 0,
    INFO_DEBUG = 1,
};

// Frame bytes of the serial protocols.
constexpr unsigned int ACK = 0xAA;
constexpr unsigned int NAK = 0x55;
constexpr unsigned int NACK = 0xA5;
constexpr unsigned int XCMD = 0xAB;
constexpr unsigned int XKEY = 0xCD;
constexpr unsigned int XACK = 0xCB;
constexpr unsigned int XDATA = 0xDA;
constexpr unsigned int UDATA = 0xDA;
constexpr unsigned int XHEAD = 0xFE;
constexpr unsigned int XSTART = 0xFE;
constexpr unsigned int UHEAD = 0xFE;
constexpr unsigned int XTAIL = 0xED;
constexpr unsigned int ESCAPE_CHAR = 0x5C;
constexpr unsigned int HEAD_FLAG = 0x735C;
constexpr unsigned int TAIL_FLAG = 0x655C;

// Time-outs in milliseconds.
constexpr unsigned int FRAME_TIMEOUT = 500;
constexpr unsigned int TOTAL_TIMEOUT = 30000;
constexpr unsigned int SERIAL_WRITE_TIMEOUT = 6000;

// Sizes.
constexpr unsigned int PER_PACKET_SIZE = 4096;
constexpr unsigned int MAX_DATA_FRAME_LEN = 1024;
constexpr unsigned int MAX_CMD_LENGTH = 128;
constexpr unsigned int UART_ENUM_MAX_NUM = 100;
constexpr unsigned int UART_NAME_LEN = 32;
constexpr unsigned int FORMAT_BUFFER_LEN = 4096;

extern const std::array<uint16_t, 256> CRC_TABLE;

// What a transport's Open needs; the serial transport reads only the path and the baud rate.
struct TRANSPORT_MODE_ATTR_U {
    char portName[UART_NAME_LEN];
    unsigned int baudRate;
    int stopBits;
    int parity;
};

// The 12 bytes that open every firmware package.
struct FwpkgHead {
    uint32_t flag;
    uint16_t crc;
    uint16_t count;
    uint32_t totalLen;
};

constexpr uint32_t FWPKG_COMPACT_FLAG = 0xEFBEADDF;
constexpr uint32_t FWPKG_EXTENDED_FLAG_FIRST = 0xEFBEADD0;
constexpr uint32_t FWPKG_EXTENDED_FLAG_SPAN = 14;
constexpr unsigned int FWPKG_HEAD_LEN = 12;
constexpr unsigned int FWPKG_COMPACT_ENTRY_LEN = 52;
constexpr unsigned int FWPKG_VERSION_LEN = 260;
constexpr unsigned int FWPKG_EXTENDED_TABLE_START = FWPKG_HEAD_LEN + FWPKG_VERSION_LEN;
constexpr unsigned int FWPKG_EXTENDED_NAME_LEN = 260;
constexpr unsigned int FWPKG_EXTENDED_ENTRY_LEN = 280;
constexpr unsigned int FWPKG_MAX_IMAGES = 255;
constexpr unsigned int FILE_NAME_LEN = 32;

// One image of a package, as a compact-layout entry lays it out.
struct FileHead {
    char fileName[FILE_NAME_LEN];
    uint32_t offset;
    uint32_t length;
    uint32_t burnAddr;
    uint32_t burnSize;
    uint32_t type;
};
static_assert(sizeof(FileHead) == FWPKG_COMPACT_ENTRY_LEN, "FileHead must match a compact entry");

// Image types of a package entry that the chip drivers treat apart.
constexpr uint32_t IMAGE_TYPE_LOADER = 0;
constexpr uint32_t IMAGE_TYPE_FLASH = 1;
constexpr uint32_t IMAGE_TYPE_NV = 2;
constexpr uint32_t IMAGE_TYPE_OTP = 3;
constexpr uint32_t IMAGE_TYPE_EFUSE = 4;
constexpr uint32_t IMAGE_TYPE_FACTORY = 6;
constexpr uint32_t IMAGE_TYPE_VERSION = 7;
constexpr uint32_t IMAGE_TYPE_FLASH_MODE_TWO = 14;
constexpr uint32_t IMAGE_TYPE_FLASH_MODE_THREE = 15;
constexpr uint32_t IMAGE_TYPE_NEVER_SENT = 16;

void Print(const char* text, const char* debugText, long long handle, const char* tag);
// A text as it stands, in the message argument.
void PrintPlain(const char* text, long long handle = 0);
void PrintInfo(long long handle, INFO_TYPE kind, const char* format, ...) __attribute__((format(printf, 3, 4)));
bool Cancelled();

// Milliseconds of a monotonic clock: only differences are meaningful.
long long GetTime();
// Microseconds of the same clock, for waits that must not end before a device's time.
long long GetTimeUs();
void DelayUs(double microseconds);
// Lets in-process tests run the library's time limits on a virtual clock; null members keep the real one.
// A clock of whole milliseconds gives GetTimeUs in whole milliseconds; one of microseconds gives both.
struct Clock {
    long long (*nowMs)() = nullptr;
    void (*delayUs)(double microseconds) = nullptr;
    long long (*nowUs)() = nullptr;
};
void OverrideClock(const Clock& clock);
void PrintSendRecv(int direction, const unsigned char* bytes, int count);

int fopen_s(FILE** stream, const char* path, const char* mode);
void CloseFile(FILE*& stream);
// Opens a file to write a read into, emptied, as fopen_s with "wb" does; null when it cannot be opened.
// A write waits for room (in a FIFO or pipe whose reader is slow) only until cancelled says to stop, so
// that a reader that takes nothing cannot hold the caller past a cancel: the write then fails.
FILE* OpenOutputFile(const char* path, const std::function<bool()>& cancelled);

// Files are read in pieces of this size, with the cancel query asked between them: a read of a large
// file from a slow medium then stops within a piece's time of a cancel, and a fast disk reads at its speed.
constexpr size_t READ_PIECE_SIZE = 1024 * 1024;
enum class PieceRead { DONE, FAILED, CANCELLED };
// Reads length bytes from the stream's position into data: FAILED on a short read, CANCELLED once
// cancelled says to stop.
PieceRead ReadInPieces(FILE* file, unsigned char* data, size_t length, const std::function<bool()>& cancelled);
// Owned file contents, null when they cannot be read whole or cancelled stopped the read (that without a
// line of its own); a chip hands its own cancel check, others the registered cancel query. GetFileData's
// buffer carries PER_PACKET_SIZE spare bytes after the data.
std::unique_ptr<unsigned char[]> GetFileData(const std::string& path, unsigned long& length, long long handle,
                                             const std::function<bool()>& cancelled = Cancelled);
std::unique_ptr<unsigned char[]> GetPartFileData(const std::string& path, long long handle, unsigned long offset,
                                                 unsigned long length,
                                                 const std::function<bool()>& cancelled = Cancelled);
long long GetBigFileLen(const std::string& path);

std::string GetFileName(const std::string& path);
// The text with every control replaced by '?': bytes below 0x20, 0x7F, and the C1 controls U+0080 to
// U+009F, whether as UTF-8 (C2 80 to C2 9F) or as a byte 0x80 to 0x9F outside a well-formed UTF-8
// sequence. Other UTF-8 text and other bytes stay. Names, paths, settings and the texts of devices and
// chips come from outside the tool, and must not move the cursor or recolour the terminal they are
// printed on.
std::string Printable(const std::string& text);
// A chip's console text as Printable shows it, but for its line breaks ("\n" or "\r\n"), which stay as
// "\n": a boot log keeps its lines.
std::string PrintableLines(const std::string& text);
std::vector<std::string> Split(std::string text, char separator);
std::string FormatInfo(const char* format, ...) __attribute__((format(printf, 1, 2)));

void ConvertingUintToArrays(unsigned char* buffer, int bufferSize, unsigned int value, int& position);
int GetUartBaudRate(int baudRate);
std::vector<unsigned char> GetDouble5CFrameData(const unsigned char* data, unsigned long length);

unsigned int SopCrc16(const unsigned char* data, unsigned int length);
unsigned char CalculateCrc(const unsigned char* data, unsigned int length);
unsigned int CalcCheckSum8(const unsigned char* data, unsigned int length);

// Byte order of frame fields, the one home for every protocol.
uint16_t GetLe16(const unsigned char* bytes);
uint32_t GetLe32(const unsigned char* bytes);
uint16_t GetBe16(const unsigned char* bytes);
uint32_t GetBe32(const unsigned char* bytes);
void PutLe16(unsigned char* out, uint16_t value);
void PutLe32(unsigned char* out, uint32_t value);
void PutBe16(unsigned char* out, uint16_t value);
void PutBe32(unsigned char* out, uint32_t value);
// The CRC-16/XMODEM of the first coveredLength bytes, stored right behind them, high byte first (Be)
// or low byte first (Le).
void PutCrc16Be(unsigned char* frame, size_t coveredLength);
void PutCrc16Le(unsigned char* frame, size_t coveredLength);
bool Crc16BeMatches(const unsigned char* frame, size_t coveredLength);
bool Crc16LeMatches(const unsigned char* frame, size_t coveredLength);

bool ParseFwpkg(const unsigned char* data, unsigned long length, std::vector<FileHead>& images,
                std::string& version, std::string& error, bool checkCrc);

}  // namespace Common

#endif
