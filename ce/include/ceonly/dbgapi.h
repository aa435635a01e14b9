// The device's debug console.
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

// Prints one message on the debug console; wsprintf-style format, %s is a wide string.
void WINAPIV NKDbgPrintfW(LPCWSTR lpszFmt, ...);

#ifdef __cplusplus
}
#endif
