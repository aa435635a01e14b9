// Port selection and editing.
#include "editing.h"

#include <string.h>

#include "discovery.h"
#include "portreg.h"
#include "resource.h"
#include "saving.h"
#include "state.h"

static const LPCWSTR s_InterfaceNames[] = {TEXT("RS-232"), TEXT("RS-485 2W"), TEXT("RS-422"),
                                           TEXT("RS-485 4W")};

// The text of the selected item of a box, cut safely to the buffer.
static void SelectedText(HWND hDlg, int nId, WCHAR *pszText, int cchText)
{
    LRESULT lIndex = SendDlgItemMessageW(hDlg, nId, CB_GETCURSEL, 0, 0);
    WCHAR szItem[256];

    pszText[0] = 0;
    if (lIndex == CB_ERR || SendDlgItemMessageW(hDlg, nId, CB_GETLBTEXTLEN, lIndex, 0) >= 256)
        return;
    SendDlgItemMessageW(hDlg, nId, CB_GETLBTEXT, lIndex, (LPARAM)szItem);
    lstrcpynW(pszText, szItem, cchText);
}

BOOL AskToSave(HWND hDlg, WPARAM wParam, LPARAM lParam, WORD wNotify)
{
    WCHAR szFormat[128];
    WCHAR szText[128];

    szFormat[0] = 0;
    LoadStringW(g_State.hInstance, IDS_SAVE_QUESTION, szFormat, 128);
    wsprintfW(szText, szFormat);
    if (MessageBoxW(g_State.MainDialog, szText, TEXT("Warning"), MB_OKCANCEL | MB_ICONEXCLAMATION) != IDOK)
        return FALSE;
    SaveSettings(hDlg, wParam, lParam, wNotify);
    return TRUE;
}

LRESULT OnPortSelected(HWND hDlg, WPARAM wParam, LPARAM lParam, WORD wNotify)
{
    // The question comes while CurrentPort still names the port shown before the change,
    // so the edits are saved for that port.
    if (!g_State.SettingsSaved && !AskToSave(hDlg, wParam, lParam, wNotify))
        g_State.SettingsSaved = 1;

    SelectedText(hDlg, IDC_PORTS, g_State.CurrentPort, CURRENT_PORT_CHARS);
    SetWindowTextW(GetDlgItem(hDlg, IDC_MODEL), g_State.CurrentPort);

    for (DWORD nn = 1; nn <= ACTIVE_ENTRY_LAST; nn++) {
        HKEY hKey;
        DWORD dwValue;

        if (!OpenActiveEntryNamed(nn, g_State.CurrentPort, &hKey))
            continue;
        if (ReadRegDword(hKey, TEXT("Interface"), &dwValue)) {
            SendDlgItemMessageW(hDlg, IDC_INTERFACE, CB_SETCURSEL, dwValue, 0);
            g_State.PendingInterface = dwValue;
        }
        if (ReadRegDword(hKey, TEXT("FIFO"), &dwValue)) {
            g_State.PendingFifo = dwValue;
            SendDlgItemMessageW(hDlg, IDC_FIFO, CB_SETCURSEL, dwValue, 0);
        }
        if (ReadRegDword(hKey, TEXT("USBPID"), &dwValue))
            ShowModel(dwValue, SHOW_SELECTED);
        RegCloseKey(hKey);
    }
    return 0;
}

LRESULT OnInterfaceSelected(HWND hDlg, WPARAM wParam, LPARAM lParam, WORD wNotify)
{
    WCHAR szText[64];
    DWORD dwCode = 0;

    (void)wParam;
    (void)lParam;
    (void)wNotify;
    SelectedText(hDlg, IDC_INTERFACE, szText, 64);
    for (DWORD i = 0; i < 4; i++)
        if (lstrcmpW(szText, s_InterfaceNames[i]) == 0)
            dwCode = i;
    g_State.PendingInterface = dwCode;
    g_State.SettingsSaved = 0;
    return 0;
}

LRESULT OnFifoSelected(HWND hDlg, WPARAM wParam, LPARAM lParam, WORD wNotify)
{
    WCHAR szText[64];

    (void)wParam;
    (void)lParam;
    (void)wNotify;
    SelectedText(hDlg, IDC_FIFO, szText, 64);
    if (lstrcmpW(szText, TEXT("FIFO Disable")) == 0)
        g_State.PendingFifo = 0;
    else if (lstrcmpW(szText, TEXT("FIFO Enable")) == 0)
        g_State.PendingFifo = 1;
    g_State.SettingsSaved = 0;
    return 0;
}
