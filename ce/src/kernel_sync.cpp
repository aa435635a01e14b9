// Synchronisation of the stand-in's kernel: critical sections, events (manual and
// auto reset, named, EventModify) and the waits (WaitForSingleObject,
// WaitForMultipleObjects) on every waitable kernel object.
#include <windows.h>

#include <kfuncs.h>
// The stand-in's own compile of the records that code built for the device shares with it.
#include <recordlayout.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "explore_internal.h"
#include "kernel_internal.h"

using namespace standin::internal;

namespace {

// ---- critical sections -------------------------------------------------------------
// The lock behind CRITICAL_SECTION::hCrit: a plain mutex with the owner and the depth kept
// here, since the platform's sections are recursive and the receive path enters one per
// chunk. `owner` is written only by the thread that holds the mutex (its own id on entry,
// 0 on its last leave), so a thread that reads its own id there really holds the section.
struct CritLock {
    std::mutex mutex;
    std::atomic<DWORD> owner{0};
    DWORD depth = 0;  // the owner's
};

CritLock &LockOf(LPCRITICAL_SECTION cs) {
    if (!cs || !cs->hCrit) {
        // Entering a section that was never initialised (or already deleted) is a bug in
        // the caller; stop loudly rather than run unprotected.
        std::fputs("coredll: critical section used without InitializeCriticalSection\n", stderr);
        std::abort();
    }
    return *static_cast<CritLock *>(cs->hCrit);
}

// A call that would corrupt the section on the device: say which and stop. `format`
// takes the section, the calling thread and the section's owner.
[[noreturn]] void SectionFault(const char *format, LPCRITICAL_SECTION cs, DWORD owner) {
    char text[192];
    std::snprintf(text, sizeof text, format, static_cast<void *>(cs),
                  static_cast<unsigned long>(CurrentThreadId()), static_cast<unsigned long>(owner));
    std::fputs(text, stderr);
    std::abort();
}

// The section's own fields mirror the lock for code that looks at them.
void TookLock(LPCRITICAL_SECTION cs, CritLock &lock, DWORD self) {
    if (lock.depth++ == 0) {
        lock.owner.store(self, std::memory_order_relaxed);
        cs->OwnerThread = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(self));
    }
    cs->LockCount = lock.depth;
}

// ---- events ---------------------------------------------------------------------------
class Event final : public KernelObject {
public:
    Event(bool manualReset, bool signalled) : manualReset_(manualReset), signalled_(signalled) {}

    bool Waitable() const override { return true; }
    bool IsEvent() const override { return true; }

    bool TryAcquire() override {
        if (!signalled_.load(std::memory_order_relaxed)) return false;
        if (!manualReset_) signalled_.store(false, std::memory_order_relaxed);
        return true;
    }

    void Modify(DWORD func) {
        // Setting a signalled event or resetting an unsignalled one changes nothing: a
        // signalled event has no thread waiting on it (the wait would have taken the
        // signal), so neither needs the kernel lock. The state only changes under the
        // lock, so what is read here is a state the event really had.
        if ((func == EVENT_SET && signalled_.load(std::memory_order_acquire)) ||
            (func == EVENT_RESET && !signalled_.load(std::memory_order_acquire)))
            return;
        WakeList wake;  // notified as it goes out of scope, after the lock is let go
        std::lock_guard lock(KernelLock());
        switch (func) {
        case EVENT_SET:
            if (manualReset_) {
                signalled_.store(true, std::memory_order_release);
                ReleaseWaiters(SIZE_MAX, &wake);
            } else if (ReleaseWaiters(1, &wake) == 0) {
                // Nobody waits: stay signalled until one thread takes it.
                signalled_.store(true, std::memory_order_release);
            }
            break;
        case EVENT_RESET:
            signalled_.store(false, std::memory_order_release);
            break;
        case EVENT_PULSE:
            // Only the threads waiting right now see the pulse.
            ReleaseWaiters(manualReset_ ? SIZE_MAX : 1, &wake);
            signalled_.store(false, std::memory_order_release);
            break;
        }
    }

private:
    const bool manualReset_;
    std::atomic<bool> signalled_;  // changed only under KernelLock(); read without it by Modify
};

// ---- waits ---------------------------------------------------------------------------
// Waits until one of `objects` is signalled and takes its signal. Returns WAIT_OBJECT_0
// plus the object's index, or WAIT_TIMEOUT once the scaled time-out has passed.
DWORD WaitAny(const std::vector<std::shared_ptr<KernelObject>> &objects, DWORD ms, const HANDLE *handles) {
    if (ExploreControlled()) return ExploreWait(objects, ms, handles);
    std::unique_lock lock(KernelLock());
    for (size_t i = 0; i < objects.size(); ++i) {
        if (objects[i]->TryAcquire()) return WAIT_OBJECT_0 + static_cast<DWORD>(i);
    }
    if (ms == 0) return WAIT_TIMEOUT;

    Waiter &waiter = ThisThreadWaiter();
    waiter.released = Waiter::kWaiting;
    for (size_t i = 0; i < objects.size(); ++i) objects[i]->AddWaiter(&waiter, static_cast<DWORD>(i));
    const auto released = [&waiter] { return waiter.released != Waiter::kWaiting; };
    if (ms == INFINITE) {
        waiter.cv.wait(lock, released);
    } else {
        const auto deadline = std::chrono::steady_clock::now() + RealDuration(ms);
        waiter.cv.wait_until(lock, deadline, released);
    }
    for (const auto &object : objects) object->RemoveWaiter(&waiter);
    return released() ? WAIT_OBJECT_0 + waiter.released : WAIT_TIMEOUT;
}

