// The schedule explorer (standin/explore.h holds the contract): the engine that runs a
// scenario's controlled threads one at a time and hands the turn from one to the next at
// every scheduling point, the strategies that choose the next thread (bounded depth-first
// search, randomised priorities, replay of an id), virtual time, deadlock and livelock
// detection, the unwinding of a failed schedule, and the printing of schedules.
#include <standin/explore.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <kfuncs.h>

#include "explore_internal.h"

extern "C" {
int standin_g_exploring = 0;
// Present when the program runs under a sanitizer.
void __sanitizer_set_death_callback(void (*callback)(void)) __attribute__((weak));
}

namespace standin::internal {

constinit thread_local ExploreThread *t_exploreThread = nullptr;

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kThreadIdBase = 0x40000000;
constexpr uint64_t kNoDeadline = std::numeric_limits<uint64_t>::max();

// Thrown at a scheduling point to unwind a controlled thread out of a failed schedule.
// Deliberately not a std::exception, so that handlers for those let it pass.
struct Abandon {};

// How a parked thread becomes enabled.
enum class Wake : uint8_t {
    kAlways,  // the call can always go on
    kReady,   // when `ready` says so, or at the deadline
    kNever,   // only at the deadline (a sleep)
};

}  // namespace

struct ExploreThread {
    int index = 0;
    DWORD id = 0;
    std::condition_variable cv;  // the thread waits here for its turn
    enum class State : uint8_t { kParked, kRunning, kExited } state = State::kParked;

    // The call the thread is parked at (engine lock).
    ExploreOp op = ExploreOp::kStart;
    DWORD arg = 0;
    std::vector<const void *> objects;
    std::string label;
    Wake wake = Wake::kAlways;
    std::function<bool()> ready;
    uint64_t deadline = kNoDeadline;
    const std::atomic<DWORD> *sectionOwner = nullptr;  // kEnter: who holds the section

    // Only the thread itself touches these.
    bool unwinding = false;
    std::vector<LPCRITICAL_SECTION> held;  // sections entered while explored
};

namespace {

// ---- strategies ----------------------------------------------------------------------
// The choice a schedule makes where no strategy says otherwise: the thread that made the
// last step while it is enabled, else the lowest-numbered enabled one. Replay ids of the
// exhaustive search list only the steps that differ from it.
int DefaultChoice(const std::vector<int> &enabled, int last) {
    return std::find(enabled.begin(), enabled.end(), last) != enabled.end() ? last : enabled.front();
}

bool Contains(const std::vector<int> &v, int x) { return std::find(v.begin(), v.end(), x) != v.end(); }

// An explored thread as reports name it: "T3". Appended rather than `"T" + std::to_string(i)`,
// in which g++ 12 at -O3 reports a false overlap of the copied bytes (-Wrestrict).
std::string ThreadName(size_t index) {
    std::string s = "T";
    s += std::to_string(index);
    return s;
}

std::string ThreadList(const std::vector<int> &threads) {
    std::string s;
    for (int t : threads) s += (s.empty() ? "T" : ", T") + std::to_string(t);
    return s;
}

class ChoiceStrategy {
public:
    virtual ~ChoiceStrategy() = default;
    virtual void BeginSchedule() {}
    // `enabled` is sorted; `step` counts from 1. Returns a member of `enabled`, or -1 with
    // `why` set when the schedule cannot go on as recorded.
    virtual int Choose(const std::vector<int> &enabled, int last, uint64_t step, std::string *why) = 0;
    virtual void OnNewThread(int /*index*/) {}
    // At the end of a schedule that did not fail: false (with `why`) if it ended before
    // the recorded choices were used up.
    virtual bool Finished(uint64_t /*steps*/, std::string * /*why*/) { return true; }
    // `deviations` is the schedule's "step.thread" list (see the header).
    virtual std::string ReplayId(const std::string &deviations) const { return "s:" + deviations; }
};

std::string Diverged(uint64_t step, int chosen, const std::vector<int> &enabled) {
    return "diverged at step " + std::to_string(step) + ": the recorded choice T" +
           std::to_string(chosen) + " is not enabled (enabled: " + ThreadList(enabled) +
           "); the scenario does not behave the same way under the same schedule";
}

// Stateless depth-first search with a preemption bound: the stack holds the choices of
// the current schedule with the alternatives still to try at each; the next schedule
// replays the prefix up to the deepest choice with an alternative left and takes it.
class DfsStrategy final : public ChoiceStrategy {
public:
    explicit DfsStrategy(int bound) : bound_(bound) {}

    void BeginSchedule() override { pos_ = 0; }

    int Choose(const std::vector<int> &enabled, int last, uint64_t step, std::string *why) override {
        if (pos_ < stack_.size()) {
            const Node &n = stack_[pos_++];
            if (!Contains(enabled, n.chosen)) {
                *why = Diverged(step, n.chosen, enabled);
                return -1;
            }
            return n.chosen;
        }
        Node n;
        n.last = last;
        n.lastEnabled = Contains(enabled, last);
        n.preemptions = stack_.empty() ? 0 : stack_.back().PreemptionsAfter();
        n.chosen = DefaultChoice(enabled, last);
        for (auto it = enabled.rbegin(); it != enabled.rend(); ++it) {
            if (*it == n.chosen) continue;
            if (bound_ >= 0 && n.preemptions + n.Cost(*it) > bound_) continue;
            n.todo.push_back(*it);  // highest first, so the lowest is tried next
        }
        stack_.push_back(std::move(n));
        ++pos_;
        return stack_.back().chosen;
    }

