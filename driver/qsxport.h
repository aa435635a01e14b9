// The port interface QSXPDD exports to the COM driver. A port is named by the device
// record the COM driver received from UsbComAttach (opaque to it) and an 8-bit port index
// (the low byte of the argument). The COM driver looks these up by name.
#pragma once

#include <windows.h>

struct UsbFps;

#ifdef __cplusplus
extern "C" {
#endif

// Vendor commands (any request code; 0x30 goes out as 0x85). Always returns 1.
DWORD WINAPI QSXPort_Vender(struct UsbFps *pUsbFps, DWORD dwCode, DWORD dwValue, DWORD dwPort,
                            DWORD dwLength, LPVOID lpData);
// Purge in the adapter; mask is exactly one of PURGE_TXABORT, _RXABORT, _TXCLEAR, _RXCLEAR.
DWORD WINAPI Serial_PURGE(struct UsbFps *pUsbFps, DWORD dwMask, DWORD dwPort);

#ifdef __cplusplus
}
#endif

// The same entry points as the COM driver finds them with GetProcAddressW.
typedef DWORD (WINAPI *PFN_QSXPORT_VENDER)(struct UsbFps *, DWORD, DWORD, DWORD, DWORD, LPVOID);
typedef DWORD (WINAPI *PFN_SERIAL_PURGE)(struct UsbFps *, DWORD, DWORD);

// What QSXPDD expects of the COM driver, found by name in the library named by the
// registry: one call per port at attach (nonzero per-port handle, or 0 to stop binding)
// and one per bound port at removal (nonzero on success).
typedef HANDLE (WINAPI *PFN_USBCOMATTACH)(LPVOID pUsbFps, DWORD dwPort, DWORD dwProductId);
typedef BOOL (WINAPI *PFN_USBCOMDETACH)(HANDLE hComPort);
