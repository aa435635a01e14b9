// Port discovery and COM naming: finding the adapter ports among the active-driver
// entries, repairing their names and COM numbers, writing their configuration keys and
// listing them in order.
#pragma once

#include <windows.h>

#include "state.h"

#define SHOW_SELECTED ((DWORD)-1)  // ShowModel index: the port just picked in the Ports box

void DiscoverPorts(HWND hDlg);
void FixDeviceNames(void);
void AssignActiveName(LPCWSTR lpszName);
void CollectComNumbers(void);
BOOL IsComNumberUsed(DWORD dwNumber);
DWORD FindFreeComNumber(void);
void ShowModel(DWORD dwProductId, DWORD dwIndex);
BOOL WriteConfigKeys(LPCWSTR lpszName, DWORD dwInterface, DWORD dwFifo);
BOOL IsRs232OnlyProduct(DWORD dwProductId);
