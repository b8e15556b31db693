#ifndef VEXIL_CLI_COMMONUTIL_H
#define VEXIL_CLI_COMMONUTIL_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The tool's own helpers for console colour, text, numbers and files.
namespace CommonUtil {

constexpr unsigned long COPY_KB_UNIT = 1024;
// Zero bytes that GetFileContent leaves after the content, so readers may look a little past the end.
constexpr unsigned long FILE_CONTENT_SPARE = 1024;

// Console colour and cursor; everything stays plain text unless standard output is a terminal.
void EnableConsoleColor();
bool ColorEnabled();
void HideCursor();
void ShowCursor();
// Plain colours and the cursor shown, as the terminal was before the tool; RestoreConsole writes it.
extern const char* const CONSOLE_RESTORE;
void RestoreConsole();
std::string Red(const std::string& text);
std::string Green(const std::string& text);
std::string Yellow(const std::string& text);
std::string ColorizeBySeverity(const std::string& text);
bool StartsWithIgnoreCase(const std::string& text, const char* prefix);

// Text.
std::vector<std::string> Split(const std::string& text, char separator);
std::string Trim(const std::string& text);
bool EqualsIgnoreCase(const std::string& left, const std::string& right);
// ASCII letters in lower case; every other byte as it is.
std::string ToLower(std::string text);

// How a setting takes its number, and what its error line says it expects.
struct NumberRule {
    long long min;
    long long max;
    bool sizeSuffix;  // one k, m or g (KiB, MiB, GiB), with or without a b, may follow decimal digits
    const char* range;
};
constexpr NumberRule ADDRESS_32 = {0, 0xFFFFFFFFLL, true, "0 to 0xFFFFFFFF"};
constexpr NumberRule POSITIVE_INT = {1, 0x7FFFFFFFLL, false, "1 to 2147483647"};
constexpr NumberRule NON_NEGATIVE_INT = {0, 0x7FFFFFFFLL, false, "0 to 2147483647"};

// A number is the whole text but the blanks around it: decimal digits with an optional "-", or hex
// digits after "0x", such as "4096", "0x800000" or, with sizeSuffix, "64k", "2M" and "1g". False for
// anything else, and for a number that does not fit in 64 signed bits.
bool ConvertToNumber(const std::string& text, long long& number, bool sizeSuffix = false);
// The same within the rule's range.
bool ConvertWithinRule(const std::string& text, const NumberRule& rule, long long& number);
// The same, else one error line naming the setting and the text.
bool ConvertToNumberOrReport(const std::string& text, const NumberRule& rule, const std::string& setting,
                             long long& number);
// What a 32-bit setting keeps of a converted number.
inline int Low32(long long number)
{
    return static_cast<int>(static_cast<uint32_t>(number));
}
// ConvertToNumberOrReport for a 32-bit setting, which keeps the low 32 bits.
bool ConvertToLow32OrReport(const std::string& text, const NumberRule& rule, const std::string& setting,
                            int& field);

// Files.
// Position of the last "\\" of a path, else of its last "/", else npos.
size_t FindLastSeparator(const std::string& path);
// The directory part of a path up to and including its last "/" (else its last "\\"), or "".
std::string GetParentDir(const std::string& path);
// The file name of a path without its last extension: "fw/app.fwpkg" gives "app".
std::string GetBaseNameWithoutExt(const std::string& path);
bool FindFileIgnoreCase(const std::string& directory, const std::string& fileName, std::string& foundName);
// Removes the directory of this name in the open directory given, with the files in it; a link of that
// name is not followed. False when the directory stays.
bool RemoveDirectoryWithFiles(int parent, const std::string& name);
bool FileIsExists(const std::string& path);
// Whole-file readers take regular files only: a device such as /dev/zero never ends, and opening a
// FIFO waits for a writer.
bool IsRegularFile(const std::string& path);
// 0 for a missing or non-regular file.
unsigned long long GetFileLen(const std::string& path);
// Opens a regular file to read (a FIFO is not waited on); -1 when it cannot, with why in reason: the
// system's words, or that it is no regular file.
int OpenRegularFileToRead(const std::string& path, std::string& reason);
// Whether OpenRegularFileToRead would open the file.
bool RegularFileOpens(const std::string& path);
enum class FileRead { DONE, CANNOT_OPEN, NOT_REGULAR, NO_MEMORY, READ_FAILED, CANCELLED };
// Whether a signal has asked the tool to stop.
bool StopAsked();
// The whole of a regular file followed by spare zero bytes, allocated without throwing; length
// excludes the spare bytes. It is read in pieces, and cancelled is asked between them: CANCELLED when
// it says to stop. Prints nothing; CANNOT_OPEN leaves the system's reason in errno.
FileRead ReadRegularFile(const std::string& path, unsigned long spare, std::unique_ptr<unsigned char[]>& buffer,
                         unsigned long& length, const std::function<bool()>& cancelled = StopAsked);
// The whole file, followed by FILE_CONTENT_SPARE zero bytes; length excludes the spare bytes.
bool GetFileContent(const std::string& path, std::unique_ptr<unsigned char[]>& buffer, unsigned long& length);
// Setting files hold short "key=value" lines; a longer line means the file is no setting file.
constexpr size_t MAX_SETTING_LINE = 64 * 1024;
enum class TextRead { DONE, CANNOT_OPEN, LINE_TOO_LONG, STOPPED };
// Hands each line of a regular text file, without its line end ("\n" or "\r\n") and without a
// byte-order mark at the start of the file, to onLine until that returns false (STOPPED). A read
// error counts as CANNOT_OPEN; reason, when given, then says why.
TextRead ReadSettingLines(const std::string& path, const std::function<bool(const std::string&)>& onLine,
                          std::string* reason = nullptr);
bool FileCopy(const std::string& source, const std::string& destination);
void SafeCloseFile(FILE* stream);

unsigned int SopCrc16(const unsigned char* data, unsigned int length);

// Byte order of the frames and digests the tool builds itself.
void PutLittleEndian(std::vector<unsigned char>& bytes, size_t offset, uint32_t value, size_t size);
void AppendBigEndian32(std::vector<unsigned char>& bytes, uint32_t value);
uint32_t ReadBigEndian32(const unsigned char* bytes);

}  // namespace CommonUtil

#endif
