// QSXPORT's state, shared by the dialog shell, port discovery, editing and saving: one
// instance per process, touched only on the dialog thread except where noted.
#pragma once

#include <windows.h>

#define MAX_PORT_RECORDS 128
#define COM_NUMBER_SLOTS 256
#define PORT_NAME_CHARS 64
#define CURRENT_PORT_CHARS 128
#define WARNING_TEXT_CHARS 120
#define REG_STRING_CHARS 128

#define WM_FOREGROUND_REQUEST (WM_USER + 100)  // 0x464

typedef struct PortRecord {
    WCHAR Name[PORT_NAME_CHARS];  // "COM11:"
    DWORD Interface;              // 0 RS-232, 1 RS-485 2W, 2 RS-422, 3 RS-485 4W
    DWORD ProductId;
    DWORD Fifo;                   // 0 disabled, 1 enabled
} PortRecord;

typedef struct UtilityState {
    HINSTANCE hInstance;
    HWND MainDialog;          // atomic: read by the foreground thread; set after discovery
    HWND DialogWindow;        // the dialog being initialised or shown (control updates)
    DWORD SettingsSaved;      // 0 once the user has edited and not saved
    DWORD ApplyAll;           // mirrors the Apply All Ports box
    WCHAR CurrentPort[CURRENT_PORT_CHARS];
    DWORD PendingInterface;
    DWORD PendingFifo;
    DWORD LastProductId;
    WCHAR WarningText[WARNING_TEXT_CHARS];
    LONG ForegroundListen;    // atomic: the foreground thread waits while it is 1
    HANDLE ForegroundEvent;   // named auto-reset event "Tiq", shared with other programs
    HANDLE ForegroundStop;    // this copy's own stop signal for its foreground thread

    PortRecord DiscoveredPorts[MAX_PORT_RECORDS];
    DWORD DiscoveredCount;
    PortRecord PortList[MAX_PORT_RECORDS];
    DWORD ListedCount;
    DWORD UsedComNumbers[COM_NUMBER_SLOTS];
} UtilityState;

extern UtilityState g_State;

// Resets the state to its values at program start.
void ResetUtilityState(HINSTANCE hInstance);
