// StatusThread: the only reader of the status pipe. Each transfer carries 8-byte records
// back to back: port (2 bytes, big-endian), type (2 bytes, big-endian) and payload.
// Type 2 reopens the port's transmit window, 3 reports modem status, 4 line status and
// breaks, 5 the software flow state.
#include <dbgapi.h>

#include "atomics.h"
#include "readers.h"
#include "transfer.h"

#define STATUS_TRANSFER 512
#define STATUS_RECORD 8

#define STATUS_TX_READY 2
#define STATUS_MODEM 3
#define STATUS_LINE 4
#define STATUS_FLOW 5

// HoldFlags bits, in the COMSTAT order, and the break state.
#define HOLD_CTS 0x01
#define HOLD_DSR 0x02
#define HOLD_RLSD 0x04
#define HOLD_XOFF 0x08
#define HOLD_XOFF_SENT 0x10
#define HOLD_BREAK 0x20

// ORs the bits in; signals the waiter only for bits its mask selects.
static void RaiseEvents(FpsPort *pPort, DWORD dwEvents)
{
    AtomicSetBits(&pPort->EventsPending, dwEvents);
    if (AtomicRead(&pPort->EventMask) & dwEvents) {
        AtomicWrite(&pPort->EventFired, 1);
        SetEvent(pPort->CommEvent);
    }
}

static void SetOrClear(volatile DWORD *pWord, DWORD dwBits, BOOL bSet)
{
    if (bSet)
        AtomicSetBits(pWord, dwBits);
    else
        AtomicClearBits(pWord, dwBits);
}

static void OnTxReady(FpsPort *pPort)
{
    EnterCriticalSection(&pPort->TxLock);
    AtomicWrite(&pPort->TxReady, 1);
    SetEvent(pPort->TxReadyEvent);
    LeaveCriticalSection(&pPort->TxLock);
}

static void OnModemStatus(FpsPort *pPort, const BYTE *pPayload)
{
    DWORD dwEvents = ((DWORD)pPayload[0] << 8) | pPayload[1];
    DWORD dwMsr = pPayload[2] & 0xF0;
    DWORD dwChanged = dwMsr ^ AtomicRead(&pPort->LastMsr);

    // A change of the ring indicator alone raises nothing: EV_RING comes only in the
    // record's own event word.
    if (dwChanged & MS_RLSD_ON)
        dwEvents |= EV_RLSD;
    if (dwChanged & MS_CTS_ON)
        dwEvents |= EV_CTS;
    if (dwChanged & MS_DSR_ON)
        dwEvents |= EV_DSR;

    // The new status is in place before anyone is woken: a COM driver thread that wakes
    // on EV_DSR and asks for the modem status at once must not read the old one, which it
    // would keep until the next change.
    if (!(dwMsr & MS_CTS_ON))
        AtomicSetBits(&pPort->HoldFlags, HOLD_CTS);
    SetOrClear(&pPort->HoldFlags, HOLD_DSR, !(dwMsr & MS_DSR_ON));
    SetOrClear(&pPort->HoldFlags, HOLD_RLSD, !(dwMsr & MS_RLSD_ON));
    AtomicWrite(&pPort->LastMsr, dwMsr);
    RaiseEvents(pPort, dwEvents);
}

