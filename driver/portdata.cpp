// Port data exports: ReadUsb empties a port's receive ring, WriteUsb sends one transmit
// frame on the shared output pipe within the port's 4096-byte transmit window,
// WaitDataEvent waits for received data, USBPortSatus answers status queries.
//
// Transmit frame: byte 0 is 0x80 when the frame closes the port's window, byte 1 the port,
// bytes 2-3 the payload length (big-endian), then the payload: at most 252 bytes at high
// speed (a frame of 256) and 60 at full speed (one 64-byte packet).
//
// Every export runs inside the port's call reference (rundown.h): a call that finds the
// port never set up or run down by detach gives the closed-port result.
#include <string.h>

#include <dbgapi.h>

#include "atomics.h"
#include "qsxpdd.h"
#include "qsxport.h"
#include "rundown.h"
#include "transfer.h"

#define FRAME_HEADER 4
#define FRAME_MAX_HS 252
#define FRAME_FLAG_CLOSES_WINDOW 0x80
#define WRITE_TIMEOUT_MS 2000

static DWORD RingCount(FpsPort *pPort)
{
    return (AtomicRead(&pPort->RxHead) - AtomicRead(&pPort->RxTail)) & RX_RING_MASK;
}

extern "C" DWORD WINAPI ReadUsb(struct UsbFps *pUsbFps, LPVOID pBuffer, DWORD dwLength, DWORD dwPort)
{
    FpsPort *pPort;
    BYTE *pOut = (BYTE *)pBuffer;
    DWORD dwCopied = 0;

    if (pBuffer == NULL || dwLength == 0)
        return 0;
    pPort = EnterPort(pUsbFps, dwPort);
    if (pPort == NULL)
        return 0;

    // Bytes that arrive while copying are taken too, piece by piece.
    while (dwCopied < dwLength) {
        DWORD dwTail, n, cbFirst;

        EnterCriticalSection(&pPort->RxLock);
        dwTail = AtomicRead(&pPort->RxTail);
        n = RingCount(pPort);
        if (n > dwLength - dwCopied)
            n = dwLength - dwCopied;
        if (n == 0) {
            LeaveCriticalSection(&pPort->RxLock);
            break;
        }
        cbFirst = RX_RING_SIZE - dwTail;
        if (cbFirst > n)
            cbFirst = n;
        memcpy(pOut + dwCopied, &pPort->RxRing[dwTail], cbFirst);
        memcpy(pOut + dwCopied + cbFirst, &pPort->RxRing[0], n - cbFirst);
        AtomicWrite(&pPort->RxTail, (dwTail + n) & RX_RING_MASK);
        LeaveCriticalSection(&pPort->RxLock);
        dwCopied += n;
    }

    // The reader's next wait returns at once, so bytes left in the ring are not forgotten.
    if (dwCopied != 0)
        SetEvent(pPort->RxEvent);
    LeavePort(pUsbFps, pPort);
    return dwCopied;
}

// Waits until the port's transmit window is open and takes both locks. FALSE (no lock
// held) when the port was closed meanwhile.
static BOOL AcquireWindow(struct UsbFps *pUsbFps, FpsPort *pPort)
{
    for (;;) {
        while (!AtomicRead(&pPort->TxReady)) {
            // ComClose leaves TxReady 0 and the manual-reset event set: a closed port
            // must end the wait, not turn it into a spin. Detach's rundown ends it too.
            if (!AtomicRead(&pPort->IsOpen) || PortRundown(pPort))
                return FALSE;
            WaitForSingleObject(pPort->TxReadyEvent, INFINITE);
        }
        EnterCriticalSection(&pUsbFps->BulkOutLock);
        EnterCriticalSection(&pPort->TxLock);
        // Another writer of the same port may have closed the window meanwhile.
        if (AtomicRead(&pPort->TxReady))
            return TRUE;
        LeaveCriticalSection(&pPort->TxLock);
        LeaveCriticalSection(&pUsbFps->BulkOutLock);
    }
}

