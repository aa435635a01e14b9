// USB transfer wrappers: every bulk and vendor transfer of the driver goes through
// UsbBulkTransfer or UsbVendorTransfer, which issue it through the host stack's function
// table, optionally wait for its completion event, read its status, close it, and fold the
// outcome into one platform error code (0 success, 87 invalid parameter, 31 general
// failure, 1460 time-out) that is both returned and set as the thread's last error.
//
// Contract: the wrappers keep no state and may run on several threads at once, but two
// transfers that share one completion event must not overlap (callers serialise them).
// With no notify routine or no event, the host stack completes the transfer before
// IssueXxxTransfer returns and the time-out has no effect.
#pragma once

#include <windows.h>
#include <usbdi.h>

// Completion routine handed to the host stack: sets the event given as its parameter.
DWORD WINAPI UsbTransferNotify(LPVOID lpvNotifyParameter);

BOOL UsbTransferStatus(LPCUSB_FUNCS lpUsbFuncs, USB_TRANSFER hTransfer,
                       LPDWORD lpdwBytesTransferred, LPDWORD lpdwUsbError);
BOOL UsbCloseTransfer(LPCUSB_FUNCS lpUsbFuncs, USB_TRANSFER hTransfer);
DWORD UsbResetEvent(HANDLE hEvent);

DWORD UsbBulkTransfer(LPCUSB_FUNCS lpUsbFuncs, USB_PIPE hPipe,
                      LPTRANSFER_NOTIFY_ROUTINE lpNotify, HANDLE hEvent, DWORD dwFlags,
                      LPVOID lpvBuffer, ULONG uPhysical, DWORD dwLength,
                      LPDWORD lpdwBytesTransferred, DWORD dwTimeout, LPDWORD lpdwUsbError);

DWORD UsbVendorTransfer(LPCUSB_FUNCS lpUsbFuncs, USB_HANDLE hDevice,
                        LPTRANSFER_NOTIFY_ROUTINE lpNotify, HANDLE hEvent, DWORD dwFlags,
                        LPCUSB_DEVICE_REQUEST lpRequest, LPVOID lpvBuffer, ULONG uPhysical,
                        LPDWORD lpdwBytesTransferred, DWORD dwTimeout, LPDWORD lpdwUsbError);
