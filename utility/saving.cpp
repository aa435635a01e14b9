// Saving and applying port settings.
#include "saving.h"

#include <string.h>

#include "discovery.h"
#include "portreg.h"
#include "resource.h"
#include "state.h"

#define REFUSED_TEXT_CHARS 256  // 255 characters and the terminator
#define REFUSED_SUFFIX TEXT(" are only support RS-232 interface\r\n")

INT_PTR CALLBACK WarningDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);

// Opens the port's device for exclusive use: "$device/COM11" for "COM11:".
static HANDLE OpenPortDevice(LPCWSTR lpszPort)
{
    WCHAR szShort[CURRENT_PORT_CHARS];
    WCHAR szPath[CURRENT_PORT_CHARS + 16];
    int cch = lstrlenW(lpszPort);

    if (cch < 1)
        return INVALID_HANDLE_VALUE;
    lstrcpynW(szShort, lpszPort, cch < CURRENT_PORT_CHARS ? cch : CURRENT_PORT_CHARS);
    wsprintfW(szPath, TEXT("$device/%s"), szShort);
    return CreateFileW(szPath, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
}

static void ShowInterface(DWORD dwCode)
{
    SendDlgItemMessageW(g_State.DialogWindow, IDC_INTERFACE, CB_SETCURSEL, dwCode, 0);
}

// The model's warning that it has RS-232 ports only, shown in the warning dialog.
static void WarnRs232Only(DWORD dwProductId)
{
    UINT uString = dwProductId == 0x7040 ? IDS_ONLY_RS232_7040
                 : dwProductId == 0x7168 ? IDS_ONLY_RS232_7160_8 : IDS_ONLY_RS232_7160_16;
    WCHAR szFormat[128];
    WCHAR szText[1024];
    HRSRC hResource;

    szFormat[0] = 0;
    LoadStringW(g_State.hInstance, uString, szFormat, 128);
    wsprintfW(szText, szFormat, g_State.CurrentPort);
    // The dialog shows at most WARNING_TEXT_CHARS - 1 characters; a long name is cut.
    lstrcpynW(g_State.WarningText, szText, WARNING_TEXT_CHARS);

    hResource = FindResourceW(g_State.hInstance, MAKEINTRESOURCE(IDD_WARNING), RT_DIALOG);
    if (hResource != NULL)
        DialogBoxIndirectParamW(g_State.hInstance,
                                (LPCDLGTEMPLATEW)LockResource(LoadResource(g_State.hInstance, hResource)),
                                g_State.MainDialog, WarningDlgProc, 0);
}

DWORD SavePort(void)
{
    for (DWORD nn = 1; nn <= ACTIVE_ENTRY_LAST; nn++) {
        HKEY hKey;
        HANDLE hDevice;
        DWORD dwProductId, dwValue, dwReturned;

        if (!OpenActiveEntryNamed(nn, g_State.CurrentPort, &hKey))
            continue;
        if (ReadRegDword(hKey, TEXT("USBPID"), &dwProductId) && IsRs232OnlyProduct(dwProductId) &&
            g_State.PendingInterface != 0) {
            WarnRs232Only(dwProductId);
            WriteRegDword(hKey, TEXT("FIFO"), g_State.PendingFifo);
            ShowInterface(0);
            g_State.PendingInterface = 0;
            RegCloseKey(hKey);
            return SAVE_REFUSED;
        }

        hDevice = OpenPortDevice(g_State.CurrentPort);
        if (hDevice == INVALID_HANDLE_VALUE) {
            MessageBoxW(g_State.MainDialog, TEXT("Fail,some port is not available"), TEXT("Warning"), MB_OK);
            WriteRegDword(hKey, TEXT("FIFO"), g_State.PendingFifo);
            if (ReadRegDword(hKey, TEXT("Interface"), &dwValue))
                ShowInterface(dwValue);
            RegCloseKey(hKey);
            return SAVE_UNAVAILABLE;
        }
        DeviceIoControl(hDevice, IOCTL_SET_INTERFACE, &g_State.PendingInterface, sizeof(DWORD), NULL, 0,
                        &dwReturned, NULL);
        CloseHandle(hDevice);

        WriteRegDword(hKey, TEXT("Interface"), g_State.PendingInterface);
        WriteRegDword(hKey, TEXT("FIFO"), g_State.PendingFifo);
        WriteConfigKeys(g_State.CurrentPort, g_State.PendingInterface, g_State.PendingFifo);
        RegCloseKey(hKey);
    }
    return SAVE_OK;
}

// Every listed port can be opened right now (each is closed again at once).
static BOOL AllPortsAvailable(void)
{
    for (DWORD k = 0; k < g_State.ListedCount; k++) {
        HANDLE hDevice = OpenPortDevice(g_State.PortList[k].Name);
        if (hDevice == INVALID_HANDLE_VALUE)
            return FALSE;
        CloseHandle(hDevice);
    }
    return TRUE;
}

// Adds a refused port's name to the list, whole or not at all, so the list and its
// closing words always fit in 255 characters.
static void AppendRefused(WCHAR *pszList, LPCWSTR lpszName)
{
    int cchRoom = REFUSED_TEXT_CHARS - 1 - lstrlenW(REFUSED_SUFFIX) - lstrlenW(pszList);
    if (lstrlenW(lpszName) <= cchRoom)
        lstrcpyW(pszList + lstrlenW(pszList), lpszName);
}

static void SaveAllPorts(void)
{
    WCHAR szShown[CURRENT_PORT_CHARS];
    WCHAR szRefused[REFUSED_TEXT_CHARS];
    BOOL bRefused = FALSE, bShownRefused = FALSE;
    DWORD dwSaved = 0;
    HCURSOR hPrevious;

    lstrcpynW(szShown, g_State.CurrentPort, CURRENT_PORT_CHARS);
    szRefused[0] = 0;
    hPrevious = SetCursor(LoadCursorW(NULL, IDC_WAIT));

    for (DWORD k = 0; k < g_State.ListedCount; k++) {
        PortRecord *pPort = &g_State.PortList[k];
        lstrcpynW(g_State.CurrentPort, pPort->Name, CURRENT_PORT_CHARS);
        if (IsRs232OnlyProduct(pPort->ProductId) && g_State.PendingInterface != 0) {
            AppendRefused(szRefused, pPort->Name);
            bRefused = TRUE;
            if (lstrcmpW(pPort->Name, szShown) == 0)
                bShownRefused = TRUE;
        } else if (SavePort() == SAVE_OK) {
            dwSaved++;
        }
    }

    if (bRefused) {
        lstrcpyW(szRefused + lstrlenW(szRefused), REFUSED_SUFFIX);
        MessageBoxW(g_State.MainDialog, szRefused, TEXT("Warning"), MB_OK | MB_ICONEXCLAMATION);
        if (bShownRefused) {
            g_State.PendingInterface = 0;
            ShowInterface(0);
        }
    }
    SetCursor(hPrevious);
    if (dwSaved != 0)
        MessageBoxW(g_State.MainDialog, TEXT("Saved Ok!!"), TEXT("Message"), MB_OK);
    lstrcpynW(g_State.CurrentPort, szShown, CURRENT_PORT_CHARS);
}

LRESULT SaveSettings(HWND hDlg, WPARAM wParam, LPARAM lParam, WORD wNotify)
{
    (void)hDlg;
    (void)wParam;
    (void)lParam;
    (void)wNotify;

    if (!g_State.ApplyAll) {
        if (SavePort() == SAVE_OK)
            MessageBoxW(g_State.MainDialog, TEXT("Saved Ok!!"), TEXT("Message"), MB_OK);
    } else if (!AllPortsAvailable()) {
        ShowInterface(0);
        MessageBoxW(g_State.MainDialog, TEXT("Fail,some port is not available"), TEXT("Warning"), MB_OK);
    } else {
        SaveAllPorts();
    }
    // A save ends the edited state whatever came of it.
    g_State.SettingsSaved = 1;
    return 0;
}
