// A device record with its ports ready for the reader threads' parsing, for the fuzz
// targets (the same set-up attach gives every port).
#pragma once

#include <windows.h>

#include <cstring>

#include "qsxpdd.h"

inline PUSBFPS FuzzRecord(WORD portCount) {
    auto *fps = static_cast<PUSBFPS>(LocalAlloc(LPTR, sizeof(UsbFps)));
    fps->Sig = USBFPS_SIG;
    fps->PortCount = portCount;
    InitializeCriticalSection(&fps->StateLock);
    for (int i = 0; i < portCount; i++) {
        FpsPort &p = fps->Ports[i];
        p.TxReady = 1;
        InitializeCriticalSection(&p.RxLock);
        InitializeCriticalSection(&p.TxLock);
        p.TxReadyEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
        p.RxEvent = CreateEvent(nullptr, FALSE, FALSE, nullptr);
        p.CommEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    }
    return fps;
}

inline void FreeFuzzRecord(PUSBFPS fps) {
    for (int i = 0; i < fps->PortCount; i++) {
        FpsPort &p = fps->Ports[i];
        CloseHandle(p.TxReadyEvent);
        CloseHandle(p.RxEvent);
        CloseHandle(p.CommEvent);
        DeleteCriticalSection(&p.RxLock);
        DeleteCriticalSection(&p.TxLock);
    }
    DeleteCriticalSection(&fps->StateLock);
    LocalFree(fps);
}
