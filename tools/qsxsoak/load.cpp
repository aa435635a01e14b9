// One adapter under load: its ports' writers, readers, event waiters and mask changer, the
// byte-by-byte check of every stream, and the ways a load ends (pulled out under load, or
// stopped and checked to the last byte).
#include "load.h"

#include <standin/kernel.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace qsxsoak {

namespace {

using Clock = std::chrono::steady_clock;

// The stream a port's writer sends: byte n of it follows from the port's seed and n alone,
// so the reader checks any stretch without keeping a copy.
uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

BYTE StreamByte(uint64_t seed, uint64_t n) { return static_cast<BYTE>(Mix(seed ^ (n >> 3)) >> ((n & 7) * 8)); }

void Fill(uint64_t seed, uint64_t from, BYTE *out, size_t count) {
    for (size_t i = 0; i < count; i++) out[i] = StreamByte(seed, from + i);
}

// Index of the first byte that is not the stream's, or `count`.
size_t FirstMismatch(uint64_t seed, uint64_t from, const BYTE *in, size_t count) {
    for (size_t i = 0; i < count; i++)
        if (in[i] != StreamByte(seed, from + i)) return i;
    return count;
}

// What the bytes from a mismatch on look like: the stream again from an earlier point (a
// repeat), from a later one (a gap), or neither. Empty when too few bytes came to tell.
std::string ExplainMismatch(uint64_t seed, uint64_t at, const BYTE *in, size_t count) {
    const size_t m = std::min<size_t>(count, 16);
    if (m < 4) return {};
    auto from = [&](uint64_t start) {
        for (size_t i = 0; i < m; i++)
            if (in[i] != StreamByte(seed, start + i)) return false;
        return true;
    };
    for (uint64_t d = 1; d <= 65536 && d <= at; d++)
        if (from(at - d)) return "; the bytes from there on repeat the stream from byte " + std::to_string(at - d);
    for (uint64_t d = 1; d <= 262144; d++)
        if (from(at + d)) return "; the stream goes on from byte " + std::to_string(at + d) + " there (" +
                                 std::to_string(d) + " bytes missing)";
    return "; the bytes from there on are not from the stream";
}

// How a reader's ReadFile returns: at the first byte or after a bound; after a quiet
// gap in the line; or with the times a port starts with at every open.
constexpr COMMTIMEOUTS kReadModes[] = {
    {MAXDWORD, MAXDWORD, 500, 0, 0},
    {10, 0, 0, 0, 0},
};
constexpr int kReadModeCount = 3;  // the two above and the open's own

// Masks the waiters and the changer pick from; the changer may also empty the mask, which
// ends a pending wait that its waiter then sets up again.
constexpr DWORD kMasks[] = {
    EV_RXCHAR,
    EV_RXCHAR | EV_TXEMPTY,
    EV_TXEMPTY | EV_CTS,
    EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_ERR,
    EV_RXCHAR | EV_TXEMPTY | EV_BREAK | EV_RING,
};

DWORD PickMask(std::mt19937_64 &rng, bool mayBeEmpty) {
    const size_t n = std::size(kMasks);
    const size_t pick = rng() % (mayBeEmpty ? n + 1 : n);
    return pick == n ? 0 : kMasks[pick];
}

std::string Hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

}  // namespace

// ---- faults ----------------------------------------------------------------------------

void Faults::SetContext(const std::string &where) {
    std::lock_guard g(lock_);
    where_ = where;
}

void Faults::Add(const std::string &what) {
    std::lock_guard g(lock_);
    if (lines_.size() < kMaxLines) lines_.push_back(where_.empty() ? what : where_ + ": " + what);
}

void Faults::Loss(const std::string &what) {
    losses_++;
    Add("loss: " + what);
}

void Faults::Fault(const std::string &what) {
    others_++;
    Add("fault: " + what);
}

std::vector<std::string> Faults::Lines() const {
    std::lock_guard g(lock_);
    return lines_;
}

std::string ConsoleTail(size_t count) {
    const std::vector<std::string> console = standin::ConsoleMessages();
    std::string out;
    for (size_t i = console.size() > count ? console.size() - count : 0; i < console.size(); i++) {
        std::string m = console[i];
        while (!m.empty() && (m.back() == '\n' || m.back() == ' ')) m.pop_back();
        out += (out.empty() ? "" : " | ") + m;
    }
    return out.empty() ? "nothing" : out;
}

