// The driver's registry reader and writer.
#include "keyvalues.h"

#include <excpt.h>

// Bytes a value of this type occupies, terminators included; 0 for a type the driver
// never writes.
static DWORD ValueSize(DWORD dwType, LPCVOID pData)
{
    LPCWSTR psz = (LPCWSTR)pData;
    DWORD cch = 0;

    if (pData == NULL)
        return 0;
    switch (dwType) {
    case REG_SZ:
        return (DWORD)(lstrlenW(psz) + 1) * sizeof(WCHAR);
    case REG_DWORD:
        return sizeof(DWORD);
    case REG_MULTI_SZ:
        while (*psz != 0) {
            DWORD cchString = (DWORD)lstrlenW(psz) + 1;
            cch += cchString;
            psz += cchString;
        }
        return (cch + 1) * sizeof(WCHAR);
    default:
        return 0;
    }
}

static BOOL ReadValues(HKEY hKey, PKEYVALUE pTable)
{
    for (PKEYVALUE p = pTable; p->Name != NULL; p++) {
        if (RegQueryValueExW(hKey, p->Name, NULL, &p->Type, (LPBYTE)p->Data, &p->Size) !=
            ERROR_SUCCESS)
            return FALSE;
    }
    return TRUE;
}

static BOOL WriteValues(HKEY hKey, PKEYVALUE pTable)
{
    BOOL bResult = TRUE;

    // A bad data pointer raises an exception inside the write on the device; it must
    // cost this call, not the caller's thread.
    __try {
        for (PKEYVALUE p = pTable; p->Name != NULL; p++) {
            DWORD cbData = ValueSize(p->Type, p->Data);
            if (cbData == 0 ||
                RegSetValueExW(hKey, p->Name, 0, p->Type, (const BYTE *)p->Data, cbData) !=
                    ERROR_SUCCESS) {
                bResult = FALSE;
                break;
            }
        }
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        bResult = FALSE;
    }
    return bResult;
}

BOOL GetSetKeyValues(LPCWSTR lpszKeyPath, PKEYVALUE pTable, DWORD bWrite, DWORD bRewrite)
{
    HKEY hKey = NULL;
    DWORD dwDisposition;
    BOOL bResult = FALSE;
    LONG lOpen;

    if (lpszKeyPath == NULL || pTable == NULL)
        return FALSE;

    lOpen = RegOpenKeyExW(HKEY_LOCAL_MACHINE, lpszKeyPath, 0, 0, &hKey);
    if (bWrite != 1) {
        if (lOpen != ERROR_SUCCESS)
            return FALSE;
        bResult = ReadValues(hKey, pTable);
        goto done;
    }

    if (lOpen == ERROR_SUCCESS) {
        RegCloseKey(hKey);
        hKey = NULL;
        if (!bRewrite)
            return TRUE;
    }
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, lpszKeyPath, 0, NULL, 0, 0, NULL, &hKey,
                        &dwDisposition) != ERROR_SUCCESS)
        return FALSE;
    bResult = WriteValues(hKey, pTable);

done:
    RegCloseKey(hKey);
    return bResult;
}

BOOL GetKeyDword(LPCWSTR lpszKeyPath, LPCWSTR lpszName, DWORD *pdwValue)
{
    DWORD dwValue = 0;
    KeyValue table[2] = {{lpszName, REG_DWORD, sizeof(DWORD), &dwValue}, {NULL, 0, 0, NULL}};

    // A value of another type or size is no number the driver could use: it counts as
    // missing and the caller keeps what it had.
    if (!GetSetKeyValues(lpszKeyPath, table, 0, 0) || table[0].Type != REG_DWORD ||
        table[0].Size != sizeof(DWORD))
        return FALSE;
    *pdwValue = dwValue;
    return TRUE;
}
