// Kernel services of the platform: memory, last error, critical sections, events,
// threads, waits, time, driver libraries, device files (CreateFileW and the calls on its
// handles), and the serial definitions and communication functions of winbase.h.
#pragma once

#include "windef.h"
#include "winerror.h"
#include "winioctl.h"

#ifdef __cplusplus
extern "C" {
#endif

// ---- memory -------------------------------------------------------------
#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)
HLOCAL WINAPI LocalAlloc(UINT uFlags, UINT uBytes);
HLOCAL WINAPI LocalFree(HLOCAL hMem);

// ---- last error ---------------------------------------------------------
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);

// ---- interlocked operations (full barriers) -------------------------------
// The stand-in's schedule explorer (standin/explore.h) makes each of them a scheduling
// point on the threads it controls; otherwise the test costs one relaxed load. On the
// device they are the processor's locked instructions and nothing more.
#ifdef _WIN32_WCE
#define STANDIN_EXPLORE_YIELD(kind, address) ((void)(address))
#else
extern int standin_g_exploring;
void standin_ExploreYield(int kind, const volatile void *address);
#define STANDIN_INTERLOCKED_EXCHANGE 1
#define STANDIN_INTERLOCKED_COMPARE_EXCHANGE 2
#define STANDIN_INTERLOCKED_EXCHANGE_ADD 3
#define STANDIN_INTERLOCKED_INCREMENT 4
#define STANDIN_INTERLOCKED_DECREMENT 5
#define STANDIN_INTERLOCKED_EXCHANGE_POINTER 6
#define STANDIN_INTERLOCKED_COMPARE_EXCHANGE_POINTER 7
// Only builds configured for it carry the test (STANDIN_EXPLORE_HOOKS: the sanitizer builds
// the tests run in); the optimised build keeps these calls as lean as the device's.
#ifdef STANDIN_EXPLORE_HOOKS
#define STANDIN_EXPLORE_YIELD(kind, address)                                        \
    do {                                                                           \
        if (__builtin_expect(__atomic_load_n(&standin_g_exploring, __ATOMIC_RELAXED), 0)) \
            standin_ExploreYield((kind), (address));                               \
    } while (0)
#else
#define STANDIN_EXPLORE_YIELD(kind, address) ((void)(kind), (void)(address))
#endif
#endif

static inline LONG InterlockedExchange(LONG volatile *Target, LONG Value) {
    STANDIN_EXPLORE_YIELD(STANDIN_INTERLOCKED_EXCHANGE, Target);
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedCompareExchange(LONG volatile *Destination, LONG Exchange,
                                              LONG Comperand) {
    STANDIN_EXPLORE_YIELD(STANDIN_INTERLOCKED_COMPARE_EXCHANGE, Destination);
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, 0, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comperand;
}
static inline LONG InterlockedExchangeAdd(LONG volatile *Addend, LONG Value) {
    STANDIN_EXPLORE_YIELD(STANDIN_INTERLOCKED_EXCHANGE_ADD, Addend);
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedIncrement(LONG volatile *Addend) {
    STANDIN_EXPLORE_YIELD(STANDIN_INTERLOCKED_INCREMENT, Addend);
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedDecrement(LONG volatile *Addend) {
    STANDIN_EXPLORE_YIELD(STANDIN_INTERLOCKED_DECREMENT, Addend);
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

static inline PVOID InterlockedExchangePointer(PVOID volatile *Target, PVOID Value) {
    STANDIN_EXPLORE_YIELD(STANDIN_INTERLOCKED_EXCHANGE_POINTER, Target);
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
static inline PVOID InterlockedCompareExchangePointer(PVOID volatile *Destination, PVOID Exchange,
                                                      PVOID Comperand) {
    STANDIN_EXPLORE_YIELD(STANDIN_INTERLOCKED_COMPARE_EXCHANGE_POINTER, Destination);
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, 0, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comperand;
}

// ---- critical sections (recursive for the owning thread) ----------------
typedef struct CRITICAL_SECTION {
    LONG LockCount;
    HANDLE OwnerThread;
    void *hCrit;  // the stand-in's lock object; null until initialised
    DWORD needtrap;
    DWORD dwContentions;
} CRITICAL_SECTION, *LPCRITICAL_SECTION, *PCRITICAL_SECTION;
void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpcs);
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpcs);
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpcs);
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpcs);
BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpcs);

// ---- handles, events, waits ---------------------------------------------
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_ABANDONED 0x00000080L
#define WAIT_TIMEOUT 258L
#define WAIT_FAILED 0xFFFFFFFF
#define MAXIMUM_WAIT_OBJECTS 64

