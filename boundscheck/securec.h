/*
 * The six bounds-checked functions vexil uses, for machines without an
 * installed libboundscheck. Same names, arguments and error codes, so the
 * rest of the code builds against either.
 */
#ifndef VEXIL_SECUREC_H
#define VEXIL_SECUREC_H

#include <errno.h>
#include <stdarg.h>
#include <stddef.h>

#ifndef EOK
#define EOK 0
#endif
#ifndef EINVAL
#define EINVAL 22
#endif
#ifndef ERANGE
#define ERANGE 34
#endif
#ifndef EINVAL_AND_RESET
#define EINVAL_AND_RESET (22 | 128)
#endif
#ifndef ERANGE_AND_RESET
#define ERANGE_AND_RESET (34 | 128)
#endif
#ifndef EOVERLAP_AND_RESET
#define EOVERLAP_AND_RESET (54 | 128)
#endif

/* Sizes above this are taken for a negative length passed by mistake. */
#define SECUREC_MEM_MAX_LEN 0x7fffffffUL
#define SECUREC_STRING_MAX_LEN 0x7fffffffUL

#ifdef __cplusplus
extern "C" {
#endif

typedef int errno_t;

errno_t memcpy_s(void *dest, size_t destMax, const void *src, size_t count);
errno_t memmove_s(void *dest, size_t destMax, const void *src, size_t count);
errno_t memset_s(void *dest, size_t destMax, int c, size_t count);

int sprintf_s(char *strDest, size_t destMax, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
int vsprintf_s(char *strDest, size_t destMax, const char *format, va_list argList)
    __attribute__((format(printf, 3, 0)));
int snprintf_s(char *strDest, size_t destMax, size_t count, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
int vsnprintf_s(char *strDest, size_t destMax, size_t count, const char *format, va_list argList)
    __attribute__((format(printf, 4, 0)));

#ifdef __cplusplus
}
#endif

#endif
