#include "Common.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "securec.h"

namespace Common {

namespace {

constexpr unsigned char FIRST_PRINTABLE = 0x20;
constexpr unsigned char DELETE = 0x7F;
constexpr unsigned char C1_FIRST = 0x80;
constexpr unsigned char C1_LAST = 0x9F;
constexpr unsigned char C1_LEAD = 0xC2;  // U+0080..U+009F in UTF-8 are C2 80..C2 9F
constexpr unsigned char CONTINUATION_FIRST = 0x80;
constexpr unsigned char CONTINUATION_LAST = 0xBF;

// A byte a terminal may take as a command when it stands alone: C0, DEL, and C1 as an 8-bit code.
bool IsControl(unsigned char byte)
{
    return byte < FIRST_PRINTABLE || byte == DELETE || (byte >= C1_FIRST && byte <= C1_LAST);
}

bool Within(const std::string& text, size_t at, unsigned char low, unsigned char high)
{
    if (at >= text.size()) {
        return false;
    }
    unsigned char byte = static_cast<unsigned char>(text[at]);
    return byte >= low && byte <= high;
}

// The length of the well-formed UTF-8 sequence of two to four bytes that starts at the byte, or 0 when
// none starts there (an ASCII byte, a stray continuation byte, an overlong form, a surrogate, a code
// point past U+10FFFF, or a sequence cut short).
size_t Utf8SequenceLength(const std::string& text, size_t at)
{
    struct Lead {
        unsigned char first;
        unsigned char last;
        unsigned char secondLow;
        unsigned char secondHigh;
        size_t length;
    };
    static constexpr Lead LEADS[] = {
        {0xC2, 0xDF, 0x80, 0xBF, 2}, {0xE0, 0xE0, 0xA0, 0xBF, 3}, {0xE1, 0xEC, 0x80, 0xBF, 3},
        {0xED, 0xED, 0x80, 0x9F, 3}, {0xEE, 0xEF, 0x80, 0xBF, 3}, {0xF0, 0xF0, 0x90, 0xBF, 4},
        {0xF1, 0xF3, 0x80, 0xBF, 4}, {0xF4, 0xF4, 0x80, 0x8F, 4},
    };
    for (const Lead& lead : LEADS) {
        if (!Within(text, at, lead.first, lead.last)) {
            continue;
        }
        if (!Within(text, at + 1, lead.secondLow, lead.secondHigh)) {
            return 0;
        }
        for (size_t next = at + 2; next < at + lead.length; ++next) {
            if (!Within(text, next, CONTINUATION_FIRST, CONTINUATION_LAST)) {
                return 0;
            }
        }
        return lead.length;
    }
    return 0;
}

constexpr std::array<uint16_t, 256> BuildCrcTable()
{
    std::array<uint16_t, 256> table = {};
    for (unsigned int index = 0; index < table.size(); ++index) {
        unsigned int crc = index << 8;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) != 0 ? ((crc << 1) ^ 0x1021) : (crc << 1);
        }
        table[index] = static_cast<uint16_t>(crc & 0xFFFF);
    }
    return table;
}

}  // namespace

constexpr std::array<uint16_t, 256> CRC_TABLE = BuildCrcTable();
static_assert(CRC_TABLE[1] == 0x1021 && CRC_TABLE[255] == 0x1EF0, "CRC-16/XMODEM table");

void Print(const char* text, const char* debugText, long long handle, const char* tag)
{
    if (g_printInfo != nullptr) {
        g_printInfo(handle, tag, text, debugText, 0);
    }
}

void PrintPlain(const char* text, long long handle)
{
    Print(text, "", handle, "");
}

void PrintInfo(long long handle, INFO_TYPE kind, const char* format, ...)
{
    if (g_printInfo == nullptr) {
        return;
    }
    char text[FORMAT_BUFFER_LEN] = {0};
    va_list values;
    va_start(values, format);
    int written = vsprintf_s(text, sizeof(text), format, values);
    va_end(values);
    if (written < 0) {
        return;  // an over-long message is dropped whole rather than cut
    }
    if (kind == INFO_DEBUG) {
        g_printInfo(handle, "", "", text, 0);
    } else {
        g_printInfo(handle, "", text, "", 0);
    }
}