    bool Finished(uint64_t steps, std::string *why) override {
        if (pos_ == stack_.size()) return true;
        *why = "diverged: the schedule ended after " + std::to_string(steps) +
               " steps, where an earlier run of the same prefix went on; the scenario does "
               "not behave the same way under the same schedule";
        return false;
    }

    // Moves to the next schedule; false when the bounded space is exhausted.
    bool Next() {
        while (!stack_.empty()) {
            Node &n = stack_.back();
            if (!n.todo.empty()) {
                n.chosen = n.todo.back();
                n.todo.pop_back();
                return true;
            }
            stack_.pop_back();
        }
        return false;
    }

private:
    struct Node {
        int chosen = 0;
        int last = -1;
        bool lastEnabled = false;
        int preemptions = 0;  // before this choice
        std::vector<int> todo;
        int Cost(int choice) const { return lastEnabled && choice != last ? 1 : 0; }
        int PreemptionsAfter() const { return preemptions + Cost(chosen); }
    };
    const int bound_;
    std::vector<Node> stack_;
    size_t pos_ = 0;
};

// Replays an "s:" id: the default choice except at the listed steps.
class ReplayStrategy final : public ChoiceStrategy {
public:
    explicit ReplayStrategy(std::map<uint64_t, int> choices) : choices_(std::move(choices)) {}

    int Choose(const std::vector<int> &enabled, int last, uint64_t step, std::string *why) override {
        auto it = choices_.find(step);
        if (it == choices_.end()) return DefaultChoice(enabled, last);
        ++used_;
        if (!Contains(enabled, it->second)) {
            *why = Diverged(step, it->second, enabled);
            return -1;
        }
        return it->second;
    }

    bool Finished(uint64_t steps, std::string *why) override {
        if (used_ == choices_.size()) return true;
        *why = "diverged: the schedule ended after " + std::to_string(steps) +
               " steps, before the id's choice at step " +
               std::to_string(std::prev(choices_.end())->first);
        return false;
    }

private:
    std::map<uint64_t, int> choices_;
    size_t used_ = 0;
};

// Probabilistic concurrency testing: random distinct priorities of at least `depth`, the
// highest-priority enabled thread runs, and at depth-1 random steps in [1, steps] the
// thread about to run drops to priority i (below every initial one).
class PctStrategy final : public ChoiceStrategy {
public:
    PctStrategy(int depth, uint64_t steps, uint64_t seed)
        : depth_(std::max(depth, 1)), steps_(std::max<uint64_t>(steps, 1)), seed_(seed) {}

    void BeginSchedule() override {
        rng_.seed(seed_);
        changeAt_.clear();
        for (int i = 1; i < depth_; ++i)
            changeAt_.push_back(std::uniform_int_distribution<uint64_t>(1, steps_)(rng_));
        priority_.clear();
    }

    void OnNewThread(int index) override {
        if (static_cast<size_t>(index) >= priority_.size()) priority_.resize(index + 1);
        priority_[index] = static_cast<uint64_t>(depth_) + (rng_() >> 16);
    }

    int Choose(const std::vector<int> &enabled, int, uint64_t step, std::string *) override {
        int best = Highest(enabled);
        for (size_t i = 0; i < changeAt_.size(); ++i) {
            if (changeAt_[i] != step) continue;
            priority_[best] = i + 1;
            best = Highest(enabled);
        }
        return best;
    }

    std::string ReplayId(const std::string &) const override {
        return "p:" + std::to_string(depth_) + ":" + std::to_string(steps_) + ":" + std::to_string(seed_);
    }

private:
    int Highest(const std::vector<int> &enabled) const {
        int best = enabled.front();
        for (int t : enabled)
            if (priority_[t] > priority_[best]) best = t;
        return best;
    }

