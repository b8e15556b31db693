#include "DeviceListText.h"

#include <cstdarg>
#include <climits>
#include <cstring>

#include "securec.h"

namespace DeviceListText {

namespace {
constexpr size_t LINE_BUFFER_LEN = 512;
constexpr size_t LINE_MAX_CHARS = 510;
}  // namespace

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
