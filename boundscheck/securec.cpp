#include "securec.h"

#include <cstdio>
#include <cstring>

namespace {

bool DestMaxOutOfRange(size_t destMax)
{
    return destMax == 0 || destMax > SECUREC_MEM_MAX_LEN;
}

bool Overlaps(const void *dest, const void *src, size_t count)
{
    const char *d = static_cast<const char *>(dest);
    const char *s = static_cast<const char *>(src);
    return (d < s && d + count > s) || (s < d && s + count > d);
}

// The checks shared by memcpy_s and memmove_s; returns -1 when the copy may go ahead.
int CheckCopy(void *dest, size_t destMax, const void *src, size_t count, bool overlapAllowed)
{
    if (DestMaxOutOfRange(destMax)) {
        return ERANGE;
    }
    if (dest == nullptr) {
        return EINVAL;
    }
    if (src == nullptr) {
        std::memset(dest, 0, destMax);
        return EINVAL_AND_RESET;
    }
    if (count > destMax) {
        std::memset(dest, 0, destMax);
        return ERANGE_AND_RESET;
    }
    if (count == 0 || dest == src) {
        return EOK;
    }
    if (!overlapAllowed && Overlaps(dest, src, count)) {
        std::memset(dest, 0, destMax);
        return EOVERLAP_AND_RESET;
    }
    return -1;
}

// %n would let a format write to memory; the bounds-checked printers refuse it.
bool FormatHasPercentN(const char *format)
{
    for (const char *p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            continue;
        }
        ++p;
        if (*p == '%') {
            continue;
        }
        while (*p != '\0' && std::strchr("-+ #0'123456789.*hlLqjztI$", *p) != nullptr) {
            ++p;
        }
        if (*p == 'n') {
            return true;
        }
        if (*p == '\0') {
            break;
        }
    }
    return false;
}

bool PrintArgumentsBad(char *strDest, size_t destMax, const char *format)
{
    if (strDest == nullptr || destMax == 0 || destMax > SECUREC_STRING_MAX_LEN) {
        return true;
    }
    if (format == nullptr || FormatHasPercentN(format)) {
        strDest[0] = '\0';
        return true;
    }
    return false;
}

}  // namespace

extern "C" {

errno_t memcpy_s(void *dest, size_t destMax, const void *src, size_t count)
{
    int result = CheckCopy(dest, destMax, src, count, false);
    if (result >= 0) {
        return result;
    }
    std::memcpy(dest, src, count);
    return EOK;
}

errno_t memmove_s(void *dest, size_t destMax, const void *src, size_t count)
{
    int result = CheckCopy(dest, destMax, src, count, true);
    if (result >= 0) {
        return result;
    }
    std::memmove(dest, src, count);
    return EOK;
}

errno_t memset_s(void *dest, size_t destMax, int c, size_t count)
{
    if (DestMaxOutOfRange(destMax)) {
        return ERANGE;
    }
    if (dest == nullptr) {
        return EINVAL;
    }
    if (count > destMax) {
        std::memset(dest, c, destMax);
        return ERANGE_AND_RESET;
    }
    std::memset(dest, c, count);
    return EOK;
}

int vsprintf_s(char *strDest, size_t destMax, const char *format, va_list argList)
{
    if (PrintArgumentsBad(strDest, destMax, format)) {
        return -1;
    }
    int written = std::vsnprintf(strDest, destMax, format, argList);
    if (written < 0 || static_cast<size_t>(written) >= destMax) {
        strDest[0] = '\0';
        return -1;
    }
    return written;
}

int sprintf_s(char *strDest, size_t destMax, const char *format, ...)
{
    va_list argList;
    va_start(argList, format);
    int result = vsprintf_s(strDest, destMax, format, argList);
    va_end(argList);
    return result;
}

int vsnprintf_s(char *strDest, size_t destMax, size_t count, const char *format, va_list argList)
{
    if (PrintArgumentsBad(strDest, destMax, format)) {
        return -1;
    }
    if (count > SECUREC_STRING_MAX_LEN) {
        strDest[0] = '\0';
        return -1;
    }
    if (destMax > count) {
        // Truncation to count characters is allowed, but reported.
        int written = std::vsnprintf(strDest, count + 1, format, argList);
        if (written < 0) {
            strDest[0] = '\0';
            return -1;
        }
        return static_cast<size_t>(written) > count ? -1 : written;
    }
    int written = std::vsnprintf(strDest, destMax, format, argList);
    if (written < 0 || static_cast<size_t>(written) >= destMax) {
        strDest[0] = '\0';
        return -1;
    }
    return written;
}

int snprintf_s(char *strDest, size_t destMax, size_t count, const char *format, ...)
{
    va_list argList;
    va_start(argList, format);
    int result = vsnprintf_s(strDest, destMax, count, format, argList);
    va_end(argList);
    return result;
}

}  // extern "C"
