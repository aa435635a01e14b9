// Device attach and detach.
//
// Attach builds the record and brings the adapter up; a failure before any port is bound
// releases the record, a failure after it undoes the binding too, through the same
// teardown steps that detach uses. Detach clears Active, detaches the ports from the COM
// driver, ends the reader threads before any port object is released, waits for every
// open port to be closed and for every call still inside the exports to leave (rundown),
// and frees the record.
//
// Pipes and transfers: a reader tests Active before each transfer, so once detach has
// cleared it and aborted what is pending, no reader issues anything again; the pipes are
// closed only after both readers have been joined, and never used after that.
#include "attach.h"

#include <string.h>

#include <dbgapi.h>
#include <kfuncs.h>

#include "atomics.h"
#include "install.h"
#include "keyvalues.h"
#include "model.h"
#include "qsxport.h"
#include "readers.h"
#include "rundown.h"
#include "vendor.h"

static BYTE InterfaceModeOf(DWORD dwValue)
{
    WORD wMode = LOWORD(dwValue);
    return (wMode >= 1 && wMode <= 3) ? (BYTE)wMode : 0;
}

// Initialises one port block, sends its interface mode and creates its objects. FALSE when
// an event cannot be created (binding then stops at this port).
static BOOL SetUpPort(PUSBFPS pUsbFps, DWORD dwPort, DWORD *pdwInterface, DWORD *pdwFifo)
{
    FpsPort *pPort = &pUsbFps->Ports[dwPort];
    WCHAR szKey[64];

    pUsbFps->ComHandles[dwPort] = NULL;
    pPort->RxHead = 0;
    pPort->RxTail = 0;
    pPort->TxReady = 1;
    pPort->EventsPending = 0;
    pPort->HoldFlags = 0;
    pPort->Errors = 0;
    pPort->LastMsr = 0;
    pPort->EventMask = 0;
    pPort->EventFired = 0;
    pPort->EventChar = 0;
    pPort->RxOverflow = 0;

    // A port without settings of its own keeps the values read for the port before it.
    wsprintfW(szKey, QSX_PORT_KEY_FORMAT, (int)dwPort);
    if (!GetKeyDword(szKey, TEXT("Interface"), pdwInterface))
        NKDbgPrintfW(TEXT("Get KeyValues failed!\n"));
    if (IsRs232OnlyModel(pUsbFps->ProductId))
        *pdwInterface = 0;
    pPort->InterfaceMode = InterfaceModeOf(*pdwInterface);
    SendVendorCommand(pUsbFps, VREQ_SET_INTERFACE, pPort->InterfaceMode, dwPort, 0, NULL);

    if (!GetKeyDword(szKey, TEXT("FIFO"), pdwFifo))
        NKDbgPrintfW(TEXT("Get KeyValues failed!\n"));
    pPort->FifoEnabled = LOWORD(*pdwFifo) != 0 ? 1 : 0;

    InitializeCriticalSection(&pPort->RxLock);
    InitializeCriticalSection(&pPort->TxLock);
    pPort->LocksReady = 1;

    pPort->TxReadyEvent = CreateEvent(NULL, TRUE, FALSE, NULL);
    if (pPort->TxReadyEvent == NULL)
        return FALSE;
    pPort->RxEvent = CreateEvent(NULL, FALSE, FALSE, NULL);
    if (pPort->RxEvent == NULL)
        return FALSE;
    pPort->CommEvent = CreateEvent(NULL, TRUE, FALSE, NULL);
    if (pPort->CommEvent == NULL)
        return FALSE;
    // From here on the readers store the port's input and the exports take calls for it.
    // Written once, before the readers start and before the COM driver gets the record.
    pPort->Ready = 1;
    return TRUE;
}

static void BindPorts(PUSBFPS pUsbFps, PFN_USBCOMATTACH pfnAttach)
{
    DWORD dwInterface = 0;
    DWORD dwFifo = 0;

    for (DWORD i = 0; i < pUsbFps->PortCount; i++) {
        if (!SetUpPort(pUsbFps, i, &dwInterface, &dwFifo))
            break;
        pUsbFps->ComHandles[i] = pfnAttach(pUsbFps, i, (DWORD)pUsbFps->ProductId);
        if (pUsbFps->ComHandles[i] == NULL)
            break;
    }
}

