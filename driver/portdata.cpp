// Port data exports: ReadUsb empties a port's receive ring, WriteUsb sends one transmit
// frame on the shared output pipe within the port's 4096-byte transmit window,
// WaitDataEvent waits for received data, USBPortSatus answers status queries.
//
// Transmit frame: byte 0 is 0x80 when the frame closes the port's window, byte 1 the port,
// bytes 2-3 the payload length (big-endian), then the payload: at most 252 bytes at high
// speed (a frame of 256) and 60 at full speed (one 64-byte packet).
#include <string.h>

#include <dbgapi.h>

#include "atomics.h"
#include "qsxpdd.h"
#include "qsxport.h"
#include "transfer.h"

#define FRAME_HEADER 4
#define FRAME_MAX_HS 252
#define FRAME_FLAG_CLOSES_WINDOW 0x80
#define WRITE_TIMEOUT_MS 2000

// The port block for an export's port argument, or NULL when the adapter has no such port.
static FpsPort *PortOf(struct UsbFps *pUsbFps, DWORD dwPort)
{
    BYTE bPort = (BYTE)dwPort;
    if (pUsbFps == NULL || bPort >= pUsbFps->PortCount)
        return NULL;
    return &pUsbFps->Ports[bPort];
}

static DWORD RingCount(FpsPort *pPort)
{
    return (AtomicRead(&pPort->RxHead) - AtomicRead(&pPort->RxTail)) & RX_RING_MASK;
}

extern "C" DWORD WINAPI ReadUsb(struct UsbFps *pUsbFps, LPVOID pBuffer, DWORD dwLength, DWORD dwPort)
{
    FpsPort *pPort = PortOf(pUsbFps, dwPort);
    BYTE *pOut = (BYTE *)pBuffer;
    DWORD dwCopied = 0;

    if (pPort == NULL || pBuffer == NULL || dwLength == 0)
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
    return dwCopied;
}

// Waits until the port's transmit window is open and takes both locks. FALSE (no lock
// held) when the port was closed meanwhile.
static BOOL AcquireWindow(struct UsbFps *pUsbFps, FpsPort *pPort)
{
    for (;;) {
        while (!AtomicRead(&pPort->TxReady)) {
            // ComClose leaves TxReady 0 and the manual-reset event set: a closed port
            // must end the wait, not turn it into a spin.
            if (!AtomicRead(&pPort->IsOpen))
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
    FpsPort *pPort = PortOf(pUsbFps, dwPort);
    BYTE frame[FRAME_HEADER + FRAME_MAX_HS];
    DWORD dwLimit, n, dwSent = 0, dwUsbError = 0, dwResult;

    if (pPort == NULL || pData == NULL || dwLength == 0)
        return 0;
    if (!AtomicRead(&pPort->IsOpen)) {
        NKDbgPrintfW(TEXT("Devie has been close!! \n"));
        return 0;
    }
    dwLimit = (pUsbFps->MaxPacket == 512) ? FRAME_MAX_HS : pUsbFps->MaxPacket - FRAME_HEADER;
    if (!AcquireWindow(pUsbFps, pPort))
        return 0;

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
    if (dwResult != 0 || dwUsbError != 0) {
        NKDbgPrintfW(dwLength <= dwLimit ? TEXT("Bulk Error 1\n") : TEXT("Bulk Error 2\n"));
        LeaveCriticalSection(&pPort->TxLock);
        LeaveCriticalSection(&pUsbFps->BulkOutLock);
        return 0;
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

    // A transfer the host stack took without error but without even the header counts
    // as nothing sent.
    return dwSent >= FRAME_HEADER ? dwSent - FRAME_HEADER : 0;
}

extern "C" DWORD WINAPI WaitDataEvent(struct UsbFps *pUsbFps, DWORD dwPort, DWORD dwTimeout)
{
    FpsPort *pPort = PortOf(pUsbFps, dwPort);

    if (pPort == NULL)
        return 0;
    WaitForSingleObject(pPort->RxEvent, dwTimeout);
    return AtomicRead(&pPort->TxReady) ? 3 : 2;
}

extern "C" DWORD WINAPI USBPortSatus(struct UsbFps *pUsbFps, BYTE bSelector, DWORD dwPort)
{
    FpsPort *pPort = PortOf(pUsbFps, dwPort);

    if (pPort == NULL)
        return 0;
    switch (bSelector) {
    case 1:
        // Read and clear in one step, so a bit set meanwhile is never lost.
        return AtomicExchange(&pPort->HoldFlags, 0);
    case 2:
        return AtomicExchange(&pPort->Errors, 0);
    case 3:
        return RingCount(pPort);
    case 4:
        return AtomicRead(&pPort->LastMsr) & (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
    default:
        return 0;
    }
}
