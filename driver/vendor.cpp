// Vendor command channel: SendVendorCommand builds the setup packet and issues it through
// UsbVendorTransfer; QSXPort_Vender and Serial_PURGE are its exported entry points.
//
// All requests of one adapter share VendorEvent, so VendorLock keeps them from
// overlapping: a second request would otherwise end or stretch the first one's wait.
#include "vendor.h"

#include "atomics.h"
#include "qsxport.h"
#include "rundown.h"
#include "transfer.h"

// An 8-bit argument widened to a 16-bit setup field the way the adapter expects it.
static USHORT SignExtend8(DWORD dwValue)
{
    return (USHORT)(SHORT)(signed char)(BYTE)dwValue;
}

DWORD SendVendorCommand(PUSBFPS pUsbFps, DWORD dwCode, DWORD dwValue, DWORD dwPort,
                        DWORD dwLength, LPVOID lpData)
{
    USB_DEVICE_REQUEST request;
    DWORD dwBytes = 0;
    DWORD dwUsbError = 0;
    DWORD dwResult;
    BYTE bCode = (BYTE)dwCode;
    BYTE bPort = (BYTE)dwPort;

    request.bmRequestType = USB_REQUEST_HOST_TO_DEVICE | USB_REQUEST_VENDOR | USB_REQUEST_FOR_DEVICE;
    request.bRequest = (bCode == VREQ_ALIAS_30) ? VREQ_ALIAS_30_WIRE : bCode;
    request.wValue = SignExtend8(dwValue);
    request.wIndex = SignExtend8(dwPort);
    request.wLength = SignExtend8(dwLength);

    // The overflow mark follows the request whether or not the adapter takes it; a port
    // index beyond the adapter's ports has no block to mark.
    if (bCode == VREQ_RX_OVERFLOW && bPort < pUsbFps->PortCount) {
        if ((BYTE)dwValue == 0)
            AtomicWrite(&pUsbFps->Ports[bPort].RxOverflow, 1);
        else if ((BYTE)dwValue == 1)
            AtomicWrite(&pUsbFps->Ports[bPort].RxOverflow, 0);
    }

    if ((BYTE)dwLength > VENDOR_MAX_DATA) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 1;
    }

    EnterCriticalSection(&pUsbFps->VendorLock);
    dwResult = UsbVendorTransfer(pUsbFps->UsbFuncs, pUsbFps->hDevice, UsbTransferNotify,
                                 pUsbFps->VendorEvent, USB_OUT_TRANSFER, &request, lpData, 0,
                                 &dwBytes, VENDOR_TIMEOUT_MS, &dwUsbError);
    LeaveCriticalSection(&pUsbFps->VendorLock);

    return dwResult != 0 ? 1 : 0;
}

extern "C" DWORD WINAPI QSXPort_Vender(struct UsbFps *pUsbFps, DWORD dwCode, DWORD dwValue,
                                       DWORD dwPort, DWORD dwLength, LPVOID lpData)
{
    // The index need not name a port, so the record's own reference keeps it alive.
    if (!EnterDevice(pUsbFps))
        return 1;
    SendVendorCommand(pUsbFps, dwCode, dwValue, dwPort, dwLength, lpData);
    LeaveDevice(pUsbFps);
    return 1;
}

extern "C" DWORD WINAPI Serial_PURGE(struct UsbFps *pUsbFps, DWORD dwMask, DWORD dwPort)
{
    switch ((BYTE)dwMask) {
    case PURGE_TXABORT:
    case PURGE_RXABORT:
    case PURGE_TXCLEAR:
    case PURGE_RXCLEAR:
        return QSXPort_Vender(pUsbFps, VREQ_PURGE, (BYTE)dwMask, dwPort, 0, NULL);
    default:
        // Nothing goes out for no flag or several; callers must not read the result.
        return 0xFFFFFFFF;
    }
}
