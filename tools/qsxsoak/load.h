// One plugged adapter under full load: every port wired as a loopback and opened through
// the platform's serial API, with a writer, a reader and an event waiter on each, and one
// thread that keeps changing the ports' event masks. The reader checks every byte against
// the stream its writer sent, and the writer never gets further ahead of its reader than
// the application window, so the driver's receive ring cannot overflow: any byte missing
// outside the moment the adapter is pulled (or the port is being closed) is a real loss.
#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "device.h"

namespace qsxsoak {

// Knobs shared by every adapter of the run.
struct LoadSettings {
    // Bytes a writer may be ahead of its reader; 0 lets writers run free (then the
    // driver's ring drops what the reader cannot take, which the loss check must see).
    size_t window = 4096;
    unsigned readerPauseUs = 0;  // a slow application: a pause after every read
    double stallSeconds = 20;    // longest wait for data that should be moving
};

// What went wrong during the run: losses (data written and not delivered whole, outside
// any unplug) and other faults (failed calls, leaks, attach failures). Shared by every
// thread of the run.
class Faults {
public:
    // Where the run is (cycle and step), put before every line recorded from now on.
    void SetContext(const std::string &where);
    void Loss(const std::string &what);
    void Fault(const std::string &what);
    uint64_t Losses() const { return losses_; }
    uint64_t Count() const { return losses_ + others_; }
    std::vector<std::string> Lines() const;

private:
    mutable std::mutex lock_;
    std::string where_;               // lock_
    std::vector<std::string> lines_;  // lock_: the first kMaxLines, in order
    std::atomic<uint64_t> losses_{0}, others_{0};
    static constexpr size_t kMaxLines = 50;
    void Add(const std::string &what);
};

// Totals for one of the run's two adapter slots, across every cycle.
struct Tally {
    std::atomic<uint64_t> plugs{0};             // attaches that bound every port
    std::atomic<uint64_t> replugsUnderLoad{0};  // plugged back while the other adapter streamed
    std::atomic<uint64_t> unplugsUnderLoad{0};
    std::atomic<uint64_t> drains{0};            // streams stopped and checked to the last byte
    std::atomic<uint64_t> portsClosedInUnplug{0};
    std::atomic<uint64_t> bytesVerified{0};
    std::atomic<uint64_t> bytesLostInWindows{0};  // written, then cut off by an unplug or close
    std::atomic<uint64_t> gapsInWindows{0};       // a stream broken while its adapter went away
    std::atomic<uint64_t> events{0};              // WaitCommEvent returns with events
    std::atomic<uint64_t> maskChanges{0};
    std::atomic<uint64_t> shortWrites{0};  // WriteFile sent less than asked, adapter there
};

// The last `count` debug-console messages on one line, for a fault's context.
std::string ConsoleTail(size_t count);

class AdapterLoad {
public:
    AdapterLoad(qsxsim::Device &device, WORD productId, bool highSpeed, uint64_t seed,
                const LoadSettings &settings, Faults &faults, Tally &tally);
    ~AdapterLoad();
    AdapterLoad(const AdapterLoad &) = delete;
    AdapterLoad &operator=(const AdapterLoad &) = delete;

    // Plugs the adapter, wires and opens every port. False (with a fault recorded) when
    // the adapter or one of its ports did not come up; whatever did is unplugged again.
    bool Plug();
    void Start();  // the threads
    // Lets every writer send `bytes` more. Writers stop at what they were given, so a port
    // the platform serves first cannot crowd out the rest for long.
    void Feed(uint64_t bytes);
    // Waits until every port's reader has all its writer was given. False (with a loss
    // recorded) when a port stopped moving data.
    bool WaitFed();
    bool StreamEachPort(uint64_t bytes) {
        Feed(bytes);
        return WaitFed();
    }
    // Waits until one port picked by `rng` has read up to `bytes` more (the moment of an
    // unplug); a port that does not move is left to the unplug.
    void StreamSome(std::mt19937_64 &rng, uint64_t bytes);
    // Parks every writer, waits until every reader has all its writer sent (loss
    // otherwise), then lets the writers go on. False when something was lost.
    bool Checkpoint();
    // Pulls the adapter out under load (closing one port at the same moment when
    // `closeAPort`), then ends every thread, closes every handle and counts what the
    // unplug cut off.
    void UnplugUnderLoad(std::mt19937_64 &rng, bool closeAPort);
    // Stops the writers, checks every stream to its last byte, closes the ports and
    // unplugs the idle adapter.
    void DrainAndUnplug();

    std::string Label() const;
    // Every port's counters on one line each, for a hang report; safe from any thread.
    std::string Describe() const;
    bool Plugged() const { return plugged_.handle != nullptr; }

private:
    struct Port;

    void Writer(Port &p, uint64_t seed);
    void Reader(Port &p, uint64_t seed);
    void Waiter(Port &p, uint64_t seed);
    void MaskChanger(uint64_t seed);

    // Whether a failed call on the port happened where a failure is expected.
    bool InWindow(const Port &p) const;
    void CallFailed(const Port &p, const char *call, DWORD error);
    bool PauseWriters();
    void ResumeWriters();
    void WakeWriters();  // after paused_ or stop_ changed
    bool WaitDrained(const char *when);
    void StopAndJoin();
    void CloseHandles();
    void Account(bool cutOff);
    void Unplug();

    qsxsim::Device &device_;
    const WORD productId_;
    const bool highSpeed_;
    const uint64_t seed_;
    const LoadSettings settings_;
    Faults &faults_;
    Tally &tally_;

    qsxsim::PluggedAdapter plugged_;
    std::vector<std::unique_ptr<Port>> ports_;
    std::vector<std::thread> threads_;
    std::atomic<bool> unplugging_{false};  // from just before the unplug on
    std::atomic<bool> paused_{false};      // writers park
    std::atomic<bool> stop_{false};        // every thread ends
    std::mutex changerLock_;
    std::condition_variable changerWake_;  // the mask changer: stop
};

}  // namespace qsxsoak