// Hands every bound port back to the COM driver. bReport: print for each port that was
// never bound or whose detach failed (removal); a failed attach undoes quietly.
static void DetachPorts(PUSBFPS pUsbFps, BOOL bReport)
{
    PFN_USBCOMDETACH pfnDetach = (PFN_USBCOMDETACH)(void (*)(void))pUsbFps->ComDetach;

    if (pfnDetach == NULL)
        return;
    for (DWORD i = 0; i < pUsbFps->PortCount; i++) {
        HANDLE hComPort = pUsbFps->ComHandles[i];
        BOOL bDetached = hComPort != NULL && pfnDetach(hComPort);
        if (!bDetached && bReport)
            NKDbgPrintfW(TEXT("Deteched Error %d \n"), (int)pUsbFps->PortCount);
        pUsbFps->ComHandles[i] = NULL;
    }
}

// Ends one reader: it tests Active before each transfer, so aborting what its pipe has
// pending ends it. The abort is repeated while the thread runs on, because a reader that
// tested Active just before it was cleared issues its transfer only after an abort may
// already have come; the pause between aborts bounds how long such a transfer waits.
static void JoinReader(PUSBFPS pUsbFps, HANDLE *phThread, USB_PIPE hPipe)
{
    LPCUSB_FUNCS pFuncs = pUsbFps->UsbFuncs;

    if (*phThread == NULL)
        return;
    for (;;) {
        if (pFuncs != NULL && hPipe != NULL)
            pFuncs->lpAbortPipeTransfers(hPipe, 0);
        if (WaitForSingleObject(*phThread, READER_ABORT_RETRY_MS) != WAIT_TIMEOUT)
            break;
    }
    CloseHandle(*phThread);
    *phThread = NULL;
}

// Ends both reader threads. Active was cleared already (detach) or is cleared here (a
// failed attach).
static void StopReaders(PUSBFPS pUsbFps)
{
    if (AtomicRead(&pUsbFps->Flags) & FPS_ACTIVE) {
        EnterCriticalSection(&pUsbFps->StateLock);
        AtomicClearBits(&pUsbFps->Flags, FPS_ACTIVE);
        LeaveCriticalSection(&pUsbFps->StateLock);
    }
    JoinReader(pUsbFps, &pUsbFps->hReceiveThread, pUsbFps->DataInPipe);
    JoinReader(pUsbFps, &pUsbFps->hStatusThread, pUsbFps->StatusInPipe);
}

// Releases what each port has: waits for an open port to be closed, runs the port down so
// that no thread is inside its exports any more, then closes its objects. Last the
// record's own reference (vendor requests) is run down.
static void ReleasePorts(PUSBFPS pUsbFps)
{
    for (DWORD i = 0; i < pUsbFps->PortCount; i++) {
        FpsPort *pPort = &pUsbFps->Ports[i];
        HANDLE hClose;

        if (pPort->Ready) {
            // ComClose takes the close event out of the field, then signals DetachEvent;
            // detach never waits on the close event itself, whose handle ComClose closes.
            while (AtomicReadHandle(&pPort->CloseEvent) != NULL)
                WaitForSingleObject(pUsbFps->DetachEvent, INFINITE);
            RundownPort(pUsbFps, pPort);
        }
        // A port opened again after its close was seen: nobody else touches it any more.
        hClose = AtomicExchangeHandle(&pPort->CloseEvent, NULL);
        if (hClose != NULL)
            CloseHandle(hClose);
        if (pPort->TxReadyEvent != NULL) {
            CloseHandle(pPort->TxReadyEvent);
            pPort->TxReadyEvent = NULL;
        }
        if (pPort->RxEvent != NULL) {
            CloseHandle(pPort->RxEvent);
            pPort->RxEvent = NULL;
        }
        if (pPort->CommEvent != NULL) {
            // Signalled before it goes, as the release always did; after the rundown nobody
            // waits on it any more.
            SetEvent(pPort->CommEvent);
            CloseHandle(pPort->CommEvent);
            pPort->CommEvent = NULL;
        }
        if (pPort->LocksReady) {
            DeleteCriticalSection(&pPort->RxLock);
            DeleteCriticalSection(&pPort->TxLock);
            pPort->LocksReady = 0;
        }
    }
    RundownDevice(pUsbFps);
}