    const int depth_;
    const uint64_t steps_;
    const uint64_t seed_;
    std::mt19937_64 rng_;
    std::vector<uint64_t> changeAt_;
    std::vector<uint64_t> priority_;
};

// ---- the engine ------------------------------------------------------------------------
struct Step {
    int thread;
    ExploreOp op;
    bool timedOut;  // kWaitBlocked, kSleep: ended by the clock
    DWORD arg;
    uint64_t time;
    std::vector<const void *> objects;
    std::string label;
};

struct ObjectInfo {
    std::string kind;  // "event", "cs", "var", "object"
    std::string name;  // given with Name(), or the thread's "T<n>"
    int index = -1;    // per kind, by first appearance in the schedule
    std::shared_ptr<KernelObject> pin;  // keeps the address from naming a newer object
};

const char *InterlockedName(DWORD kind) {
    switch (kind) {
    case STANDIN_INTERLOCKED_EXCHANGE: return "InterlockedExchange";
    case STANDIN_INTERLOCKED_COMPARE_EXCHANGE: return "InterlockedCompareExchange";
    case STANDIN_INTERLOCKED_EXCHANGE_ADD: return "InterlockedExchangeAdd";
    case STANDIN_INTERLOCKED_INCREMENT: return "InterlockedIncrement";
    case STANDIN_INTERLOCKED_DECREMENT: return "InterlockedDecrement";
    case STANDIN_INTERLOCKED_EXCHANGE_POINTER: return "InterlockedExchangePointer";
    case STANDIN_INTERLOCKED_COMPARE_EXCHANGE_POINTER: return "InterlockedCompareExchangePointer";
    default: return "Interlocked?";
    }
}

std::string Millis(DWORD ms) { return ms == INFINITE ? "INFINITE" : std::to_string(ms) + " ms"; }

struct Outcome {
    bool failed = false;
    std::string reason;
    std::string schedule;
    std::string replayId;
    uint64_t steps = 0;
};

class Engine {
public:
    std::mutex m;
    std::condition_variable doneCv;  // the caller of Explore waits here for the schedule's end

    // For a whole exploration (set before its first schedule).
    explore::Options options;
    bool deathHookInstalled = false;
    uint64_t scheduleNumber = 0;

    // One schedule (engine lock).
    ChoiceStrategy *strategy = nullptr;
    std::vector<std::unique_ptr<ExploreThread>> threads;
    int current = -1;  // the thread whose turn it is
    size_t exited = 0;
    uint64_t now = 0;  // virtual ms since the schedule's start
    std::vector<Step> steps;
    std::string deviations;
    bool failed = false;
    bool abandoning = false;
    std::string reason;
    std::map<const void *, ObjectInfo> objects;
    std::map<std::string, int> kindCounts;
    Clock::time_point lastProgress;

    ExploreThread *AddThread() {
        auto t = std::make_unique<ExploreThread>();
        t->index = static_cast<int>(threads.size());
        t->id = kThreadIdBase + static_cast<DWORD>(t->index);
        threads.push_back(std::move(t));
        if (strategy) strategy->OnNewThread(threads.back()->index);
        return threads.back().get();
    }

    // Ends the schedule as failed: every parked thread wakes to be unwound.
    void FailLocked(const std::string &why) {
        if (!failed) {
            failed = true;
            reason = why;
        }
        abandoning = true;
        lastProgress = Clock::now();
        for (auto &t : threads) t->cv.notify_all();
        doneCv.notify_all();
    }

    void Register(const void *key, const char *kind, std::shared_ptr<KernelObject> pin = nullptr) {
        if (!key) return;
        ObjectInfo &info = objects[key];
        if (info.kind.empty()) info.kind = kind;
        if (pin && !info.pin) info.pin = std::move(pin);
    }

    std::string Label(const void *key) const {
        if (!key) return "(invalid handle)";
        auto it = objects.find(key);
        if (it == objects.end()) return "object#?";
        if (!it->second.name.empty()) return it->second.name;
        return it->second.kind + "#" + std::to_string(it->second.index);
    }

    std::string Objects(const std::vector<const void *> &keys) const {
        std::string s;
        for (const void *k : keys) s += (s.empty() ? "" : ", ") + Label(k);
        return s;
    }

    std::string CallText(ExploreOp op, DWORD arg, const std::vector<const void *> &keys,
                         const std::string &label) const {
        const std::string objs = Objects(keys);
        switch (op) {
        case ExploreOp::kStart: return "starts";
        case ExploreOp::kEnd: return "ends";
        case ExploreOp::kEnter: return "EnterCriticalSection(" + objs + ")";
        case ExploreOp::kTryEnter: return "TryEnterCriticalSection(" + objs + ")";
        case ExploreOp::kLeave: return "LeaveCriticalSection(" + objs + ")";
        case ExploreOp::kEventModify:
            switch (arg) {
            case EVENT_SET: return "SetEvent(" + objs + ")";
            case EVENT_RESET: return "ResetEvent(" + objs + ")";
            case EVENT_PULSE: return "PulseEvent(" + objs + ")";
            default: return "EventModify(" + objs + ", " + std::to_string(arg) + ")";
            }
        case ExploreOp::kWait:
        case ExploreOp::kWaitBlocked:
            return (keys.size() == 1 ? "WaitForSingleObject(" : "WaitForMultipleObjects(") + objs +
                   ", " + Millis(arg) + ")";
        case ExploreOp::kSleep: return "Sleep(" + (arg == INFINITE ? std::string("INFINITE") : std::to_string(arg)) + ")";
        case ExploreOp::kCreateThread: return "CreateThread";
        case ExploreOp::kCloseHandle: return "CloseHandle(" + objs + ")";
        case ExploreOp::kInterlocked: return std::string(InterlockedName(arg)) + "(" + objs + ")";
        case ExploreOp::kUser: return "SchedulingPoint(" + label + ")";
        }
        return "?";
    }

    std::string StepText(const Step &s) const {
        std::string text = CallText(s.op, s.arg, s.objects, s.label);
        if (s.op == ExploreOp::kWaitBlocked) text += s.timedOut ? " times out" : " is released";
        return text;
    }