bool Cancelled()
{
    if (g_isCancelled == nullptr || g_isCancelled() == 0) {
        return false;
    }
    Print("user cancelled!\n", "", 0, "");
    return true;
}

namespace {
Clock g_clock;
}

void OverrideClock(const Clock& clock)
{
    g_clock = clock;
}

long long GetTime()
{
    if (g_clock.nowMs != nullptr) {
        return g_clock.nowMs();
    }
    return GetTimeUs() / 1000;
}

long long GetTimeUs()
{
    if (g_clock.nowUs != nullptr) {
        return g_clock.nowUs();
    }
    if (g_clock.nowMs != nullptr) {
        return g_clock.nowMs() * 1000;
    }
    // Monotonic, so that a wall clock stepped during a burn neither fires a time-out early nor stalls one.
    struct timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void DelayUs(double microseconds)
{
    if (g_clock.delayUs != nullptr) {
        g_clock.delayUs(microseconds);
        return;
    }
    usleep(static_cast<useconds_t>(microseconds));
}

void PrintSendRecv(int direction, const unsigned char* bytes, int count)
{
    (void)direction;
    (void)bytes;
    (void)count;
}

int fopen_s(FILE** stream, const char* path, const char* mode)
{
    *stream = std::fopen(path, mode);
    return 0;
}

void CloseFile(FILE*& stream)
{
    if (stream != nullptr) {
        std::fclose(stream);
        stream = nullptr;
    }
}

namespace {

// A wait for room ends as soon as there is some; the slice only bounds how late a cancel is seen.
constexpr int OUTPUT_ROOM_SLICE_MS = 100;
constexpr mode_t NEW_OUTPUT_MODE = 0666;

// An output opened without blocking: a write that finds no room waits for it here.
struct OutputFile {
    int descriptor;
    std::function<bool()> cancelled;
};

// Writes all of the data, or gives what went before a failed write or a cancel, which stdio then takes for
// a failed write. The cancel is asked only while there is no room, so that what has room is written.
ssize_t WriteOutput(void* cookie, const char* data, size_t length)
{
    OutputFile& file = *static_cast<OutputFile*>(cookie);
    size_t written = 0;
    while (written < length) {
        ssize_t done = write(file.descriptor, data + written, length - written);
        if (done > 0) {
            written += static_cast<size_t>(done);
        } else if (done == 0 || (errno != EAGAIN && errno != EINTR) || file.cancelled()) {
            break;
        } else {
            pollfd room = {file.descriptor, POLLOUT, 0};
            (void)poll(&room, 1, OUTPUT_ROOM_SLICE_MS);
        }
    }
    return static_cast<ssize_t>(written);
}

int CloseOutput(void* cookie)
{
    std::unique_ptr<OutputFile> file(static_cast<OutputFile*>(cookie));
    return close(file->descriptor);
}

}  // namespace

FILE* OpenOutputFile(const char* path, const std::function<bool()>& cancelled)
{
    int descriptor = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, NEW_OUTPUT_MODE);
    if (descriptor < 0) {
        return nullptr;
    }
    std::unique_ptr<OutputFile> file(new (std::nothrow) OutputFile{descriptor, cancelled});
    cookie_io_functions_t functions = {nullptr, WriteOutput, nullptr, CloseOutput};
    FILE* stream = file == nullptr ? nullptr : fopencookie(file.get(), "w", functions);
    if (stream == nullptr) {
        close(descriptor);
        return nullptr;
    }
    (void)file.release();  // the stream's close deletes it
    return stream;
}

namespace {

// Reads length bytes from the stream's position into a zeroed buffer with a packet of spare room
// behind them, so that a packet reader may run past the data; closes the stream on every road.
std::unique_ptr<unsigned char[]> ReadIntoPacketBuffer(FILE*& file, unsigned long length, long long handle,
                                                      const std::function<bool()>& cancelled)
{
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[length + PER_PACKET_SIZE]);
    if (buffer == nullptr) {
        CloseFile(file);
        PrintPlain("new file buffer failed\n", handle);
        return nullptr;
    }
    std::memset(buffer.get(), 0, length + PER_PACKET_SIZE);
    PieceRead read = ReadInPieces(file, buffer.get(), length, cancelled);
    if (read != PieceRead::DONE) {
        CloseFile(file);
        if (read == PieceRead::FAILED) {
            PrintPlain("fread failed\n", handle);
        }
        return nullptr;
    }
    int closed = std::fclose(file);
    file = nullptr;
    if (closed != 0) {
        PrintPlain("fclose failed.\n", handle);
        return nullptr;
    }
    return buffer;
}

