// Port discovery and COM naming.
#include "discovery.h"

#include <devmgr.h>
#include <string.h>

#include "portreg.h"
#include "resource.h"

#define CONFIG_KEY_FORMAT TEXT("Drivers\\USB\\ClientDrivers\\QSX_PORT\\CONFIG\\%s")
#define SIBLING_KEY_FORMAT TEXT("Drivers\\USB\\ClientDrivers\\QSX_K2x4\\CONFIG\\%s")
#define USB_DEVICE_VALUE 4608
#define FIRST_FREE_COM 11
#define LAST_COM 255
#define ASSIGN_ENTRY_LAST 255
#define DEVICE_PREFIX_CHARS 8  // "$device\"
#define SHORT_NAME_CHARS 5

typedef struct ModelName {
    WORD ProductId;
    LPCWSTR Line;
} ModelName;

static const ModelName s_ModelNames[] = {
    {0x7020, TEXT("Velmir 7020 -- %s  ")},    {0x7021, TEXT("Velmir 7020I -- %s  ")},
    {0x7040, TEXT("Velmir 7040 -- %s  ")},    {0x7045, TEXT("Velmir 7045 -- %s  ")},
    {0x7046, TEXT("Velmir 7045I -- %s  ")},   {0x7163, TEXT("Velmir 7160-16 -- %s  ")},
    {0x7168, TEXT("Velmir 7160-8 -- %s  ")},  {0x7193, TEXT("Velmir 7190-16 -- %s  ")},
    {0x7198, TEXT("Velmir 7190-8 -- %s  ")},
};

BOOL IsRs232OnlyProduct(DWORD dwProductId)
{
    return dwProductId == 0x7040 || dwProductId == 0x7168 || dwProductId == 0x7163;
}

void ShowModel(DWORD dwProductId, DWORD dwIndex)
{
    LPCWSTR lpszFormat = TEXT("%s  Velmir nkown");
    WCHAR szLine[CURRENT_PORT_CHARS + 64];

    for (DWORD i = 0; i < sizeof(s_ModelNames) / sizeof(s_ModelNames[0]); i++)
        if (s_ModelNames[i].ProductId == LOWORD(dwProductId))
            lpszFormat = s_ModelNames[i].Line;
    wsprintfW(szLine, lpszFormat, g_State.CurrentPort);
    g_State.LastProductId = dwProductId;
    if (dwIndex == 0 || dwIndex == SHOW_SELECTED)
        SetWindowTextW(GetDlgItem(g_State.DialogWindow, IDC_MODEL), szLine);
}

void CollectComNumbers(void)
{
    DWORD dwSlot = 0;

    // Every slot is cleared, so a number dropped since the last pass is free again.
    memset(g_State.UsedComNumbers, 0, sizeof(g_State.UsedComNumbers));
    for (DWORD nn = 1; nn <= ACTIVE_ENTRY_LAST && dwSlot < COM_NUMBER_SLOTS; nn++) {
        HKEY hKey;
        DWORD dwNumber;
        if (!OpenActiveEntry(nn, &hKey))
            continue;
        if (ReadRegDword(hKey, TEXT("COMNum"), &dwNumber))
            g_State.UsedComNumbers[dwSlot++] = dwNumber;
        RegCloseKey(hKey);
    }
}

BOOL IsComNumberUsed(DWORD dwNumber)
{
    for (DWORD i = 0; i < COM_NUMBER_SLOTS; i++)
        if (g_State.UsedComNumbers[i] == dwNumber)
            return TRUE;
    return FALSE;
}

DWORD FindFreeComNumber(void)
{
    for (DWORD n = FIRST_FREE_COM; n <= LAST_COM; n++)
        if (!IsComNumberUsed(n))
            return n;
    return 0;
}

void AssignActiveName(LPCWSTR lpszName)
{
    for (DWORD nn = 1; nn <= ASSIGN_ENTRY_LAST; nn++) {
        HKEY hKey;
        WCHAR szName[REG_STRING_CHARS];
        BOOL bDone = TRUE;

        if (!OpenActiveEntry(nn, &hKey))
            continue;
        if (!IsAdapterEntry(hKey)) {
            RegCloseKey(hKey);
            continue;
        }
        if (!ReadRegString(hKey, TEXT("Name"), szName))
            WriteRegString(hKey, TEXT("Name"), lpszName);
        else if (lstrcmpW(szName, TEXT("COM0:")) == 0)
            WriteRegString(hKey, TEXT("Name"), TEXT("COM10:"));
        else if (lstrcmpW(szName, lpszName) != 0)
            bDone = FALSE;
        RegCloseKey(hKey);
        if (bDone)
            return;
    }
}