    // One line a step; a run of identical steps (a thread polling) prints as its first
    // step and a count; a very long schedule prints its beginning and its end.
    std::string ScheduleText() const {
        std::vector<std::string> lines;
        uint64_t lastTime = 0;
        for (size_t i = 0; i < steps.size();) {
            const Step &s = steps[i];
            const std::string text = StepText(s);
            size_t same = 1;
            while (i + same < steps.size() && steps[i + same].thread == s.thread &&
                   steps[i + same].time == s.time && StepText(steps[i + same]) == text)
                ++same;
            char head[32];
            std::snprintf(head, sizeof head, "%6zu  T%-2d ", i + 1, s.thread);
            std::string line = head + text;
            if (s.time != lastTime) line += "   [t=+" + std::to_string(s.time) + " ms]";
            lastTime = s.time;
            lines.push_back(std::move(line));
            if (same > 2) {
                lines.push_back("        ... the same step " + std::to_string(same - 1) +
                                " more times, to step " + std::to_string(i + same));
                i += same;
            } else {
                ++i;
            }
        }
        constexpr size_t kHead = 100, kTail = 400;
        std::string out;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines.size() > kHead + kTail && i == kHead) {
                out += "        ... " + std::to_string(lines.size() - kHead - kTail) + " lines ...\n";
                i = lines.size() - kTail;
            }
            out += lines[i] + '\n';
        }
        return out;
    }

    std::string OwnerText(DWORD id) const {
        if (id >= kThreadIdBase && id < kThreadIdBase + threads.size())
            return ThreadName(id - kThreadIdBase);
        return "thread " + std::to_string(id) + " (not explored)";
    }

    std::string DeadlockReason() const {
        std::string s = "deadlock: every explored thread that has not ended is blocked:";
        for (const auto &t : threads) {
            if (t->state != ExploreThread::State::kParked) continue;
            s += " T" + std::to_string(t->index) + " in " + CallText(t->op, t->arg, t->objects, t->label);
            if (t->op == ExploreOp::kEnter && t->sectionOwner)
                s += " owned by " + OwnerText(t->sectionOwner->load(std::memory_order_relaxed));
            s += ";";
        }
        s.pop_back();
        return s;
    }

    // Whether a parked thread may go on; `timedOut` tells that only the clock lets it.
    bool Enabled(ExploreThread &t, bool *timedOut) {
        *timedOut = false;
        if (t.wake == Wake::kAlways) return true;
        if (t.wake == Wake::kReady && t.ready()) return true;
        if (t.deadline != kNoDeadline && now >= t.deadline) {
            *timedOut = true;
            return true;
        }
        return false;
    }

    // Chooses the thread that goes on next and gives it the turn. Called by the thread
    // whose turn it was (`last`), once it is parked or has ended, or to start a schedule.
    void Decide(std::unique_lock<std::mutex> &lock, int last) {
        if (abandoning) return;
        std::vector<int> enabled;
        std::vector<char> timedOut(threads.size());
        const Clock::time_point quietUntil = Clock::now() + std::chrono::milliseconds(options.quietMs);
        for (;;) {
            enabled.clear();
            bool anyParked = false;
            uint64_t nextDeadline = kNoDeadline;
            for (auto &t : threads) {
                if (t->state != ExploreThread::State::kParked) continue;
                anyParked = true;
                bool byClock;
                if (Enabled(*t, &byClock)) {
                    enabled.push_back(t->index);
                    timedOut[t->index] = byClock;
                } else {
                    nextDeadline = std::min(nextDeadline, t->deadline);
                }
            }
            if (!anyParked) {
                doneCv.notify_all();
                return;
            }
            if (!enabled.empty()) break;
            if (options.quietMs && Clock::now() < quietUntil) {
                // Give uncontrolled threads a moment to release one of ours.
                lock.unlock();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                lock.lock();
                if (abandoning) return;
                continue;
            }
            if (nextDeadline != kNoDeadline) {
                now = nextDeadline;
                continue;
            }
            FailLocked(DeadlockReason());
            return;
        }
        if (steps.size() >= options.maxSteps) {
            FailLocked("step bound exceeded: " + std::to_string(options.maxSteps) +
                       " steps without the schedule ending (a livelock, or a busy loop "
                       "polling with Sleep or Interlocked calls)");
            return;
        }
        const uint64_t stepNumber = steps.size() + 1;
        std::string why;
        const int chosen = strategy->Choose(enabled, last, stepNumber, &why);
        if (chosen < 0) {
            FailLocked(why);
            return;
        }
        if (chosen != DefaultChoice(enabled, last)) {
            if (!deviations.empty()) deviations += ',';
            deviations += std::to_string(stepNumber) + "." + std::to_string(chosen);
        }
        ExploreThread &t = *threads[chosen];
        for (const void *key : t.objects) {
            auto it = objects.find(key);
            if (it != objects.end() && it->second.index < 0)
                it->second.index = kindCounts[it->second.kind]++;
        }
        steps.push_back({chosen, t.op, timedOut[chosen] != 0, t.arg, now, t.objects, t.label});
        current = chosen;
        lastProgress = Clock::now();
        t.cv.notify_one();
    }

    [[noreturn]] void Unwind(ExploreThread *me, std::unique_lock<std::mutex> &lock) {
        me->unwinding = true;
        lock.unlock();
        ReleaseHeld(me);
        throw Abandon{};
    }

    // Leaves every section the thread holds, so that teardown and the other threads find
    // them free.
    static void ReleaseHeld(ExploreThread *me) {
        const auto self = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(me->id));
        for (auto it = me->held.rbegin(); it != me->held.rend(); ++it) {
            LPCRITICAL_SECTION cs = *it;
            while (cs->hCrit && cs->OwnerThread == self) LeaveCriticalSection(cs);
        }
        me->held.clear();
    }

    // Parks the calling controlled thread at a scheduling point until it is chosen.
    void Park(ExploreThread *me, std::unique_lock<std::mutex> &lock) {
        if (abandoning) Unwind(me, lock);
        me->state = ExploreThread::State::kParked;
        current = -1;
        Decide(lock, me->index);
        me->cv.wait(lock, [&] { return current == me->index || abandoning; });
        if (abandoning) Unwind(me, lock);
        me->state = ExploreThread::State::kRunning;
        me->ready = nullptr;
        me->sectionOwner = nullptr;
        me->deadline = kNoDeadline;
    }

    // Waits for a new thread's first turn.
    void WaitFirstTurn(ExploreThread *me) {
        std::unique_lock lock(m);
        me->cv.wait(lock, [&] { return current == me->index || abandoning; });
        if (abandoning) Unwind(me, lock);
        me->state = ExploreThread::State::kRunning;
    }

    void Exit(ExploreThread *me) {
        std::unique_lock lock(m);
        me->state = ExploreThread::State::kExited;
        ++exited;
        if (!abandoning && current == me->index) {
            current = -1;
            Decide(lock, me->index);
        }
        if (exited == threads.size()) doneCv.notify_all();
    }

    Outcome RunOne(const explore::Scenario &scenario, ChoiceStrategy &chosen);
};

