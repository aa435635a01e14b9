// Fixed, repeatable runs of QSXPDD's three data paths for instruction counting under
// callgrind (bench/cgsplit.py). Each run drives one driver entry point N times and does
// nothing else inside it, so a count collected only inside that entry point is the path's
// own: the driver's code, the C runtime it calls (the copies) and the platform calls.
//
//   rx508    ParseDataTransfer of 4096-byte transfers of 8 chunks of 508 bytes, 4 ports
//   rx60     ParseDataTransfer of 4096-byte transfers of 64 chunks of 60 bytes, 4 ports
//   tx512    WriteUsb of full high-speed frames (252 payload bytes)
//   tx64     WriteUsb of full full-speed frames (60 payload bytes)
//   read64   ReadUsb of 64 bytes a call from a ring that always holds enough
//   read4096 ReadUsb of 4096 bytes a call, likewise
//
// The transmit runs go through a host stack double in this program whose bulk transfers
// complete inside IssueBulkTransfer (the completion routine runs there, on the issuing
// thread): no simulated adapter and no other thread, so the count is the driver's and its
// platform calls'. The window the 16th frame closes is reopened between calls by the
// adapter's transmit-ready record, parsed as the status thread would (outside the count).
//
// Usage: bench_count MODE [N]   (N operations, default 2000)
// Prints "operations N units U payload_bytes P": a unit is a chunk, a frame or a call.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qsxpdd.h"
#include "qsxport.h"
#include "readers.h"

