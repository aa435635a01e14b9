// Base types of the Windows CE platform as the stand-in provides them on Linux.
// Sizes follow the 32-bit device: DWORD and LONG are 32 bits, WCHAR is a 16-bit
// character (char16_t), so strings and registry values have the platform's byte sizes.
//
// With _WIN32_WCE defined (the device build, `make device`) the same headers give the
// device's own definitions: every platform call is __cdecl, WCHAR is the compiler's
// 16-bit wchar_t and TEXT("x") an L"x" literal.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif

#ifdef _WIN32_WCE
// On the device's x86 every calling convention of the platform is the caller-pops one.
#define WINAPI __cdecl
#define APIENTRY __cdecl
#define CALLBACK __cdecl
#define WINAPIV __cdecl
#else
#define WINAPI
#define APIENTRY
#define CALLBACK
#define WINAPIV
#endif
#define PASCAL
#define IN
#define OUT
#define OPTIONAL
#define CONST const
#define VOID void

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint8_t UCHAR;
typedef uint8_t BOOLEAN;
typedef char CHAR;
typedef int16_t SHORT;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t DWORD;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
#ifdef _WIN32_WCE
typedef wchar_t WCHAR;
#else
typedef char16_t WCHAR;
#endif
typedef WCHAR TCHAR;
typedef float FLOAT;

typedef void *PVOID, *LPVOID;
typedef const void *LPCVOID;
typedef BOOL *PBOOL, *LPBOOL;
typedef BYTE *PBYTE, *LPBYTE;
typedef const BYTE *LPCBYTE;
typedef WORD *PWORD, *LPWORD;
typedef DWORD *PDWORD, *LPDWORD;
typedef const DWORD *LPCDWORD;
typedef LONG *PLONG, *LPLONG;
typedef UCHAR *PUCHAR;
typedef USHORT *PUSHORT, *LPUSHORT;
typedef ULONG *PULONG;
typedef UINT *PUINT;
typedef CHAR *LPSTR;
typedef const CHAR *LPCSTR;
typedef WCHAR *PWSTR, *LPWSTR, *LPTSTR, *PTSTR;
typedef const WCHAR *PCWSTR, *LPCWSTR, *LPCTSTR, *PCTSTR;

typedef void *HANDLE;
typedef HANDLE *PHANDLE, *LPHANDLE;
struct HINSTANCE__ { int unused; };
typedef struct HINSTANCE__ *HINSTANCE;
typedef HINSTANCE HMODULE;
struct HWND__ { int unused; };
typedef struct HWND__ *HWND;
struct HKEY__ { int unused; };
typedef struct HKEY__ *HKEY;
typedef HKEY *PHKEY;
struct HICON__ { int unused; };
typedef struct HICON__ *HICON;
struct HCURSOR__ { int unused; };
typedef struct HCURSOR__ *HCURSOR;
struct HRSRC__ { int unused; };
typedef struct HRSRC__ *HRSRC;
typedef HANDLE HGLOBAL;
typedef HANDLE HLOCAL;
struct HMENU__ { int unused; };
typedef struct HMENU__ *HMENU;

typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef DWORD ACCESS_MASK;
typedef ACCESS_MASK REGSAM;

typedef INT_PTR (WINAPI *FARPROC)(void);

#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif
#ifndef NULL
#define NULL 0
#endif

#define MAX_PATH 260
#define MAXDWORD 0xffffffff

#ifdef _WIN32_WCE
#define __TEXT(quote) L##quote
#else
#define __TEXT(quote) u##quote
#endif
#define TEXT(quote) __TEXT(quote)
#define _T(x) __TEXT(x)

#define LOBYTE(w) ((BYTE)(((DWORD_PTR)(w)) & 0xff))
#define HIBYTE(w) ((BYTE)((((DWORD_PTR)(w)) >> 8) & 0xff))
#define LOWORD(l) ((WORD)(((DWORD_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((DWORD_PTR)(l)) >> 16) & 0xffff))
#define MAKELONG(a, b) ((LONG)(((WORD)(((DWORD_PTR)(a)) & 0xffff)) | ((DWORD)((WORD)(((DWORD_PTR)(b)) & 0xffff))) << 16))
#define MAKEWORD(a, b) ((WORD)(((BYTE)(((DWORD_PTR)(a)) & 0xff)) | ((WORD)((BYTE)(((DWORD_PTR)(b)) & 0xff))) << 8))

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;