// A device such as /dev/zero has no end and opening a FIFO waits for a writer: files are read whole
// only when they are regular files.
FILE* OpenRegularFile(const std::string& path, long long handle)
{
    FILE* file = nullptr;
    struct stat status = {};
    if (stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
        fopen_s(&file, path.c_str(), "rb");
    }
    if (file == nullptr) {
        PrintInfo(handle, INFO_MESSAGE, "fopen_s %s failed\n", Printable(path).c_str());
    }
    return file;
}

}  // namespace

PieceRead ReadInPieces(FILE* file, unsigned char* data, size_t length, const std::function<bool()>& cancelled)
{
    for (size_t done = 0; done < length;) {
        if (done > 0 && cancelled()) {
            return PieceRead::CANCELLED;
        }
        size_t piece = std::min(READ_PIECE_SIZE, length - done);
        if (std::fread(data + done, 1, piece, file) != piece) {
            return PieceRead::FAILED;
        }
        done += piece;
    }
    return PieceRead::DONE;
}

std::unique_ptr<unsigned char[]> GetFileData(const std::string& path, unsigned long& length, long long handle,
                                             const std::function<bool()>& cancelled)
{
    FILE* file = OpenRegularFile(path, handle);
    if (file == nullptr) {
        return nullptr;
    }
    if (fseeko(file, 0, SEEK_END) != 0) {
        CloseFile(file);
        PrintPlain("fseek failed\n", handle);
        return nullptr;
    }
    off_t size = ftello(file);
    if (size <= 0) {
        CloseFile(file);
        PrintPlain("ftell failed\n", handle);
        return nullptr;
    }
    unsigned long fileLength = static_cast<unsigned long>(size);
    std::rewind(file);
    std::unique_ptr<unsigned char[]> buffer = ReadIntoPacketBuffer(file, fileLength, handle, cancelled);
    if (buffer == nullptr) {
        return nullptr;
    }
    length = fileLength;
    return buffer;
}

std::unique_ptr<unsigned char[]> GetPartFileData(const std::string& path, long long handle, unsigned long offset,
                                                 unsigned long length, const std::function<bool()>& cancelled)
{
    FILE* file = OpenRegularFile(path, handle);
    if (file == nullptr) {
        return nullptr;
    }
    if (fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0) {
        CloseFile(file);
        PrintPlain("fseek failed\n", handle);
        return nullptr;
    }
    return ReadIntoPacketBuffer(file, length, handle, cancelled);
}

long long GetBigFileLen(const std::string& path)
{
    struct stat status = {};
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return 0;
    }
    return static_cast<long long>(status.st_size);
}

std::string GetFileName(const std::string& path)
{
    size_t cut = path.rfind('\\');
    if (cut == std::string::npos) {
        cut = path.rfind('/');
    }
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string Printable(const std::string& text)
{
    std::string shown;
    shown.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        unsigned char byte = static_cast<unsigned char>(text[at]);
        size_t length = Utf8SequenceLength(text, at);
        if (length == 0) {
            shown.push_back(IsControl(byte) ? '?' : text[at]);
            ++at;
            continue;
        }
        if (byte == C1_LEAD && Within(text, at + 1, C1_FIRST, C1_LAST)) {
            shown.push_back('?');
        } else {
            shown.append(text, at, length);
        }
        at += length;
    }
    return shown;
}

std::string PrintableLines(const std::string& text)
{
    std::string shown;
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        size_t lineEnd = end > start && text[end - 1] == '\r' ? end - 1 : end;
        shown += Printable(text.substr(start, lineEnd - start)) + '\n';
        start = end + 1;
    }
    return shown + Printable(text.substr(start));
}

std::vector<std::string> Split(std::string text, char separator)
{
    std::vector<std::string> pieces;
    if (text.find(separator) == std::string::npos) {
        return pieces;
    }
    text.push_back(separator);
    size_t start = 0;
    for (size_t cut = text.find(separator); cut != std::string::npos; cut = text.find(separator, start)) {
        pieces.push_back(text.substr(start, cut - start));
        start = cut + 1;
    }
    return pieces;
}

