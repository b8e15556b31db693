#include "CommonUtil.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <new>
#include <unistd.h>

#include "Common.h"
#include "FileDescriptor.h"
#include "Interrupt.h"
#include "securec.h"

namespace CommonUtil {

namespace {

bool g_colorEnabled = false;

const char* const COLOR_RED = "\x1b[1;31m";
const char* const COLOR_GREEN = "\x1b[32m";
const char* const COLOR_YELLOW = "\x1b[33m";
const char* const COLOR_RESET = "\x1b[0m";
const char* const CURSOR_HIDE = "\x1b[?25l";
const char* const CURSOR_SHOW = "\x1b[?25h";

std::string Colored(const char* color, const std::string& text)
{
    if (!g_colorEnabled) {
        return text;
    }
    return std::string(color) + text + COLOR_RESET;
}

void WriteControl(const char* sequence)
{
    if (g_colorEnabled) {
        std::fputs(sequence, stdout);
        std::fflush(stdout);
    }
}

// The whole text as a number in the base, with nothing before or after it; false beyond 64 bits.
bool ReadWholeInteger(const std::string& text, int base, long long& number)
{
    // strtoll would also skip blanks, take a "+" and, in base 16, a second "0x".
    size_t first = base == 10 && !text.empty() && text[0] == '-' ? 1 : 0;
    const char* digits = base == 16 ? "0123456789abcdefABCDEF" : "0123456789";
    if (first >= text.size() || text.find_first_not_of(digits, first) != std::string::npos) {
        return false;
    }
    errno = 0;
    long long value = std::strtoll(text.c_str(), nullptr, base);
    if (errno == ERANGE) {
        return false;
    }
    number = value;
    return true;
}

// Takes a k, m or g (with or without a b after it) off the end of the lowered text.
long long TakeSizeSuffix(std::string& lowered)
{
    const std::pair<const char*, long long> suffixes[] = {{"g", 1LL << 30}, {"m", 1LL << 20}, {"k", 1LL << 10},
                                                          {"gb", 1LL << 30}, {"mb", 1LL << 20}, {"kb", 1LL << 10}};
    for (const auto& suffix : suffixes) {
        size_t length = std::strlen(suffix.first);
        if (lowered.size() > length && lowered.compare(lowered.size() - length, length, suffix.first) == 0) {
            lowered.resize(lowered.size() - length);
            return suffix.second;
        }
    }
    return 1;
}

// The length of an open regular file, or -1: a directory's end position is no length.
off_t RegularFileLength(FILE* file)
{
    struct stat status = {};
    if (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode) || fseeko(file, 0, SEEK_END) != 0) {
        return -1;
    }
    return ftello(file);
}

}  // namespace

void EnableConsoleColor()
{
    static bool showCursorAtExit = false;
    g_colorEnabled = isatty(STDOUT_FILENO) != 0;
    if (g_colorEnabled && !showCursorAtExit) {
        // A progress bar may have hidden the cursor when the process ends.
        std::atexit(ShowCursor);
        showCursorAtExit = true;
    }
}

bool ColorEnabled()
{
    return g_colorEnabled;
}

void HideCursor()
{
    WriteControl(CURSOR_HIDE);
}

void ShowCursor()
{
    WriteControl(CURSOR_SHOW);
}

const char* const CONSOLE_RESTORE = "\x1b[0m\x1b[?25h";

void RestoreConsole()
{
    WriteControl(CONSOLE_RESTORE);
}

std::string Red(const std::string& text)
{
    return Colored(COLOR_RED, text);
}

std::string Green(const std::string& text)
{
    return Colored(COLOR_GREEN, text);
}

std::string Yellow(const std::string& text)
{
    return Colored(COLOR_YELLOW, text);
}

std::string ColorizeBySeverity(const std::string& text)
{
    if (!g_colorEnabled) {
        return text;
    }
    if (StartsWithIgnoreCase(text, "error")) {
        return Red(text);
    }
    if (StartsWithIgnoreCase(text, "warning") || StartsWithIgnoreCase(text, "note")) {
        return Yellow(text);
    }
    if (text.find("success") != std::string::npos || text.find("completed") != std::string::npos) {
        return Green(text);
    }
    return text;
}

