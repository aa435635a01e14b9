// Kernel basics of the stand-in: the handle table and CloseHandle, local memory, the
// per-thread last error and thread ids, virtual time (Sleep, GetTickCount, the time
// scale and the record of timed calls) and the leak counters. (The wide string calls are
// inline in winbase.h, as the platform has them.)
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <thread>
#include <utility>

#include "explore_internal.h"
#include "standin/explore.h"
#include "kernel_internal.h"

namespace standin::internal {

namespace {

thread_local DWORD t_lastError = 0;
std::atomic<DWORD> g_nextThreadId{1};
std::atomic<size_t> g_runningThreads{0};

}  // namespace

constinit thread_local DWORD t_threadId = 0;

// The kernel's state lives in objects that are never destroyed: a thread that is just
// ending may still touch them while the process runs its exit handlers.
std::mutex &KernelLock() {
    static auto *lock = new std::mutex;
    return *lock;
}

namespace {
const std::atomic<int> kNormalPriorityCell{kNormalPriority};
thread_local const std::atomic<int> *t_priorityCell = nullptr;
}  // namespace

void SetThisThreadPriorityCell(const std::atomic<int> *cell) { t_priorityCell = cell; }

void KernelObject::AddWaiter(Waiter *waiter, DWORD index) {
    // Kept in arrival order; the entry points at the thread's priority, not a copy.
    waiters_.push_back({waiter, index, t_priorityCell ? t_priorityCell : &kNormalPriorityCell});
}

void KernelObject::RemoveWaiter(Waiter *waiter) {
    std::erase_if(waiters_, [waiter](const Entry &e) { return e.waiter == waiter; });
}

size_t KernelObject::ReleaseWaiters(size_t max, WakeList *wake) {
    size_t released = 0;
    while (released < max) {
        // The first entry of the highest priority (lowest number) still waiting; a waiter
        // on several objects may already have been released by another.
        const Entry *next = nullptr;
        int best = 0;
        for (const Entry &e : waiters_) {
            if (e.waiter->released != Waiter::kWaiting) continue;
            const int priority = e.priority->load(std::memory_order_relaxed);
            if (!next || priority < best) {
                next = &e;
                best = priority;
            }
        }
        if (!next) break;
        next->waiter->released = next->index;
        if (!wake || !wake->Add(next->waiter)) next->waiter->cv.notify_one();
        ++released;
    }
    return released;
}

namespace {

// Waiters of threads that ended, for threads that start later.
struct WaiterPool {
    std::mutex lock;
    std::vector<Waiter *> free;
};

WaiterPool &Pool() {
    static auto *pool = new WaiterPool;
    return *pool;
}

struct WaiterSlot {
    Waiter *waiter = nullptr;
    ~WaiterSlot() {
        if (!waiter) return;
        std::lock_guard g(Pool().lock);
        Pool().free.push_back(std::exchange(waiter, nullptr));
    }
};

thread_local WaiterSlot t_waiter;

}  // namespace

Waiter &ThisThreadWaiter() {
    if (!t_waiter.waiter) {
        std::lock_guard g(Pool().lock);
        if (!Pool().free.empty()) {
            t_waiter.waiter = Pool().free.back();
            Pool().free.pop_back();
        } else {
            t_waiter.waiter = new Waiter;
        }
    }
    return *t_waiter.waiter;
}

size_t KernelObject::WaiterCount() const {
    return static_cast<size_t>(std::count_if(waiters_.begin(), waiters_.end(), [](const Entry &e) {
        return e.waiter->released == Waiter::kWaiting;
    }));
}

size_t WaitingThreads(HANDLE handle) {
    auto object = LookupHandle(handle);
    if (!object) return 0;
    std::lock_guard lock(KernelLock());
    return object->WaiterCount();
}

// ---- handle table ---------------------------------------------------------------
// A handle's value is (generation << 16) | (slot + 1): never null, never
// INVALID_HANDLE_VALUE, and below 2^31 so that code written for the 32-bit device may keep
// a handle in a DWORD. A freed slot goes to the back of the free queue and comes back
// with the next generation, so a stale handle does not name a newer object.
class HandleTable {
public:
    static HandleTable &Get() {
        static auto *table = new HandleTable;
        return *table;
    }

    HANDLE Add(std::shared_ptr<KernelObject> object) {
        std::lock_guard lock(mutex_);
        return AddLocked(std::move(object));
    }

    HANDLE AddNamed(std::u16string_view name,
                    const std::function<std::shared_ptr<KernelObject>()> &make, bool *existed) {
        std::lock_guard lock(mutex_);
        auto it = names_.find(std::u16string(name));
        if (it != names_.end()) {
            *existed = true;
            return AddLocked(it->second);
        }
        *existed = false;
        std::shared_ptr<KernelObject> object = make();
        if (!object) return nullptr;
        HANDLE h = AddLocked(object);
        if (h) {
            object->name_ = std::u16string(name);
            names_.emplace(object->name_, object);
        }
        return h;
    }

    std::shared_ptr<KernelObject> Lookup(HANDLE handle) {
        std::lock_guard lock(mutex_);
        Slot *slot = Find(handle);
        return slot ? slot->object : nullptr;
    }

