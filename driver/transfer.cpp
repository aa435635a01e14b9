// USB transfer wrappers and their helpers: issue, wait with a time limit, collect the
// status, close, and turn the outcome into one platform error code.
#include "transfer.h"

DWORD WINAPI UsbTransferNotify(LPVOID lpvNotifyParameter)
{
    HANDLE hEvent = (HANDLE)lpvNotifyParameter;

    if (hEvent == NULL) {
        SetLastError(ERROR_INVALID_HANDLE);
        return ERROR_INVALID_HANDLE;
    }
    if (!SetEvent(hEvent))
        return GetLastError();
    return 0;
}

BOOL UsbTransferStatus(LPCUSB_FUNCS lpUsbFuncs, USB_TRANSFER hTransfer,
                       LPDWORD lpdwBytesTransferred, LPDWORD lpdwUsbError)
{
    if (!lpUsbFuncs->lpGetTransferStatus(hTransfer, lpdwBytesTransferred, lpdwUsbError)) {
        *lpdwUsbError = USB_CANCELED_ERROR;
        return FALSE;
    }
    return TRUE;
}

BOOL UsbCloseTransfer(LPCUSB_FUNCS lpUsbFuncs, USB_TRANSFER hTransfer)
{
    return lpUsbFuncs->lpCloseTransfer(hTransfer) ? TRUE : FALSE;
}

DWORD UsbResetEvent(HANDLE hEvent)
{
    if (ResetEvent(hEvent))
        return TRUE;
    return GetLastError();
}

// The part both wrappers share once the transfer was issued: wait for its event when it
// has one, read its status, close it. Returns the result code so far.
static DWORD FinishTransfer(LPCUSB_FUNCS lpUsbFuncs, USB_TRANSFER hTransfer,
                            LPTRANSFER_NOTIFY_ROUTINE lpNotify, HANDLE hEvent,
                            LPDWORD lpdwBytesTransferred, DWORD dwTimeout,
                            LPDWORD lpdwUsbError)
{
    DWORD dwResult = 0;

    if (hEvent != NULL && lpNotify != NULL) {
        if (dwTimeout == 0) {
            // The caller takes the transfer over: its handle travels in the error word.
            *lpdwUsbError = (DWORD)(ULONG_PTR)hTransfer;
            return 0;
        }
        switch (WaitForSingleObject(hEvent, dwTimeout)) {
        case WAIT_OBJECT_0:
            UsbTransferStatus(lpUsbFuncs, hTransfer, lpdwBytesTransferred, lpdwUsbError);
            break;
        case WAIT_TIMEOUT:
            // What was done so far still counts for the caller.
            UsbTransferStatus(lpUsbFuncs, hTransfer, lpdwBytesTransferred, lpdwUsbError);
            dwResult = ERROR_TIMEOUT;
            break;
        default:
            dwResult = ERROR_GEN_FAILURE;
            break;
        }
    } else {
        UsbTransferStatus(lpUsbFuncs, hTransfer, lpdwBytesTransferred, lpdwUsbError);
    }
    UsbCloseTransfer(lpUsbFuncs, hTransfer);
    return dwResult;
}

static DWORD CompleteResult(DWORD dwResult, LPDWORD lpdwUsbError)
{
    if (dwResult == 0 && lpdwUsbError != NULL && *lpdwUsbError != USB_NO_ERROR)
        dwResult = ERROR_GEN_FAILURE;
    if (dwResult != 0)
        SetLastError(dwResult);
    return dwResult;
}

DWORD UsbBulkTransfer(LPCUSB_FUNCS lpUsbFuncs, USB_PIPE hPipe,
                      LPTRANSFER_NOTIFY_ROUTINE lpNotify, HANDLE hEvent, DWORD dwFlags,
                      LPVOID lpvBuffer, ULONG uPhysical, DWORD dwLength,
                      LPDWORD lpdwBytesTransferred, DWORD dwTimeout, LPDWORD lpdwUsbError)
{
    DWORD dwResult = 0;
    USB_TRANSFER hTransfer;

    if (lpUsbFuncs == NULL || hPipe == NULL || lpdwBytesTransferred == NULL ||
        lpdwUsbError == NULL) {
        dwResult = ERROR_INVALID_PARAMETER;
        goto done;
    }
    *lpdwBytesTransferred = 0;
    *lpdwUsbError = USB_NO_ERROR;

    // Only this transfer's completion may signal the event the wait below uses.
    if (hEvent != NULL && lpNotify != NULL && dwTimeout != 0)
        UsbResetEvent(hEvent);

    hTransfer = lpUsbFuncs->lpIssueBulkTransfer(hPipe, lpNotify, hEvent, dwFlags, dwLength,
                                                lpvBuffer, uPhysical);
    if (hTransfer == NULL) {
        dwResult = GetLastError();
        goto done;
    }
    dwResult = FinishTransfer(lpUsbFuncs, hTransfer, lpNotify, hEvent, lpdwBytesTransferred,
                              dwTimeout, lpdwUsbError);
    if (hEvent != NULL && lpNotify != NULL && dwTimeout == 0)
        return 0;  // the caller owns the transfer; nothing else is touched

done:
    return CompleteResult(dwResult, lpdwUsbError);
}

DWORD UsbVendorTransfer(LPCUSB_FUNCS lpUsbFuncs, USB_HANDLE hDevice,
                        LPTRANSFER_NOTIFY_ROUTINE lpNotify, HANDLE hEvent, DWORD dwFlags,
                        LPCUSB_DEVICE_REQUEST lpRequest, LPVOID lpvBuffer, ULONG uPhysical,
                        LPDWORD lpdwBytesTransferred, DWORD dwTimeout, LPDWORD lpdwUsbError)
{
    DWORD dwResult = 0;
    USB_TRANSFER hTransfer;

    if (lpUsbFuncs == NULL || hDevice == NULL || lpRequest == NULL ||
        lpdwBytesTransferred == NULL || lpdwUsbError == NULL) {
        dwResult = ERROR_INVALID_PARAMETER;
        goto done;
    }
    *lpdwBytesTransferred = 0;
    *lpdwUsbError = USB_NO_ERROR;

    if (hEvent != NULL && lpNotify != NULL && dwTimeout != 0)
        UsbResetEvent(hEvent);

    hTransfer = lpUsbFuncs->lpIssueVendorTransfer(hDevice, lpNotify, hEvent, dwFlags,
                                                  lpRequest, lpvBuffer, uPhysical);
    if (hTransfer == NULL) {
        dwResult = ERROR_GEN_FAILURE;
        goto done;
    }
    dwResult = FinishTransfer(lpUsbFuncs, hTransfer, lpNotify, hEvent, lpdwBytesTransferred,
                              dwTimeout, lpdwUsbError);
    if (hEvent != NULL && lpNotify != NULL && dwTimeout == 0)
        return 0;

done:
    return CompleteResult(dwResult, lpdwUsbError);
}