bool StartsWithIgnoreCase(const std::string& text, const char* prefix)
{
    size_t at = text.find_first_not_of(" \t\r\n");
    if (at == std::string::npos) {
        at = text.size();
    }
    for (const char* p = prefix; *p != '\0'; ++p, ++at) {
        if (at >= text.size() || std::tolower(static_cast<unsigned char>(text[at])) !=
                                     std::tolower(static_cast<unsigned char>(*p))) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> pieces;
    size_t start = 0;
    for (size_t cut = text.find(separator); cut != std::string::npos; cut = text.find(separator, start)) {
        pieces.push_back(text.substr(start, cut - start));
        start = cut + 1;
    }
    pieces.push_back(text.substr(start));
    return pieces;
}

std::string Trim(const std::string& text)
{
    size_t end = text.find_last_not_of("\r\n \t");
    if (end == std::string::npos) {
        return std::string();
    }
    size_t begin = text.find_first_not_of(" \t");
    return text.substr(begin, end + 1 - begin);
}

std::string ToLower(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

bool EqualsIgnoreCase(const std::string& left, const std::string& right)
{
    return left.size() == right.size() && ToLower(left) == ToLower(right);
}

bool ConvertToNumber(const std::string& text, long long& number, bool sizeSuffix)
{
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) {
        return false;
    }
    std::string word = ToLower(text.substr(begin, text.find_last_not_of(" \t") + 1 - begin));
    if (word.size() > 2 && word[0] == '0' && word[1] == 'x') {
        return ReadWholeInteger(word.substr(2), 16, number);
    }
    std::string digits = word;
    long long multiplier = sizeSuffix ? TakeSizeSuffix(digits) : 1;
    long long value = 0;
    long long product = 0;
    if (!ReadWholeInteger(digits, 10, value) || __builtin_mul_overflow(value, multiplier, &product)) {
        return false;
    }
    number = product;
    return true;
}

bool ConvertWithinRule(const std::string& text, const NumberRule& rule, long long& number)
{
    long long value = 0;
    if (!ConvertToNumber(text, value, rule.sizeSuffix) || value < rule.min || value > rule.max) {
        return false;
    }
    number = value;
    return true;
}

bool ConvertToNumberOrReport(const std::string& text, const NumberRule& rule, const std::string& setting,
                             long long& number)
{
    if (ConvertWithinRule(text, rule, number)) {
        return true;
    }
    std::printf("error: Invalid number '%s' for %s, expected %s.\n", Common::Printable(text).c_str(), setting.c_str(),
                rule.range);
    return false;
}

bool ConvertToLow32OrReport(const std::string& text, const NumberRule& rule, const std::string& setting,
                            int& field)
{
    long long number = 0;
    if (!ConvertToNumberOrReport(text, rule, setting, number)) {
        return false;
    }
    field = Low32(number);
    return true;
}

size_t FindLastSeparator(const std::string& path)
{
    size_t cut = path.rfind('\\');
    return cut != std::string::npos ? cut : path.rfind('/');
}

namespace {

size_t FindDirectoryEnd(const std::string& path)
{
    size_t cut = path.rfind('/');
    return cut != std::string::npos ? cut : path.rfind('\\');
}

}  // namespace

std::string GetParentDir(const std::string& path)
{
    size_t cut = FindDirectoryEnd(path);
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

std::string GetBaseNameWithoutExt(const std::string& path)
{
    size_t cut = FindDirectoryEnd(path);
    std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
    return name.substr(0, name.rfind('.'));
}

bool FindFileIgnoreCase(const std::string& directory, const std::string& fileName, std::string& foundName)
{
    DIR* listing = opendir(directory.c_str());
    if (listing == nullptr) {
        return false;
    }
    bool found = false;
    for (struct dirent* entry = readdir(listing); entry != nullptr; entry = readdir(listing)) {
        if (EqualsIgnoreCase(entry->d_name, fileName)) {
            foundName = entry->d_name;
            found = true;
            break;
        }
    }
    closedir(listing);
    return found;
}

bool RemoveDirectoryWithFiles(int parent, const std::string& name)
{
    int descriptor = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* listing = descriptor < 0 ? nullptr : fdopendir(descriptor);
    if (listing == nullptr) {
        if (descriptor >= 0) {
            close(descriptor);
        }
        return false;
    }
    for (struct dirent* entry = readdir(listing); entry != nullptr; entry = readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            (void)unlinkat(descriptor, entry->d_name, 0);
        }
    }
    closedir(listing);
    return unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0;
}

bool FileIsExists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

bool IsRegularFile(const std::string& path)
{
    struct stat status = {};
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

unsigned long long GetFileLen(const std::string& path)
{
    struct stat status = {};
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0) {
        return 0;
    }
    return static_cast<unsigned long long>(status.st_size);
}

int OpenRegularFileToRead(const std::string& path, std::string& reason)
{
    int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat status = {};
    if (descriptor < 0 || fstat(descriptor, &status) != 0) {
        reason = std::strerror(errno);
    } else if (!S_ISREG(status.st_mode)) {
        reason = S_ISDIR(status.st_mode) ? std::strerror(EISDIR) : "Not a regular file";
    } else {
        return descriptor;
    }
    if (descriptor >= 0) {
        close(descriptor);
    }
    return -1;
}

bool RegularFileOpens(const std::string& path)
{
    std::string reason;
    return FileDescriptor(OpenRegularFileToRead(path, reason)).IsOpen();
}

bool StopAsked()
{
    return Interrupt::CancelQuery() != 0;
}

FileRead ReadRegularFile(const std::string& path, unsigned long spare, std::unique_ptr<unsigned char[]>& buffer,
                         unsigned long& length, const std::function<bool()>& cancelled)
{
    buffer.reset();
    if (FileIsExists(path) && !IsRegularFile(path)) {
        return FileRead::NOT_REGULAR;
    }
    FILE* file = nullptr;
    Common::fopen_s(&file, path.c_str(), "rb");
    if (file == nullptr) {
        return FileRead::CANNOT_OPEN;
    }
    off_t size = RegularFileLength(file);
    if (size < 0) {
        std::fclose(file);
        return FileRead::NOT_REGULAR;
    }
    unsigned long fileLength = static_cast<unsigned long>(size);
    if (fileLength > ULONG_MAX - spare) {
        std::fclose(file);
        return FileRead::NO_MEMORY;
    }
    buffer.reset(new (std::nothrow) unsigned char[fileLength + spare]);
    if (buffer == nullptr) {
        std::fclose(file);
        return FileRead::NO_MEMORY;
    }
    std::rewind(file);
    memset_s(buffer.get(), fileLength + spare, 0, fileLength + spare);
    Common::PieceRead read = Common::ReadInPieces(file, buffer.get(), fileLength, cancelled);
    std::fclose(file);
    if (read != Common::PieceRead::DONE) {
        buffer.reset();
        return read == Common::PieceRead::CANCELLED ? FileRead::CANCELLED : FileRead::READ_FAILED;
    }
    length = fileLength;
    return FileRead::DONE;
}

bool GetFileContent(const std::string& path, std::unique_ptr<unsigned char[]>& buffer, unsigned long& length)
{
    switch (ReadRegularFile(path, FILE_CONTENT_SPARE, buffer, length)) {
        case FileRead::DONE:
            return true;
        case FileRead::CANNOT_OPEN:
            std::printf("error: Open file failed: %s\n", Common::Printable(path).c_str());
            return false;
        case FileRead::NO_MEMORY:
            std::puts("error: malloc failed!");
            return false;
        case FileRead::CANCELLED:
            return false;  // the tool says why it stopped
        default:
            std::puts("error: fread failed!");
            return false;
    }
}

namespace {

const std::string UTF8_BOM = "\xEF\xBB\xBF";

// One line without its line end; false at the end of the file, or with tooLong or a read error.
bool ReadBoundedLine(FILE* file, std::string& line, bool& tooLong)
{
    line.clear();
    int c = std::getc(file);
    if (c == EOF) {
        return false;
    }
    for (; c != EOF && c != '\n'; c = std::getc(file)) {
        if (line.size() >= MAX_SETTING_LINE) {
            tooLong = true;
            return false;
        }
        line.push_back(static_cast<char>(c));
    }
    return c == '\n' || std::ferror(file) == 0;
}

}  // namespace

TextRead ReadSettingLines(const std::string& path, const std::function<bool(const std::string&)>& onLine,
                          std::string* reason)
{
    std::string unasked;
    std::string& why = reason != nullptr ? *reason : unasked;
    int descriptor = OpenRegularFileToRead(path, why);
    FILE* file = descriptor < 0 ? nullptr : fdopen(descriptor, "r");
    if (file == nullptr) {
        if (descriptor >= 0) {
            why = std::strerror(errno);
            close(descriptor);
        }
        return TextRead::CANNOT_OPEN;
    }
    std::string line;
    bool tooLong = false;
    TextRead result = TextRead::DONE;
    for (bool first = true; result == TextRead::DONE && ReadBoundedLine(file, line, tooLong); first = false) {
        // A file saved on Windows ends its lines in "\r\n", and may begin with a byte-order mark.
        if (first && line.compare(0, UTF8_BOM.size(), UTF8_BOM) == 0) {
            line.erase(0, UTF8_BOM.size());
        }
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!onLine(line)) {
            result = TextRead::STOPPED;
        }
    }
    if (result == TextRead::DONE && tooLong) {
        result = TextRead::LINE_TOO_LONG;
    } else if (result == TextRead::DONE && std::ferror(file) != 0) {
        why = std::strerror(errno);
        result = TextRead::CANNOT_OPEN;
    }
    std::fclose(file);
    return result;
}

