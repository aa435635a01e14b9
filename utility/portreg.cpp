// Registry access for the utility.
#include <string.h>

#include "portreg.h"

#include "state.h"

BOOL OpenActiveEntry(DWORD dwEntry, HKEY *phKey)
{
    WCHAR szPath[32];

    wsprintfW(szPath, dwEntry < 10 ? TEXT("Drivers\\Active\\0%d") : TEXT("Drivers\\Active\\%d"), (int)dwEntry);
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, szPath, 0, KEY_ALL_ACCESS, phKey) == ERROR_SUCCESS;
}

BOOL ReadRegString(HKEY hKey, LPCWSTR lpszName, WCHAR *pszValue)
{
    DWORD dwType = 0;
    // One character stays for the terminator, whatever the value holds.
    DWORD cbData = (REG_STRING_CHARS - 1) * sizeof(WCHAR);

    memset(pszValue, 0, REG_STRING_CHARS * sizeof(WCHAR));
    if (RegQueryValueExW(hKey, lpszName, NULL, &dwType, (LPBYTE)pszValue, &cbData) != ERROR_SUCCESS ||
        dwType != REG_SZ) {
        memset(pszValue, 0, REG_STRING_CHARS * sizeof(WCHAR));
        return FALSE;
    }
    return TRUE;
}

BOOL ReadRegDword(HKEY hKey, LPCWSTR lpszName, DWORD *pdwValue)
{
    DWORD dwValue = 0;
    DWORD dwType = 0;
    DWORD cbData = sizeof(dwValue);

    if (RegQueryValueExW(hKey, lpszName, NULL, &dwType, (LPBYTE)&dwValue, &cbData) != ERROR_SUCCESS ||
        dwType != REG_DWORD || cbData != sizeof(dwValue))
        return FALSE;
    *pdwValue = dwValue;
    return TRUE;
}

void WriteRegString(HKEY hKey, LPCWSTR lpszName, LPCWSTR lpszValue)
{
    RegSetValueExW(hKey, lpszName, 0, REG_SZ, (const BYTE *)lpszValue,
                   (DWORD)(lstrlenW(lpszValue) + 1) * sizeof(WCHAR));
}

void WriteRegDword(HKEY hKey, LPCWSTR lpszName, DWORD dwValue)
{
    RegSetValueExW(hKey, lpszName, 0, REG_DWORD, (const BYTE *)&dwValue, sizeof(dwValue));
}

BOOL IsAdapterEntry(HKEY hKey)
{
    WCHAR szKey[REG_STRING_CHARS];
    return ReadRegString(hKey, TEXT("Key"), szKey) && lstrcmpW(szKey, QSX_PORT_DRIVER_KEY) == 0;
}

BOOL EntryHasName(HKEY hKey, LPCWSTR lpszName)
{
    WCHAR szName[REG_STRING_CHARS];
    return ReadRegString(hKey, TEXT("Name"), szName) && lstrcmpW(szName, lpszName) == 0;
}

BOOL OpenActiveEntryNamed(DWORD dwEntry, LPCWSTR lpszName, HKEY *phKey)
{
    if (!OpenActiveEntry(dwEntry, phKey))
        return FALSE;
    if (EntryHasName(*phKey, lpszName))
        return TRUE;
    RegCloseKey(*phKey);
    return FALSE;
}