void FreeUsbFps(PUSBFPS pUsbFps)
{
    LPCUSB_FUNCS pFuncs;

    if (pUsbFps == NULL || pUsbFps->Sig != USBFPS_SIG ||
        (AtomicRead(&pUsbFps->Flags) & FPS_ACTIVE))
        return;

    // The readers go before their pipes: a pipe is closed only once nothing can use it.
    StopReaders(pUsbFps);
    RundownDevice(pUsbFps);
    pFuncs = pUsbFps->UsbFuncs;
    if (pFuncs != NULL) {
        if (pUsbFps->DataInPipe != NULL)
            pFuncs->lpClosePipe(pUsbFps->DataInPipe);
        if (pUsbFps->StatusInPipe != NULL)
            pFuncs->lpClosePipe(pUsbFps->StatusInPipe);
        if (pUsbFps->BulkOutPipe != NULL)
            pFuncs->lpClosePipe(pUsbFps->BulkOutPipe);
    }
    if (pUsbFps->BulkOutEvent != NULL)
        CloseHandle(pUsbFps->BulkOutEvent);
    if (pUsbFps->VendorEvent != NULL)
        CloseHandle(pUsbFps->VendorEvent);
    if (pUsbFps->DetachEvent != NULL)
        CloseHandle(pUsbFps->DetachEvent);
    if (pUsbFps->RundownEvent != NULL)
        CloseHandle(pUsbFps->RundownEvent);
    DeleteCriticalSection(&pUsbFps->StateLock);
    DeleteCriticalSection(&pUsbFps->BulkOutLock);
    DeleteCriticalSection(&pUsbFps->VendorLock);
    pUsbFps->Sig = 0;
    LocalFree(pUsbFps);
}

// Loads the COM driver named by the registry and finds its two exports. FALSE (with the
// message printed) when either export is missing.
static BOOL LoadComDriver(PUSBFPS pUsbFps, PFN_USBCOMATTACH *ppfnAttach)
{
    WCHAR szDll[COM_DRIVER_NAME_BYTES / sizeof(WCHAR)];
    KeyValue table[2] = {{TEXT("Dll"), REG_SZ, sizeof(szDll), szDll}, {NULL, 0, 0, NULL}};

    memset(szDll, 0, sizeof(szDll));
    // Only a string names a library: a value of another type is no name at all.
    if (!GetSetKeyValues(QSX_CLIENT_KEY, table, 0, 0) || table[0].Type != REG_SZ) {
        NKDbgPrintfW(TEXT("SetKeyValues failed!\n"));
        memset(szDll, 0, sizeof(szDll));  // a failed read leaves nothing usable
    }
    // A value that fills the whole buffer would have no terminator of its own.
    szDll[COM_DRIVER_NAME_BYTES / sizeof(WCHAR) - 1] = 0;

    pUsbFps->ComDriver = LoadDriver(szDll);
    if (pUsbFps->ComDriver == NULL)
        NKDbgPrintfW(TEXT("pUsbFps->ComDriver NULL\n"));

    *ppfnAttach = (PFN_USBCOMATTACH)(void (*)(void))GetProcAddressW(pUsbFps->ComDriver, TEXT("UsbComAttach"));
    if (*ppfnAttach == NULL) {
        NKDbgPrintfW(TEXT("GetProcAddress failed!\n"));
        return FALSE;
    }
    pUsbFps->ComDetach = GetProcAddressW(pUsbFps->ComDriver, TEXT("UsbComDetach"));
    if (pUsbFps->ComDetach == NULL) {
        NKDbgPrintfW(TEXT("GetProcAddress ComDetach failed!\n"));
        return FALSE;
    }
    return TRUE;
}

static BOOL StartReaders(PUSBFPS pUsbFps)
{
    pUsbFps->hReceiveThread = CreateThread(NULL, 0, ReceiveThread, pUsbFps, 0, NULL);
    if (pUsbFps->hReceiveThread == NULL)
        return FALSE;
    SetThreadPriority(pUsbFps->hReceiveThread, THREAD_PRIORITY_NORMAL);
    pUsbFps->hStatusThread = CreateThread(NULL, 0, StatusThread, pUsbFps, 0, NULL);
    if (pUsbFps->hStatusThread == NULL)
        return FALSE;
    SetThreadPriority(pUsbFps->hStatusThread, THREAD_PRIORITY_NORMAL);
    return TRUE;
}

