// `qsxsim run`: the simulated device with a console. Adapters are plugged and unplugged,
// their ports wired, listed, fed line errors and reached from Linux through PTYs; the
// registry is kept in the state folder, saved whenever it changed, so that what the
// utility and the driver store survives a restart.
//
// Threads: the console's thread runs every command and owns the adapter list; bridges
// and the registry keeper run their own threads and talk back only through
// Console::Notice.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bridge.h"
#include "console.h"
#include "device.h"

namespace qsxsim {

struct RunOptions {
    std::string platformReg;              // the default registry
    std::string stateDir;                 // empty: a temporary folder, removed at the end
    std::vector<AdapterChoice> adapters;  // plugged at start, in order
};

// Runs the device and its console until quit; the exit status.
int RunSimulator(const RunOptions &options);

// Saves the registry to the state folder's hive whenever its text changed: after every
// command and, for changes made meanwhile by the driver or a program on the device, once
// a second from a thread of its own.
class RegistryKeeper {
public:
    RegistryKeeper(std::string hivePath, Console &console);
    ~RegistryKeeper();  // stops the thread; the owner saves a last time before
    void SaveIfChanged();
    const std::string &HivePath() const { return hive_; }

private:
    const std::string hive_;
    Console &console_;
    std::mutex saving_;  // held through a whole save
    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;       // lock_
    std::string saved_;       // lock_: the text last written
    bool failed_ = false;     // lock_: the last save failed (said once)
    std::thread thread_;
};

class Simulator {
public:
    // One port of a plugged adapter.
    struct Port {
        int index = 0;
        std::string device;  // "COM11"; empty when the COM driver did not bind the port
        std::unique_ptr<PortBridge> bridge;
        int peer = -1;       // the other port of its null-modem pair
        std::shared_ptr<FlowLink> flowOut;  // what it sends to a port of this adapter
        int flowTo = -1;                    // that port (itself on a loopback)
    };
    struct Slot {
        int number = 0;      // 1 for the first adapter plugged in this run, counting on
        AdapterChoice choice;
        PluggedAdapter plugged;
        std::vector<Port> ports;  // one per port of the model
    };

    Simulator(Console &console, std::string devDir);
    ~Simulator();  // unplugs what is still plugged

    // Plugs an adapter and bridges its ports; prints what happened. Throws CommandError.
    void Plug(const AdapterChoice &choice);
    void Unplug(int number);
    void UnplugAll();

    // "COM11" (any case, ":" allowed) or "ADAPTER:INDEX". Throws CommandError.
    std::pair<Slot *, int> FindPort(const std::string &text);
    Slot *FindAdapter(int number);
    std::vector<std::unique_ptr<Slot>> &Slots() { return slots_; }
    Console &GetConsole() { return console_; }
    const std::string &DevDir() const { return devDir_; }

    // Wiring, kept track of here because the adapter does not say who a port's peer is.
    void Wire(Slot &slot, int port, Wiring wiring, int peer = -1);
    std::string WiringText(Slot &slot, int port);

    void SetFollow(bool on) { follow_ = on; }
    bool Following() const { return follow_; }

private:
    void UpdateFlows(Slot &slot);

    Device device_;
    Console &console_;
    const std::string devDir_;
    std::vector<std::unique_ptr<Slot>> slots_;
    int nextNumber_ = 1;
    std::atomic<bool> follow_{false};
};

// The built-in commands. Further commands (one that runs the configuration utility on
// the terminal, say) are added to the same console after these, from RunSimulator.
void RegisterCommands(Console &console, Simulator &simulator, RegistryKeeper *keeper);

}  // namespace qsxsim
