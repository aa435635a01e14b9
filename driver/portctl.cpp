// Port control and event exports: opening and closing a port, its serial settings and
// event character, and the communication-event wait.
//
// Event protocol: a producer ORs its bits into EventsPending and sets EventFired before it
// sets CommEvent; WaitComPortEvent resets CommEvent before it looks at EventFired, so an
// event that arrives during a wait is never lost.
#include <string.h>

#include <dbgapi.h>

#include "atomics.h"
#include "qsxpdd.h"
#include "keyvalues.h"
#include "model.h"
#include "qsxport.h"
#include "vendor.h"

static FpsPort *PortOf(struct UsbFps *pUsbFps, DWORD dwPort)
{
    BYTE bPort = (BYTE)dwPort;
    if (pUsbFps == NULL || bPort >= pUsbFps->PortCount)
        return NULL;
    return &pUsbFps->Ports[bPort];
}

// Reads one of the port's settings; a missing or unreadable value counts as 0.
static DWORD ReadPortSetting(LPCWSTR lpszKeyPath, LPCWSTR lpszName)
{
    DWORD dwValue = 0;
    if (!GetKeyDword(lpszKeyPath, lpszName, &dwValue)) {
        NKDbgPrintfW(TEXT("Get KeyValues failed!\n"));
        dwValue = 0;
    }
    return dwValue;
}

extern "C" DWORD WINAPI ComOpen(struct UsbFps *pUsbFps, DWORD dwPort, LPCWSTR lpszKeyPath)
{
    FpsPort *pPort = PortOf(pUsbFps, dwPort);
    DWORD dwInterface, dwFifo;
    WORD wMode;
    HANDLE hOld;

    if (pPort == NULL)
        return 0;

    AtomicWrite(&pPort->IsOpen, 1);
    EnterCriticalSection(&pPort->TxLock);
    AtomicWrite(&pPort->TxReady, 1);
    pPort->TxWindowBytes = 0;
    LeaveCriticalSection(&pPort->TxLock);

    // Data received while the port was closed is dropped; the reset is made under the
    // ring's lock so a chunk being stored right now cannot tear it.
    EnterCriticalSection(&pPort->RxLock);
    AtomicWrite(&pPort->RxHead, 0);
    AtomicWrite(&pPort->RxTail, 0);
    LeaveCriticalSection(&pPort->RxLock);

    AtomicWrite(&pPort->EventsPending, 0);
    AtomicWrite(&pPort->HoldFlags, 0);
    AtomicWrite(&pPort->Errors, 0);
    AtomicWrite(&pPort->LastMsr, 0);
    AtomicWrite(&pPort->EventMask, 0);
    AtomicWrite(&pPort->EventFired, 0);
    AtomicWrite(&pPort->RxOverflow, 0);
    pPort->EventChar = 0;

    // A port opened again gets a new close event; the old one is released, not leaked.
    hOld = (HANDLE)InterlockedExchangePointer(&pPort->CloseEvent, CreateEvent(NULL, FALSE, FALSE, NULL));
    if (hOld != NULL) {
        SetEvent(hOld);
        CloseHandle(hOld);
    }

    dwInterface = ReadPortSetting(lpszKeyPath, TEXT("Interface"));
    if (IsRs232OnlyModel(pUsbFps->ProductId))
        dwInterface = 0;
    wMode = LOWORD(dwInterface);
    pPort->InterfaceMode = (wMode >= 1 && wMode <= 3) ? (BYTE)wMode : 0;

    dwFifo = ReadPortSetting(lpszKeyPath, TEXT("FIFO"));
    pPort->FifoEnabled = LOWORD(dwFifo) != 0 ? 1 : 0;

    // The FIFO request's value turns the FIFO off.
    QSXPort_Vender(pUsbFps, VREQ_SET_FIFO, pPort->FifoEnabled ? 0 : 1, dwPort, 0, NULL);
    return QSXPort_Vender(pUsbFps, VREQ_SET_INTERFACE, pPort->InterfaceMode, dwPort, 0, NULL);
}