// ---- one port ------------------------------------------------------------------------

struct AdapterLoad::Port {
    std::string name;  // "COM11"
    HANDLE handle = INVALID_HANDLE_VALUE;
    uint64_t seed = 0;             // of its stream
    std::atomic<bool> closing{false};  // from just before its CloseHandle on
    bool closed = false;           // the controlling thread's

    std::mutex lock;
    // The reader moved on, a writer parked or ended, or the writers were paused, resumed
    // or stopped.
    std::condition_variable moved;
    uint64_t quota = 0;       // lock: where the writer stops until it is fed again
    bool parked = false;      // lock: the writer waits out a pause, outside WriteFile
    bool writerDone = false;  // lock
    // Written: bytes WriteFile reported sent (the writer's). Read: bytes ReadFile gave
    // (the reader's); both changed under `lock` so waits on `moved` see every step.
    std::atomic<uint64_t> written{0}, read{0};
    std::atomic<uint64_t> verified{0};  // the stream's prefix the reader confirmed
    std::atomic<bool> broken{false};    // a byte differed: the rest is not checked
    std::atomic<uint64_t> events{0};
    // WriteFile calls that returned fewer bytes than asked with the port open and the
    // adapter there; the writer sends the rest again.
    std::atomic<uint64_t> shortWrites{0};
};

AdapterLoad::AdapterLoad(qsxsim::Device &device, WORD productId, bool highSpeed, uint64_t seed,
                         const LoadSettings &settings, Faults &faults, Tally &tally)
    : device_(device), productId_(productId), highSpeed_(highSpeed), seed_(seed), settings_(settings),
      faults_(faults), tally_(tally) {}

AdapterLoad::~AdapterLoad() {
    // Only an early return leaves anything behind; end it the way an unplug would.
    if (Plugged() || !threads_.empty()) {
        unplugging_ = true;
        Unplug();
        StopAndJoin();
        CloseHandles();
    }
}

std::string AdapterLoad::Label() const {
    return qsxsim::ModelLabel(productId_) + (highSpeed_ ? " (high speed)" : " (full speed)");
}

std::string AdapterLoad::Describe() const {
    std::string out;
    for (const auto &p : ports_) {
        out += "  " + Label() + " " + p->name + ": written " + std::to_string(p->written) + ", read " +
               std::to_string(p->read) + ", verified " + std::to_string(p->verified) +
               (p->broken ? ", stream broken" : "") + (p->closing ? ", closing" : "") +
               (unplugging_ ? ", unplugging" : "") + "\n";
    }
    return out;
}

bool AdapterLoad::InWindow(const Port &p) const { return unplugging_ || p.closing; }

void AdapterLoad::CallFailed(const Port &p, const char *call, DWORD error) {
    if (InWindow(p)) return;
    faults_.Fault(Label() + " " + p.name + ": " + call + " failed with error " + std::to_string(error) +
                  " while the adapter was plugged and the port open (console: " + ConsoleTail(3) + ")");
}

void AdapterLoad::Unplug() {
    if (plugged_.handle) device_.Unplug(plugged_);
}

bool AdapterLoad::Plug() {
    plugged_ = device_.Plug(productId_, highSpeed_);
    if (!plugged_.handle) {
        // The driver's last words say why it turned the adapter down.
        faults_.Fault(Label() + ": no client driver took the adapter (console: " + ConsoleTail(4) + ")");
        return false;
    }
    const int count = plugged_.adapter->PortCount();
    if (static_cast<int>(plugged_.ports.size()) != count) {
        faults_.Fault(Label() + ": " + std::to_string(plugged_.ports.size()) + " of " + std::to_string(count) +
                      " ports were bound");
        Unplug();
        return false;
    }
    std::mt19937_64 rng(seed_);
    for (int i = 0; i < count; i++) {
        auto p = std::make_unique<Port>();
        p->name = plugged_.ports[i].device;
        p->seed = Mix(seed_ + static_cast<uint64_t>(i));
        std::string why;
        if (!plugged_.adapter->WireLoopback(i)) {
            why = "cannot be wired as a loopback";
        } else {
            const std::u16string path = u"$device\\" + standin::FromUtf8(p->name);
            p->handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (p->handle == INVALID_HANDLE_VALUE) {
                why = "CreateFileW failed with error " + std::to_string(GetLastError());
            } else {
                const int mode = static_cast<int>(rng() % kReadModeCount);
                COMMTIMEOUTS t = mode < static_cast<int>(std::size(kReadModes)) ? kReadModes[mode] : COMMTIMEOUTS{};
                if (mode < static_cast<int>(std::size(kReadModes)) && !SetCommTimeouts(p->handle, &t))
                    why = "SetCommTimeouts failed with error " + std::to_string(GetLastError());
                else if (!SetCommMask(p->handle, PickMask(rng, false)))
                    why = "SetCommMask failed with error " + std::to_string(GetLastError());
            }
        }
        ports_.push_back(std::move(p));
        if (!why.empty()) {
            faults_.Fault(Label() + " " + ports_.back()->name + ": " + why);
            CloseHandles();
            Unplug();
            return false;
        }
    }
    tally_.plugs++;
    return true;
}