DWORD FinishWait(DWORD ms, DWORD result) {
    if (ms != 0 && ms != INFINITE) RecordTimedCall(standin::TimedCall::kWait, ms, result);
    return result;
}

std::atomic<standin::EventModifyHook> gEventHook{nullptr};
std::atomic<void *> gEventHookContext{nullptr};

}  // namespace

void standin::SetEventModifyHook(EventModifyHook hook, void *context) {
    gEventHookContext = context;
    gEventHook = hook;
}

extern "C" {

// ---- critical sections ---------------------------------------------------------------
void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpcs) {
    lpcs->LockCount = 0;
    lpcs->OwnerThread = nullptr;
    lpcs->needtrap = 0;
    lpcs->dwContentions = 0;
    // Heap-allocated on purpose: a section never deleted shows up as a leak.
    lpcs->hCrit = new CritLock;
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpcs) {
    if (!lpcs || !lpcs->hCrit) return;
    // On the device deleting a held section corrupts it under its owner (the caller
    // included); stop loudly rather than free it.
    if (const DWORD owner = static_cast<CritLock *>(lpcs->hCrit)->owner.load(std::memory_order_relaxed))
        SectionFault("coredll: DeleteCriticalSection(%p) on thread %lu of a section that thread %lu owns\n",
                     lpcs, owner);
    delete static_cast<CritLock *>(lpcs->hCrit);
    lpcs->hCrit = nullptr;
    lpcs->OwnerThread = nullptr;
    lpcs->LockCount = 0;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpcs) {
    CritLock &lock = LockOf(lpcs);
    const DWORD self = CurrentThreadId();
    if (ExploreControlled()) {
        ExploreEnterSection(lpcs, lock.mutex, lock.owner, self);  // the explorer grants it
    } else if (lock.owner.load(std::memory_order_relaxed) != self) {
        lock.mutex.lock();
    }
    TookLock(lpcs, lock, self);
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpcs) {
    CritLock &lock = LockOf(lpcs);
    const DWORD self = CurrentThreadId();
    if (ExploreControlled()) {
        if (!ExploreTryEnterSection(lpcs, lock.mutex, lock.owner, self)) return FALSE;
    } else if (lock.owner.load(std::memory_order_relaxed) != self && !lock.mutex.try_lock()) {
        return FALSE;
    }
    TookLock(lpcs, lock, self);
    return TRUE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpcs) {
    CritLock &lock = LockOf(lpcs);
    if (ExploreHooked() && ExploreLeaveSection(lpcs, lock.owner)) return;
    // Leaving a section the thread does not hold corrupts it on the device.
    if (const DWORD owner = lock.owner.load(std::memory_order_relaxed); owner != CurrentThreadId())
        SectionFault("coredll: LeaveCriticalSection(%p) on thread %lu, which does not own the section "
                     "(owner: thread %lu)\n",
                     lpcs, owner);
    if (--lock.depth == 0) {
        lock.owner.store(0, std::memory_order_relaxed);
        lpcs->OwnerThread = nullptr;
        lpcs->LockCount = 0;
        lock.mutex.unlock();
        return;
    }
    lpcs->LockCount = lock.depth;
}

// ---- events ----------------------------------------------------------------------------
HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName) {
    auto make = [&]() -> std::shared_ptr<KernelObject> {
        return std::make_shared<Event>(bManualReset != FALSE, bInitialState != FALSE);
    };
    HANDLE handle;
    bool existed = false;
    if (lpName && *lpName) {
        // An existing event of that name keeps its own reset mode and state.
        handle = CreateNamedHandle(lpName, make, &existed);
    } else {
        handle = CreateHandle(make());
    }
    if (handle) SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

BOOL WINAPI EventModify(HANDLE hEvent, DWORD func) {
    if (ExploreControlled()) ExplorePoint(ExploreOp::kEventModify, hEvent, func);
    if (auto hook = gEventHook.load(std::memory_order_acquire)) hook(hEvent, func, gEventHookContext.load());
    if (func != EVENT_SET && func != EVENT_RESET && func != EVENT_PULSE) {
        // A handle that is no event at all is the worse fault, and reported as such.
        if (!LookupHandleAs<Event>(hEvent)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The data path sets and resets events for every chunk and frame: the event is changed
    // in place under the handle table's lock instead of through a counted reference.
    struct Change {
        DWORD func;
        bool done;
    } change{func, false};
    VisitHandle(
        hEvent,
        [](KernelObject *object, void *context) {
            auto *c = static_cast<Change *>(context);
            if (!object->IsEvent()) return;
            static_cast<Event *>(object)->Modify(c->func);
            c->done = true;
        },
        &change);
    if (!change.done) {
        CheckNotClosed(hEvent, "EventModify");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// ---- waits -------------------------------------------------------------------------------
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL fWaitAll,
                                    DWORD dwMilliseconds) {
    // The device waits for any one of the objects only, like this stand-in.
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles || fWaitAll) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FinishWait(dwMilliseconds, WAIT_FAILED);
    }
    std::vector<std::shared_ptr<KernelObject>> objects;
    objects.reserve(nCount);
    for (DWORD i = 0; i < nCount; ++i) {
        auto object = LookupHandle(lpHandles[i]);
        if (!object || !object->Waitable()) {
            if (!object) CheckNotClosed(lpHandles[i], "WaitForMultipleObjects");
            SetLastError(ERROR_INVALID_HANDLE);
            return FinishWait(dwMilliseconds, WAIT_FAILED);
        }
        objects.push_back(std::move(object));
    }
    return FinishWait(dwMilliseconds, WaitAny(objects, dwMilliseconds, lpHandles));
}

}  // extern "C"
