// A fixed, repeatable run of the receive demultiplexer for instruction counting under
// callgrind (bench/callgrind.sh): parses N high-speed data transfers of 8 chunks of 508
// bytes into the rings of a 4-port record and nothing else. Usage: bench_rx_count [N]
// (default 2000). Prints the payload and wire bytes it parsed.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "qsxpdd.h"
#include "readers.h"

int main(int argc, char **argv) {
    const long count = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 2000;
    const WORD kPorts = 4;
    const DWORD kChunk = 508, kChunks = 8;
    if (count < 0) {
        std::fprintf(stderr, "usage: %s [transfers]\n", argv[0]);
        return 2;
    }

    auto *fps = static_cast<PUSBFPS>(LocalAlloc(LPTR, sizeof(UsbFps)));
    fps->Sig = USBFPS_SIG;
    fps->Flags = FPS_ACTIVE;
    fps->PortCount = kPorts;
    fps->MaxPacket = 512;
    for (int i = 0; i < kPorts; i++) {
        FpsPort &p = fps->Ports[i];
        InitializeCriticalSection(&p.RxLock);
        InitializeCriticalSection(&p.TxLock);
        p.LocksReady = 1;
        p.Ready = 1;
        p.RxEvent = CreateEvent(nullptr, FALSE, FALSE, nullptr);
        p.CommEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
        p.TxReadyEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    }

    // One transfer, two chunks for each port.
    std::vector<BYTE> transfer;
    for (DWORD c = 0; c < kChunks; c++) {
        transfer.insert(transfer.end(), {0, static_cast<BYTE>(c % kPorts), kChunk >> 8, kChunk & 0xFF});
        for (DWORD i = 0; i < kChunk; i++) transfer.push_back(static_cast<BYTE>('a' + (c + i) % 26));
    }
    const DWORD perPort = kChunk * kChunks / kPorts;
    const DWORD fits = (RX_RING_SIZE - 1) / perPort;

    // The rings are emptied outside ParseDataTransfer, so the count for it is the parse alone.
    DWORD lastPort = 0xFFFFFFFF;
    for (long n = 0; n < count; n++) {
        if (n % fits == 0)
            for (int i = 0; i < kPorts; i++) fps->Ports[i].RxHead = fps->Ports[i].RxTail = 0;
        ParseDataTransfer(fps, transfer.data(), static_cast<DWORD>(transfer.size()), &lastPort);
    }

    int status = 0;
    for (int i = 0; i < kPorts; i++) {
        FpsPort &p = fps->Ports[i];
        if (p.Errors & CE_RXOVER) {
            std::fprintf(stderr, "bench_rx_count: port %d ring overflowed\n", i);
            status = 1;
        }
        CloseHandle(p.RxEvent);
        CloseHandle(p.CommEvent);
        CloseHandle(p.TxReadyEvent);
        DeleteCriticalSection(&p.RxLock);
        DeleteCriticalSection(&p.TxLock);
    }
    LocalFree(fps);
    std::printf("transfers %ld payload_bytes %ld wire_bytes %ld\n", count, count * long(kChunk * kChunks),
                count * long(transfer.size()));
    return status;
}