BOOL WINAPI CloseHandle(HANDLE hObject);
HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCWSTR lpName);
#define CreateEvent CreateEventW
// The kernel has one call for all three (EventModify); the platform's headers make them
// inline over it, so neither coredll nor the stand-in exports them.
#define EVENT_PULSE 1
#define EVENT_RESET 2
#define EVENT_SET 3
BOOL WINAPI EventModify(HANDLE hEvent, DWORD func);
static inline BOOL SetEvent(HANDLE hEvent) { return EventModify(hEvent, EVENT_SET); }
static inline BOOL ResetEvent(HANDLE hEvent) { return EventModify(hEvent, EVENT_RESET); }
static inline BOOL PulseEvent(HANDLE hEvent) { return EventModify(hEvent, EVENT_PULSE); }
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL fWaitAll,
                                    DWORD dwMilliseconds);

// ---- threads ------------------------------------------------------------
typedef DWORD (WINAPI *PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;
#define CREATE_SUSPENDED 0x00000004
#define STILL_ACTIVE 0x00000103L
// The device's priority levels: 0 is the highest, 7 the lowest.
#define THREAD_PRIORITY_TIME_CRITICAL 0
#define THREAD_PRIORITY_HIGHEST 1
#define THREAD_PRIORITY_ABOVE_NORMAL 2
#define THREAD_PRIORITY_NORMAL 3
#define THREAD_PRIORITY_BELOW_NORMAL 4
#define THREAD_PRIORITY_LOWEST 5
#define THREAD_PRIORITY_ABOVE_IDLE 6
#define THREAD_PRIORITY_IDLE 7
#define THREAD_PRIORITY_ERROR_RETURN 0x7fffffff

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpsa, DWORD cbStack,
                           LPTHREAD_START_ROUTINE lpStartAddr, LPVOID lpvThreadParam,
                           DWORD fdwCreate, LPDWORD lpIDThread);
BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority);
int WINAPI GetThreadPriority(HANDLE hThread);
BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
// The device's headers read the thread id from the kernel's data page, with no call into
// coredll; the stand-in keeps it as a call for its tests and tools. The deliverables do not
// use it (the device build would not link, and the Linux build's import check refuses it).
DWORD WINAPI GetCurrentThreadId(void);
void WINAPI Sleep(DWORD dwMilliseconds);
DWORD WINAPI GetTickCount(void);

// ---- driver libraries ---------------------------------------------------
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3
HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName);
#define LoadLibrary LoadLibraryW
BOOL WINAPI FreeLibrary(HMODULE hLibModule);
BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule);
DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
#define GetModuleFileName GetModuleFileNameW

// ---- strings ------------------------------------------------------------
// The platform's headers make these inline over the C library's wide-string calls (which
// coredll exports) or as short loops; neither coredll nor the stand-in exports them.
// Comparisons are ordinal, lstrcmpiW folding ASCII letters only; null strings are not
// accepted, as on the device.
#ifdef _WIN32_WCE
size_t __cdecl wcslen(const wchar_t *);
wchar_t *__cdecl wcscpy(wchar_t *, const wchar_t *);
int __cdecl _wcsicmp(const wchar_t *, const wchar_t *);
#else
// glibc's wide-string calls take its 32-bit wchar_t, and WCHAR is 16 bits here: the calls
// the device's C library has for WCHAR strings are overloads of the same names.
extern "C++" {
static inline size_t wcslen(const WCHAR *str) {
    const WCHAR *end = str;
    while (*end != 0)
        end++;
    return (size_t)(end - str);
}
static inline WCHAR *wcscpy(WCHAR *dest, const WCHAR *src) {
    WCHAR *out = dest;
    while ((*out++ = *src++) != 0) {
    }
    return dest;
}
static inline int _wcsicmp(const WCHAR *str1, const WCHAR *str2) {
    for (;; str1++, str2++) {
        WCHAR c1 = (*str1 >= u'A' && *str1 <= u'Z') ? (WCHAR)(*str1 + 32) : *str1;
        WCHAR c2 = (*str2 >= u'A' && *str2 <= u'Z') ? (WCHAR)(*str2 + 32) : *str2;
        if (c1 != c2 || c1 == 0)
            return (int)c1 - (int)c2;
    }
}
}
#endif
static inline int lstrlenW(LPCWSTR lpString) { return (int)wcslen(lpString); }
static inline int lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2) {
    return _wcsicmp(lpString1, lpString2);
}
static inline LPWSTR lstrcpyW(LPWSTR lpString1, LPCWSTR lpString2) {
    return wcscpy(lpString1, lpString2);
}
static inline int lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2) {
    while (*lpString1 != 0 && *lpString1 == *lpString2) {
        lpString1++;
        lpString2++;
    }
    return (int)(WORD)*lpString1 - (int)(WORD)*lpString2;
}
static inline LPWSTR lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength) {
    int i = 0;
    if (iMaxLength <= 0)
        return lpString1;
    for (; i < iMaxLength - 1 && lpString2[i] != 0; i++)
        lpString1[i] = lpString2[i];
    lpString1[i] = 0;
    return lpString1;
}
#define lstrlen lstrlenW
#define lstrcmp lstrcmpW
#define lstrcmpi lstrcmpiW
#define lstrcpy lstrcpyW
#define lstrcpyn lstrcpynW

