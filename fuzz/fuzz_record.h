// A device record with its ports ready for the reader threads' parsing, for the fuzz
// targets (the same set-up attach gives every port). With readyCount below portCount the
// binding stopped there, as when the COM driver refused a port: the ports from readyCount
// on have no lock and no event, and nothing may touch them.
#pragma once

#include <windows.h>

#include <cstring>

#include "qsxpdd.h"

inline PUSBFPS FuzzRecord(WORD portCount, WORD readyCount) {
    auto *fps = static_cast<PUSBFPS>(LocalAlloc(LPTR, sizeof(UsbFps)));
    fps->Sig = USBFPS_SIG;
    fps->PortCount = portCount;
    InitializeCriticalSection(&fps->StateLock);
    for (int i = 0; i < readyCount; i++) {
        FpsPort &p = fps->Ports[i];
        p.TxReady = 1;
        InitializeCriticalSection(&p.RxLock);
        InitializeCriticalSection(&p.TxLock);
        p.LocksReady = 1;
        p.TxReadyEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
        p.RxEvent = CreateEvent(nullptr, FALSE, FALSE, nullptr);
        p.CommEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
        p.Ready = 1;
    }
    return fps;
}

inline void FreeFuzzRecord(PUSBFPS fps) {
    for (int i = 0; i < fps->PortCount; i++) {
        FpsPort &p = fps->Ports[i];
        if (!p.LocksReady) continue;
        CloseHandle(p.TxReadyEvent);
        CloseHandle(p.RxEvent);
        CloseHandle(p.CommEvent);
        DeleteCriticalSection(&p.RxLock);
        DeleteCriticalSection(&p.TxLock);
    }
    DeleteCriticalSection(&fps->StateLock);
    LocalFree(fps);
}
