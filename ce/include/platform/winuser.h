// Window-manager side of the platform: the wide formatter shared with the debug console.
#pragma once

#include <stdarg.h>

#include "windef.h"

#ifdef __cplusplus
extern "C" {
#endif

// Formats like the platform's wsprintf: %d %i %u %x %X %s %c %ld %lu %lx %lX %%, with
// '-', '0', width and precision. %s takes a wide string. At most 1024 characters are
// written, terminator included; the result is the number written without the terminator.
int WINAPIV wsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, ...);
int WINAPI wvsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, va_list arglist);
#define wsprintf wsprintfW
#define wvsprintf wvsprintfW

#ifdef __cplusplus
}
#endif