Engine &E() {
    static auto *engine = new Engine;
    return *engine;
}

struct PointCall {
    ExploreOp op;
    DWORD arg = 0;
    std::vector<const void *> objects = {};
    Wake wake = Wake::kAlways;
    std::function<bool()> ready = nullptr;
    DWORD timeoutMs = INFINITE;  // kReady / kNever: deadline this far ahead
    const std::atomic<DWORD> *sectionOwner = nullptr;
    const char *label = nullptr;
};

void Point(PointCall call) {
    ExploreThread *me = t_exploreThread;
    Engine &e = E();
    std::unique_lock lock(e.m);
    me->op = call.op;
    me->arg = call.arg;
    me->objects = std::move(call.objects);
    me->label = call.label ? call.label : "";
    me->wake = call.wake;
    me->ready = std::move(call.ready);
    me->sectionOwner = call.sectionOwner;
    me->deadline = call.wake != Wake::kAlways && call.timeoutMs != INFINITE ? e.now + call.timeoutMs
                                                                             : kNoDeadline;
    e.Park(me, lock);
}

// The object a handle names, registered for printing (null for a handle that is not open).
const void *HandleKey(HANDLE handle) {
    std::shared_ptr<KernelObject> object = LookupHandle(handle);
    if (!object) return nullptr;
    const void *key = object.get();
    const char *kind = object->IsEvent() ? "event" : "object";
    std::lock_guard lock(E().m);
    E().Register(key, kind, std::move(object));
    return key;
}

const void *AddressKey(const volatile void *address, const char *kind) {
    const void *key = const_cast<const void *>(address);
    std::lock_guard lock(E().m);
    E().Register(key, kind);
    return key;
}

void BodyThread(const explore::Scenario *scenario, ExploreThread *me) {
    t_exploreThread = me;
    AdoptThreadId(me->id);
    try {
        E().WaitFirstTurn(me);
        scenario->body();
        Point({.op = ExploreOp::kEnd});
    } catch (const Abandon &) {
    } catch (const std::exception &ex) {
        Engine::ReleaseHeld(me);
        std::lock_guard lock(E().m);
        E().FailLocked(std::string("the body threw: ") + ex.what());
    }
    E().Exit(me);
    t_exploreThread = nullptr;
}

void PrintStuck(Engine &e, const char *what) {
    std::fprintf(stderr, "explore: %s\n%sreplay id: %s\n", what, e.ScheduleText().c_str(),
                 e.strategy ? e.strategy->ReplayId(e.deviations).c_str() : "?");
    std::fflush(stderr);
}