    bool Visit(HANDLE handle, void (*visit)(KernelObject *, void *), void *context) {
        std::lock_guard lock(mutex_);
        Slot *slot = Find(handle);
        if (!slot) return false;
        visit(slot->object.get(), context);
        return true;
    }

    bool Close(HANDLE handle) {
        std::shared_ptr<KernelObject> object;
        bool last = false;
        {
            std::lock_guard lock(mutex_);
            Slot *slot = Find(handle);
            if (!slot) return false;
            object = std::move(slot->object);
            slot->object.reset();
            if (++slot->generation > kMaxGeneration) slot->generation = 1;
            free_.push_back(static_cast<uint32_t>(slot - slots_.data()));
            --open_;
            if (--object->handleCount_ == 0) {
                last = true;
                if (!object->name_.empty()) {
                    names_.erase(object->name_);
                    object->name_.clear();
                }
            }
        }
        // Outside the lock: the hook may call back into the kernel, and the object may
        // be destroyed here, which may do the same.
        if (last) object->OnLastHandleClosed();
        return true;
    }

    size_t OpenCount() {
        std::lock_guard lock(mutex_);
        return open_;
    }

    // Whether the value is one this table handed out and that was closed since.
    bool WasClosed(HANDLE handle) {
        std::lock_guard lock(mutex_);
        const auto value = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
        const uint64_t index = (value & kMaxSlots);
        const uint64_t generation = value >> kSlotBits;
        if (index == 0 || index > slots_.size() || generation == 0) return false;
        const Slot &slot = slots_[index - 1];
        return generation < slot.generation;
    }

private:
    static constexpr uint64_t kSlotBits = 16;
    static constexpr uint64_t kMaxSlots = (uint64_t{1} << kSlotBits) - 1;
    static constexpr uint64_t kMaxGeneration = 0x7FFF;

    struct Slot {
        std::shared_ptr<KernelObject> object;
        uint64_t generation = 1;
    };

    HANDLE AddLocked(std::shared_ptr<KernelObject> object) {
        uint32_t index;
        if (!free_.empty()) {
            index = free_.front();
            free_.pop_front();
        } else if (slots_.size() < kMaxSlots) {
            index = static_cast<uint32_t>(slots_.size());
            slots_.emplace_back();
        } else {
            t_lastError = ERROR_NOT_ENOUGH_MEMORY;
            return nullptr;
        }
        Slot &slot = slots_[index];
        ++object->handleCount_;
        slot.object = std::move(object);
        ++open_;
        return reinterpret_cast<HANDLE>(
            static_cast<uintptr_t>((slot.generation << kSlotBits) | (index + 1)));
    }

    Slot *Find(HANDLE handle) {
        const auto value = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
        const uint64_t index = (value & kMaxSlots);
        const uint64_t generation = value >> kSlotBits;
        if (index == 0 || index > slots_.size()) return nullptr;
        Slot &slot = slots_[index - 1];
        if (!slot.object || slot.generation != generation) return nullptr;
        return &slot;
    }

    std::mutex mutex_;
    std::vector<Slot> slots_;
    std::deque<uint32_t> free_;
    // A named object is in the map exactly while it has handles.
    std::map<std::u16string, std::shared_ptr<KernelObject>> names_;
    size_t open_ = 0;
};

HANDLE CreateHandle(std::shared_ptr<KernelObject> object) {
    return HandleTable::Get().Add(std::move(object));
}

HANDLE CreateNamedHandle(std::u16string_view name,
                         const std::function<std::shared_ptr<KernelObject>()> &make,
                         bool *existed) {
    return HandleTable::Get().AddNamed(name, make, existed);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
    return HandleTable::Get().Lookup(handle);
}

bool VisitHandle(HANDLE handle, void (*visit)(KernelObject *, void *), void *context) {
    return HandleTable::Get().Visit(handle, visit, context);
}

bool CloseKernelHandle(HANDLE handle) { return HandleTable::Get().Close(handle); }

void CheckNotClosed(HANDLE handle, const char *call) {
    // On the device a closed handle's value may already name another object: in a
    // schedule that is a failure, not a call that merely fails.
    if (ExploreHooked() && HandleTable::Get().WasClosed(handle))
        standin::explore::Fail(std::string(call) + " on a handle that was closed");
}

// ---- threads ----------------------------------------------------------------------
DWORD NewThreadId() {
    DWORD id = g_nextThreadId.fetch_add(1);
    if (id == 0) id = g_nextThreadId.fetch_add(1);  // after wrapping, skip 0
    return id;
}

void AdoptThreadId(DWORD id) { t_threadId = id; }
void ThreadStarted() { g_runningThreads.fetch_add(1); }
void ThreadEnded() { g_runningThreads.fetch_sub(1); }

// ---- time ---------------------------------------------------------------------------
namespace {

using Clock = std::chrono::steady_clock;

// Virtual time runs at 1/scale of real time from a base point that moves whenever the
// scale changes, so GetTickCount stays continuous.
struct TimeState {
    std::mutex mutex;
    double scale = 1.0;
    Clock::time_point realBase = Clock::now();
    double virtualBaseMs = 0.0;