void AdapterLoad::Start() {
    std::mt19937_64 rng(Mix(seed_ ^ 0x5eed));
    for (auto &owned : ports_) {
        Port &p = *owned;
        threads_.emplace_back([this, &p, s = rng()] { Writer(p, s); });
        threads_.emplace_back([this, &p, s = rng()] { Reader(p, s); });
        threads_.emplace_back([this, &p, s = rng()] { Waiter(p, s); });
    }
    threads_.emplace_back([this, s = rng()] { MaskChanger(s); });
}

// ---- the threads -------------------------------------------------------------------------

void AdapterLoad::Writer(Port &p, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<BYTE> buffer(1024);
    for (;;) {
        size_t room = buffer.size();
        {
            std::unique_lock g(p.lock);
            for (;;) {
                if (stop_) break;
                // The reader may count a frame's bytes before WriteFile has returned them.
                const uint64_t ahead = p.written > p.read ? p.written - p.read : 0;
                if (!paused_ && p.written < p.quota && (settings_.window == 0 || ahead < settings_.window)) {
                    room = static_cast<size_t>(std::min<uint64_t>(room, p.quota - p.written));
                    if (settings_.window != 0) room = std::min(room, settings_.window - static_cast<size_t>(ahead));
                    break;
                }
                if (paused_ && !p.parked) {
                    p.parked = true;
                    p.moved.notify_all();
                }
                p.moved.wait(g);
            }
            p.parked = false;
            if (stop_) break;
        }
        const size_t n = 1 + static_cast<size_t>(rng() % room);
        Fill(p.seed, p.written, buffer.data(), n);
        DWORD wrote = 0;
        const BOOL ok = WriteFile(p.handle, buffer.data(), static_cast<DWORD>(n), &wrote, nullptr);
        const DWORD error = ok ? 0 : GetLastError();
        if (wrote > 0) {
            std::lock_guard g(p.lock);
            p.written += wrote;
        }
        if (!ok) {
            CallFailed(p, "WriteFile", error);
            break;
        }
        // No write time-out is set, so a write that stops short failed part-way.
        if (wrote < n && !InWindow(p)) {
            p.shortWrites++;
            tally_.shortWrites++;
            faults_.Fault(Label() + " " + p.name + ": WriteFile sent " + std::to_string(wrote) + " of " +
                          std::to_string(n) + " bytes while the adapter was plugged and the port open (console: " +
                          ConsoleTail(3) + ")");
        }
    }
    std::lock_guard g(p.lock);
    p.writerDone = true;
    p.moved.notify_all();
}