void FixDeviceNames(void)
{
    DEVMGR_DEVICE_INFORMATION info;
    HANDLE hSearch;

    memset(&info, 0, sizeof(info));
    info.dwSize = sizeof(info);
    hSearch = FindFirstDevice(DeviceSearchByDeviceName, TEXT("*"), &info);
    if (hSearch == INVALID_HANDLE_VALUE)
        return;
    do {
        WCHAR szShort[SHORT_NAME_CHARS + 1];
        WCHAR szName[SHORT_NAME_CHARS + 2];

        if (lstrcmpW(info.szDeviceKey, QSX_PORT_DRIVER_KEY) != 0)
            continue;
        memset(szShort, 0, sizeof(szShort));
        if (lstrlenW(info.szDeviceName) > DEVICE_PREFIX_CHARS)
            lstrcpynW(szShort, info.szDeviceName + DEVICE_PREFIX_CHARS, SHORT_NAME_CHARS + 1);
        if (info.szLegacyName[0] == 0 || lstrcmpW(szShort, TEXT("COM10")) == 0) {
            wsprintfW(szName, TEXT("%s:"), szShort);
            AssignActiveName(szName);
        }
        info.dwSize = sizeof(info);
    } while (FindNextDevice(hSearch, &info));
    FindClose(hSearch);
}

// Creates the key when it is missing, then opens it; FALSE when it cannot be opened.
static BOOL CreateAndOpenKey(LPCWSTR lpszPath, HKEY *phKey)
{
    HKEY hCreated = NULL;
    DWORD dwDisposition;
    BOOL bOpened;

    RegCreateKeyExW(HKEY_LOCAL_MACHINE, lpszPath, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hCreated, &dwDisposition);
    bOpened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, lpszPath, 0, KEY_ALL_ACCESS, phKey) == ERROR_SUCCESS;
    if (hCreated != NULL)
        RegCloseKey(hCreated);
    return bOpened;
}

BOOL WriteConfigKeys(LPCWSTR lpszName, DWORD dwInterface, DWORD dwFifo)
{
    WCHAR szPath[CURRENT_PORT_CHARS + 64];
    HKEY hKey = NULL;

    wsprintfW(szPath, CONFIG_KEY_FORMAT, lpszName);
    if (!CreateAndOpenKey(szPath, &hKey))
        return FALSE;
    WriteRegDword(hKey, TEXT("Interface"), dwInterface);
    WriteRegDword(hKey, TEXT("FIFO"), dwFifo);
    WriteRegDword(hKey, TEXT("USBDevice"), USB_DEVICE_VALUE);
    WriteRegDword(hKey, TEXT("Available"), 0);
    RegCloseKey(hKey);

    wsprintfW(szPath, SIBLING_KEY_FORMAT, lpszName);
    if (!CreateAndOpenKey(szPath, &hKey))
        return FALSE;
    WriteRegDword(hKey, TEXT("USBDevice"), USB_DEVICE_VALUE);
    RegCloseKey(hKey);
    return TRUE;
}

// Finds the adapter ports, gives nameless ones a name and COM number, and keeps the names
// in the Ports box in the order found.
static void FindPorts(HWND hDlg)
{
    DWORD dwCandidate = 0;

    g_State.DiscoveredCount = 0;
    for (DWORD nn = 1; nn <= ACTIVE_ENTRY_LAST && g_State.DiscoveredCount < MAX_PORT_RECORDS; nn++) {
        HKEY hKey;
        WCHAR szName[REG_STRING_CHARS];

        if (!OpenActiveEntry(nn, &hKey))
            continue;
        if (!IsAdapterEntry(hKey)) {
            RegCloseKey(hKey);
            continue;
        }
        if (!ReadRegString(hKey, TEXT("Name"), szName)) {
            if (IsComNumberUsed(dwCandidate))
                dwCandidate = FindFreeComNumber();
            WriteRegDword(hKey, TEXT("COMNum"), dwCandidate);
            wsprintfW(szName, TEXT("COM%d:"), (int)dwCandidate);
            WriteRegString(hKey, TEXT("Name"), szName);
            SendDlgItemMessageW(hDlg, IDC_PORTS, CB_ADDSTRING, 0, (LPARAM)szName);
            g_State.DiscoveredCount++;
            dwCandidate++;
            RegCloseKey(hKey);
            CollectComNumbers();
        } else {
            if (lstrcmpW(szName, TEXT("COM0:")) == 0) {
                lstrcpyW(szName, TEXT("COM10:"));
                WriteRegString(hKey, TEXT("Name"), szName);
                dwCandidate = FIRST_FREE_COM;
            }
            SendDlgItemMessageW(hDlg, IDC_PORTS, CB_ADDSTRING, 0, (LPARAM)szName);
            g_State.DiscoveredCount++;
            RegCloseKey(hKey);
        }
    }
}

