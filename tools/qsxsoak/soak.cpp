// The soak run's cycles, the watchdog that turns a hang into a clear message, the check
// that nothing outlives a cycle, and the report.
#include "soak.h"

#include <standin/devmgr.h>
#include <standin/kernel.h>
#include <standin/registry.h>
#include <standin/usbbus.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "device.h"

namespace qsxsoak {

namespace {

using Clock = std::chrono::steady_clock;

// The two adapters every cycle plugs: a 16-port model at high speed, a 4-port one at full.
struct Slot {
    WORD productId;
    bool highSpeed;
};
constexpr Slot kSlots[2] = {{0x7193, true}, {0x7045, false}};

// Ends the process with a clear message when a step of a cycle runs past its bound: a
// call that never returns cannot be waited out in the thread that made it.
class Watchdog {
public:
    Watchdog(double hangSeconds, bool trace) : hang_(hangSeconds), trace_(trace), thread_([this] { Run(); }) {}
    ~Watchdog() {
        {
            std::lock_guard g(lock_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

    void Step(int cycle, const std::string &what) {
        std::lock_guard g(lock_);
        const auto now = Clock::now();
        if (trace_)
            std::fprintf(stderr, "qsxsoak: cycle %d: %s (the step before took %.1f ms)\n", cycle, what.c_str(),
                         std::chrono::duration<double, std::milli>(now - since_).count());
        cycle_ = cycle;
        step_ = what;
        since_ = now;
    }
    // Loads described in a hang report; each is let go before it is destroyed.
    void Watch(const AdapterLoad *load) {
        std::lock_guard g(lock_);
        loads_.push_back(load);
    }
    void UnwatchAll() {
        std::lock_guard g(lock_);
        loads_.clear();
    }

private:
    void Run() {
        std::unique_lock g(lock_);
        while (!stop_) {
            wake_.wait_for(g, std::chrono::milliseconds(500));
            if (stop_ || std::chrono::duration<double>(Clock::now() - since_).count() < hang_) continue;
            std::fprintf(stderr,
                         "qsxsoak: HANG in cycle %d: '%s' has not ended after %.0f s (a blocked call did not "
                         "return)\n",
                         cycle_, step_.c_str(), hang_);
            for (const AdapterLoad *load : loads_) std::fputs(load->Describe().c_str(), stderr);
            std::fprintf(stderr, "  driver threads running %zu, stream devices %zu, kernel handles %zu\n",
                         standin::RunningThreadCount(), standin::StreamDeviceCount(), standin::OpenHandleCount());
            std::printf("cycles survived: %d\nresult: HANG\n", cycle_ - 1);
            std::fflush(stdout);
            std::fflush(stderr);
            std::_Exit(3);
        }
    }

    const double hang_;
    const bool trace_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
    int cycle_ = 0;
    std::string step_ = "booting";
    Clock::time_point since_ = Clock::now();
    std::vector<const AdapterLoad *> loads_;
    std::thread thread_;  // last: starts once the rest exists
};

// Counters that must be back where they were after boot once every adapter is gone.
struct Baseline {
    size_t handles = 0;
    size_t registryKeys = 0;
};

std::string Leftovers(const Baseline &base) {
    std::string out;
    auto check = [&](const char *what, size_t now, size_t expected) {
        if (now != expected)
            out += std::string(out.empty() ? "" : ", ") + what + " " + std::to_string(now) + " (expected " +
                   std::to_string(expected) + ")";
    };
    check("driver threads running", standin::RunningThreadCount(), 0);
    check("stream devices", standin::StreamDeviceCount(), 0);
    check("kernel handles open", standin::OpenHandleCount(), base.handles);
    check("USB devices", standin::UsbDeviceCount(), 0);
    check("USB pipes open", standin::UsbOpenPipeCount(), 0);
    check("USB transfers open", standin::UsbOpenTransferCount(), 0);
    check("registry keys open", standin::OpenRegistryKeyCount(), base.registryKeys);
    return out;
}

struct Run {
    const Options &options;
    qsxsim::Device device;
    Faults faults;
    Tally tallies[2];
    Watchdog watchdog;
    Baseline baseline;

    explicit Run(const Options &o) : options(o), watchdog(o.hangSeconds, o.trace) {}

    // A new step of a cycle, for the watchdog and for the faults found in it.
    void Step(int cycle, const std::string &what) {
        watchdog.Step(cycle, what);
        faults.SetContext("cycle " + std::to_string(cycle) + " (" + what + ")");
    }

    uint64_t Verified() const { return tallies[0].bytesVerified + tallies[1].bytesVerified; }
    bool RunCycle(int cycle);
};

// Pulls every load out at once, each from a thread of its own, after a random stretch of
// streaming; one port now and then is being closed as its adapter goes.
void UnplugTogether(const std::vector<AdapterLoad *> &loads, std::mt19937_64 &rng, uint64_t some) {
    if (loads.empty()) return;
    loads[rng() % loads.size()]->StreamSome(rng, some);
    std::vector<std::thread> threads;
    for (AdapterLoad *load : loads) {
        const bool closeAPort = rng() % 3 == 0;
        threads.emplace_back([load, closeAPort, seed = rng()] {
            std::mt19937_64 own(seed);
            load->UnplugUnderLoad(own, closeAPort);
        });
    }
    for (auto &t : threads) t.join();
}

bool Run::RunCycle(int cycle) {
    std::seed_seq seq{static_cast<uint32_t>(options.seed), static_cast<uint32_t>(options.seed >> 32),
                      static_cast<uint32_t>(cycle)};
    std::mt19937_64 rng(seq);
    const uint64_t faultsBefore = faults.Count();
    // Bytes each port is given to stream to the cycle's checkpoint, and at each later
    // step; and how far one stream gets past that step before an adapter is pulled (now
    // and then at once).
    const uint64_t first = options.bytesPerPort / 2 + rng() % (options.bytesPerPort / 4 + 1);
    const uint64_t rest = std::max<uint64_t>(options.bytesPerPort - first, 1);
    const uint64_t some = rng() % 4 == 0 ? 0 : rest;

    std::vector<std::unique_ptr<AdapterLoad>> loads;  // every load of the cycle, kept to its end
    auto make = [&](int slot) {
        loads.push_back(std::make_unique<AdapterLoad>(device, kSlots[slot].productId, kSlots[slot].highSpeed, rng(),
                                                      options.load, faults, tallies[slot]));
        return loads.back().get();
    };
    auto plug = [&](AdapterLoad *load) {
        Step(cycle, "plugging " + load->Label());
        if (!load->Plug()) return false;
        watchdog.Watch(load);
        load->Start();
        return true;
    };
    // Every load still plugged goes out under load; the cycle ends either way.
    auto finish = [&](std::mt19937_64 &r) {
        std::vector<AdapterLoad *> left;
        for (auto &l : loads) {
            if (!l->Plugged()) continue;
            l->Feed(rest);
            left.push_back(l.get());
        }
        Step(cycle, "unplugging what is left under load");
        UnplugTogether(left, r, some);
        watchdog.UnwatchAll();
        Step(cycle, "releasing the cycle's loads");
        loads.clear();
    };
    auto unplugOne = [&](AdapterLoad *load) {
        load->StreamSome(rng, some);
        Step(cycle, "unplugging " + load->Label() + " under load");
        load->UnplugUnderLoad(rng, rng() % 3 == 0);
    };

    AdapterLoad *slots[2] = {make(0), make(1)};
    const int firstSlot = static_cast<int>(rng() % 2);
    bool ok = plug(slots[firstSlot]) && plug(slots[1 - firstSlot]);
    if (ok) {
        Step(cycle, "streaming to the checkpoint");
        for (AdapterLoad *load : slots) load->Feed(first);
        ok = slots[0]->WaitFed() && slots[1]->WaitFed();
    }
    for (AdapterLoad *load : slots) {
        if (!ok) break;
        Step(cycle, "checkpoint of " + load->Label() + ": every stream complete");
        ok = load->Checkpoint();
    }
    if (ok) {
        const int gone = static_cast<int>(rng() % 2);
        AdapterLoad *x = slots[gone], *y = slots[1 - gone];
        switch (rng() % 3) {
        case 0:  // both at once, below
            break;
        case 1:  // one, then the other; the first now and then plugged back in between
            x->Feed(rest);
            y->Feed(rest);
            unplugOne(x);
            Step(cycle, y->Label() + " streams on after the other adapter left");
            ok = y->WaitFed();
            if (ok && rng() % 2 == 0) {
                // Enough for the other adapter to stream through the whole attach.
                y->Feed(2 * options.bytesPerPort);
                AdapterLoad *back = make(gone);
                ok = plug(back);
                if (ok) {
                    tallies[gone].replugsUnderLoad++;
                    Step(cycle, "streaming on the adapter plugged back, and on the other");
                    back->Feed(rest);
                    ok = back->WaitFed() && y->WaitFed() && back->Checkpoint() && y->Checkpoint();
                }
            }
            break;
        case 2:  // one under load, the other stopped and checked to the last byte
            x->Feed(rest);
            y->Feed(rest);
            unplugOne(x);
            Step(cycle, y->Label() + " streams on after the other adapter left");
            ok = y->WaitFed() && y->Checkpoint();
            Step(cycle, "stopping and draining " + y->Label());
            y->DrainAndUnplug();
            break;
        }
    }
    finish(rng);

    standin::ClearConsole();
    standin::ClearTimedCalls();
    const std::string left = Leftovers(baseline);
    if (!left.empty()) faults.Fault("left behind: " + left);
    return faults.Count() == faultsBefore;
}

__attribute__((format(printf, 2, 3))) void Append(std::string &out, const char *format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    out += line;
}

std::string Report(const Run &run, int survived, double seconds) {
    const Options &o = run.options;
    std::string out;
    Append(out, "qsxsoak report\n");
    Append(out, "  seed %llu, time scale %g, application window %zu bytes, %llu bytes a port a cycle\n",
        static_cast<unsigned long long>(o.seed), o.timeScale, o.load.window,
        static_cast<unsigned long long>(o.bytesPerPort));
    Append(out, "cycles survived: %d of %d\n", survived, o.cycles);
    Append(out, "bytes verified: %llu\n", static_cast<unsigned long long>(run.Verified()));
    for (int slot = 0; slot < 2; slot++) {
        const Tally &t = run.tallies[slot];
        const qsxsim::Model *model = qsxsim::FindModel(kSlots[slot].productId);
        Append(out, "adapter %s (%s, %d ports):\n", qsxsim::ModelLabel(kSlots[slot].productId).c_str(),
            kSlots[slot].highSpeed ? "high speed" : "full speed", model ? model->ports : 0);
        Append(out, "  plugged %llu (back under the other's load %llu), unplugged under load %llu, drained %llu, "
            "ports closed during an unplug %llu\n",
            static_cast<unsigned long long>(t.plugs), static_cast<unsigned long long>(t.replugsUnderLoad),
            static_cast<unsigned long long>(t.unplugsUnderLoad), static_cast<unsigned long long>(t.drains),
            static_cast<unsigned long long>(t.portsClosedInUnplug));
        Append(out, "  bytes verified %llu, cut off in unplug windows %llu, streams broken in unplug windows %llu\n",
            static_cast<unsigned long long>(t.bytesVerified), static_cast<unsigned long long>(t.bytesLostInWindows),
            static_cast<unsigned long long>(t.gapsInWindows));
        Append(out, "  comm events %llu, mask changes %llu, short writes outside unplug windows %llu\n",
               static_cast<unsigned long long>(t.events), static_cast<unsigned long long>(t.maskChanges),
               static_cast<unsigned long long>(t.shortWrites));
    }
    Append(out, "losses outside unplug windows: %llu\n", static_cast<unsigned long long>(run.faults.Losses()));
    Append(out, "other faults: %llu\n", static_cast<unsigned long long>(run.faults.Count() - run.faults.Losses()));
    for (const std::string &f : run.faults.Lines()) Append(out, "  %s\n", f.c_str());
    Append(out, "time: %.1f s\n", seconds);
    Append(out, "result: %s\n", run.faults.Count() == 0 && survived == o.cycles ? "PASS" : "FAIL");
    return out;
}

}  // namespace

int RunSoak(const Options &options) {
    const auto start = Clock::now();
    auto run = std::make_unique<Run>(options);
    std::string error;
    if (!run->device.Boot(options.platformReg, "", &error)) {
        std::fprintf(stderr, "qsxsoak: the simulated device did not boot: %s\n", error.c_str());
        return 2;
    }
    standin::SetTimeScale(options.timeScale);
    standin::ClearConsole();
    run->baseline.handles = standin::OpenHandleCount();
    run->baseline.registryKeys = standin::OpenRegistryKeyCount();

    int survived = 0;
    for (int cycle = 1; cycle <= options.cycles; cycle++) {
        if (!run->RunCycle(cycle)) break;
        survived = cycle;
        if (options.progressEvery > 0 && cycle % options.progressEvery == 0)
            std::fprintf(stderr, "qsxsoak: cycle %d of %d, %.1f MB verified, %.1f s\n", cycle, options.cycles,
                         static_cast<double>(run->Verified()) / 1e6,
                         std::chrono::duration<double>(Clock::now() - start).count());
    }
    run->Step(survived + 1, "writing the report");
    const std::string report =
        Report(*run, survived, std::chrono::duration<double>(Clock::now() - start).count());
    std::fputs(report.c_str(), stdout);
    std::fflush(stdout);
    if (!options.reportPath.empty()) {
        std::ofstream file(options.reportPath, std::ios::trunc);
        file << report;
        if (!file.flush()) {
            std::fprintf(stderr, "qsxsoak: cannot write the report to %s\n", options.reportPath.c_str());
            return 1;
        }
    }
    return run->faults.Count() == 0 && survived == options.cycles ? 0 : 1;
}

}  // namespace qsxsoak