static void OnLineStatus(FpsPort *pPort, DWORD dwPort, const BYTE *pPayload)
{
    DWORD dwLsr = pPayload[2];

    if (pPayload[1] & 0x40) {
        if (AtomicRead(&pPort->EventMask) & EV_BREAK) {
            AtomicSetBits(&pPort->HoldFlags, HOLD_BREAK);
            RaiseEvents(pPort, EV_BREAK);
        } else {
            AtomicSetBits(&pPort->EventsPending, EV_BREAK);
        }
    } else {
        AtomicClearBits(&pPort->HoldFlags, HOLD_BREAK);
    }

    if (dwLsr & 0x10)
        AtomicSetBits(&pPort->Errors, CE_BREAK);
    if (dwLsr & 0x08) {
        NKDbgPrintfW(TEXT("Frame Error:%x \n"), (int)dwLsr);
        AtomicSetBits(&pPort->Errors, CE_FRAME);
    }
    if (dwLsr & 0x04)
        AtomicSetBits(&pPort->Errors, CE_RXPARITY);
    if (dwLsr & 0x02) {
        NKDbgPrintfW(TEXT("Over Run ReadUsb:%d \n"), (int)dwPort);
        AtomicSetBits(&pPort->Errors, CE_OVERRUN);
    }
    // Errors still unread from earlier records count too.
    if (AtomicRead(&pPort->Errors) != 0 && (AtomicRead(&pPort->EventMask) & EV_ERR))
        RaiseEvents(pPort, EV_ERR);
}

static void OnFlowState(FpsPort *pPort, const BYTE *pPayload)
{
    DWORD dwShadow = AtomicRead(&pPort->DcbShadow);
    BYTE bFlow = pPayload[0];

    if (dwShadow & DCB_SHADOW_OUTX)
        SetOrClear(&pPort->HoldFlags, HOLD_XOFF, !(bFlow & 0x40));
    if (dwShadow & DCB_SHADOW_INX)
        SetOrClear(&pPort->HoldFlags, HOLD_XOFF_SENT, !(bFlow & 0x08));
}

void ParseStatusTransfer(PUSBFPS pUsbFps, const BYTE *pData, DWORD cbData)
{
    for (DWORD dwOffset = 0; cbData - dwOffset >= STATUS_RECORD; dwOffset += STATUS_RECORD) {
        const BYTE *pRecord = pData + dwOffset;
        DWORD dwPort = ((DWORD)pRecord[0] << 8) | pRecord[1];
        DWORD dwType = ((DWORD)pRecord[2] << 8) | pRecord[3];
        FpsPort *pPort;

        if (dwPort >= pUsbFps->PortCount)
            break;  // this record and all after it are dropped
        pPort = &pUsbFps->Ports[dwPort];
        // A port whose binding never got that far has no lock or event: its records go.
        // (Ready is fixed while the readers run, see ParseDataTransfer.)
        if (!pPort->Ready)
            continue;
        switch (dwType) {
        case STATUS_TX_READY:
            OnTxReady(pPort);
            break;
        case STATUS_MODEM:
            OnModemStatus(pPort, pRecord + 4);
            break;
        case STATUS_LINE:
            OnLineStatus(pPort, dwPort, pRecord + 4);
            break;
        case STATUS_FLOW:
            OnFlowState(pPort, pRecord + 4);
            break;
        default:
            break;
        }
    }
}

DWORD WINAPI StatusThread(LPVOID lpParameter)
{
    PUSBFPS pUsbFps = (PUSBFPS)lpParameter;
    BYTE buffer[STATUS_TRANSFER];
    DWORD dwFailures = 0;  // transfers failed in a row

    // Active is tested before each transfer (see ReceiveThread).
    while (AtomicRead(&pUsbFps->Flags) & FPS_ACTIVE) {
        DWORD cbReceived = 0;
        DWORD dwUsbError = 0;
        DWORD dwResult = UsbBulkTransfer(pUsbFps->UsbFuncs, pUsbFps->StatusInPipe, NULL, NULL,
                                         USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK, buffer, 0,
                                         sizeof(buffer), &cbReceived, 0, &dwUsbError);
        if (!(dwResult != 0 && dwUsbError != 0) && cbReceived >= STATUS_RECORD)
            ParseStatusTransfer(pUsbFps, buffer, cbReceived);
        if (dwResult == 0)
            dwFailures = 0;
        else if (dwFailures++ != 0)
            Sleep(READER_FAILURE_PAUSE_MS);
    }
    return 0;
}