    double VirtualNowLocked() const {
        const std::chrono::duration<double, std::milli> real = Clock::now() - realBase;
        return virtualBaseMs + real.count() / scale;
    }
};

TimeState &Time() {
    static auto *state = new TimeState;
    return *state;
}
// Start the clock when the library loads, not on the first call.
[[maybe_unused]] const bool g_timeStarted = (Time(), true);

// Oldest entries are dropped beyond this, so long runs do not grow without bound.
constexpr size_t kMaxTimedCalls = 1000000;

struct TimedLog {
    std::mutex mutex;
    std::deque<TimedCall> calls;
};

TimedLog &Log() {
    static auto *log = new TimedLog;
    return *log;
}

}  // namespace

std::chrono::nanoseconds RealDuration(DWORD virtualMs) {
    double scale;
    {
        std::lock_guard lock(Time().mutex);
        scale = Time().scale;
    }
    // Capped at about 30 years so that a long time-out at a slow scale cannot overflow.
    const double realNs = std::min(static_cast<double>(virtualMs) * scale * 1e6, 1e18);
    return std::chrono::nanoseconds(static_cast<int64_t>(realNs));
}

void RecordTimedCall(TimedCall::Kind kind, DWORD ms, DWORD result) {
    const TimedCall call{kind, ms, GetCurrentThreadId(), result};
    std::lock_guard lock(Log().mutex);
    if (Log().calls.size() >= kMaxTimedCalls) Log().calls.pop_front();
    Log().calls.push_back(call);
}

}  // namespace standin::internal

namespace standin {

void SetTimeScale(double realMsPerVirtualMs) {
    // A scale of zero or below would stop or reverse time; keep the previous one.
    if (!(realMsPerVirtualMs > 0.0) || !std::isfinite(realMsPerVirtualMs)) return;
    auto &time = internal::Time();
    std::lock_guard lock(time.mutex);
    time.virtualBaseMs = time.VirtualNowLocked();
    time.realBase = internal::Clock::now();
    time.scale = realMsPerVirtualMs;
}

double TimeScale() {
    std::lock_guard lock(internal::Time().mutex);
    return internal::Time().scale;
}

std::vector<TimedCall> TimedCalls() {
    std::lock_guard lock(internal::Log().mutex);
    return {internal::Log().calls.begin(), internal::Log().calls.end()};
}

void ClearTimedCalls() {
    std::lock_guard lock(internal::Log().mutex);
    internal::Log().calls.clear();
}

size_t OpenHandleCount() { return internal::HandleTable::Get().OpenCount(); }
size_t RunningThreadCount() { return internal::g_runningThreads.load(); }

}  // namespace standin

using namespace standin::internal;

extern "C" {

// ---- memory ----------------------------------------------------------------------
// Fixed blocks only (a LocalAlloc handle is the block's address), from the C heap so that
// the leak checker sees blocks never freed.
HLOCAL WINAPI LocalAlloc(UINT uFlags, UINT uBytes) {
    if (uFlags & ~UINT{LMEM_ZEROINIT}) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const size_t size = uBytes ? uBytes : 1;
    void *block = (uFlags & LMEM_ZEROINIT) ? std::calloc(1, size) : std::malloc(size);
    if (!block) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return block;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    std::free(hMem);
    return nullptr;
}

// ---- last error, thread ids ------------------------------------------------------------
DWORD WINAPI GetLastError(void) { return t_lastError; }
void WINAPI SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

DWORD WINAPI GetCurrentThreadId(void) {
    // Threads the kernel did not start get an id the first time they ask.
    if (t_threadId == 0) t_threadId = NewThreadId();
    return t_threadId;
}

// ---- handles -------------------------------------------------------------------------
BOOL WINAPI CloseHandle(HANDLE hObject) {
    if (ExploreControlled()) ExplorePoint(ExploreOp::kCloseHandle, hObject);
    if (!CloseKernelHandle(hObject)) {
        CheckNotClosed(hObject, "CloseHandle");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// ---- time --------------------------------------------------------------------------
void WINAPI Sleep(DWORD dwMilliseconds) {
    if (ExploreControlled()) {
        ExploreSleep(dwMilliseconds);  // virtual time: ends when nothing else can run
        if (dwMilliseconds != 0) RecordTimedCall(standin::TimedCall::kSleep, dwMilliseconds, 0);
        return;
    }
    if (dwMilliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    if (dwMilliseconds == INFINITE) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
    std::this_thread::sleep_for(RealDuration(dwMilliseconds));
    RecordTimedCall(standin::TimedCall::kSleep, dwMilliseconds, 0);
}

DWORD WINAPI GetTickCount(void) {
    if (ExploreControlled()) return ExploreTickCount();
    auto &time = Time();
    std::lock_guard lock(time.mutex);
    // Virtual milliseconds wrap at 2^32 like the device's counter.
    return static_cast<DWORD>(static_cast<uint64_t>(time.VirtualNowLocked()));
}

}  // extern "C"

size_t standin::WaitingThreadCount(HANDLE handle) { return standin::internal::WaitingThreads(handle); }
