// Showing a port and editing its settings: command handlers of the Ports, Interface and
// FIFO boxes. Edits change only the utility state until they are saved.
#pragma once

#include <windows.h>

LRESULT OnPortSelected(HWND hDlg, WPARAM wParam, LPARAM lParam, WORD wNotify);
LRESULT OnInterfaceSelected(HWND hDlg, WPARAM wParam, LPARAM lParam, WORD wNotify);
LRESULT OnFifoSelected(HWND hDlg, WPARAM wParam, LPARAM lParam, WORD wNotify);

// Asks "Save configuration settings?" and saves when the answer is OK; TRUE if it saved.
BOOL AskToSave(HWND hDlg, WPARAM wParam, LPARAM lParam, WORD wNotify);