// Collects each found port's settings and product id and writes its configuration keys.
static void CollectPortSettings(HWND hDlg)
{
    for (DWORD g = 0; g < g_State.DiscoveredCount; g++) {
        PortRecord *pRecord = &g_State.DiscoveredPorts[g];

        memset(g_State.CurrentPort, 0, sizeof(g_State.CurrentPort));
        if ((LRESULT)SendDlgItemMessageW(hDlg, IDC_PORTS, CB_GETLBTEXTLEN, g, 0) >= CURRENT_PORT_CHARS)
            continue;
        SendDlgItemMessageW(hDlg, IDC_PORTS, CB_GETLBTEXT, g, (LPARAM)g_State.CurrentPort);
        lstrcpynW(pRecord->Name, g_State.CurrentPort, PORT_NAME_CHARS);

        for (DWORD nn = 1; nn <= ACTIVE_ENTRY_LAST; nn++) {
            HKEY hKey;
            DWORD dwValue;

            if (!OpenActiveEntryNamed(nn, g_State.CurrentPort, &hKey))
                continue;
            if (ReadRegDword(hKey, TEXT("Interface"), &dwValue))
                pRecord->Interface = dwValue;
            if (ReadRegDword(hKey, TEXT("FIFO"), &dwValue))
                pRecord->Fifo = dwValue;
            if (ReadRegDword(hKey, TEXT("USBPID"), &dwValue)) {
                pRecord->ProductId = dwValue;
                ShowModel(dwValue, g);
            }
            RegCloseKey(hKey);
            if (WriteConfigKeys(g_State.CurrentPort, pRecord->Interface, pRecord->Fifo))
                break;
        }
    }
}

// Lists the ports whose configuration key exists, COM before QSX and in number order.
static void ListPorts(HWND hDlg)
{
    static const LPCWSTR s_Formats[] = {TEXT("COM%d:"), TEXT("QSX%d:")};
    DWORD k = 0;

    for (int n = 0; n <= LAST_COM; n++) {
        for (int f = 0; f < 2; f++) {
            WCHAR szName[16];
            WCHAR szPath[CURRENT_PORT_CHARS + 64];
            HKEY hKey;

            wsprintfW(szName, s_Formats[f], n);
            wsprintfW(szPath, CONFIG_KEY_FORMAT, szName);
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, szPath, 0, KEY_ALL_ACCESS, &hKey) != ERROR_SUCCESS)
                continue;
            for (DWORD g = 0; g < g_State.DiscoveredCount && k < MAX_PORT_RECORDS; g++) {
                if (lstrcmpW(g_State.DiscoveredPorts[g].Name, szName) == 0) {
                    SendDlgItemMessageW(hDlg, IDC_PORTS, CB_ADDSTRING, 0, (LPARAM)szName);
                    g_State.PortList[k++] = g_State.DiscoveredPorts[g];
                    break;
                }
            }
            RegCloseKey(hKey);
        }
    }
    g_State.ListedCount = k;
}

void DiscoverPorts(HWND hDlg)
{
    PortRecord *pFirst = &g_State.PortList[0];

    g_State.DialogWindow = hDlg;
    SendDlgItemMessageW(hDlg, IDC_INTERFACE, CB_ADDSTRING, 0, (LPARAM)TEXT("RS-232"));
    SendDlgItemMessageW(hDlg, IDC_INTERFACE, CB_ADDSTRING, 0, (LPARAM)TEXT("RS-485 2W"));
    SendDlgItemMessageW(hDlg, IDC_INTERFACE, CB_ADDSTRING, 0, (LPARAM)TEXT("RS-422"));
    SendDlgItemMessageW(hDlg, IDC_INTERFACE, CB_ADDSTRING, 0, (LPARAM)TEXT("RS-485 4W"));
    SendDlgItemMessageW(hDlg, IDC_FIFO, CB_ADDSTRING, 0, (LPARAM)TEXT("FIFO Disable"));
    SendDlgItemMessageW(hDlg, IDC_FIFO, CB_ADDSTRING, 0, (LPARAM)TEXT("FIFO Enable"));

    FixDeviceNames();
    // The platform may still be registering ports that were just renamed.
    Sleep(2000);

    CollectComNumbers();
    FindPorts(hDlg);
    CollectPortSettings(hDlg);

    while (SendDlgItemMessageW(hDlg, IDC_PORTS, CB_DELETESTRING, 0, 0) != CB_ERR)
        ;
    ListPorts(hDlg);

    if (g_State.LastProductId == 0) {
        MessageBoxW(NULL, TEXT("Cannot find any Velmir device."), TEXT("Warning"), MB_OK);
        EndDialog(hDlg, 0);
    }

    lstrcpynW(g_State.CurrentPort, pFirst->Name, CURRENT_PORT_CHARS);
    ShowModel(pFirst->ProductId, 0);
    SendDlgItemMessageW(hDlg, IDC_PORTS, CB_SETCURSEL, 0, 0);
    SendDlgItemMessageW(hDlg, IDC_INTERFACE, CB_SETCURSEL, pFirst->Interface, 0);
    g_State.PendingInterface = pFirst->Interface;
    SendDlgItemMessageW(hDlg, IDC_FIFO, CB_SETCURSEL, pFirst->Fifo, 0);
    g_State.PendingFifo = pFirst->Fifo;
}