namespace {

constexpr WORD kPorts = 4;
constexpr DWORD kFrameHeader = 4;

// ---- the host stack double --------------------------------------------------------------
DWORD gLastLength = 0;

USB_TRANSFER WINAPI HostIssueBulkTransfer(USB_PIPE, LPTRANSFER_NOTIFY_ROUTINE notify, LPVOID parameter, DWORD,
                                          DWORD size, LPVOID, ULONG) {
    gLastLength = size;
    if (notify) notify(parameter);
    return reinterpret_cast<USB_TRANSFER>(static_cast<uintptr_t>(1));
}

BOOL WINAPI HostGetTransferStatus(USB_TRANSFER, LPDWORD bytes, LPDWORD error) {
    if (bytes) *bytes = gLastLength;
    if (error) *error = USB_NO_ERROR;
    return TRUE;
}

BOOL WINAPI HostCloseTransfer(USB_TRANSFER) { return TRUE; }

USB_FUNCS MakeHostFuncs() {
    USB_FUNCS f{};
    f.dwCount = sizeof(USB_FUNCS);
    f.lpIssueBulkTransfer = HostIssueBulkTransfer;
    f.lpGetTransferStatus = HostGetTransferStatus;
    f.lpCloseTransfer = HostCloseTransfer;
    return f;
}
const USB_FUNCS gHostFuncs = MakeHostFuncs();

// ---- a device record as attach leaves it, ports open -------------------------------------
PUSBFPS NewRecord(DWORD maxPacket) {
    auto *fps = static_cast<PUSBFPS>(LocalAlloc(LPTR, sizeof(UsbFps)));
    fps->Sig = USBFPS_SIG;
    fps->Flags = FPS_ACTIVE;
    fps->PortCount = kPorts;
    fps->MaxPacket = maxPacket;
    fps->UsbFuncs = &gHostFuncs;
    // Never dereferenced by the driver, only handed to the host stack double.
    fps->BulkOutPipe = reinterpret_cast<USB_PIPE>(static_cast<uintptr_t>(1));
    fps->BulkOutEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    fps->RundownEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    InitializeCriticalSection(&fps->StateLock);
    InitializeCriticalSection(&fps->BulkOutLock);
    InitializeCriticalSection(&fps->VendorLock);
    for (int i = 0; i < kPorts; i++) {
        FpsPort &p = fps->Ports[i];
        InitializeCriticalSection(&p.RxLock);
        InitializeCriticalSection(&p.TxLock);
        p.LocksReady = 1;
        p.Ready = 1;
        p.IsOpen = 1;
        p.TxReady = 1;
        p.RxEvent = CreateEvent(nullptr, FALSE, FALSE, nullptr);
        p.CommEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
        p.TxReadyEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    }
    return fps;
}

// Returns nonzero when a ring overflowed (bytes were dropped: the count would be wrong).
int FreeRecord(PUSBFPS fps) {
    int status = 0;
    for (int i = 0; i < kPorts; i++) {
        FpsPort &p = fps->Ports[i];
        if (p.Errors & CE_RXOVER) status = 1;
        CloseHandle(p.RxEvent);
        CloseHandle(p.CommEvent);
        CloseHandle(p.TxReadyEvent);
        DeleteCriticalSection(&p.RxLock);
        DeleteCriticalSection(&p.TxLock);
    }
    CloseHandle(fps->BulkOutEvent);
    CloseHandle(fps->RundownEvent);
    DeleteCriticalSection(&fps->StateLock);
    DeleteCriticalSection(&fps->BulkOutLock);
    DeleteCriticalSection(&fps->VendorLock);
    LocalFree(fps);
    return status;
}

struct Result {
    long units = 0;
    long payload = 0;
    int status = 0;
};

// N transfers of `chunks` chunks of `chunk` bytes, the chunks going to the ports in turn.
// The rings are emptied outside ParseDataTransfer.
Result Receive(long count, DWORD chunk, DWORD chunks) {
    PUSBFPS fps = NewRecord(512);
    std::vector<BYTE> transfer;
    for (DWORD c = 0; c < chunks; c++) {
        transfer.insert(transfer.end(), {0, static_cast<BYTE>(c % kPorts), static_cast<BYTE>(chunk >> 8),
                                         static_cast<BYTE>(chunk)});
        for (DWORD i = 0; i < chunk; i++) transfer.push_back(static_cast<BYTE>('a' + (c + i) % 26));
    }
    const DWORD fits = (RX_RING_SIZE - 1) / (chunk * chunks / kPorts);
    DWORD lastPort = 0xFFFFFFFF;
    for (long n = 0; n < count; n++) {
        if (n % fits == 0)
            for (int i = 0; i < kPorts; i++) fps->Ports[i].RxHead = fps->Ports[i].RxTail = 0;
        ParseDataTransfer(fps, transfer.data(), static_cast<DWORD>(transfer.size()), &lastPort);
    }
    Result r;
    r.units = count * static_cast<long>(chunks);
    r.payload = count * static_cast<long>(chunk * chunks);
    r.status = FreeRecord(fps);
    if (r.status) std::fprintf(stderr, "bench_count: a receive ring overflowed\n");
    return r;
}

// N full frames to port 0.
Result Transmit(long count, DWORD maxPacket) {
    PUSBFPS fps = NewRecord(maxPacket);
    const DWORD payload = maxPacket == 512 ? 252 : maxPacket - kFrameHeader;
    const BYTE txReady[8] = {0, 0, 0, 2, 0, 0, 0, 0};  // port 0 may send its next window
    std::vector<BYTE> data(payload, 0x55);
    Result r;
    for (long n = 0; n < count; n++) {
        DWORD sent = WriteUsb(fps, data.data(), payload, 0);
        if (sent != payload) {
            std::fprintf(stderr, "bench_count: WriteUsb sent %lu of %lu bytes\n", static_cast<unsigned long>(sent),
                         static_cast<unsigned long>(payload));
            r.status = 1;
            break;
        }
        r.payload += sent;
        r.units++;
        if (!fps->Ports[0].TxReady) ParseStatusTransfer(fps, txReady, sizeof txReady);
    }
    FreeRecord(fps);
    return r;
}

// N reads of `size` bytes from port 0; the ring is refilled by moving its head (outside
// ReadUsb), as much as fits rounded down to whole reads.
Result Read(long count, DWORD size) {
    PUSBFPS fps = NewRecord(512);
    FpsPort &port = fps->Ports[0];
    for (DWORD i = 0; i < RX_RING_SIZE; i++) port.RxRing[i] = static_cast<BYTE>(i);
    const DWORD fill = (RX_RING_SIZE - 1) / size * size;
    std::vector<BYTE> out(size);
    DWORD left = 0;
    Result r;
    for (long n = 0; n < count; n++) {
        if (left == 0) {
            port.RxHead = (port.RxTail + fill) & RX_RING_MASK;
            left = fill;
        }
        DWORD got = ReadUsb(fps, out.data(), size, 0);
        if (got != size) {
            std::fprintf(stderr, "bench_count: ReadUsb took %lu of %lu bytes\n", static_cast<unsigned long>(got),
                         static_cast<unsigned long>(size));
            r.status = 1;
            break;
        }
        left -= got;
        r.payload += got;
        r.units++;
    }
    FreeRecord(fps);
    return r;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const long count = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 2000;
    Result r;
    if (count <= 0) {
        r.status = 2;
    } else if (mode == "rx508") {
        r = Receive(count, 508, 8);
    } else if (mode == "rx60") {
        r = Receive(count, 60, 64);
    } else if (mode == "tx512") {
        r = Transmit(count, 512);
    } else if (mode == "tx64") {
        r = Transmit(count, 64);
    } else if (mode == "read64") {
        r = Read(count, 64);
    } else if (mode == "read4096") {
        r = Read(count, 4096);
    } else {
        r.status = 2;
    }
    if (r.status == 2) {
        std::fprintf(stderr, "usage: %s rx508|rx60|tx512|tx64|read64|read4096 [operations]\n", argv[0]);
        return 2;
    }
    std::printf("operations %ld units %ld payload_bytes %ld\n", count, r.units, r.payload);
    return r.status;
}