// ---- program entry and C runtime wide helpers ---------------------------------
// The device's programs start at WinMain with a wide command line; on Linux a program
// built with the stand-in's entry library gets a main() that calls it.
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nShowCmd);
#define SW_SHOW 5
#ifndef _WIN32_WCE
// The C library's wide conversion: optional blanks, a sign and decimal digits; the value
// wraps at 32 bits. (The device's comes with its stdlib.h; glibc has none for WCHAR.)
extern "C++" {
static inline long _wtol(const WCHAR *str) {
    uint32_t value = 0;
    int negative = 0;
    if (str == NULL)
        return 0;
    while (*str == u' ' || (*str >= u'\t' && *str <= u'\r'))
        str++;
    if (*str == u'-' || *str == u'+')
        negative = *str++ == u'-';
    while (*str >= u'0' && *str <= u'9')
        value = value * 10 + (uint32_t)(*str++ - u'0');
    return (long)(int32_t)(negative ? 0u - value : value);
}
}
#endif

// ---- serial definitions -------------------------------------------------
typedef struct _DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
} DCB, *LPDCB;

typedef struct _COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
} COMSTAT, *LPCOMSTAT;

typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

#define DTR_CONTROL_DISABLE 0x00
#define DTR_CONTROL_ENABLE 0x01
#define DTR_CONTROL_HANDSHAKE 0x02
#define RTS_CONTROL_DISABLE 0x00
#define RTS_CONTROL_ENABLE 0x01
#define RTS_CONTROL_HANDSHAKE 0x02
#define RTS_CONTROL_TOGGLE 0x03

#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

#define EV_RXCHAR 0x0001
#define EV_RXFLAG 0x0002
#define EV_TXEMPTY 0x0004
#define EV_CTS 0x0008
#define EV_DSR 0x0010
#define EV_RLSD 0x0020
#define EV_BREAK 0x0040
#define EV_ERR 0x0080
#define EV_RING 0x0100

#define CE_RXOVER 0x0001
#define CE_OVERRUN 0x0002
#define CE_RXPARITY 0x0004
#define CE_FRAME 0x0008
#define CE_BREAK 0x0010

#define MS_CTS_ON 0x0010
#define MS_DSR_ON 0x0020
#define MS_RING_ON 0x0040
#define MS_RLSD_ON 0x0080

#define PURGE_TXABORT 0x0001
#define PURGE_RXABORT 0x0002
#define PURGE_TXCLEAR 0x0004
#define PURGE_RXCLEAR 0x0008

#define SETXOFF 1
#define SETXON 2
#define SETRTS 3
#define CLRRTS 4
#define SETDTR 5
#define CLRDTR 6
#define SETBREAK 8
#define CLRBREAK 9

// ---- device files -------------------------------------------------------
// Devices are opened by name ("$device\\COM11", or the legacy "COM1:"); the calls below
// reach the device's driver. The platform has no overlapped I/O: lpOverlapped must be
// null.
#define GENERIC_READ 0x80000000
#define GENERIC_WRITE 0x40000000
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_NORMAL 0x00000080

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
#define CreateFile CreateFileW
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
// Ends a device search (FindFirstDevice).
BOOL WINAPI FindClose(HANDLE hFindFile);

// ---- serial communication functions ---------------------------------------
// Each one is a serial device-control request to the port's driver (pegdser.h lists
// the codes); the result and the last error are the driver's.
BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB);
BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB);
BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask);
BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask);
BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped);
BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat);
BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags);
BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat);
BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc);
BOOL WINAPI SetCommBreak(HANDLE hFile);
BOOL WINAPI ClearCommBreak(HANDLE hFile);
BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue);

#ifdef __cplusplus
}
#endif