Outcome Engine::RunOne(const explore::Scenario &scenario, ChoiceStrategy &chosen) {
    {
        std::lock_guard lock(m);
        strategy = &chosen;
        threads.clear();
        current = -1;
        exited = 0;
        now = 0;
        steps.clear();
        deviations.clear();
        failed = abandoning = false;
        reason.clear();
        objects.clear();
        kindCounts.clear();
        ++scheduleNumber;
    }
    chosen.BeginSchedule();
    if (scenario.setup) scenario.setup();

    ExploreThread *body;
    {
        std::lock_guard lock(m);
        body = AddThread();
        lastProgress = Clock::now();
    }
    std::thread bodyThread(BodyThread, &scenario, body);
    {
        std::unique_lock lock(m);
        Decide(lock, -1);
        while (exited < threads.size()) {
            if (doneCv.wait_for(lock, std::chrono::seconds(1)) == std::cv_status::no_timeout) continue;
            if (Clock::now() - lastProgress < std::chrono::seconds(options.hangSeconds)) continue;
            // A thread that never comes back to a scheduling point cannot be unwound.
            PrintStuck(*this, abandoning ? "the explored threads did not end after a failed schedule"
                                         : "an explored thread runs without reaching a scheduling "
                                           "point (a busy loop without platform calls, or a real "
                                           "block on a lock outside the platform API)");
            std::abort();
        }
    }
    bodyThread.join();

    Outcome out;
    bool runCheck;
    {
        std::lock_guard lock(m);
        std::string why;
        if (!failed && !strategy->Finished(steps.size(), &why)) failed = true, reason = why;
        runCheck = !failed && scenario.check;
    }
    const std::string message = runCheck ? scenario.check() : std::string();
    {
        std::lock_guard lock(m);
        if (!message.empty()) failed = true, reason = "check failed: " + message;
        out.failed = failed;
        out.steps = steps.size();
        if (failed) {
            out.reason = reason;
            out.schedule = ScheduleText();
            out.replayId = strategy->ReplayId(deviations);
        }
    }
    if (scenario.teardown) scenario.teardown();
    std::lock_guard lock(m);
    objects.clear();
    threads.clear();
    strategy = nullptr;
    return out;
}

void OnSanitizerDeath() {
    Engine &e = E();
    if (!__atomic_load_n(&standin_g_exploring, __ATOMIC_RELAXED)) return;
    // The dying thread may hold the engine lock already; print what is there either way.
    const bool locked = e.m.try_lock();
    std::fprintf(stderr, "explore: the process dies during schedule %llu, after these steps:\n",
                 static_cast<unsigned long long>(e.scheduleNumber));
    PrintStuck(e, "the schedule so far");
    if (locked) e.m.unlock();
}

// Turns the exploration on for its lifetime.
class Session {
public:
    explicit Session(const explore::Options &options) {
        Engine &e = E();
        {
            std::lock_guard lock(e.m);
            e.options = options;
            e.scheduleNumber = 0;
        }
        if (__sanitizer_set_death_callback) __sanitizer_set_death_callback(OnSanitizerDeath);
        __atomic_store_n(&standin_g_exploring, 1, __ATOMIC_RELAXED);
    }
    ~Session() {
        __atomic_store_n(&standin_g_exploring, 0, __ATOMIC_RELAXED);
        if (__sanitizer_set_death_callback) __sanitizer_set_death_callback(nullptr);
    }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
};

std::mutex &ExplorationLock() {
    static auto *lock = new std::mutex;
    return *lock;
}

void Report(const explore::Options &options, explore::Result &result, const Outcome &out) {
    result.failed = true;
    result.reason = out.reason;
    result.schedule = out.schedule;
    result.replayId = out.replayId;
    result.firstFailureAt = result.schedulesExplored;
    if (!options.print) return;
    std::fprintf(stderr, "explore: schedule %llu failed: %s\n%sreplay id: %s\n",
                 static_cast<unsigned long long>(result.schedulesExplored), out.reason.c_str(),
                 out.schedule.c_str(), out.replayId.c_str());
    std::fflush(stderr);
}

