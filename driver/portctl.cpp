// Port control and event exports: opening and closing a port, its serial settings and
// event character, and the communication-event wait.
//
// Event protocol: a producer ORs its bits into EventsPending and sets EventFired before it
// sets CommEvent; WaitComPortEvent resets CommEvent before it looks at EventFired, and takes
// EventFired with one exchange before it reads the bits, so an event that arrives at any
// point of a wait either ends this wait or the next one, never neither.
//
// Every export runs inside the port's call reference (rundown.h): a call that finds the
// port never set up or run down by detach gives the closed-port result.
#include <string.h>

#include <dbgapi.h>

#include "atomics.h"
#include "qsxpdd.h"
#include "keyvalues.h"
#include "model.h"
#include "qsxport.h"
#include "rundown.h"
#include "vendor.h"

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
    FpsPort *pPort = EnterPort(pUsbFps, dwPort);
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
    hOld = AtomicExchangeHandle(&pPort->CloseEvent, CreateEvent(NULL, FALSE, FALSE, NULL));
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

    // The FIFO request's value turns the FIFO off. Outcomes are not looked at: the open
    // succeeds whatever the adapter answers.
    SendVendorCommand(pUsbFps, VREQ_SET_FIFO, pPort->FifoEnabled ? 0 : 1, dwPort, 0, NULL);
    SendVendorCommand(pUsbFps, VREQ_SET_INTERFACE, pPort->InterfaceMode, dwPort, 0, NULL);
    LeavePort(pUsbFps, pPort);
    return 1;
}

extern "C" void WINAPI ComClose(struct UsbFps *pUsbFps, DWORD dwPort)
{
    FpsPort *pPort = EnterPort(pUsbFps, dwPort);
    HANDLE hClose;

    if (pPort == NULL)
        return;

    AtomicWrite(&pPort->IsOpen, 0);
    EnterCriticalSection(&pPort->TxLock);
    AtomicWrite(&pPort->TxReady, 0);
    LeaveCriticalSection(&pPort->TxLock);

    // Wake everyone: a writer waiting for the window, a reader in WaitDataEvent, an event
    // waiter. The threads woken may still be inside the exports when this returns; detach
    // waits for them (rundown) before it releases anything.
    SetEvent(pPort->TxReadyEvent);
    SetEvent(pPort->RxEvent);
    SetEvent(pPort->CommEvent);

    // The close event is taken out of the field by one exchange; whoever gets it (this
    // close, the next ComOpen or detach's release) is the only one to touch it again.
    hClose = AtomicExchangeHandle(&pPort->CloseEvent, NULL);
    if (hClose != NULL) {
        SetEvent(hClose);
        CloseHandle(hClose);
    }
    // Detach may be waiting for this port to close.
    if (pUsbFps->DetachEvent != NULL)
        SetEvent(pUsbFps->DetachEvent);
    LeavePort(pUsbFps, pPort);
}

extern "C" void WINAPI SetDBC(struct UsbFps *pUsbFps, const DCB *pDcb, DWORD dwPort)
{
    FpsPort *pPort;
    DWORD dwShadow;

    if (pDcb == NULL)
        return;
    pPort = EnterPort(pUsbFps, dwPort);
    if (pPort == NULL)
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
    LeavePort(pUsbFps, pPort);
}

extern "C" void WINAPI SetEventCHAR(struct UsbFps *pUsbFps, BYTE bChar, DWORD dwPort)
{
    FpsPort *pPort = EnterPort(pUsbFps, dwPort);

    if (pPort == NULL)
        return;
    pPort->EventChar = bChar;
    LeavePort(pUsbFps, pPort);
}

extern "C" DWORD WINAPI Set_MaskEvent(struct UsbFps *pUsbFps, DWORD dwPort, DWORD dwMask, DWORD bSet)
{
    FpsPort *pPort = EnterPort(pUsbFps, dwPort);
    DWORD dwResult = 0;

    if (pPort == NULL)
        return 0;
    if (!bSet) {
        dwResult = AtomicRead(&pPort->EventMask);
    } else {
        // The mask goes in before the abort: a wait that clears WaitAbort after this store
        // sees the new mask (the change came before the wait), one that clears it before
        // sees the abort (the change came during the wait and ends it).
        AtomicWrite(&pPort->EventMask, dwMask);
        AtomicWrite(&pPort->EventFired, 0);
        AtomicWrite(&pPort->WaitAbort, 1);
        AtomicWrite(&pPort->EventsPending, 0);
        SetEvent(pPort->CommEvent);
    }
    LeavePort(pUsbFps, pPort);
    return dwResult;
}

// A wait ends for good: the port closed, or detach is running it down.
static BOOL WaitMustEnd(FpsPort *pPort)
{
    return !AtomicRead(&pPort->IsOpen) || PortRundown(pPort);
}

extern "C" DWORD WINAPI WaitComPortEvent(struct UsbFps *pUsbFps, DWORD dwPort, DWORD *pdwEvents)
{
    FpsPort *pPort = EnterPort(pUsbFps, dwPort);
    DWORD dwResult = 0;

    if (pPort == NULL)
        return 0;

    // Cleared before the mask is looked at, so every Set_MaskEvent either came before this
    // wait (its mask is the one used) or during it (its abort ends the wait).
    AtomicWrite(&pPort->WaitAbort, 0);
    if (!WaitMustEnd(pPort) && AtomicRead(&pPort->EventMask) != 0) {
        for (;;) {
            ResetEvent(pPort->CommEvent);
            // The reset may have taken the wake-up of ComClose or of detach; both change
            // their state before they signal, so it is seen here instead of never.
            if (WaitMustEnd(pPort))
                break;
            // Taken with one exchange before the bits are read: an event raised after it
            // sets EventFired again and ends the next wait at once.
            if (AtomicExchange(&pPort->EventFired, 0) == 1) {
                DWORD dwEvents = AtomicRead(&pPort->EventsPending) & AtomicRead(&pPort->EventMask);
                if (dwEvents != 0) {
                    if (pdwEvents != NULL)
                        *pdwEvents = dwEvents;
                    dwResult = 1;
                    break;
                }
                // Raised for bits the mask no longer selects: nothing to report.
            }
            // An empty mask ends the wait like a mask change: nothing could end it else.
            if (AtomicRead(&pPort->WaitAbort) == 1 || AtomicRead(&pPort->EventMask) == 0) {
                AtomicWrite(&pPort->EventMask, 0);
                dwResult = 1;
                break;
            }
            WaitForSingleObject(pPort->CommEvent, INFINITE);
        }
    }

    if (WaitMustEnd(pPort)) {
        AtomicWrite(&pPort->EventMask, 0);
        // Another waiter on the port may have missed the wake-up this one reset.
        SetEvent(pPort->CommEvent);
        dwResult = 0;
    }
    LeavePort(pUsbFps, pPort);
    return dwResult;
}