extern "C" void WINAPI ComClose(struct UsbFps *pUsbFps, DWORD dwPort)
{
    FpsPort *pPort = PortOf(pUsbFps, dwPort);
    HANDLE hClose;

    if (pPort == NULL)
        return;

    AtomicWrite(&pPort->IsOpen, 0);
    EnterCriticalSection(&pPort->TxLock);
    AtomicWrite(&pPort->TxReady, 0);
    LeaveCriticalSection(&pPort->TxLock);

    // Wake everyone: a writer waiting for the window, a reader in WaitDataEvent, an event
    // waiter, and last detach waiting for the close. Detach frees the port record once it
    // is released, so the close event is taken out of the field and signalled only after
    // the last touch of the port.
    SetEvent(pPort->TxReadyEvent);
    SetEvent(pPort->RxEvent);
    SetEvent(pPort->CommEvent);

    // Detach may take the event out of the field too; whoever gets it closes it.
    hClose = (HANDLE)InterlockedExchangePointer(&pPort->CloseEvent, NULL);
    if (hClose != NULL) {
        SetEvent(hClose);
        CloseHandle(hClose);
    }
}

extern "C" void WINAPI SetDBC(struct UsbFps *pUsbFps, const DCB *pDcb, DWORD dwPort)
{
    FpsPort *pPort = PortOf(pUsbFps, dwPort);
    DWORD dwShadow;

    if (pPort == NULL || pDcb == NULL)
        return;
    dwShadow = (BYTE)pDcb->EvtChar;
    if (pDcb->fNull)
        dwShadow |= DCB_SHADOW_NULL;
    if (pDcb->fOutX)
        dwShadow |= DCB_SHADOW_OUTX;
    if (pDcb->fInX)
        dwShadow |= DCB_SHADOW_INX;

    EnterCriticalSection(&pUsbFps->StateLock);
    memcpy(&pPort->Dcb, pDcb, sizeof(DCB));
    AtomicWrite(&pPort->DcbShadow, dwShadow);
    LeaveCriticalSection(&pUsbFps->StateLock);
}

extern "C" void WINAPI SetEventCHAR(struct UsbFps *pUsbFps, BYTE bChar, DWORD dwPort)
{
    FpsPort *pPort = PortOf(pUsbFps, dwPort);

    if (pPort != NULL)
        pPort->EventChar = bChar;
}

extern "C" DWORD WINAPI Set_MaskEvent(struct UsbFps *pUsbFps, DWORD dwPort, DWORD dwMask, DWORD bSet)
{
    FpsPort *pPort = PortOf(pUsbFps, dwPort);

    if (pPort == NULL)
        return 0;
    if (!bSet)
        return AtomicRead(&pPort->EventMask);

    AtomicWrite(&pPort->EventMask, dwMask);
    AtomicWrite(&pPort->EventFired, 0);
    AtomicWrite(&pPort->WaitAbort, 1);
    AtomicWrite(&pPort->EventsPending, 0);
    SetEvent(pPort->CommEvent);
    return 0;
}

extern "C" DWORD WINAPI WaitComPortEvent(struct UsbFps *pUsbFps, DWORD dwPort, DWORD *pdwEvents)
{
    FpsPort *pPort = PortOf(pUsbFps, dwPort);

    if (pPort == NULL)
        return 0;
    if (!AtomicRead(&pPort->IsOpen) || AtomicRead(&pPort->EventMask) == 0) {
        AtomicWrite(&pPort->EventMask, 0);
        return 0;
    }

    AtomicWrite(&pPort->WaitAbort, 0);
    for (;;) {
        ResetEvent(pPort->CommEvent);
        // The reset may have taken ComClose's wake-up; ComClose clears IsOpen before it
        // signals, so a close that happened by now is seen here instead of never.
        if (!AtomicRead(&pPort->IsOpen))
            break;
        if (AtomicRead(&pPort->EventFired) == 1) {
            if (pdwEvents != NULL)
                *pdwEvents = AtomicRead(&pPort->EventsPending) & AtomicRead(&pPort->EventMask);
            AtomicWrite(&pPort->EventFired, 0);
            break;
        }
        // An empty mask ends the wait like a mask change does: a Set_MaskEvent that came
        // between the first check and clearing WaitAbort had its abort overwritten, and
        // with nothing selected no event would ever end the wait.
        if (AtomicRead(&pPort->WaitAbort) == 1 || AtomicRead(&pPort->EventMask) == 0) {
            AtomicWrite(&pPort->EventMask, 0);
            break;
        }
        WaitForSingleObject(pPort->CommEvent, INFINITE);
        if (!AtomicRead(&pPort->IsOpen))
            break;
    }

    if (!AtomicRead(&pPort->IsOpen)) {
        AtomicWrite(&pPort->EventMask, 0);
        return 0;
    }
    return 1;
}
