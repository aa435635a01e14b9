// Throughput of QSXPDD's data path on one core: the receive demultiplexer
// (ParseDataTransfer into the ports' rings), the reader's export (ReadUsb) and the
// transmit export (WriteUsb through the stand-in host stack to a device that takes every
// frame at once). Each benchmark reports its own bytes per second and, as counters, its
// ratio to a plain memcpy of the same bytes measured in this run and to the bus limit.
#include <benchmark/benchmark.h>

#include <standin/usbbus.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qsxpdd.h"
#include "qsxport.h"
#include "readers.h"

namespace {

// What the bus itself can carry with bulk transfers: 13 packets of 512 bytes per 125 us
// microframe at high speed, 19 packets of 64 bytes per 1 ms frame at full speed.
constexpr double kHighSpeedLimit = 13.0 * 512 * 8000;  // 53.248e6 B/s
constexpr double kFullSpeedLimit = 19.0 * 64 * 1000;   // 1.216e6 B/s
constexpr WORD kPorts = 4;
constexpr DWORD kChunkHeader = 4;
constexpr DWORD kFrameHeader = 4;

// ---- a device record as attach leaves it, for the routines driven directly ------------
struct Record {
    PUSBFPS fps = nullptr;
    USB_HANDLE device = nullptr;

    Record(WORD portCount, DWORD maxPacket) {
        fps = static_cast<PUSBFPS>(LocalAlloc(LPTR, sizeof(UsbFps)));
        fps->Sig = USBFPS_SIG;
        fps->Flags = FPS_ACTIVE;
        fps->PortCount = portCount;
        fps->MaxPacket = maxPacket;
        fps->UsbFuncs = standin::UsbFunctionTable();
        InitializeCriticalSection(&fps->StateLock);
        InitializeCriticalSection(&fps->BulkOutLock);
        InitializeCriticalSection(&fps->VendorLock);
        for (int i = 0; i < portCount; i++) {
            FpsPort &p = fps->Ports[i];
            p.TxReady = 1;
            p.IsOpen = 1;
            InitializeCriticalSection(&p.RxLock);
            InitializeCriticalSection(&p.TxLock);
            p.LocksReady = 1;
            p.Ready = 1;
            p.TxReadyEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
            p.RxEvent = CreateEvent(nullptr, FALSE, FALSE, nullptr);
            p.CommEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
        }
    }
    ~Record() {
        if (fps->BulkOutPipe) fps->UsbFuncs->lpClosePipe(fps->BulkOutPipe);
        if (fps->BulkOutEvent) CloseHandle(fps->BulkOutEvent);
        if (device && standin::UsbRemoveDevice(device)) standin::UsbWaitHostStack(device);
        for (int i = 0; i < fps->PortCount; i++) {
            FpsPort &p = fps->Ports[i];
            CloseHandle(p.TxReadyEvent);
            CloseHandle(p.RxEvent);
            CloseHandle(p.CommEvent);
            DeleteCriticalSection(&p.RxLock);
            DeleteCriticalSection(&p.TxLock);
        }
        DeleteCriticalSection(&fps->StateLock);
        DeleteCriticalSection(&fps->BulkOutLock);
        DeleteCriticalSection(&fps->VendorLock);
        LocalFree(fps);
    }
    Record(const Record &) = delete;
    Record &operator=(const Record &) = delete;

    void EmptyRings() {
        for (int i = 0; i < fps->PortCount; i++) {
            fps->Ports[i].RxHead = 0;
            fps->Ports[i].RxTail = 0;
        }
    }
    bool AnyOverrun() const {
        for (int i = 0; i < fps->PortCount; i++)
            if (fps->Ports[i].Errors & CE_RXOVER) return true;
        return false;
    }
};

// ---- a device that takes every OUT transfer the moment it is submitted ----------------
class SinkDevice : public standin::UsbDevice {
public:
    explicit SinkDevice(USHORT maxPacket)
        : endpoint_{sizeof(USB_ENDPOINT), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x01, 2, maxPacket, 0}, nullptr},
          interface_{sizeof(USB_INTERFACE), {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 1, 0xFF, 0, 0, 0},
                     nullptr, &endpoint_},
          config_{sizeof(USB_CONFIGURATION), {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 1, 1, 0, 0x80, 50},
                  nullptr, 1, &interface_},
          device_{sizeof(USB_DEVICE),
                  {18, USB_DEVICE_DESCRIPTOR_TYPE, 0x200, 0xFF, 0, 0, 64, 0, 0, 0x100, 0, 0, 0, 1},
                  &config_, &config_} {}

