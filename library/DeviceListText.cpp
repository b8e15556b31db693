#include "DeviceListText.h"

#include <cstdarg>
#include <climits>
#include <cstring>

#include "securec.h"

namespace DeviceListText {

namespace {
constexpr size_t LINE_BUFFER_LEN = 512;
constexpr size_t LINE_MAX_CHARS = 510;
constexpr unsigned char FIRST_PRINTABLE = 0x20;
constexpr unsigned char DELETE = 0x7F;
}  // namespace

std::string Printable(std::string text)
{
    for (char& c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < FIRST_PRINTABLE || byte == DELETE) {
            c = '?';
        }
    }
    return text;
}

std::string FormatLine(const char* format, ...)
{
    char line[LINE_BUFFER_LEN] = {0};
    va_list values;
    va_start(values, format);
    // A longer line is cut, not dropped: the result only tells of the cut.
    (void)vsnprintf_s(line, sizeof(line), LINE_MAX_CHARS, format, values);
    va_end(values);
    return std::string(line, strnlen(line, sizeof(line)));
}

int Fill(char* buffer, int length, const std::vector<std::string>& lines)
{
    size_t used = 0;
    for (const std::string& line : lines) {
        if (line.empty() || used + line.size() >= static_cast<size_t>(length)) {
            break;
        }
        if (memcpy_s(buffer + used, static_cast<size_t>(length) - used, line.data(), line.size()) != EOK) {
            break;
        }
        used += line.size();
    }
    buffer[used] = '\0';
    return lines.size() > INT_MAX ? INT_MAX : static_cast<int>(lines.size());
}

}  // namespace DeviceListText