std::string FormatInfo(const char* format, ...)
{
    char text[FORMAT_BUFFER_LEN] = {0};
    va_list values;
    va_start(values, format);
    int written = vsprintf_s(text, sizeof(text), format, values);
    va_end(values);
    return written < 0 ? std::string() : std::string(text);
}

void ConvertingUintToArrays(unsigned char* buffer, int bufferSize, unsigned int value, int& position)
{
    if (static_cast<long long>(bufferSize) - position < 4) {
        Print("Converting uint to arrays failed.\n", "", 0, "");
        return;
    }
    for (int i = 0; i < 4; ++i) {
        buffer[position + i] = static_cast<unsigned char>((value >> (8 * i)) & 0xFF);
    }
    position += 4;
}

int GetUartBaudRate(int baudRate)
{
    switch (baudRate) {
        case 115200:
            return B115200;
        case 500000:
            return B500000;
        case 921600:
            return B921600;
        case 1000000:
            return B1000000;
        case 1500000:
            return B1500000;
        case 2000000:
            return B2000000;
        default:
            return -1;
    }
}

std::vector<unsigned char> GetDouble5CFrameData(const unsigned char* data, unsigned long length)
{
    std::vector<unsigned char> frame;
    frame.reserve(length + 4);
    frame.push_back(HEAD_FLAG & 0xFF);
    frame.push_back((HEAD_FLAG >> 8) & 0xFF);
    for (unsigned long i = 0; i < length; ++i) {
        frame.push_back(data[i]);
        if (data[i] == ESCAPE_CHAR) {
            frame.push_back(ESCAPE_CHAR);
        }
    }
    frame.push_back(TAIL_FLAG & 0xFF);
    frame.push_back((TAIL_FLAG >> 8) & 0xFF);
    return frame;
}

unsigned int SopCrc16(const unsigned char* data, unsigned int length)
{
    if (data == nullptr) {
        return 0;
    }
    unsigned int crc = 0;
    for (unsigned int i = 0; i < length; ++i) {
        crc = ((crc << 8) & 0xFFFF) ^ CRC_TABLE[((crc >> 8) ^ data[i]) & 0xFF];
    }
    return crc;
}

unsigned char CalculateCrc(const unsigned char* data, unsigned int length)
{
    unsigned char check = 0;
    for (unsigned int i = 0; i < length; ++i) {
        check ^= data[i];
    }
    return check;
}

unsigned int CalcCheckSum8(const unsigned char* data, unsigned int length)
{
    unsigned int sum = 0;
    for (unsigned int i = 0; i < length; ++i) {
        sum += data[i];
    }
    return sum;
}

namespace {

bool CrcMatches(const unsigned char* data, unsigned long tableEnd)
{
    unsigned int stored = GetLe16(data + 4);
    return SopCrc16(data + 6, static_cast<unsigned int>(tableEnd - 6)) == stored;
}

// Both layouts hold a name field followed by offset, length, burn address, burn size and type.
void ReadImageTable(const unsigned char* table, unsigned int count, unsigned int entryLen, unsigned int nameLen,
                    std::vector<FileHead>& images)
{
    images.reserve(count);
    for (unsigned int i = 0; i < count; ++i) {
        const unsigned char* entry = table + static_cast<size_t>(entryLen) * i;
        FileHead image = {};
        const char* name = reinterpret_cast<const char*>(entry);
        std::memcpy(image.fileName, name, strnlen(name, FILE_NAME_LEN - 1));
        const unsigned char* values = entry + nameLen;
        image.offset = GetLe32(values);
        image.length = GetLe32(values + 4);
        image.burnAddr = GetLe32(values + 8);
        image.burnSize = GetLe32(values + 12);
        image.type = GetLe32(values + 16);
        images.push_back(image);
    }
}

bool ParseCompactTable(const unsigned char* data, unsigned long length, std::vector<FileHead>& images,
                       std::string& error, bool checkCrc)
{
    unsigned int count = GetLe16(data + 6);
    if (count == 0 || count > FWPKG_MAX_IMAGES) {
        error = "invalid image count";
        return false;
    }
    unsigned long tableEnd = FWPKG_HEAD_LEN + static_cast<unsigned long>(FWPKG_COMPACT_ENTRY_LEN) * count;
    if (length < tableEnd) {
        error = "header is larger than the file";
        return false;
    }
    if (checkCrc && !CrcMatches(data, tableEnd)) {
        error = "fwpkg crc mismatch";
        return false;
    }
    ReadImageTable(data + FWPKG_HEAD_LEN, count, FWPKG_COMPACT_ENTRY_LEN, FILE_NAME_LEN, images);
    return true;
}

bool ParseExtendedTable(const unsigned char* data, unsigned long length, std::vector<FileHead>& images,
                        std::string& version, std::string& error, bool checkCrc)
{
    if (length < FWPKG_EXTENDED_TABLE_START) {
        error = "header is larger than the file";
        return false;
    }
    unsigned int count = GetLe16(data + 6);
    unsigned long tableEnd =
        FWPKG_EXTENDED_TABLE_START + static_cast<unsigned long>(FWPKG_EXTENDED_ENTRY_LEN) * count;
    if (count == 0 || count > FWPKG_MAX_IMAGES || length < tableEnd) {
        error = "invalid image count or header larger than the file";
        return false;
    }
    if (checkCrc && !CrcMatches(data, tableEnd)) {
        error = "fwpkg crc mismatch";
        return false;
    }
    const char* versionText = reinterpret_cast<const char*>(data + FWPKG_HEAD_LEN);
    version.assign(versionText, strnlen(versionText, FWPKG_VERSION_LEN));
    ReadImageTable(data + FWPKG_EXTENDED_TABLE_START, count, FWPKG_EXTENDED_ENTRY_LEN, FWPKG_EXTENDED_NAME_LEN,
                   images);
    return true;
}

}  // namespace

