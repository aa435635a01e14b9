// The utility's view of the registry: active-driver entries, their values, and the ports'
// configuration keys. Every key is opened with KEY_ALL_ACCESS; a key that cannot be opened
// is passed over. Values that cannot be read, or have another type or size, count as
// missing.
#pragma once

#include <windows.h>

#define QSX_PORT_DRIVER_KEY TEXT("Drivers\\USB\\ClientDrivers\\QSX_PORT")
#define ACTIVE_ENTRY_LAST 999

BOOL OpenActiveEntry(DWORD dwEntry, HKEY *phKey);
// Reads a string into a zero-filled buffer of REG_STRING_CHARS characters.
BOOL ReadRegString(HKEY hKey, LPCWSTR lpszName, WCHAR *pszValue);
BOOL ReadRegDword(HKEY hKey, LPCWSTR lpszName, DWORD *pdwValue);
void WriteRegString(HKEY hKey, LPCWSTR lpszName, LPCWSTR lpszValue);
void WriteRegDword(HKEY hKey, LPCWSTR lpszName, DWORD dwValue);
// Whether the entry belongs to an adapter port ("Key" is QSXPDD's driver key).
BOOL IsAdapterEntry(HKEY hKey);
// Whether the entry's "Name" equals lpszName.
BOOL EntryHasName(HKEY hKey, LPCWSTR lpszName);
// Opens entry dwEntry when its "Name" equals lpszName; FALSE, with nothing left open,
// otherwise.
BOOL OpenActiveEntryNamed(DWORD dwEntry, LPCWSTR lpszName, HKEY *phKey);