extern "C" DWORD WINAPI WriteUsb(struct UsbFps *pUsbFps, LPCVOID pData, DWORD dwLength, DWORD dwPort)
{
    FpsPort *pPort;
    BYTE frame[FRAME_HEADER + FRAME_MAX_HS];
    DWORD dwLimit, n, dwSent = 0, dwUsbError = 0, dwResult, dwPayload = 0;

    if (pData == NULL || dwLength == 0)
        return 0;
    pPort = EnterPort(pUsbFps, dwPort);
    if (pPort == NULL)
        return 0;
    if (!AtomicRead(&pPort->IsOpen)) {
        NKDbgPrintfW(TEXT("Devie has been close!! \n"));
        goto done;
    }
    dwLimit = (pUsbFps->MaxPacket == 512) ? FRAME_MAX_HS : pUsbFps->MaxPacket - FRAME_HEADER;
    if (!AcquireWindow(pUsbFps, pPort))
        goto done;

    n = dwLength < dwLimit ? dwLength : dwLimit;
    frame[0] = (pPort->TxWindowBytes + n + FRAME_HEADER >= TX_WINDOW_SIZE) ? FRAME_FLAG_CLOSES_WINDOW : 0;
    frame[1] = (BYTE)dwPort;
    frame[2] = (BYTE)(n >> 8);
    frame[3] = (BYTE)n;
    memcpy(frame + FRAME_HEADER, pData, n);

    dwResult = UsbBulkTransfer(pUsbFps->UsbFuncs, pUsbFps->BulkOutPipe, UsbTransferNotify,
                               pUsbFps->BulkOutEvent, USB_OUT_TRANSFER, frame, 0, n + FRAME_HEADER,
                               &dwSent, WRITE_TIMEOUT_MS, &dwUsbError);
    // A frame whose completion only came late was still taken whole by the adapter (the
    // host stack reports all of it sent, without error): calling it failed would make the
    // caller send its bytes again, and the far end would get them twice.
    if (dwResult == ERROR_TIMEOUT && dwUsbError == 0 && dwSent == n + FRAME_HEADER)
        dwResult = 0;
    // A transfer the host stack did not even issue, without naming an error, took nothing:
    // it is a failure like any other, not a frame that raises EV_TXEMPTY.
    if (dwResult != 0 || dwUsbError != 0 || dwSent < FRAME_HEADER) {
        NKDbgPrintfW(dwLength <= dwLimit ? TEXT("Bulk Error 1\n") : TEXT("Bulk Error 2\n"));
        LeaveCriticalSection(&pPort->TxLock);
        LeaveCriticalSection(&pUsbFps->BulkOutLock);
        goto done;
    }

    pPort->TxWindowBytes += dwSent;
    if (AtomicRead(&pPort->EventMask) & EV_TXEMPTY) {
        AtomicSetBits(&pPort->EventsPending, EV_TXEMPTY);
        AtomicWrite(&pPort->EventFired, 1);
        SetEvent(pPort->CommEvent);
    }
    if (pPort->TxWindowBytes >= TX_WINDOW_SIZE) {
        ResetEvent(pPort->TxReadyEvent);
        AtomicWrite(&pPort->TxReady, 0);
        pPort->TxWindowBytes = 0;
    }
    LeaveCriticalSection(&pPort->TxLock);
    LeaveCriticalSection(&pUsbFps->BulkOutLock);

    dwPayload = dwSent - FRAME_HEADER;
done:
    LeavePort(pUsbFps, pPort);
    return dwPayload;
}

extern "C" DWORD WINAPI WaitDataEvent(struct UsbFps *pUsbFps, DWORD dwPort, DWORD dwTimeout)
{
    FpsPort *pPort = EnterPort(pUsbFps, dwPort);
    DWORD dwResult;

    // A port that is gone has no open transmit window.
    if (pPort == NULL)
        return 2;
    WaitForSingleObject(pPort->RxEvent, dwTimeout);
    // Detach wakes one reader of the auto-reset event; each passes it on to the next.
    if (PortRundown(pPort))
        SetEvent(pPort->RxEvent);
    dwResult = AtomicRead(&pPort->TxReady) ? 3 : 2;
    LeavePort(pUsbFps, pPort);
    return dwResult;
}

extern "C" DWORD WINAPI USBPortSatus(struct UsbFps *pUsbFps, BYTE bSelector, DWORD dwPort)
{
    FpsPort *pPort = EnterPort(pUsbFps, dwPort);
    DWORD dwResult;

    if (pPort == NULL)
        return 0;
    switch (bSelector) {
    case 1:
        // Read and clear in one step, so a bit set meanwhile is never lost.
        dwResult = AtomicExchange(&pPort->HoldFlags, 0);
        break;
    case 2:
        dwResult = AtomicExchange(&pPort->Errors, 0);
        break;
    case 3:
        dwResult = RingCount(pPort);
        break;
    case 4:
        dwResult = AtomicRead(&pPort->LastMsr) & (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
        break;
    default:
        dwResult = 0;
        break;
    }
    LeavePort(pUsbFps, pPort);
    return dwResult;
}
