// QSXPORT's shell: the program entry, the main dialog's message and command dispatch,
// the warning dialog, leaving with or without saving, and the foreground requests that
// other programs send through the named event "Tiq".
#include <notify.h>
#include <stdlib.h>
#include <string.h>

#include "discovery.h"
#include "editing.h"
#include "resource.h"
#include "saving.h"
#include "state.h"

#define NOTIFICATION_TOKEN TEXT("AppRunToHandleNotification")
#define TOKEN_CHARS 260
#define FOREGROUND_EVENT_NAME TEXT("Tiq")
#define FOREGROUND_STOP_WAIT_MS 1000
// Foreground requests ask for the window and the windows it owns.
#define FOREGROUND_WITH_OWNED 0x01

UtilityState g_State;

void ResetUtilityState(HINSTANCE hInstance)
{
    memset(&g_State, 0, sizeof(g_State));
    g_State.hInstance = hInstance;
    g_State.SettingsSaved = 1;
    g_State.ForegroundListen = 1;
}

typedef LRESULT (*COMMAND_HANDLER)(HWND hDlg, WPARAM wParam, LPARAM lParam, WORD wNotify);
typedef INT_PTR (*MESSAGE_HANDLER)(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);

typedef struct CommandEntry {
    WORD Id;
    WORD Notify;
    COMMAND_HANDLER Handler;
} CommandEntry;

typedef struct MessageEntry {
    UINT Message;
    MESSAGE_HANDLER Handler;
} MessageEntry;

static LRESULT OnApplyAllClicked(HWND hDlg, WPARAM wParam, LPARAM lParam, WORD wNotify)
{
    (void)hDlg;
    (void)wParam;
    (void)lParam;
    (void)wNotify;
    g_State.ApplyAll = 1;
    g_State.SettingsSaved = 0;
    return 0;
}

static LRESULT OnApplyAllToggled(HWND hDlg, WPARAM wParam, LPARAM lParam, WORD wNotify)
{
    if (SendDlgItemMessageW(hDlg, IDC_APPLYALL, BM_GETCHECK, 0, 0) == BST_CHECKED)
        return OnApplyAllClicked(hDlg, wParam, lParam, wNotify);
    g_State.ApplyAll = 0;
    return 0;
}

static LRESULT OnExit(HWND hDlg, WPARAM wParam, LPARAM lParam, WORD wNotify)
{
    if (!g_State.SettingsSaved)
        AskToSave(hDlg, wParam, lParam, wNotify);
    EndDialog(hDlg, 0);
    return 0;
}

static const CommandEntry s_Commands[] = {
    {IDOK, BN_CLICKED, OnExit},
    {IDCANCEL, BN_CLICKED, OnExit},
    {IDC_EXIT, BN_CLICKED, OnExit},
    {IDC_SAVE, BN_CLICKED, SaveSettings},
    {IDC_APPLYALL, BN_CLICKED, OnApplyAllToggled},
    {IDC_PORTS, CBN_SELCHANGE, OnPortSelected},
    {IDC_INTERFACE, CBN_SELCHANGE, OnInterfaceSelected},
    {IDC_FIFO, CBN_SELCHANGE, OnFifoSelected},
};

static INT_PTR OnInitDialog(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    (void)uMsg;
    (void)wParam;
    (void)lParam;
    DiscoverPorts(hDlg);
    InterlockedExchangePointer((PVOID volatile *)&g_State.MainDialog, hDlg);
    return FALSE;
}

static INT_PTR OnCommand(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    WORD wId = LOWORD(wParam);
    WORD wNotify = HIWORD(wParam);

    (void)uMsg;
    for (DWORD i = 0; i < sizeof(s_Commands) / sizeof(s_Commands[0]); i++)
        if (s_Commands[i].Id == wId && s_Commands[i].Notify == wNotify)
            return s_Commands[i].Handler(hDlg, wParam, lParam, wNotify);
    return FALSE;
}

static INT_PTR OnForegroundRequest(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    (void)uMsg;
    (void)wParam;
    (void)lParam;
    SetForegroundWindow((HWND)((ULONG_PTR)hDlg | FOREGROUND_WITH_OWNED));
    return 0;
}

static const MessageEntry s_Messages[] = {
    {WM_INITDIALOG, OnInitDialog},
    {WM_COMMAND, OnCommand},
    {WM_FOREGROUND_REQUEST, OnForegroundRequest},
};

