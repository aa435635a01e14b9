// ReceiveThread: the only reader of the data pipe. Each transfer carries receive chunks
// for any ports, back to back: a 4-byte header (byte 1 the port, bytes 2-3 the length N,
// big-endian, at most 512) and N bytes. Each chunk is appended to its port's 16 KiB ring,
// raising EV_RXCHAR and EV_RXFLAG where the port's mask asks for them.
#include <string.h>

#include <dbgapi.h>

#include "atomics.h"
#include "readers.h"
#include "transfer.h"

#define CHUNK_HEADER 4
#define CHUNK_MAX_DATA 512
#define DATA_TRANSFER_HS 4096
#define DATA_TRANSFER_FS 64
#define NO_PORT 0xFFFFFFFF

static DWORD RingCount(FpsPort *pPort)
{
    return (AtomicRead(&pPort->RxHead) - AtomicRead(&pPort->RxTail)) & RX_RING_MASK;
}

// Raises event bits for a port: the bits go in before the event is set, because the
// waiter resets the event and then looks at the bits.
static void RaiseEvents(FpsPort *pPort, DWORD dwEvents)
{
    AtomicSetBits(&pPort->EventsPending, dwEvents);
    AtomicWrite(&pPort->EventFired, 1);
    SetEvent(pPort->CommEvent);
}

static void ProcessChunk(PUSBFPS pUsbFps, DWORD dwPort, const BYTE *pData, DWORD cbData)
{
    FpsPort *pPort = &pUsbFps->Ports[dwPort];
    DWORD dwShadow = AtomicRead(&pPort->DcbShadow);
    DWORD dwMask;
    BYTE stripped[CHUNK_MAX_DATA];
    DWORD dwHead, dwFree, cbFirst, cbStored;

    EnterCriticalSection(&pPort->RxLock);

    if (dwShadow & DCB_SHADOW_NULL) {
        DWORD cbKept = 0;
        for (DWORD i = 0; i < cbData; i++)
            if (pData[i] != 0)
                stripped[cbKept++] = pData[i];
        pData = stripped;
        cbData = cbKept;
    }
    cbStored = cbData;

    if (AtomicRead(&pPort->RxOverflow))
        AtomicSetBits(&pPort->Errors, CE_RXOVER);

    // A full ring never loses unread bytes: what does not fit is dropped and marked.
    dwHead = AtomicRead(&pPort->RxHead);
    dwFree = RX_RING_SIZE - 1 - ((dwHead - AtomicRead(&pPort->RxTail)) & RX_RING_MASK);
    if (cbData > dwFree) {
        cbStored = dwFree;
        AtomicSetBits(&pPort->Errors, CE_RXOVER);
    }
    cbFirst = RX_RING_SIZE - dwHead;
    if (cbStored < cbFirst) {
        memcpy(&pPort->RxRing[dwHead], pData, cbStored);
    } else {
        memcpy(&pPort->RxRing[dwHead], pData, cbFirst);
        memcpy(&pPort->RxRing[0], pData + cbFirst, cbStored - cbFirst);
    }
    AtomicWrite(&pPort->RxHead, (dwHead + cbStored) & RX_RING_MASK);

    // The events come only once the bytes are in the ring: a waiter woken by them that
    // asks how much is waiting must find this chunk there.
    dwMask = AtomicRead(&pPort->EventMask);
    if (dwMask & EV_RXCHAR)
        RaiseEvents(pPort, EV_RXCHAR);
    if (dwMask & EV_RXFLAG) {
        BYTE bEvtChar = (BYTE)(dwShadow & DCB_SHADOW_EVTCHAR);
        if (memchr(pData, bEvtChar, cbData) != NULL) {
            RaiseEvents(pPort, EV_RXFLAG);
            NKDbgPrintfW(TEXT("Break Event .....Port %d Len =%d \n"), (int)dwPort, (int)cbData);
        }
    }

    SetEvent(pPort->RxEvent);
    LeaveCriticalSection(&pPort->RxLock);
}

void ParseDataTransfer(PUSBFPS pUsbFps, const BYTE *pData, DWORD cbData, DWORD *pLastPort)
{
    DWORD dwOffset = 0;

    while (cbData - dwOffset >= CHUNK_HEADER) {
        DWORD dwPort = pData[dwOffset + 1];
        DWORD cbChunk = ((DWORD)pData[dwOffset + 2] << 8) | pData[dwOffset + 3];

        // A bad header, or a length running past what was received, drops the rest of
        // the transfer; the chunks before it stay stored.
        if (dwPort >= pUsbFps->PortCount || cbChunk > CHUNK_MAX_DATA ||
            cbChunk > cbData - dwOffset - CHUNK_HEADER)
            break;
        // A port whose binding never got that far has no lock or event to use: its bytes
        // are dropped, and the chunks after it are still found. (Ready is written once, by
        // attach before it starts the readers.)
        if (pUsbFps->Ports[dwPort].Ready) {
            ProcessChunk(pUsbFps, dwPort, pData + dwOffset + CHUNK_HEADER, cbChunk);
            *pLastPort = dwPort;
        }
        dwOffset += CHUNK_HEADER + cbChunk;
    }
}

DWORD WINAPI ReceiveThread(LPVOID lpParameter)
{
    PUSBFPS pUsbFps = (PUSBFPS)lpParameter;
    BYTE buffer[DATA_TRANSFER_HS];
    DWORD cbTransfer;
    DWORD dwLastPort = NO_PORT;
    DWORD dwFailures = 0;  // transfers failed in a row

    if (pUsbFps->MaxPacket == 512) {
        NKDbgPrintfW(TEXT("== Attached to 2.0 Controller ==\n"));
        cbTransfer = DATA_TRANSFER_HS;
    } else {
        NKDbgPrintfW(TEXT("== Attached to 1.1 Controller ==\n"));
        cbTransfer = DATA_TRANSFER_FS;
    }

    // Active is tested before each transfer: once detach has cleared it no new transfer is
    // issued, and the one in progress is ended by detach's abort.
    while (AtomicRead(&pUsbFps->Flags) & FPS_ACTIVE) {
        DWORD cbReceived = 0;
        DWORD dwUsbError = 0;
        DWORD dwResult = UsbBulkTransfer(pUsbFps->UsbFuncs, pUsbFps->DataInPipe, NULL, NULL,
                                         USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK, buffer, 0,
                                         cbTransfer, &cbReceived, 0, &dwUsbError);
        if (dwResult != 0 && dwUsbError != 0) {
            // Wake a reader that may have missed the last signal.
            if (dwLastPort != NO_PORT && RingCount(&pUsbFps->Ports[dwLastPort]) != 0)
                SetEvent(pUsbFps->Ports[dwLastPort].RxEvent);
        } else if (cbReceived >= CHUNK_HEADER) {
            ParseDataTransfer(pUsbFps, buffer, cbReceived, &dwLastPort);
        }
        if (dwResult == 0)
            dwFailures = 0;
        else if (dwFailures++ != 0)
            Sleep(READER_FAILURE_PAUSE_MS);
    }
    return 0;
}