std::optional<uint64_t> ParseNumber(const std::string &s) {
    if (s.empty() || s.size() > 19 || s.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::stoull(s);
}

std::vector<std::string> Split(const std::string &s, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = s.find(sep, start);
        parts.push_back(s.substr(start, at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

// The strategy an id names; null when the id is malformed.
std::unique_ptr<ChoiceStrategy> ParseReplayId(const std::string &id) {
    if (id.rfind("s:", 0) == 0) {
        std::map<uint64_t, int> choices;
        const std::string list = id.substr(2);
        if (!list.empty()) {
            for (const std::string &pair : Split(list, ',')) {
                const size_t dot = pair.find('.');
                if (dot == std::string::npos) return nullptr;
                auto step = ParseNumber(pair.substr(0, dot));
                auto thread = ParseNumber(pair.substr(dot + 1));
                if (!step || !thread || *step == 0 || *thread > 0xFFFF) return nullptr;
                if (!choices.emplace(*step, static_cast<int>(*thread)).second) return nullptr;
            }
        }
        return std::make_unique<ReplayStrategy>(std::move(choices));
    }
    if (id.rfind("p:", 0) == 0) {
        const auto parts = Split(id.substr(2), ':');
        if (parts.size() != 3) return nullptr;
        auto depth = ParseNumber(parts[0]), steps = ParseNumber(parts[1]), seed = ParseNumber(parts[2]);
        if (!depth || !steps || !seed || *depth == 0 || *depth > 1000 || *steps == 0) return nullptr;
        return std::make_unique<PctStrategy>(static_cast<int>(*depth), *steps, *seed);
    }
    return nullptr;
}

explore::Result Refuse(const std::string &why) {
    explore::Result r;
    r.failed = true;
    r.reason = why;
    return r;
}

}  // namespace

// ---- the kernel's hooks --------------------------------------------------------------------
bool ExploreControlledSlow() { return !t_exploreThread->unwinding; }

void ExplorePoint(ExploreOp op, const void *object, DWORD arg) {
    std::vector<const void *> keys;
    if (op == ExploreOp::kEventModify || op == ExploreOp::kCloseHandle)
        keys.push_back(HandleKey(const_cast<HANDLE>(object)));  // null prints as an invalid handle
    else if (object)
        keys.push_back(AddressKey(object, "object"));
    Point({.op = op, .arg = arg, .objects = std::move(keys)});
}

void ExploreEnterSection(LPCRITICAL_SECTION cs, std::mutex &mutex, const std::atomic<DWORD> &owner,
                         DWORD self) {
    const void *key = AddressKey(cs, "cs");
    for (;;) {
        Point({.op = ExploreOp::kEnter,
               .objects = {key},
               .wake = Wake::kReady,
               .ready =
                   [&owner, self] {
                       const DWORD o = owner.load(std::memory_order_relaxed);
                       return o == 0 || o == self;
                   },
               .sectionOwner = &owner});
        if (owner.load(std::memory_order_relaxed) == self) return;
        if (mutex.try_lock()) break;
        // An uncontrolled thread took the section since the choice: wait for it again.
    }
    auto &held = t_exploreThread->held;
    if (std::find(held.begin(), held.end(), cs) == held.end()) held.push_back(cs);
}

bool ExploreTryEnterSection(LPCRITICAL_SECTION cs, std::mutex &mutex,
                            const std::atomic<DWORD> &owner, DWORD self) {
    Point({.op = ExploreOp::kTryEnter, .objects = {AddressKey(cs, "cs")}});
    if (owner.load(std::memory_order_relaxed) == self) return true;
    if (!mutex.try_lock()) return false;
    auto &held = t_exploreThread->held;
    if (std::find(held.begin(), held.end(), cs) == held.end()) held.push_back(cs);
    return true;
}

bool ExploreLeaveSection(LPCRITICAL_SECTION cs, const std::atomic<DWORD> &owner) {
    ExploreThread *me = t_exploreThread;
    const bool mine = owner.load(std::memory_order_relaxed) == me->id;
    if (me->unwinding) {
        // The explorer left the thread's sections before unwinding it; a leave on the way
        // out (a destructor) must not leave them a second time.
        return !mine;
    }
    Point({.op = ExploreOp::kLeave, .objects = {AddressKey(cs, "cs")}});
    if (mine && cs->LockCount == 1) std::erase(me->held, cs);
    return false;
}

DWORD ExploreWait(const std::vector<std::shared_ptr<KernelObject>> &objects, DWORD ms, const HANDLE *handles) {
    std::vector<const void *> keys;
    {
        std::lock_guard lock(E().m);
        for (const auto &object : objects) {
            E().Register(object.get(), object->IsEvent() ? "event" : "object", object);
            keys.push_back(object.get());
        }
    }
    Point({.op = ExploreOp::kWait, .arg = ms, .objects = keys});
    for (size_t i = 0; handles != nullptr && i < objects.size(); ++i) {
        if (LookupHandle(handles[i]) != objects[i]) {
            CheckNotClosed(handles[i], "WaitForMultipleObjects");
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }
    Waiter &waiter = ThisThreadWaiter();
    {
        std::lock_guard lock(KernelLock());
        for (size_t i = 0; i < objects.size(); ++i) {
            if (objects[i]->TryAcquire()) return WAIT_OBJECT_0 + static_cast<DWORD>(i);
        }
        if (ms == 0) return WAIT_TIMEOUT;
        waiter.released = Waiter::kWaiting;
        for (size_t i = 0; i < objects.size(); ++i) objects[i]->AddWaiter(&waiter, static_cast<DWORD>(i));
    }
    // The waiter leaves the objects' lists also when the thread is unwound.
    struct Deregister {
        const std::vector<std::shared_ptr<KernelObject>> &objects;
        Waiter &waiter;
        ~Deregister() {
            std::lock_guard lock(KernelLock());
            for (const auto &object : objects) object->RemoveWaiter(&waiter);
        }
    } deregister{objects, waiter};
    Point({.op = ExploreOp::kWaitBlocked,
           .arg = ms,
           .objects = keys,
           .wake = Wake::kReady,
           .ready =
               [&waiter] {
                   std::lock_guard lock(KernelLock());
                   return waiter.released != Waiter::kWaiting;
               },
           .timeoutMs = ms});
    std::lock_guard lock(KernelLock());
    return waiter.released != Waiter::kWaiting ? WAIT_OBJECT_0 + waiter.released : WAIT_TIMEOUT;
}

void ExploreSleep(DWORD ms) {
    if (ms == 0) {
        Point({.op = ExploreOp::kSleep});
        return;
    }
    Point({.op = ExploreOp::kSleep, .arg = ms, .wake = Wake::kNever, .timeoutMs = ms});
}

DWORD ExploreTickCount() {
    std::lock_guard lock(E().m);
    return E().options.startTick + static_cast<DWORD>(E().now);
}

ExploreThread *ExploreNewThread(DWORD *id) {
    std::lock_guard lock(E().m);
    ExploreThread *t = E().AddThread();
    *id = t->id;
    return t;
}

void ExploreThreadObject(ExploreThread *thread, std::shared_ptr<KernelObject> object) {
    std::lock_guard lock(E().m);
    ObjectInfo &info = E().objects[object.get()];
    info.kind = "thread";
    info.name = ThreadName(thread->index);
    info.pin = std::move(object);
}

DWORD ExploreRunThread(ExploreThread *thread, LPTHREAD_START_ROUTINE routine, LPVOID param) {
    t_exploreThread = thread;
    try {
        E().WaitFirstTurn(thread);
        const DWORD code = routine(param);
        Point({.op = ExploreOp::kEnd});
        return code;
    } catch (const Abandon &) {
        return ERROR_OPERATION_ABORTED;
    }
}

void ExploreThreadExit(ExploreThread *thread) {
    E().Exit(thread);
    if (t_exploreThread == thread) t_exploreThread = nullptr;
}

}  // namespace standin::internal

// ---- the Interlocked functions' hook (winbase.h) ----------------------------------------------
extern "C" void standin_ExploreYield(int kind, const volatile void *address) {
    using namespace standin::internal;
    if (!ExploreControlled()) return;
    Point({.op = ExploreOp::kInterlocked,
           .arg = static_cast<DWORD>(kind),
           .objects = {AddressKey(address, "var")}});
}

// ---- the public interface ------------------------------------------------------------------------
namespace standin::explore {

using namespace standin::internal;

// Without the hooks the platform calls are no scheduling points: an exploration would
// quietly miss every interleaving, so it is refused instead.
constexpr bool kHooksBuiltIn =
#ifdef STANDIN_EXPLORE_HOOKS
    true;
#else
    false;
#endif
constexpr const char *kNoHooks = "this build has no exploration hooks (configure with QSX_SANITIZER=address or thread)";

Result Explore(const Options &options, const Scenario &scenario) {
    if (!kHooksBuiltIn) return Refuse(kNoHooks);
    if (ExploreHooked()) return Refuse("Explore called from an explored thread");
    if (!scenario.body) return Refuse("the scenario has no body");
    std::lock_guard one(ExplorationLock());
    Session session(options);
    Engine &e = E();
    Result result;
    if (options.strategy == Strategy::kExhaustive) {
        DfsStrategy dfs(options.preemptionBound);
        while (result.schedulesExplored < options.maxSchedules) {
            const Outcome out = e.RunOne(scenario, dfs);
            ++result.schedulesExplored;
            if (out.failed) {
                Report(options, result, out);
                return result;
            }
            if (!dfs.Next()) {
                result.complete = true;
                return result;
            }
        }
        return result;
    }
    uint64_t longest = 0;
    for (uint64_t run = 0; run < options.maxSchedules; ++run) {
        const uint64_t k = options.pctSteps ? options.pctSteps : (longest ? longest : 100);
        PctStrategy pct(options.pctDepth, k, options.seed + run);
        const Outcome out = e.RunOne(scenario, pct);
        ++result.schedulesExplored;
        longest = std::max(longest, out.steps);
        if (out.failed) {
            Report(options, result, out);
            return result;
        }
    }
    return result;
}

Result Replay(const std::string &replayId, const Scenario &scenario, const Options &options) {
    if (!kHooksBuiltIn) return Refuse(kNoHooks);
    if (ExploreHooked()) return Refuse("Replay called from an explored thread");
    if (!scenario.body) return Refuse("the scenario has no body");
    std::unique_ptr<ChoiceStrategy> strategy = ParseReplayId(replayId);
    if (!strategy) return Refuse("bad replay id \"" + replayId + "\"");
    std::lock_guard one(ExplorationLock());
    Session session(options);
    Result result;
    const Outcome out = E().RunOne(scenario, *strategy);
    result.schedulesExplored = 1;
    if (out.failed) Report(options, result, out);
    return result;
}

void Fail(const std::string &message) {
    if (!__atomic_load_n(&standin_g_exploring, __ATOMIC_RELAXED)) {
        std::fprintf(stderr, "explore::Fail outside an exploration: %s\n", message.c_str());
        return;
    }
    Engine &e = E();
    std::unique_lock lock(e.m);
    e.FailLocked(message);
    if (ExploreControlled()) e.Unwind(t_exploreThread, lock);
}

void Name(const void *handleOrAddress, const std::string &name) {
    std::shared_ptr<KernelObject> object = LookupHandle(const_cast<void *>(handleOrAddress));
    const void *key = object ? object.get() : handleOrAddress;
    std::lock_guard lock(E().m);
    ObjectInfo &info = E().objects[key];
    info.name = name;
    if (object) {
        if (info.kind.empty()) info.kind = object->IsEvent() ? "event" : "object";
        info.pin = std::move(object);
    }
}

void SchedulingPoint(const char *label) {
    if (!ExploreControlled()) return;
    Point({.op = ExploreOp::kUser, .label = label});
}

bool Exploring() { return ExploreControlled(); }

}  // namespace standin::explore