INT_PTR CALLBACK MainDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    for (DWORD i = 0; i < sizeof(s_Messages) / sizeof(s_Messages[0]); i++)
        if (s_Messages[i].Message == uMsg)
            return s_Messages[i].Handler(hDlg, uMsg, wParam, lParam);
    return FALSE;
}

INT_PTR CALLBACK WarningDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    switch (uMsg) {
    case WM_INITDIALOG:
        SetWindowTextW(GetDlgItem(hDlg, IDC_WARNING_TEXT), g_State.WarningText);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(hDlg, 1);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

// Brings the dialog to the front whenever another program signals "Tiq". The thread also
// waits on this copy's own stop event, so a copy that exits stops its own thread and
// never wakes another copy's.
static DWORD WINAPI ForegroundThread(LPVOID lpParameter)
{
    HANDLE handles[2] = {g_State.ForegroundEvent, g_State.ForegroundStop};

    (void)lpParameter;
    while (InterlockedCompareExchange(&g_State.ForegroundListen, 1, 1) == 1) {
        DWORD dwWait = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        if (InterlockedCompareExchange(&g_State.ForegroundListen, 0, 0) == 0 || dwWait != WAIT_OBJECT_0)
            break;
        SendMessageW((HWND)InterlockedCompareExchangePointer((PVOID volatile *)&g_State.MainDialog, NULL, NULL),
                     WM_FOREGROUND_REQUEST, 0, (LPARAM)g_State.ForegroundEvent);
    }
    return 0;
}

// A start by the notification system hands the request to a copy that is already
// running. It answers to the title "QSXPORT" and, since that is not its caption, also to
// its caption.
static BOOL HandOffNotification(LPCWSTR lpszArguments)
{
    WCHAR szModule[MAX_PATH + 1];
    HWND hWnd;
    LPARAM lNumber;

    memset(szModule, 0, sizeof(szModule));
    GetModuleFileNameW(NULL, szModule, MAX_PATH);
    CeHandleAppNotifications(szModule);
    lNumber = (LPARAM)_wtol(lpszArguments);
    hWnd = FindWindowW(NULL, TEXT("QSXPORT"));
    if (hWnd == NULL)
        hWnd = FindWindowW(NULL, TEXT("Velmir Configuration Utility"));
    if (hWnd == NULL)
        return FALSE;
    SendMessageW(hWnd, WM_FOREGROUND_REQUEST, 0, lNumber);
    return TRUE;
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nShowCmd)
{
    WCHAR szToken[TOKEN_CHARS];
    HANDLE hThread;
    HRSRC hResource;
    int cch = 0;

    (void)hPrevInstance;
    (void)nShowCmd;

    // The hand-off to a running copy touches none of this program's state.
    if (lpCmdLine != NULL) {
        while (cch < TOKEN_CHARS - 1 && lpCmdLine[cch] > 0x20)
            cch++;
        lstrcpynW(szToken, lpCmdLine, cch + 1);
        // The notification system's own token; its letter case is not held against it.
        if (cch != 0 && lstrcmpiW(szToken, NOTIFICATION_TOKEN) == 0 && HandOffNotification(lpCmdLine + cch))
            return 0;
    }

    ResetUtilityState(hInstance);
    g_State.ForegroundEvent = CreateEventW(NULL, FALSE, FALSE, FOREGROUND_EVENT_NAME);
    g_State.ForegroundStop = CreateEventW(NULL, TRUE, FALSE, NULL);
    hThread = CreateThread(NULL, 0, ForegroundThread, NULL, 0, NULL);
    if (hThread == NULL) {
        CloseHandle(g_State.ForegroundEvent);
        CloseHandle(g_State.ForegroundStop);
        return -1;
    }

    hResource = FindResourceW(hInstance, TEXT("QSXPORT"), RT_DIALOG);
    if (hResource != NULL)
        DialogBoxIndirectParamW(hInstance, (LPCDLGTEMPLATEW)LockResource(LoadResource(hInstance, hResource)),
                                NULL, MainDlgProc, 0);

    InterlockedExchange(&g_State.ForegroundListen, 0);
    SetEvent(g_State.ForegroundStop);
    WaitForSingleObject(hThread, FOREGROUND_STOP_WAIT_MS);
    CloseHandle(hThread);
    CloseHandle(g_State.ForegroundEvent);
    CloseHandle(g_State.ForegroundStop);
    InterlockedExchangePointer((PVOID volatile *)&g_State.MainDialog, NULL);
    return 0;
}
