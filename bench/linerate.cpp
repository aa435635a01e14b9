// Line-rate budget: every port of a high-speed adapter (0x7193, 16 ports) set to one baud
// rate, 8N1, wired in loopback with its simulated line paced at that rate (baud / 10 bytes
// a second), so each port carries its line rate both ways at once: a writer and a reader
// per port through the serial API, for a fixed time. Every byte received is checked
// against what its port sent. Prints, one "name value" a line:
//   ports, baud, seconds          the load and how long it ran (real time)
//   bytes_sent, bytes_verified    payload written and received intact, all ports
//   line_share                    bytes verified / (ports x line rate x seconds)
//   cpu_seconds, cpu_per_second   the whole process's CPU time (user and system: the
//                                 simulated device, its adapter and the application's
//                                 threads) over the run, and per second of line traffic
//   result                        PASS, or FAIL when a byte was lost, changed or stalled
// bench/linerate.py runs it under perf to find QSXPDD's own share of that CPU time.
//
// Usage: bench_linerate [--seconds S] [--baud B] [--ports N]   (10 s, 921600, all)
#include <windows.h>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "simdevice.h"

namespace {

using Clock = std::chrono::steady_clock;

// The driver's receive ring holds 16 KiB a port; a writer keeps at most this much on its
// way, so a reader that falls behind for a moment never makes the ring drop bytes.
constexpr size_t kInFlight = 8192;

double ProcessCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    auto s = [](const timeval &t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; };
    return s(u.ru_utime) + s(u.ru_stime);
}

struct Options {
    double seconds = 10;
    DWORD baud = 921600;
    int ports = 0;  // 0: all
};

bool ParseOptions(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        if (i + 1 >= argc) return false;
        const char *v = argv[++i];
        if (a == "--seconds") {
            o->seconds = std::strtod(v, nullptr);
        } else if (a == "--baud") {
            o->baud = static_cast<DWORD>(std::strtoul(v, nullptr, 10));
        } else if (a == "--ports") {
            o->ports = static_cast<int>(std::strtol(v, nullptr, 10));
        } else {
            return false;
        }
    }
    return o->seconds > 0 && o->seconds <= 3600 && o->baud >= 300 && o->ports >= 0;
}

// 8N1 at `baud`, reads that return what is there once a byte came (or after 200 ms with
// nothing), the port wired to itself with its line paced at the baud rate.
bool SetUpPort(benchsim::Plugged &plugged, int i, DWORD baud) {
    HANDLE h = plugged.ports[i];
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) return false;
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(h, &dcb)) return false;
    COMMTIMEOUTS t = {MAXDWORD, MAXDWORD, 200, 0, 0};
    if (!SetCommTimeouts(h, &t)) return false;
    plugged.adapter->WireLoopback(i);
    plugged.adapter->PaceByBaud(i, true);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    Options opt;
    if (!ParseOptions(argc, argv, &opt)) {
        std::fprintf(stderr, "usage: %s [--seconds S] [--baud B] [--ports N]\n", argv[0]);
        return 2;
    }
    std::string error;
    benchsim::Plugged plugged;
    if (!benchsim::Boot(&error) || !plugged.Plug(benchsim::kSixteenPorts, &error)) {
        std::fprintf(stderr, "bench_linerate: %s\n", error.c_str());
        return 1;
    }
    const int ports = opt.ports == 0 ? static_cast<int>(plugged.ports.size())
                                     : std::min(opt.ports, static_cast<int>(plugged.ports.size()));
    for (int i = 0; i < ports; i++)
        if (!SetUpPort(plugged, i, opt.baud)) {
            std::fprintf(stderr, "bench_linerate: port %d could not be set up\n", i);
            return 1;
        }

    struct Port {
        std::mutex lock;
        std::condition_variable moved;
        size_t sent = 0;  // written, final once `writing` is false
        size_t got = 0;   // received and checked
        bool writing = true;
    };
    std::vector<Port> state(ports);
    std::atomic<bool> failed{false};
    const auto start = Clock::now();
    const auto stopAt = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(opt.seconds));
    const double cpuStart = ProcessCpuSeconds();

    std::vector<std::thread> threads;
    for (int i = 0; i < ports; i++) {
        HANDLE h = plugged.ports[i];
        Port &p = state[i];
        threads.emplace_back([&, h, i] {
            std::vector<BYTE> block(4096);
            size_t sent = 0;
            while (!failed && Clock::now() < stopAt) {
                size_t room;
                {
                    std::unique_lock g(p.lock);
                    // Bounded: the reader notifies every chunk it checks, and at the line
                    // rate the bytes in flight leave within a tenth of a second.
                    p.moved.wait_for(g, std::chrono::milliseconds(100),
                                     [&] { return sent - p.got < kInFlight || failed; });
                    if (sent - p.got >= kInFlight) continue;
                    room = kInFlight - (sent - p.got);
                }
                const size_t n = std::min(block.size(), room);
                for (size_t k = 0; k < n; k++) block[k] = benchsim::Pattern(i, sent + k);
                DWORD wrote = 0;
                if (!WriteFile(h, block.data(), static_cast<DWORD>(n), &wrote, nullptr) || wrote == 0) {
                    failed = true;
                    break;
                }
                sent += wrote;
                std::lock_guard g(p.lock);
                p.sent = sent;
            }
            std::lock_guard g(p.lock);
            p.sent = sent;
            p.writing = false;
        });
        threads.emplace_back([&, h, i] {
            std::vector<BYTE> buffer(4096);
            size_t have = 0;
            int idle = 0;
            for (;;) {
                {
                    std::lock_guard g(p.lock);
                    if (failed || (!p.writing && have == p.sent)) break;
                }
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
                for (DWORD k = 0; k < n; k++)
                    if (buffer[k] != benchsim::Pattern(i, have + k)) {
                        failed = true;
                        break;
                    }
                have += n;
                std::lock_guard g(p.lock);
                p.got = have;
                p.moved.notify_one();
            }
            // A failure here must not leave any writer waiting for its reader.
            for (Port &other : state) {
                std::lock_guard g(other.lock);
                other.moved.notify_all();
            }
        });
    }
    for (auto &t : threads) t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = ProcessCpuSeconds() - cpuStart;

    size_t sent = 0, verified = 0;
    for (Port &p : state) {
        sent += p.sent;
        verified += p.got;
    }
    const double lineBytes = static_cast<double>(ports) * opt.baud / 10 * seconds;
    std::printf("ports %d\nbaud %lu\nseconds %.3f\n", ports, static_cast<unsigned long>(opt.baud), seconds);
    std::printf("bytes_sent %zu\nbytes_verified %zu\nline_share %.4f\n", sent, verified,
                static_cast<double>(verified) / lineBytes);
    std::printf("cpu_seconds %.3f\ncpu_per_second %.4f\n", cpu, cpu / seconds);
    const bool pass = !failed && verified == sent;
    std::printf("result %s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
