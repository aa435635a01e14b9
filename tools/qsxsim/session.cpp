// `qsxsim run`: the state folder, the registry keeper, the adapters and their bridges, and
// the console's life from boot to the last save.
#include "session.h"
#include "curses_frontend.h"
#include "qsxport_run.h"
#include "resource.h"
#include <standin/gwes.h>
#include <clocale>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <standin/devmgr.h>
#include <standin/kernel.h>
#include <standin/registry.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace qsxsim {

namespace fs = std::filesystem;

// ---- registry keeper --------------------------------------------------------------------

RegistryKeeper::RegistryKeeper(std::string hivePath, Console &console)
    : hive_(std::move(hivePath)), console_(console) {
    thread_ = std::thread([this] {
        std::unique_lock g(lock_);
        while (!wake_.wait_for(g, std::chrono::seconds(1), [this] { return stop_; })) {
            g.unlock();
            SaveIfChanged();
            g.lock();
        }
    });
}

RegistryKeeper::~RegistryKeeper() {
    {
        std::lock_guard g(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void RegistryKeeper::SaveIfChanged() {
    // One save at a time, so an older text never lands after a newer one.
    std::lock_guard s(saving_);
    const std::string text = standin::DumpWholeRegistry();
    {
        std::lock_guard g(lock_);
        if (text == saved_) return;
    }
    std::string error;
    const bool ok = standin::SaveRegFile(hive_, &error);
    std::lock_guard g(lock_);
    if (ok) {
        saved_ = text;
        failed_ = false;
    } else if (!failed_) {
        failed_ = true;
        console_.Notice("qsxsim: the registry cannot be saved: " + error);
    }
}

// ---- simulator ----------------------------------------------------------------------------

Simulator::Simulator(Console &console, std::string devDir) : console_(console), devDir_(std::move(devDir)) {}

Simulator::~Simulator() { UnplugAll(); }

void Simulator::Plug(const AdapterChoice &choice) {
    std::printf("plugging %s (product 0x%04X, %s speed)...\n", ModelLabel(choice.productId).c_str(),
                choice.productId, choice.highSpeed ? "high" : "full");
    std::fflush(stdout);
    PluggedAdapter plugged = device_.Plug(choice.productId, choice.highSpeed);
    if (!plugged.handle) {
        char product[8];
        std::snprintf(product, sizeof product, "%04X", choice.productId);
        throw CommandError(std::string("no client driver took the adapter (product 0x") + product +
                           "); it is unplugged again");
    }
    auto slot = std::make_unique<Slot>();
    slot->number = nextNumber_++;
    slot->choice = choice;
    slot->plugged = std::move(plugged);
    const int count = slot->plugged.adapter->PortCount();
    slot->ports.resize(static_cast<size_t>(count));
    std::string names;
    for (int i = 0; i < count; i++) {
        Port &p = slot->ports[static_cast<size_t>(i)];
        p.index = i;
        if (static_cast<size_t>(i) >= slot->plugged.ports.size()) continue;
        p.device = slot->plugged.ports[static_cast<size_t>(i)].device;
        names += " " + p.device;
    }
    std::printf("adapter %d: %s (product 0x%04X), %s speed, %d ports:%s\n", slot->number,
                ModelLabel(choice.productId).c_str(), choice.productId, choice.highSpeed ? "high" : "full", count,
                names.c_str());
    for (Port &p : slot->ports) {
        if (p.device.empty()) {
            std::printf("  port %d: not bound to the COM driver\n", p.index);
            continue;
        }
        auto bridge = std::make_unique<PortBridge>(p.device, devDir_ + "/" + p.device,
                                                   [this](const std::string &line) { console_.Notice(line); });
        std::string error;
        if (!bridge->Start(&error)) {
            std::printf("  %s: no PTY for Linux programs: %s\n", p.device.c_str(), error.c_str());
            continue;
        }
        auto status = bridge->GetStatus();
        std::printf("  %s  %s -> %s\n", p.device.c_str(), status.linkPath.c_str(), status.slavePath.c_str());
        p.bridge = std::move(bridge);
    }
    slots_.push_back(std::move(slot));
}

void Simulator::Unplug(int number) {
    auto it = std::find_if(slots_.begin(), slots_.end(), [&](const auto &s) { return s->number == number; });
    if (it == slots_.end()) throw CommandError("no adapter " + std::to_string(number) + " is plugged");
    Slot &slot = **it;
    // The adapter goes first, as when its cable is pulled: programs holding a PTY see
    // the port vanish under them, and the bridges then go too. The driver's removal waits
    // for open ports to be closed; if it takes long, say which ports it may be waiting for.
    device_.Unplug(slot.plugged, [&slot] {
        for (Port &p : slot.ports)
            if (p.bridge && p.bridge->GetStatus().state == PortBridge::OpenState::kOpen)
                std::printf("qsxsim: removal of adapter %d waits for %s: to be closed\n", slot.number,
                            p.device.c_str());
        std::fflush(stdout);
    });
    for (Port &p : slot.ports) {
        if (p.bridge) p.bridge->Stop();
        p.bridge.reset();
    }
    std::printf("adapter %d unplugged\n", slot.number);
    slots_.erase(it);
}

void Simulator::UnplugAll() {
    while (!slots_.empty()) Unplug(slots_.front()->number);
}

Simulator::Slot *Simulator::FindAdapter(int number) {
    for (auto &s : slots_)
        if (s->number == number) return s.get();
    return nullptr;
}

std::pair<Simulator::Slot *, int> Simulator::FindPort(const std::string &text) {
    std::string t = text;
    if (!t.empty() && t.back() == ':') t.pop_back();
    if (size_t colon = t.find(':'); colon != std::string::npos) {
        char *end = nullptr;
        long number = std::strtol(t.c_str(), &end, 10);
        long index = end == t.c_str() + colon ? std::strtol(t.c_str() + colon + 1, &end, 10) : -1;
        if (*end != '\0' || index < 0) throw CommandError("'" + text + "' is not a port (COM11 or ADAPTER:INDEX)", true);
        Slot *slot = FindAdapter(static_cast<int>(number));
        if (!slot) throw CommandError("no adapter " + std::to_string(number) + " is plugged");
        if (index >= static_cast<long>(slot->ports.size()))
            throw CommandError("adapter " + std::to_string(number) + " has ports 0 to " +
                               std::to_string(slot->ports.size() - 1));
        return {slot, static_cast<int>(index)};
    }
    for (auto &s : slots_)
        for (Port &p : s->ports)
            if (!p.device.empty() && strcasecmp(p.device.c_str(), t.c_str()) == 0) return {s.get(), p.index};
    if (strncasecmp(t.c_str(), "COM", 3) == 0) throw CommandError("no port " + text + " (see 'ports')");
    throw CommandError("'" + text + "' is not a port (COM11 or ADAPTER:INDEX)", true);
}

void Simulator::Wire(Slot &slot, int port, Wiring wiring, int peer) {
    Adapter &a = *slot.plugged.adapter;
    // A port leaving a null-modem pair leaves its peer unwired.
    auto leave = [&](int p) {
        int old = slot.ports[static_cast<size_t>(p)].peer;
        if (old >= 0) slot.ports[static_cast<size_t>(old)].peer = -1;
        slot.ports[static_cast<size_t>(p)].peer = -1;
        if (a.WiringOf(p) == Wiring::kExternal) a.SetExternalSink(p, {});
    };
    leave(port);
    bool ok = false;
    switch (wiring) {
    case Wiring::kNone: ok = a.Unwire(port); break;
    case Wiring::kLoopback: ok = a.WireLoopback(port); break;
    case Wiring::kNullModem:
        leave(peer);
        ok = a.WireNullModem(port, peer);
        if (ok) {
            slot.ports[static_cast<size_t>(port)].peer = peer;
            slot.ports[static_cast<size_t>(peer)].peer = port;
        }
        break;
    case Wiring::kExternal: {
        ok = a.WireExternal(port);
        if (!ok) break;
        // What the port transmits to its external end shows on the console.
        std::string name = slot.ports[static_cast<size_t>(port)].device;
        if (name.empty()) name = std::to_string(slot.number) + ":" + std::to_string(port);
        a.SetExternalSink(port, [this, name](std::span<const BYTE> bytes) {
            std::string text = "\"";
            size_t shown = 0;
            for (BYTE b : bytes) {
                if (++shown > 160) break;
                char hex[8];
                switch (b) {
                case '\r': text += "\\r"; break;
                case '\n': text += "\\n"; break;
                case '\t': text += "\\t"; break;
                case '\\': text += "\\\\"; break;
                case '"': text += "\\\""; break;
                default:
                    if (b >= 0x20 && b < 0x7F) {
                        text += static_cast<char>(b);
                    } else {
                        std::snprintf(hex, sizeof hex, "\\x%02X", b);
                        text += hex;
                    }
                }
            }
            text += "\"";
            if (bytes.size() > 160) text += " ... (" + std::to_string(bytes.size()) + " bytes)";
            console_.Notice(name + " => " + text);
        });
        break;
    }
    }
    if (!ok) throw CommandError("the adapter refused the wiring");
    UpdateFlows(slot);
}

void Simulator::UpdateFlows(Slot &slot) {
    // What the bridges count between them follows the wiring: a loopback port sends to
    // itself, a null-modem port to its peer; anything else sends nowhere qsxsim reads. A
    // pairing that stays keeps its link, and with it the count of bytes on their way.
    Adapter &a = *slot.plugged.adapter;
    for (Port &p : slot.ports) {
        const Wiring w = a.WiringOf(p.index);
        const int to = w == Wiring::kLoopback ? p.index : w == Wiring::kNullModem ? p.peer : -1;
        if (to != p.flowTo) {
            p.flowTo = to;
            p.flowOut = to >= 0 ? std::make_shared<FlowLink>() : nullptr;
        }
    }
    for (Port &p : slot.ports) {
        if (!p.bridge) continue;
        std::shared_ptr<FlowLink> in;
        for (Port &q : slot.ports)
            if (q.flowTo == p.index) in = q.flowOut;
        p.bridge->SetFlow(p.flowOut, in);
    }
}

std::string Simulator::WiringText(Slot &slot, int port) {
    switch (slot.plugged.adapter->WiringOf(port)) {
    case Wiring::kNone: return "none";
    case Wiring::kLoopback: return "loopback";
    case Wiring::kExternal: return "external";
    case Wiring::kNullModem: {
        int peer = slot.ports[static_cast<size_t>(port)].peer;
        if (peer < 0) return "null-modem";
        const Port &p = slot.ports[static_cast<size_t>(peer)];
        return "null-modem:" + (p.device.empty() ? std::to_string(slot.number) + ":" + std::to_string(peer) : p.device);
    }
    }
    return "?";
}

// ---- the run ------------------------------------------------------------------------------

namespace {

// Removes links a run that ended abruptly left behind: the folder holds nothing else.
void ClearDevFolder(const std::string &dev) {
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(dev, ec))
        if (entry.is_symlink(ec)) fs::remove(entry.path(), ec);
}

}  // namespace

// Runs QSXPORT with its dialogs drawn on this terminal until the user leaves it.
static void RunQsxPortOnTerminal() {
    namespace gwes = standin::gwes;
    // A quit key closes the utility at once, from whichever of its dialogs and message
    // boxes is open: every one ends, answered so that nothing is saved.
    tui::CursesFrontEnd frontEnd([] { gwes::PostQuit(); });
    if (!frontEnd.Start()) throw CommandError("qsxport needs a terminal");
    std::string error;
    const int result = RunQsxport(u"", &error);
    frontEnd.Stop();
    if (result < 0 && !error.empty()) throw CommandError(error);
}

int RunSimulator(const RunOptions &options) {
    // Signals end the console cleanly; every thread started from here on inherits the
    // mask, so only the console's signalfd sees them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);

    const bool temporary = options.stateDir.empty();
    std::string dir = options.stateDir;
    std::error_code ec;
    if (temporary) {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qsxsim-XXXXXX";
        if (!mkdtemp(pattern.data())) {
            std::fprintf(stderr, "qsxsim: cannot make a temporary folder: %s\n", std::strerror(errno));
            return 1;
        }
        dir = pattern;
    } else if (!fs::create_directories(dir, ec) && ec) {
        std::fprintf(stderr, "qsxsim: cannot make the state folder %s: %s\n", dir.c_str(), ec.message().c_str());
        return 1;
    }
    const std::string devDir = dir + "/dev";
    auto removeTemporary = [&] {
        if (temporary) fs::remove_all(dir, ec);
    };

    // One run per state folder: a second one would save over the first one's registry.
    int lockFd = -1;
    if (!temporary) {
        lockFd = open((dir + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (lockFd < 0 || flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
            std::fprintf(stderr, "qsxsim: the state folder %s is in use by another qsxsim\n", dir.c_str());
            if (lockFd >= 0) close(lockFd);
            return 1;
        }
    }
    fs::create_directories(devDir, ec);
    ClearDevFolder(devDir);

    const std::string hive = temporary ? "" : dir + "/registry.reg";
    {
        Device device;
        std::string error, note;
        if (!device.Boot(options.platformReg, hive, &error, &note)) {
            std::fprintf(stderr, "qsxsim: %s\n", error.c_str());
            if (lockFd >= 0) close(lockFd);
            removeTemporary();
            return 1;
        }
        if (!note.empty()) std::printf("qsxsim: %s\n", note.c_str());
    }
    if (temporary)
        std::printf("qsxsim: no state folder: the registry is not kept; PTY links are in %s (removed at the end)\n",
                    devDir.c_str());
    else
        std::printf("qsxsim: state folder %s: registry %s, PTY links in %s\n", dir.c_str(), hive.c_str(),
                    devDir.c_str());
    // The pty driver keeps no data bits or parity; the preload library carries them.
    std::string shim;
    for (const std::string &folder : {ProgramFolder() + "/../lib", ProgramFolder()}) {
        std::error_code missing;
        fs::path found = fs::canonical(folder + "/libqsxtty.so", missing);
        if (!missing) {
            shim = found.string();
            break;
        }
    }
    if (!shim.empty() && sizeof(void *) == 4)
        // A preload library must be of the program's own word size; Linux programs are
        // mostly 64-bit, and a 64-bit build's library speaks to this qsxsim as well.
        std::printf("qsxsim: for data bits and parity, run Linux programs with LD_PRELOAD=libqsxtty.so of their "
                    "own word size: %s for 32-bit programs, a 64-bit build's (make demo builds "
                    "build/release/lib/libqsxtty.so) for 64-bit ones\n",
                    shim.c_str());
    else if (!shim.empty())
        std::printf("qsxsim: for data bits and parity, run Linux programs with LD_PRELOAD=%s\n", shim.c_str());
    else
        std::printf("qsxsim: libqsxtty.so is not beside qsxsim: 'framing PORT 7E' sets a port's data bits and parity\n");

    int status = 0;
    {
        Console console;
        std::unique_ptr<RegistryKeeper> keeper;
        if (!temporary) {
            keeper = std::make_unique<RegistryKeeper>(hive, console);
            keeper->SaveIfChanged();
        }
        Simulator simulator(console, devDir);
        standin::SetConsoleListener([&](const std::string &message) {
            if (!simulator.Following()) return;
            std::string line = message;
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
            console.Notice("console| " + line);
        });
        RegisterCommands(console, simulator, keeper.get());
        console.Add({"qsxport", "qsxport", "run the configuration utility QSXPORT on this terminal",
                     "Draws QSXPORT's dialogs in the terminal: Tab and Shift-Tab move between\n"
                     "controls, arrows, Page Up, Page Down, Home and End change a box's selection\n"
                     "(F4 or Alt+Down opens its list), Space ticks the check box, Enter presses the\n"
                     "focused button or else the default one, Esc leaves.\n"
                     "The console waits while QSXPORT runs (notices are printed when it ends):\n"
                     "F10 or Ctrl-Q closes QSXPORT at once, from any of its dialogs and message\n"
                     "boxes, without saving, and brings the console back.",
                     [](const Console::Args &args) {
                         if (!args.empty()) throw CommandError("qsxport takes no arguments", true);
                         RunQsxPortOnTerminal();
                     }});

        for (const AdapterChoice &choice : options.adapters) {
            try {
                simulator.Plug(choice);
            } catch (const CommandError &e) {
                std::printf("error: %s\n", e.what());
            }
            if (keeper) keeper->SaveIfChanged();
        }
        if (console.Interactive()) std::printf("type 'help' for the commands\n");
        std::fflush(stdout);

        const int signal = console.Run([&] { if (keeper) keeper->SaveIfChanged(); }, signalFd,
                                       temporary ? "" : dir + "/history");
        simulator.UnplugAll();
        standin::SetConsoleListener(nullptr);
        if (keeper) keeper->SaveIfChanged();
        keeper.reset();
        if (signal) status = 128 + signal;
    }
    // Everything the device started must be gone by now.
    if (standin::RunningThreadCount() != 0 || standin::StreamDeviceCount() != 0) {
        std::fprintf(stderr, "qsxsim: %zu driver threads and %zu port devices outlived their adapters\n",
                     standin::RunningThreadCount(), standin::StreamDeviceCount());
        status = status ? status : 1;
    }
    if (signalFd >= 0) close(signalFd);
    if (lockFd >= 0) close(lockFd);
    removeTemporary();
    std::fflush(stdout);
    return status;
}

}  // namespace qsxsim
