// End-to-end figures of the whole stack (application, device manager, COM driver, QSXPDD,
// host stack, simulated adapter) on one simulated device:
//   BM_Loopback16    all 16 ports of a high-speed adapter wired in loopback, a writer and a
//                    reader per port, aggregate payload received per second; once with
//                    completion routines on the host stack's thread as on the platform, once
//                    run inline (not the platform) to show what the hand-offs cost
//   BM_WakeLatency   a byte fed into a port's line at the adapter until the application's
//                    WaitCommEvent returns with EV_RXCHAR: median and 99th percentile
//   BM_ThreadWake    the machine's own cost of waking a blocked thread (a condition
//                    variable ping), measured in the same run as the baseline for the above
// Each byte received is checked against what its port sent; a mismatch or a stall reports
// an error instead of figures.
#include <benchmark/benchmark.h>

#include <windows.h>

#include <kfuncs.h>
#include <standin/usbbus.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "simdevice.h"

namespace {

using benchsim::Boot;
using benchsim::kFourPorts;
using benchsim::kSixteenPorts;
using benchsim::Pattern;
using benchsim::Plugged;

constexpr double kHighSpeedLimit = 13.0 * 512 / 125e-6;  // bytes per second
// The driver's receive ring holds 16 KiB a port; a writer keeps at most this much on its
// way so that a reader which falls behind for a moment never makes the ring drop bytes.
constexpr size_t kInFlight = 8192;

using Clock = std::chrono::steady_clock;

// ---- all ports in loopback --------------------------------------------------------
// `baud` 0 leaves the ports' line settings alone, so the simulated line moves bytes as
// fast as they come; otherwise every port is set to that rate, 8N1, and its line is paced.
void Loopback16(benchmark::State &state, size_t perPort, bool inlineCompletion, DWORD baud) {
    std::string error;
    Plugged plugged;
    if (!Boot(&error) || !plugged.Plug(kSixteenPorts, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    const int ports = static_cast<int>(plugged.ports.size());
    // With inline completion the same run shows what is left without the hand-offs to the
    // host stack's completion thread.
    struct Completion {
        explicit Completion(bool inlineCompletion) { standin::UsbSetInlineCompletion(inlineCompletion); }
        ~Completion() { standin::UsbSetInlineCompletion(false); }
    } completion(inlineCompletion);
    for (int i = 0; i < ports; i++) {
        plugged.adapter->WireLoopback(i);
        // A read returns what is there once a byte came, or after 200 ms with nothing.
        COMMTIMEOUTS t = {MAXDWORD, MAXDWORD, 200, 0, 0};
        SetCommTimeouts(plugged.ports[i], &t);
        if (baud != 0) {
            DCB dcb{};
            dcb.DCBlength = sizeof dcb;
            GetCommState(plugged.ports[i], &dcb);
            dcb.BaudRate = baud;
            dcb.ByteSize = 8;
            dcb.Parity = NOPARITY;
            dcb.StopBits = ONESTOPBIT;
            if (!SetCommState(plugged.ports[i], &dcb)) {
                state.SkipWithError("a port refused its line settings");
                return;
            }
        }
    }

    std::atomic<bool> failed{false};
    size_t received = 0;
    double seconds = 0;
    for (auto _ : state) {
        // What each port's reader has checked so far; its writer waits on it.
        struct Progress {
            std::mutex lock;
            std::condition_variable moved;
            size_t got = 0;
        };
        std::vector<Progress> progress(ports);
        std::vector<std::thread> threads;
        const auto start = Clock::now();
        for (int i = 0; i < ports; i++) {
            HANDLE h = plugged.ports[i];
            Progress &p = progress[i];
            threads.emplace_back([&, h, i] {
                std::vector<BYTE> block(4096);
                size_t sent = 0;
                while (sent < perPort && !failed) {
                    size_t room;
                    {
                        // At most kInFlight bytes between this writer and its reader.
                        std::unique_lock g(p.lock);
                        p.moved.wait(g, [&] { return sent - p.got < kInFlight || failed; });
                        room = kInFlight - (sent - p.got);
                    }
                    if (failed) break;
                    const size_t n = std::min({block.size(), perPort - sent, room});
                    for (size_t k = 0; k < n; k++) block[k] = Pattern(i, sent + k);
                    DWORD wrote = 0;
                    if (!WriteFile(h, block.data(), static_cast<DWORD>(n), &wrote, nullptr) || wrote == 0) {
                        failed = true;
                        break;
                    }
                    sent += wrote;
                }
            });
            threads.emplace_back([&, h, i] {
                std::vector<BYTE> buffer(4096);
                size_t have = 0;
                int idle = 0;
                while (have < perPort && !failed) {
                    DWORD n = 0;
                    if (!ReadFile(h, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr)) {
                        failed = true;
                        break;
                    }
                    if (n == 0) {
                        if (++idle == 25) failed = true;  // five seconds without a byte
                        continue;
                    }
                    idle = 0;
                    for (DWORD k = 0; k < n; k++) {
                        if (buffer[k] != Pattern(i, have + k)) {
                            failed = true;
                            break;
                        }
                    }
                    have += n;
                    std::lock_guard g(p.lock);
                    p.got = have;
                    p.moved.notify_one();
                }
                // A failure elsewhere must not leave this port's writer waiting.
                for (Progress &other : progress) {
                    std::lock_guard g(other.lock);
                    other.moved.notify_all();
                }
            });
        }
        for (auto &t : threads) t.join();
        const double took = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(took);
        seconds += took;
        if (failed) {
            state.SkipWithError("a port lost, changed or stalled its bytes");
            return;
        }
        received += perPort * ports;
    }
    state.SetBytesProcessed(static_cast<int64_t>(received));
    if (seconds > 0) state.counters["ratio_vs_usb_limit"] = static_cast<double>(received) / seconds / kHighSpeedLimit;
    // Each way: every port sends at the line rate and receives at it.
    if (seconds > 0 && baud != 0)
        state.counters["ratio_vs_line_rate"] = static_cast<double>(received) / seconds / (ports * (baud / 10.0));
}

void BM_Loopback16(benchmark::State &state) {
    Loopback16(state, static_cast<size_t>(state.range(0)) << 10, state.range(1) != 0, 0);
}
void BM_Loopback16Paced(benchmark::State &state) {
    Loopback16(state, static_cast<size_t>(state.range(0)) << 10, false, static_cast<DWORD>(state.range(1)));
}
BENCHMARK(BM_Loopback16Paced)
    ->ArgNames({"KiB_per_port", "baud"})
    ->Args({256, 921600})
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Loopback16)
    ->ArgNames({"KiB_per_port", "inline_completion"})
    ->Args({512, 0})
    ->Args({512, 1})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// ---- latencies ------------------------------------------------------------------------
struct Percentiles {
    double median = 0, p99 = 0;
};

Percentiles Of(std::vector<double> samples) {
    Percentiles p;
    if (samples.empty()) return p;
    std::sort(samples.begin(), samples.end());
    p.median = samples[samples.size() / 2];
    p.p99 = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
    return p;
}

// The same figures for every latency: median and 99th percentile in microseconds.
void ReportLatency(benchmark::State &state, const std::vector<double> &samplesUs) {
    const Percentiles p = Of(samplesUs);
    state.counters["median_us"] = p.median;
    state.counters["p99_us"] = p.p99;
    state.counters["samples"] = static_cast<double>(samplesUs.size());
}

void BM_WakeLatency(benchmark::State &state) {
    std::string error;
    Plugged plugged;
    if (!Boot(&error) || !plugged.Plug(kFourPorts, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    HANDLE port = plugged.ports[0];
    plugged.adapter->WireExternal(0);
    COMMTIMEOUTS t = {MAXDWORD, 0, 0, 0, 0};  // reads take what is there and return
    SetCommTimeouts(port, &t);
    SetCommMask(port, EV_RXCHAR);

    std::mutex lock;
    std::condition_variable woke;
    Clock::time_point wokeAt;
    bool ended = false, stop = false;
    // The application's event thread: each WaitCommEvent return is one sample's end.
    std::thread waiter([&] {
        DWORD events;
        while (WaitCommEvent(port, &events, nullptr)) {
            const auto now = Clock::now();
            std::lock_guard g(lock);
            wokeAt = now;
            ended = true;
            woke.notify_one();
            if (stop) break;
        }
        std::lock_guard g(lock);
        stop = true;
        woke.notify_one();
    });

    std::vector<double> samples;
    const BYTE byte = 0x5A;
    for (auto _ : state) {
        for (int i = 0; i < 200; i++) {
            std::unique_lock g(lock);
            ended = false;
            const auto fed = Clock::now();
            plugged.adapter->FeedExternal(0, {&byte, 1});
            if (!woke.wait_for(g, std::chrono::seconds(5), [&] { return ended || stop; }) || !ended) {
                state.SkipWithError("WaitCommEvent did not return");
                break;
            }
            samples.push_back(std::chrono::duration<double, std::micro>(wokeAt - fed).count());
            g.unlock();
            BYTE sink[16];
            DWORD n;
            ReadFile(port, sink, sizeof sink, &n, nullptr);
        }
        if (state.error_occurred()) break;
    }
    {
        std::lock_guard g(lock);
        stop = true;
    }
    SetCommMask(port, 0);  // ends the waiter's last wait
    waiter.join();
    ReportLatency(state, samples);
}
BENCHMARK(BM_WakeLatency)->Iterations(10)->Unit(benchmark::kMillisecond);

// The baseline: one thread wakes another that waits on a condition variable, the least a
// wake-up through any event costs on this machine right now.
void BM_ThreadWake(benchmark::State &state) {
    std::mutex lock;
    std::condition_variable go, back;
    Clock::time_point sentAt, wokeAt;
    int round = 0, answered = 0;
    bool stop = false;
    std::thread other([&] {
        std::unique_lock g(lock);
        int seen = 0;
        while (!stop) {
            go.wait(g, [&] { return round != seen || stop; });
            if (stop) break;
            wokeAt = Clock::now();
            seen = round;
            answered = seen;
            back.notify_one();
        }
    });
    std::vector<double> samples;
    for (auto _ : state) {
        for (int i = 0; i < 200; i++) {
            std::unique_lock g(lock);
            sentAt = Clock::now();
            ++round;
            go.notify_one();
            back.wait(g, [&] { return answered == round; });
            samples.push_back(std::chrono::duration<double, std::micro>(wokeAt - sentAt).count());
        }
    }
    {
        std::lock_guard g(lock);
        stop = true;
    }
    go.notify_one();
    other.join();
    ReportLatency(state, samples);
}
BENCHMARK(BM_ThreadWake)->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