bool ParseFwpkg(const unsigned char* data, unsigned long length, std::vector<FileHead>& images,
                std::string& version, std::string& error, bool checkCrc)
{
    images.clear();
    version.clear();
    error.clear();
    if (data == nullptr || length < FWPKG_HEAD_LEN) {
        error = "fwpkg file too small";
        return false;
    }
    uint32_t flag = GetLe32(data);
    bool parsed = false;
    if (flag == FWPKG_COMPACT_FLAG) {
        parsed = ParseCompactTable(data, length, images, error, checkCrc);
    } else if (flag - FWPKG_EXTENDED_FLAG_FIRST <= FWPKG_EXTENDED_FLAG_SPAN) {
        parsed = ParseExtendedTable(data, length, images, version, error, checkCrc);
    } else {
        error = "not a fwpkg (bad magic flag)";
    }
    if (!parsed) {
        images.clear();
        version.clear();
    }
    return parsed;
}

}  // namespace Common

namespace Common {

uint16_t GetLe16(const unsigned char* bytes)
{
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

uint32_t GetLe32(const unsigned char* bytes)
{
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

uint16_t GetBe16(const unsigned char* bytes)
{
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

uint32_t GetBe32(const unsigned char* bytes)
{
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | static_cast<uint32_t>(bytes[3]);
}

void PutLe16(unsigned char* out, uint16_t value)
{
    out[0] = static_cast<unsigned char>(value);
    out[1] = static_cast<unsigned char>(value >> 8);
}

void PutLe32(unsigned char* out, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

void PutBe16(unsigned char* out, uint16_t value)
{
    out[0] = static_cast<unsigned char>(value >> 8);
    out[1] = static_cast<unsigned char>(value);
}

void PutBe32(unsigned char* out, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<unsigned char>(value >> (24 - 8 * i));
    }
}

void PutCrc16Be(unsigned char* frame, size_t coveredLength)
{
    PutBe16(frame + coveredLength, static_cast<uint16_t>(SopCrc16(frame, static_cast<unsigned int>(coveredLength))));
}

void PutCrc16Le(unsigned char* frame, size_t coveredLength)
{
    PutLe16(frame + coveredLength, static_cast<uint16_t>(SopCrc16(frame, static_cast<unsigned int>(coveredLength))));
}

bool Crc16BeMatches(const unsigned char* frame, size_t coveredLength)
{
    return GetBe16(frame + coveredLength) == SopCrc16(frame, static_cast<unsigned int>(coveredLength));
}

bool Crc16LeMatches(const unsigned char* frame, size_t coveredLength)
{
    return GetLe16(frame + coveredLength) == SopCrc16(frame, static_cast<unsigned int>(coveredLength));
}

}  // namespace Common