extern "C" BOOL WINAPI USBDeviceAttach(USB_HANDLE hDevice, LPCUSB_FUNCS lpUsbFuncs,
                                       LPCUSB_INTERFACE lpInterface, LPCWSTR szUniqueDriverId,
                                       LPBOOL fAcceptControl,
                                       LPCUSB_DRIVER_SETTINGS lpDriverSettings, DWORD dwUnused)
{
    PUSBFPS pUsbFps;
    PFN_USBCOMATTACH pfnAttach = NULL;
    BOOL bNotifying = FALSE;

    (void)lpInterface;
    (void)szUniqueDriverId;
    (void)lpDriverSettings;
    (void)dwUnused;

    *fAcceptControl = FALSE;
    pUsbFps = (PUSBFPS)LocalAlloc(LPTR, sizeof(UsbFps));
    if (pUsbFps == NULL) {
        NKDbgPrintfW(TEXT("LocalAlloc error:%d\n"), (int)GetLastError());
        return FALSE;
    }
    pUsbFps->Sig = USBFPS_SIG;
    InitializeCriticalSection(&pUsbFps->StateLock);
    InitializeCriticalSection(&pUsbFps->BulkOutLock);
    InitializeCriticalSection(&pUsbFps->VendorLock);
    pUsbFps->hDevice = hDevice;
    pUsbFps->UsbFuncs = lpUsbFuncs;
    pUsbFps->Flags = FPS_ACTIVE;

    // Detach's two wake-ups come into being with the vendor event, before anything could
    // need them.
    pUsbFps->VendorEvent = CreateEvent(NULL, TRUE, FALSE, NULL);
    if (pUsbFps->VendorEvent != NULL)
        pUsbFps->DetachEvent = CreateEvent(NULL, FALSE, FALSE, NULL);
    if (pUsbFps->DetachEvent != NULL)
        pUsbFps->RundownEvent = CreateEvent(NULL, FALSE, FALSE, NULL);
    if (pUsbFps->RundownEvent == NULL) {
        NKDbgPrintfW(TEXT("CreateEvent error:%d\n"), (int)GetLastError());
        goto fail;
    }
    if (!SetUsbInterface(pUsbFps)) {
        NKDbgPrintfW(TEXT("SetUsbInterface failed!\n"));
        goto fail;
    }
    if (!LoadComDriver(pUsbFps, &pfnAttach))
        goto fail;

    BindPorts(pUsbFps, pfnAttach);

    if (!lpUsbFuncs->lpRegisterNotificationRoutine(hDevice, DeviceNotify, pUsbFps)) {
        NKDbgPrintfW(TEXT("RegisterNotificationRoutine error:%d\n"), (int)GetLastError());
        goto fail;
    }
    bNotifying = TRUE;
    if (!StartReaders(pUsbFps))
        goto fail;

    *fAcceptControl = TRUE;
    return TRUE;

fail:
    // Undo in detach's order; every step copes with what was never set up.
    if (bNotifying)
        lpUsbFuncs->lpUnRegisterNotificationRoutine(hDevice, DeviceNotify, pUsbFps);
    StopReaders(pUsbFps);
    DetachPorts(pUsbFps, FALSE);
    ReleasePorts(pUsbFps);
    if (pUsbFps->ComDriver != NULL)
        FreeLibrary(pUsbFps->ComDriver);
    FreeUsbFps(pUsbFps);
    return FALSE;
}

BOOL WINAPI DeviceNotify(LPVOID lpvNotifyParameter, DWORD dwCode, LPDWORD *dwInfo1,
                         LPDWORD *dwInfo2, LPDWORD *dwInfo3, LPDWORD *dwInfo4)
{
    PUSBFPS pUsbFps = (PUSBFPS)lpvNotifyParameter;

    (void)dwInfo1;
    (void)dwInfo2;
    (void)dwInfo3;
    (void)dwInfo4;

    if (pUsbFps == NULL || pUsbFps->Sig != USBFPS_SIG || dwCode != USB_CLOSE_DEVICE)
        return FALSE;

    if (AtomicRead(&pUsbFps->Flags) & FPS_ACTIVE) {
        EnterCriticalSection(&pUsbFps->StateLock);
        AtomicClearBits(&pUsbFps->Flags, FPS_ACTIVE);
        LeaveCriticalSection(&pUsbFps->StateLock);
    }
    DetachPorts(pUsbFps, TRUE);
    Sleep(DETACH_PAUSE_MS);

    // No reader may touch a port object once the release below begins; no COM driver
    // thread is inside an export once it ends.
    StopReaders(pUsbFps);
    ReleasePorts(pUsbFps);

    // The COM driver goes only after every open port was closed: until then its threads
    // may still be running its code.
    if (pUsbFps->ComDriver != NULL) {
        FreeLibrary(pUsbFps->ComDriver);
        pUsbFps->ComDriver = NULL;
    }
    FreeUsbFps(pUsbFps);
    return TRUE;
}
