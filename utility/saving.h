// Saving and applying port settings: for the shown port or every listed port, refuse a
// non-RS-232 interface on the RS-232-only models, send the interface to the port's device,
// store "Interface" and "FIFO" in its active-driver entry and rewrite its configuration
// keys.
#pragma once

#include <windows.h>

#define IOCTL_SET_INTERFACE 0x1B02D0  // CTL_CODE(0x1B, 180, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define SAVE_OK 0
#define SAVE_REFUSED 1
#define SAVE_UNAVAILABLE 2

LRESULT SaveSettings(HWND hDlg, WPARAM wParam, LPARAM lParam, WORD wNotify);
DWORD SavePort(void);