void AdapterLoad::Reader(Port &p, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<BYTE> buffer(2048);
    for (unsigned reads = 1; !stop_; reads++) {
        const DWORD want = 1 + static_cast<DWORD>(rng() % buffer.size());
        DWORD got = 0;
        if (!ReadFile(p.handle, buffer.data(), want, &got, nullptr)) {
            CallFailed(p, "ReadFile", GetLastError());
            break;
        }
        if (got == 0) continue;  // timed out with the line quiet
        const uint64_t at = p.read;
        if (!p.broken) {
            const size_t bad = FirstMismatch(p.seed, at, buffer.data(), got);
            p.verified = at + bad;
            if (bad < got) {
                p.broken = true;
                if (InWindow(p)) {
                    tally_.gapsInWindows++;
                } else {
                    faults_.Loss(Label() + " " + p.name + ": byte " + std::to_string(at + bad) + " of the stream is " +
                                 Hex(buffer[bad]) + " where " + Hex(StreamByte(p.seed, at + bad)) + " was sent (" +
                                 std::to_string(p.written) + " bytes written so far, " +
                                 std::to_string(p.shortWrites) + " short writes)" +
                                 ExplainMismatch(p.seed, at + bad, buffer.data() + bad, got - bad));
                }
            }
        }
        {
            std::lock_guard g(p.lock);
            p.read += got;
            p.moved.notify_all();
        }
        // A ring that had to drop bytes says so; read and clear now and then.
        if (reads % 16 == 0) {
            DWORD errors = 0;
            COMSTAT stat = {};
            if (!ClearCommError(p.handle, &errors, &stat)) {
                CallFailed(p, "ClearCommError", GetLastError());
            } else if ((errors & (CE_RXOVER | CE_OVERRUN)) && !InWindow(p)) {
                faults_.Loss(Label() + " " + p.name + ": the driver reports received bytes dropped (errors " +
                             Hex(errors) + ")");
            }
        }
        if (settings_.readerPauseUs) std::this_thread::sleep_for(std::chrono::microseconds(settings_.readerPauseUs));
    }
}

void AdapterLoad::Waiter(Port &p, uint64_t seed) {
    std::mt19937_64 rng(seed);
    while (!stop_) {
        DWORD events = 0;
        if (WaitCommEvent(p.handle, &events, nullptr)) {
            if (events) p.events++;
            continue;  // no events: a mask change ended the wait
        }
        DWORD error = GetLastError();
        if (error == ERROR_INVALID_PARAMETER) {
            // No mask to wait for: the changer emptied it. Choose one again.
            if (SetCommMask(p.handle, PickMask(rng, false))) continue;
            CallFailed(p, "SetCommMask", GetLastError());
            break;
        }
        CallFailed(p, "WaitCommEvent", error);
        break;
    }
}

void AdapterLoad::MaskChanger(uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::unique_lock g(changerLock_);
    while (!stop_) {
        changerWake_.wait_for(g, std::chrono::microseconds(100 + rng() % 400), [this] { return stop_.load(); });
        if (stop_) break;
        g.unlock();
        Port &p = *ports_[rng() % ports_.size()];
        if (!p.closing) {
            if (SetCommMask(p.handle, PickMask(rng, true)))
                tally_.maskChanges++;
            else
                CallFailed(p, "SetCommMask", GetLastError());
            DWORD modem = 0;
            if (rng() % 8 == 0 && !GetCommModemStatus(p.handle, &modem))
                CallFailed(p, "GetCommModemStatus", GetLastError());
        }
        g.lock();
    }
}

// ---- the controlling thread's steps --------------------------------------------------------

void AdapterLoad::Feed(uint64_t bytes) {
    for (auto &owned : ports_) {
        Port &p = *owned;
        std::lock_guard g(p.lock);
        p.quota = std::max(p.quota, p.written.load()) + bytes;
        p.moved.notify_all();
    }
}

bool AdapterLoad::WaitFed() {
    const auto deadline = Clock::now() + std::chrono::duration<double>(settings_.stallSeconds);
    bool ok = true;
    for (auto &owned : ports_) {
        Port &p = *owned;
        if (p.closing) continue;
        std::unique_lock g(p.lock);
        if (p.moved.wait_until(g, deadline, [&] { return p.read >= p.quota || p.broken || p.writerDone; })) {
            ok = ok && !p.broken && !p.writerDone;  // the cause is on record already
            continue;
        }
        ok = false;
        const std::string within = std::to_string(static_cast<int>(settings_.stallSeconds)) + " s";
        if (p.read < p.written)
            faults_.Loss(Label() + " " + p.name + ": data stopped moving (" + std::to_string(p.read) + " of " +
                         std::to_string(p.written) + " written bytes arrived, no more within " + within + ")");
        else
            faults_.Fault(Label() + " " + p.name + ": a WriteFile has not returned within " + within + " (" +
                          std::to_string(p.written) + " of " + std::to_string(p.quota) + " bytes written)");
    }
    return ok;
}

void AdapterLoad::StreamSome(std::mt19937_64 &rng, uint64_t bytes) {
    if (bytes == 0 || ports_.empty()) return;
    Port &p = *ports_[rng() % ports_.size()];
    const auto deadline = Clock::now() + std::chrono::duration<double>(settings_.stallSeconds);
    std::unique_lock g(p.lock);
    const uint64_t target = std::min(p.read + rng() % bytes, p.quota);
    p.moved.wait_until(g, deadline, [&] { return p.read >= target || p.broken || p.writerDone; });
}