    LPCUSB_DEVICE DeviceInfo() override { return &device_; }
    void SubmitControl(standin::UsbTransferPtr t) override { t->Fail(USB_STALL_ERROR); }
    void SubmitBulk(standin::UsbTransferPtr t) override {
        if (t->IsIn()) {
            t->Fail(USB_STALL_ERROR);
            return;
        }
        bytes_.fetch_add(t->Length(), std::memory_order_relaxed);
        t->CompleteOut(t->Length());
    }
    const USB_ENDPOINT_DESCRIPTOR &OutEndpoint() const { return endpoint_.Descriptor; }
    uint64_t Bytes() const { return bytes_.load(); }

private:
    USB_ENDPOINT endpoint_;
    USB_INTERFACE interface_;
    USB_CONFIGURATION config_;
    USB_DEVICE device_;
    std::atomic<uint64_t> bytes_{0};
};

// ---- timing ---------------------------------------------------------------------------
// The single-threaded benchmarks count this thread's CPU time, like Google Benchmark's own
// figure for them: on a shared machine the wall clock also counts other people's work.
// The transmit benchmarks wait for the host stack's thread and count real time.
double Now(bool cpu) {
    timespec ts;
    clock_gettime(cpu ? CLOCK_THREAD_CPUTIME_ID : CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// ---- baselines ------------------------------------------------------------------------
// Bytes per second of `copy` (which moves `bytes` and returns nothing), measured for about
// 100 ms of CPU time, once per key for the whole run, so that every repetition compares
// against the same figure.
template <typename Copy>
double Baseline(const std::string &key, double bytes, Copy copy) {
    static std::map<std::string, double> rates;
    auto it = rates.find(key);
    if (it != rates.end()) return it->second;
    for (int i = 0; i < 1000; i++) copy();  // warm the caches
    uint64_t rounds = 0;
    const double start = Now(true);
    double elapsed = 0;
    do {
        for (int i = 0; i < 1000; i++) copy();
        rounds += 1000;
        elapsed = Now(true) - start;
    } while (elapsed < 0.1);
    double rate = bytes * static_cast<double>(rounds) / elapsed;
    rates.emplace(key, rate);
    return rate;
}

// `bytes` is what the caller gets (payload), `wireBytes` what crosses the bus (payload and
// headers), both over `seconds` of the timed loop, measured the way the benchmark's own
// time is (CPU time, or real time where the benchmark waits for another thread).
// The fastest of the repetitions: on a shared machine the others carry other people's work,
// and the prediction table of bench/README.md wants what the path itself costs.
double Fastest(const std::vector<double> &v) { return *std::min_element(v.begin(), v.end()); }

void ReportRatios(benchmark::State &state, double bytes, double wireBytes, double seconds, double memcpyRate,
                  double usbLimit) {
    state.counters["ratio_vs_memcpy"] = bytes / seconds / memcpyRate;
    state.counters["ratio_vs_usb_limit"] = wireBytes / seconds / usbLimit;
}

// ---- 1. receive path ----------------------------------------------------------------
// One set of data transfers, `chunk` payload bytes a chunk, `perTransfer` chunks a
// transfer, chunks going to the ports in turn; kPorts transfers make one cycle.
struct RxLoad {
    std::vector<std::vector<BYTE>> transfers;
    DWORD payloadPerCycle = 0;
    DWORD wirePerCycle = 0;
    DWORD cyclesPerEmpty = 0;  // cycles that fit the rings before they must be emptied
};

RxLoad MakeRxLoad(DWORD chunk, DWORD perTransfer) {
    RxLoad load;
    DWORD perPort[kPorts] = {};
    DWORD n = 0;
    for (int t = 0; t < kPorts; t++) {
        std::vector<BYTE> transfer;
        for (DWORD c = 0; c < perTransfer; c++, n++) {
            BYTE port = static_cast<BYTE>(n % kPorts);
            transfer.insert(transfer.end(), {0, port, static_cast<BYTE>(chunk >> 8), static_cast<BYTE>(chunk)});
            for (DWORD i = 0; i < chunk; i++) transfer.push_back(static_cast<BYTE>('A' + (n + i) % 26));
            perPort[port] += chunk;
        }
        load.payloadPerCycle += perTransfer * chunk;
        load.wirePerCycle += static_cast<DWORD>(transfer.size());
        load.transfers.push_back(std::move(transfer));
    }
    DWORD most = 0;
    for (DWORD b : perPort) most = b > most ? b : most;
    load.cyclesPerEmpty = (RX_RING_SIZE - 1) / most;
    return load;
}

void BM_Receive(benchmark::State &state) {
    const DWORD chunk = static_cast<DWORD>(state.range(0));
    const DWORD perTransfer = static_cast<DWORD>(state.range(1));
    // A transfer longer than one 64-byte packet only comes from a high-speed adapter.
    const bool highSpeed = (kChunkHeader + chunk) * perTransfer > 64;
    Record rec(kPorts, highSpeed ? 512 : 64);
    RxLoad load = MakeRxLoad(chunk, perTransfer);

    // Baseline: the same payload copied chunk by chunk into per-port buffers.
    std::vector<std::vector<BYTE>> sinks(kPorts, std::vector<BYTE>(RX_RING_SIZE));
    double memcpyRate = Baseline("rx/" + std::to_string(chunk) + "x" + std::to_string(perTransfer),
                                 load.payloadPerCycle, [&] {
        DWORD offset[kPorts] = {};
        for (const auto &t : load.transfers)
            for (DWORD pos = 0; pos < t.size(); pos += kChunkHeader + chunk) {
                BYTE port = t[pos + 1];
                std::memcpy(sinks[port].data() + offset[port], t.data() + pos + kChunkHeader, chunk);
                offset[port] += chunk;
            }
        benchmark::ClobberMemory();
    });

    DWORD lastPort = 0xFFFFFFFF;
    DWORD cycles = 0;
    uint64_t rounds = 0;
    const double start = Now(true);
    for (auto _ : state) {
        for (const auto &t : load.transfers)
            ParseDataTransfer(rec.fps, t.data(), static_cast<DWORD>(t.size()), &lastPort);
        // Emptying the rings is two stores a port: cheap enough to leave in the timed loop.
        if (++cycles == load.cyclesPerEmpty) {
            rec.EmptyRings();
            cycles = 0;
        }
        rounds++;
    }
    const double seconds = Now(true) - start;
    // A full ring drops bytes, which would make the figures meaningless.
    if (rec.AnyOverrun()) state.SkipWithError("a receive ring overflowed: bytes were dropped");

    double payload = static_cast<double>(rounds) * load.payloadPerCycle;
    double wire = static_cast<double>(rounds) * load.wirePerCycle;
    state.SetBytesProcessed(static_cast<int64_t>(payload));
    state.counters["transfers"] =
        benchmark::Counter(static_cast<double>(rounds * load.transfers.size()), benchmark::Counter::kIsRate);
    ReportRatios(state, payload, wire, seconds, memcpyRate, highSpeed ? kHighSpeedLimit : kFullSpeedLimit);
}
BENCHMARK(BM_Receive)
    ->ArgNames({"chunk", "chunks"})
    ->Args({508, 8})   // high speed, 4096-byte transfers of 8 full chunks
    ->Args({60, 64})   // high speed, 4096-byte transfers of 64 small chunks
    ->Args({60, 1})    // full speed, 64-byte transfers of one chunk
    ->ComputeStatistics("min", Fastest);

// ---- 2. read path ----------------------------------------------------------------------
void BM_Read(benchmark::State &state) {
    const DWORD size = static_cast<DWORD>(state.range(0));
    Record rec(kPorts, 512);
    FpsPort &port = rec.fps->Ports[0];
    std::vector<BYTE> out(size);
    for (DWORD i = 0; i < RX_RING_SIZE; i++) port.RxRing[i] = static_cast<BYTE>(i);
    // The ring is refilled by moving its head: what matters here is the copy out, not
    // where the bytes came from. A fill is as much as fits, rounded down to whole reads.
    const DWORD fill = (RX_RING_SIZE - 1) / size * size;

    std::vector<BYTE> ring(RX_RING_SIZE);
    double memcpyRate = Baseline("read/" + std::to_string(size), fill, [&] {
        for (DWORD pos = 0; pos < fill; pos += size) std::memcpy(out.data(), ring.data() + pos, size);
        benchmark::ClobberMemory();
    });

    uint64_t bytes = 0;
    DWORD left = 0;
    const double start = Now(true);
    for (auto _ : state) {
        if (left == 0) {
            port.RxHead = (port.RxTail + fill) & RX_RING_MASK;
            left = fill;
        }
        DWORD got = ReadUsb(rec.fps, out.data(), size, 0);
        benchmark::DoNotOptimize(out.data());
        left -= got;
        bytes += got;
    }
    const double seconds = Now(true) - start;
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    ReportRatios(state, static_cast<double>(bytes), static_cast<double>(bytes), seconds, memcpyRate,
                 kHighSpeedLimit);
}
BENCHMARK(BM_Read)->ArgName("read")->Arg(1)->Arg(64)->Arg(4096);

// ---- 3. transmit path ----------------------------------------------------------------
// A host stack that ends every bulk transfer inside IssueBulkTransfer, running the
// completion routine on the issuing thread: what WriteUsb itself costs (framing, locks,
// the completion event) without the stand-in's thread hand-off. Not a real host stack's
// behaviour; it bounds what the driver's own side could reach.
DWORD gInlineLength = 0;

USB_TRANSFER WINAPI InlineIssueBulk(USB_PIPE, LPTRANSFER_NOTIFY_ROUTINE notify, LPVOID parameter, DWORD,
                                    DWORD size, LPVOID, ULONG) {
    gInlineLength = size;
    if (notify) notify(parameter);
    return reinterpret_cast<USB_TRANSFER>(static_cast<uintptr_t>(1));
}
BOOL WINAPI InlineStatus(USB_TRANSFER, LPDWORD bytes, LPDWORD error) {
    if (bytes) *bytes = gInlineLength;
    if (error) *error = USB_NO_ERROR;
    return TRUE;
}
BOOL WINAPI InlineClose(USB_TRANSFER) { return TRUE; }

const USB_FUNCS gInlineFuncs = [] {
    USB_FUNCS f = *standin::UsbFunctionTable();
    f.lpIssueBulkTransfer = InlineIssueBulk;
    f.lpGetTransferStatus = InlineStatus;
    f.lpCloseTransfer = InlineClose;
    return f;
}();

// WriteUsb of full frames to port 0. With `inlineHost` false the frames go through the
// stand-in host stack to a device that takes each at once; WriteUsb then waits for the
// completion event, which the host stack's completion thread sets: a thread hand-off per
// frame, so that figure is a round trip, not framing alone. When a frame closes the
// 4096-byte window, the adapter's transmit-ready record is parsed as the status thread
// would, to reopen it.
void Transmit(benchmark::State &state, bool inlineHost) {
    const DWORD maxPacket = static_cast<DWORD>(state.range(0));
    const DWORD payload = maxPacket == 512 ? 252 : 60;
    Record rec(kPorts, maxPacket);
    auto device = std::make_shared<SinkDevice>(static_cast<USHORT>(maxPacket));
    rec.device = standin::UsbAddDevice(device);
    rec.fps->hDevice = rec.device;
    rec.fps->BulkOutPipe = rec.fps->UsbFuncs->lpOpenPipe(rec.device, &device->OutEndpoint());
    rec.fps->BulkOutEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    if (rec.fps->BulkOutPipe == nullptr) {
        state.SkipWithError("the bulk OUT pipe did not open");
        return;
    }
    if (inlineHost) rec.fps->UsbFuncs = &gInlineFuncs;
    FpsPort &port = rec.fps->Ports[0];
    const BYTE txReady[8] = {0, 0, 0, 2, 0, 0, 0, 0};  // port 0, transmit-ready
    std::vector<BYTE> data(payload, 0x55);

    BYTE frame[kFrameHeader + 252];
    double memcpyRate = Baseline("tx/" + std::to_string(payload), payload, [&] {
        std::memcpy(frame + kFrameHeader, data.data(), payload);
        benchmark::ClobberMemory();
    });

    uint64_t frames = 0, sent = 0, failed = 0;
    const double start = Now(false);
    for (auto _ : state) {
        DWORD n = WriteUsb(rec.fps, data.data(), payload, 0);
        if (n == 0) failed++;
        sent += n;
        frames++;
        if (!port.TxReady) ParseStatusTransfer(rec.fps, txReady, sizeof txReady);
    }
    const double seconds = Now(false) - start;
    // The pipe is closed with the table it was opened with.
    rec.fps->UsbFuncs = standin::UsbFunctionTable();
    if (failed) state.SkipWithError("WriteUsb failed");
    if (!inlineHost && device->Bytes() != sent + frames * kFrameHeader)
        state.SkipWithError("the device did not receive every frame");

    state.SetBytesProcessed(static_cast<int64_t>(sent));
    state.counters["frames"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
    ReportRatios(state, static_cast<double>(sent), static_cast<double>(sent + frames * kFrameHeader), seconds,
                 memcpyRate, maxPacket == 512 ? kHighSpeedLimit : kFullSpeedLimit);
}

void BM_Transmit(benchmark::State &state) { Transmit(state, false); }
void BM_TransmitInlineCompletion(benchmark::State &state) { Transmit(state, true); }
BENCHMARK(BM_Transmit)->ArgName("maxpacket")->Arg(512)->Arg(64)->UseRealTime();
BENCHMARK(BM_TransmitInlineCompletion)
    ->ArgName("maxpacket")
    ->Arg(512)
    ->Arg(64)
    ->UseRealTime()
    ->ComputeStatistics("min", Fastest);

}  // namespace

BENCHMARK_MAIN();
