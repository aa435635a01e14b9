// Table-driven registry access: the caller describes the values it wants as a KeyValue
// table ended by an entry whose Name is NULL, and names one key under HKEY_LOCAL_MACHINE.
#pragma once

#include <windows.h>

typedef struct KeyValue {
    LPCWSTR Name;  // value name; NULL ends the table
    DWORD Type;    // read: receives the stored type; write: REG_SZ, REG_DWORD or REG_MULTI_SZ
    DWORD Size;    // read: capacity in bytes on entry, stored size on return; write: ignored
    LPVOID Data;   // read: receives the value; write: the value to store
} KeyValue, *PKEYVALUE;

// Reads every value of the table (bWrite != 1) or writes them all (bWrite == 1). In write
// mode an existing key is left alone unless bRewrite is nonzero. FALSE on any failure.
BOOL GetSetKeyValues(LPCWSTR lpszKeyPath, PKEYVALUE pTable, DWORD bWrite, DWORD bRewrite);

// Reads one REG_DWORD value; on failure *pdwValue keeps what it held.
BOOL GetKeyDword(LPCWSTR lpszKeyPath, LPCWSTR lpszName, DWORD *pdwValue);
