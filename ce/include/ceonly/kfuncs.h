// Kernel calls that Windows CE has and the desktop Windows headers lack. Included by
// the deliverables on every build, beside the platform's windows.h.
#pragma once

#include <windows.h>

#define EVENT_PULSE 1
#define EVENT_RESET 2
#define EVENT_SET 3

#ifdef __cplusplus
extern "C" {
#endif

// Sets, resets or pulses an event; SetEvent, ResetEvent and PulseEvent are inline
// wrappers over it (winbase.h), not calls of their own.
BOOL WINAPI EventModify(HANDLE hEvent, DWORD func);

// Loads a driver library like LoadLibrary, but the library is never paged out.
HINSTANCE WINAPI LoadDriver(LPCWSTR lpszFileName);

// The device looks exports up by wide name.
FARPROC WINAPI GetProcAddressW(HMODULE hModule, LPCWSTR lpProcName);

// A thread's priority on the device's own scale, 0 (highest) to 255 (lowest);
// SetThreadPriority's THREAD_PRIORITY_* levels are 248 to 255 on it.
BOOL WINAPI CeSetThreadPriority(HANDLE hThread, int nPriority);
int WINAPI CeGetThreadPriority(HANDLE hThread);

#ifdef __cplusplus
}
#endif
