/* The device build's string.h: the C library's memory and wide string calls that the
   device's coredll exports by name. Only on the include path of `make device`; on Linux the
   system's own string.h is used. */
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

void *__cdecl memcpy(void *dest, const void *src, size_t count);
void *__cdecl memset(void *dest, int c, size_t count);
void *__cdecl memchr(const void *buf, int c, size_t count);
size_t __cdecl wcslen(const wchar_t *str);
wchar_t *__cdecl wcscpy(wchar_t *dest, const wchar_t *src);
wchar_t *__cdecl wcsncpy(wchar_t *dest, const wchar_t *src, size_t count);
int __cdecl _wcsicmp(const wchar_t *str1, const wchar_t *str2);

#ifdef __cplusplus
}
#endif
