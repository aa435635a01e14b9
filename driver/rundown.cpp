// Call references and rundown (see rundown.h).
//
// A CallRef counts the calls inside; its top bit says the rundown began. A call gets in only
// by one compare-exchange that finds the bit clear, so once detach has set it the count can
// only fall. The call that brings the count to zero under the bit signals RundownEvent:
// exactly once per reference, and only when detach found calls inside. Detach runs one
// reference down at a time, so the signal it waits for is always that reference's own.
#include "rundown.h"

#include "atomics.h"

static BOOL EnterCall(volatile DWORD *pRef)
{
    LONG lOld;

    do {
        lOld = (LONG)AtomicRead(pRef);
        if ((DWORD)lOld & PORT_RUNDOWN)
            return FALSE;
    } while (InterlockedCompareExchange((LONG volatile *)pRef, lOld + 1, lOld) != lOld);
    return TRUE;
}

static void LeaveCall(struct UsbFps *pUsbFps, volatile DWORD *pRef)
{
    // Read while the reference still holds the record; the decrement is the last touch.
    HANDLE hRundown = pUsbFps->RundownEvent;

    if ((DWORD)InterlockedDecrement((LONG volatile *)pRef) == PORT_RUNDOWN)
        SetEvent(hRundown);
}

// Sets the rundown bit; TRUE when calls were inside, whose last one will signal.
static BOOL StartRundown(volatile DWORD *pRef)
{
    return (AtomicSetBits(pRef, PORT_RUNDOWN) & PORT_CALLS) != 0;
}

FpsPort *EnterPort(struct UsbFps *pUsbFps, DWORD dwPort)
{
    BYTE bPort = (BYTE)dwPort;
    FpsPort *pPort;

    if (pUsbFps == NULL || bPort >= pUsbFps->PortCount)
        return NULL;
    pPort = &pUsbFps->Ports[bPort];
    // Ready is written once, before the COM driver ever gets the record.
    if (!pPort->Ready || !EnterCall(&pPort->CallRef))
        return NULL;
    return pPort;
}

void LeavePort(struct UsbFps *pUsbFps, FpsPort *pPort)
{
    LeaveCall(pUsbFps, &pPort->CallRef);
}

BOOL EnterDevice(struct UsbFps *pUsbFps)
{
    return pUsbFps != NULL && EnterCall(&pUsbFps->CallRef);
}

void LeaveDevice(struct UsbFps *pUsbFps)
{
    LeaveCall(pUsbFps, &pUsbFps->CallRef);
}

BOOL PortRundown(FpsPort *pPort)
{
    return (AtomicRead(&pPort->CallRef) & PORT_RUNDOWN) != 0;
}

void RundownPort(struct UsbFps *pUsbFps, FpsPort *pPort)
{
    if (!StartRundown(&pPort->CallRef))
        return;
    // Wake whoever still waits inside: a writer for its window, an event waiter, a reader
    // in WaitDataEvent (each passes the wake-up on to the next before it leaves).
    SetEvent(pPort->TxReadyEvent);
    SetEvent(pPort->CommEvent);
    SetEvent(pPort->RxEvent);
    WaitForSingleObject(pUsbFps->RundownEvent, INFINITE);
}

void RundownDevice(struct UsbFps *pUsbFps)
{
    if (StartRundown(&pUsbFps->CallRef))
        WaitForSingleObject(pUsbFps->RundownEvent, INFINITE);
}