bool AdapterLoad::PauseWriters() {
    paused_ = true;
    const auto deadline = Clock::now() + std::chrono::duration<double>(settings_.stallSeconds);
    bool ok = true;
    for (auto &owned : ports_) {
        Port &p = *owned;
        std::unique_lock g(p.lock);
        p.moved.notify_all();
        if (!p.moved.wait_until(g, deadline, [&] { return p.parked || p.writerDone; })) {
            faults_.Fault(Label() + " " + p.name + ": a WriteFile has not returned for " +
                          std::to_string(static_cast<int>(settings_.stallSeconds)) + " s");
            ok = false;
        }
    }
    return ok;
}

void AdapterLoad::ResumeWriters() {
    paused_ = false;
    WakeWriters();
}

void AdapterLoad::WakeWriters() {
    for (auto &owned : ports_) {
        std::lock_guard g(owned->lock);
        owned->moved.notify_all();
    }
}

bool AdapterLoad::WaitDrained(const char *when) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(settings_.stallSeconds);
    bool ok = true;
    for (auto &owned : ports_) {
        Port &p = *owned;
        if (p.closing) continue;
        std::unique_lock g(p.lock);
        if (!p.moved.wait_until(g, deadline, [&] { return p.read >= p.written || p.broken; })) {
            faults_.Loss(Label() + " " + p.name + ": " + std::to_string(p.written - p.read) + " of " +
                         std::to_string(p.written) + " written bytes never arrived " + when);
            ok = false;
        } else if (p.broken) {
            ok = false;  // on record already
        } else if (p.read > p.written) {
            faults_.Fault(Label() + " " + p.name + ": " + std::to_string(p.read) + " bytes arrived but only " +
                          std::to_string(p.written) + " were written " + when);
            ok = false;
        }
    }
    return ok;
}

bool AdapterLoad::Checkpoint() {
    const bool ok = PauseWriters() && WaitDrained("at a checkpoint");
    ResumeWriters();
    return ok;
}

void AdapterLoad::StopAndJoin() {
    stop_ = true;
    WakeWriters();
    {
        std::lock_guard g(changerLock_);
        changerWake_.notify_all();
    }
    for (auto &t : threads_) t.join();
    threads_.clear();
}

void AdapterLoad::CloseHandles() {
    for (auto &owned : ports_) {
        Port &p = *owned;
        if (p.closed || p.handle == INVALID_HANDLE_VALUE) continue;
        p.closing = true;
        p.closed = true;
        if (!CloseHandle(p.handle))
            faults_.Fault(Label() + " " + p.name + ": CloseHandle failed with error " + std::to_string(GetLastError()));
    }
}

void AdapterLoad::Account(bool cutOff) {
    for (auto &owned : ports_) {
        Port &p = *owned;
        tally_.bytesVerified += p.verified;
        tally_.events += p.events;
        if (cutOff && p.read < p.written) tally_.bytesLostInWindows += p.written - p.read;
    }
}

void AdapterLoad::UnplugUnderLoad(std::mt19937_64 &rng, bool closeAPort) {
    unplugging_ = true;
    Port *closed = nullptr;
    std::thread closer;
    if (closeAPort && !ports_.empty()) {
        closed = ports_[rng() % ports_.size()].get();
        closed->closing = true;
        closed->closed = true;
        closer = std::thread([this, closed] {
            if (!CloseHandle(closed->handle))
                faults_.Fault(Label() + " " + closed->name + ": CloseHandle during the unplug failed with error " +
                              std::to_string(GetLastError()));
        });
        tally_.portsClosedInUnplug++;
    }
    Unplug();
    if (closer.joinable()) closer.join();
    // Every call the unplug ended has returned by now; what still waits is ours.
    StopAndJoin();
    CloseHandles();
    Account(true);
    tally_.unplugsUnderLoad++;
}

void AdapterLoad::DrainAndUnplug() {
    if (PauseWriters()) WaitDrained("when the streams were stopped");
    stop_ = true;
    // Closing ends the reads and waits that are still blocked; the writers are parked.
    CloseHandles();
    StopAndJoin();
    Account(false);
    unplugging_ = true;
    Unplug();
    tally_.drains++;
}

}  // namespace qsxsoak
