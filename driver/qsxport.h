// The port interface QSXPDD exports to the COM driver. A port is named by the device
// record the COM driver received from UsbComAttach (opaque to it) and an 8-bit port index
// (the low byte of the argument); an index beyond the adapter's ports, or of a port the
// binding never reached, is refused (0, or no effect). The COM driver looks these up by name.
//
// Lifetime: any number of COM driver threads may be inside these calls when the adapter is
// removed; ComClose wakes the ones that wait, and the record lives on until every call that
// entered has returned (a call that enters once removal is past the port's close gets the
// closed-port result). The COM driver need not drain its ports in UsbComDetach; it must only
// not begin a call on a port after both its ComClose and the port's UsbComDetach returned.
#pragma once

#include <windows.h>

struct UsbFps;

#ifdef __cplusplus
extern "C" {
#endif

// ---- port control and events --------------------------------------------------
// Opens the port: resets its state, applies "Interface" and "FIFO" from the registry key
// lpszKeyPath (under HKEY_LOCAL_MACHINE) to the adapter. Returns 1.
DWORD WINAPI ComOpen(struct UsbFps *pUsbFps, DWORD dwPort, LPCWSTR lpszKeyPath);
// Closes the port and wakes every thread waiting on it.
void WINAPI ComClose(struct UsbFps *pUsbFps, DWORD dwPort);
// Hands the port's serial settings over (28-byte DCB).
void WINAPI SetDBC(struct UsbFps *pUsbFps, const DCB *pDcb, DWORD dwPort);
// Stores the port's event character (the receive path uses the DCB's EvtChar).
void WINAPI SetEventCHAR(struct UsbFps *pUsbFps, BYTE bChar, DWORD dwPort);
// bSet 0: returns the event mask. Otherwise sets it, ends a pending WaitComPortEvent and
// returns 0.
DWORD WINAPI Set_MaskEvent(struct UsbFps *pUsbFps, DWORD dwPort, DWORD dwMask, DWORD bSet);
// Waits for an event of the mask; 1 when the wait ended with the port open (the events
// word written when an event ended it), 0 when the port is closed or the mask is empty.
DWORD WINAPI WaitComPortEvent(struct UsbFps *pUsbFps, DWORD dwPort, DWORD *pdwEvents);

// ---- port data --------------------------------------------------------------------
// Takes up to dwLength received bytes; never waits. Returns the count.
DWORD WINAPI ReadUsb(struct UsbFps *pUsbFps, LPVOID pBuffer, DWORD dwLength, DWORD dwPort);
// Sends one transmit frame of at most 252 (high speed) or 60 (full speed) bytes; waits for
// the port's transmit window. Returns the payload bytes sent, 0 on any failure.
DWORD WINAPI WriteUsb(struct UsbFps *pUsbFps, LPCVOID pData, DWORD dwLength, DWORD dwPort);
// Waits up to dwTimeout ms for received data; 3 when the transmit window is open, else 2.
DWORD WINAPI WaitDataEvent(struct UsbFps *pUsbFps, DWORD dwPort, DWORD dwTimeout);
// Selector 1: hold bits (cleared), 2: CE_ error bits (cleared), 3: bytes waiting,
// 4: modem status (MS_CTS_ON, MS_DSR_ON, MS_RLSD_ON); any other: 0.
DWORD WINAPI USBPortSatus(struct UsbFps *pUsbFps, BYTE bSelector, DWORD dwPort);

// ---- vendor commands ---------------------------------------------------------------
// Vendor commands (any request code; 0x30 goes out as 0x85). Always returns 1.
DWORD WINAPI QSXPort_Vender(struct UsbFps *pUsbFps, DWORD dwCode, DWORD dwValue, DWORD dwPort,
                            DWORD dwLength, LPVOID lpData);
// Purge in the adapter; mask is exactly one of PURGE_TXABORT, _RXABORT, _TXCLEAR, _RXCLEAR.
DWORD WINAPI Serial_PURGE(struct UsbFps *pUsbFps, DWORD dwMask, DWORD dwPort);

#ifdef __cplusplus
}
#endif

// The same entry points as the COM driver finds them with GetProcAddressW.
typedef DWORD (WINAPI *PFN_COMOPEN)(struct UsbFps *, DWORD, LPCWSTR);
typedef void (WINAPI *PFN_COMCLOSE)(struct UsbFps *, DWORD);
typedef void (WINAPI *PFN_SETDBC)(struct UsbFps *, const DCB *, DWORD);
typedef void (WINAPI *PFN_SETEVENTCHAR)(struct UsbFps *, BYTE, DWORD);
typedef DWORD (WINAPI *PFN_SET_MASKEVENT)(struct UsbFps *, DWORD, DWORD, DWORD);
typedef DWORD (WINAPI *PFN_WAITCOMPORTEVENT)(struct UsbFps *, DWORD, DWORD *);
typedef DWORD (WINAPI *PFN_READUSB)(struct UsbFps *, LPVOID, DWORD, DWORD);
typedef DWORD (WINAPI *PFN_WRITEUSB)(struct UsbFps *, LPCVOID, DWORD, DWORD);
typedef DWORD (WINAPI *PFN_WAITDATAEVENT)(struct UsbFps *, DWORD, DWORD);
typedef DWORD (WINAPI *PFN_USBPORTSATUS)(struct UsbFps *, BYTE, DWORD);
typedef DWORD (WINAPI *PFN_QSXPORT_VENDER)(struct UsbFps *, DWORD, DWORD, DWORD, DWORD, LPVOID);
typedef DWORD (WINAPI *PFN_SERIAL_PURGE)(struct UsbFps *, DWORD, DWORD);

// What QSXPDD expects of the COM driver, found by name in the library named by the
// registry: one call per port at attach (nonzero per-port handle, or 0 to stop binding)
// and one per bound port at removal (nonzero on success).
typedef HANDLE (WINAPI *PFN_USBCOMATTACH)(LPVOID pUsbFps, DWORD dwPort, DWORD dwProductId);
typedef BOOL (WINAPI *PFN_USBCOMDETACH)(HANDLE hComPort);