bool FileCopy(const std::string& source, const std::string& destination)
{
    FILE* input = nullptr;
    if (IsRegularFile(source)) {
        Common::fopen_s(&input, source.c_str(), "rb");
    }
    if (input == nullptr) {
        std::printf("Open file: %s failed.\n", Common::Printable(source).c_str());
        return false;
    }
    FILE* output = nullptr;
    Common::fopen_s(&output, destination.c_str(), "wb");
    if (output == nullptr) {
        std::printf("Open file: %s failed, the file may have been opened.\n", Common::Printable(destination).c_str());
        std::fclose(input);
        return false;
    }
    unsigned char chunk[COPY_KB_UNIT];
    bool copied = true;
    for (size_t got = std::fread(chunk, 1, sizeof(chunk), input); got > 0 && copied;
         got = std::fread(chunk, 1, sizeof(chunk), input)) {
        copied = std::fwrite(chunk, 1, got, output) == got;
    }
    copied = copied && std::ferror(input) == 0;
    if (std::fclose(output) != 0 || !copied) {
        std::puts("FileCopy: fwrite failed.");
        copied = false;
    }
    std::fclose(input);
    return copied;
}

void SafeCloseFile(FILE* stream)
{
    if (stream != nullptr) {
        std::fclose(stream);
    }
}

unsigned int SopCrc16(const unsigned char* data, unsigned int length)
{
    return Common::SopCrc16(data, length);
}

void PutLittleEndian(std::vector<unsigned char>& bytes, size_t offset, uint32_t value, size_t size)
{
    for (size_t i = 0; i < size; ++i) {
        bytes[offset + i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

void AppendBigEndian32(std::vector<unsigned char>& bytes, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<unsigned char>(value >> shift));
    }
}

uint32_t ReadBigEndian32(const unsigned char* bytes)
{
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | static_cast<uint32_t>(bytes[3]);
}

}  // namespace CommonUtil
