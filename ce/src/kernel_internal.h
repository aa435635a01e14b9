// The kernel's private interface for the other parts of the stand-in: the handle table
// (every HANDLE names a reference-counted KernelObject), the kernel lock that guards
// signal states and waiters, virtual time and the record of timed calls.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "standin/kernel.h"

namespace standin::internal {

// Guards every object's signal state and waiter list. Held only briefly and never while
// calling out of the kernel. Lock order: the handle table's lock, then this one (an event
// is changed while its handle is held in the table, see VisitHandle); nothing that holds
// this lock calls into the handle table.
std::mutex &KernelLock();

// One thread blocked in a wait. An object that releases the waiter stores the index the
// waiter gave it (its position in the wait's handle list) in `released`, under
// KernelLock(). Each thread has one Waiter for all its waits, and Waiters are never freed
// (a thread that ends leaves its Waiter to the next thread): so a releaser may notify
// after letting go of the kernel lock, and a notify that comes late only wakes some later
// wait for nothing, which checks `released` again and goes on waiting.
struct Waiter {
    static constexpr DWORD kWaiting = 0xFFFFFFFF;
    std::condition_variable cv;  // waited on with KernelLock()
    DWORD released = kWaiting;   // KernelLock()
};
// The calling thread's Waiter.
Waiter &ThisThreadWaiter();

// Waiters released under the kernel lock, to be notified once it is let go, so that a
// woken thread does not wake only to block on the lock its waker still holds.
class WakeList {
public:
    WakeList() = default;
    WakeList(const WakeList &) = delete;
    WakeList &operator=(const WakeList &) = delete;
    ~WakeList() { WakeAll(); }
    // False when full: the caller notifies at once instead.
    bool Add(Waiter *waiter) {
        if (count_ == kMax) return false;
        waiters_[count_++] = waiter;
        return true;
    }
    // Call without the kernel lock.
    void WakeAll() {
        for (size_t i = 0; i < count_; ++i) waiters_[i]->cv.notify_one();
        count_ = 0;
    }

private:
    static constexpr size_t kMax = 8;
    Waiter *waiters_[kMax];
    size_t count_ = 0;
};

class HandleTable;

// Base of everything a HANDLE can name. Objects live as long as a handle, a wait in
// progress or their own activity (a running thread) holds a reference.
class KernelObject {
public:
    KernelObject() = default;
    KernelObject(const KernelObject &) = delete;
    KernelObject &operator=(const KernelObject &) = delete;
    virtual ~KernelObject() = default;

    // Whether WaitForSingleObject may wait on the object at all.
    virtual bool Waitable() const { return false; }
    // Whether the object is an event (cheaper to ask than a dynamic_cast on hot paths).
    virtual bool IsEvent() const { return false; }
    // Called with KernelLock() held: if the object is signalled, take the signal (an
    // auto-reset event resets) and return true.
    virtual bool TryAcquire() { return false; }
    // Called without any kernel lock once the last handle to the object is closed
    // (the object may still live on for waits in progress).
    virtual void OnLastHandleClosed() {}

    // With KernelLock() held: enqueue or remove a waiter. AddWaiter is called on the
    // waiting thread itself, which brings its priority along.
    void AddWaiter(Waiter *waiter, DWORD index);
    void RemoveWaiter(Waiter *waiter);
    // With KernelLock() held: release up to `max` waiters still waiting, as the device
    // does: highest thread priority first, and among equal priorities the one that has
    // waited longest; a priority changed during the wait counts. Returns how many were
    // released. With `wake`, they are notified when it is woken (after the lock is let
    // go); without, at once.
    size_t ReleaseWaiters(size_t max, WakeList *wake = nullptr);
    // With KernelLock() held: threads waiting on the object and not yet released.
    size_t WaiterCount() const;

private:
    struct Entry {
        Waiter *waiter;
        DWORD index;
        const std::atomic<int> *priority;  // the waiting thread's, read at release time
    };
    std::vector<Entry> waiters_;  // KernelLock()

    friend class HandleTable;
    size_t handleCount_ = 0;  // handle table lock
    std::u16string name_;     // handle table lock; empty when unnamed
};

// A new handle to `object`; null (last error set) when the table is full.
HANDLE CreateHandle(std::shared_ptr<KernelObject> object);
// A new handle to the object named `name`, made by `make` when no open object has that
// name yet. `existed` tells which happened. Names are case-sensitive.
HANDLE CreateNamedHandle(std::u16string_view name,
                         const std::function<std::shared_ptr<KernelObject>()> &make,
                         bool *existed);
// The object a handle names, or null when the handle is not open (last error untouched).
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}
// Calls `visit` with the object a handle names while the handle table's lock is held, so
// the object stays alive without a reference being taken; false when the handle is not
// open. `visit` may take KernelLock() but must not call into the handle table.
bool VisitHandle(HANDLE handle, void (*visit)(KernelObject *object, void *context), void *context);
// Closes one handle; false when it was not open.
bool CloseKernelHandle(HANDLE handle);
// For a call that found its handle not open: while exploring, a handle that was open once
// and closed since fails the schedule (on the device its value may name another object).
void CheckNotClosed(HANDLE handle, const char *call);
// How many threads wait on the object `handle` names right now (0 for a bad handle): lets
// a test know its waiters are blocked before it pulses or sets an event.
size_t WaitingThreads(HANDLE handle);

// ---- time -----------------------------------------------------------------------
// How long `virtualMs` virtual milliseconds last in real time at the current scale.
std::chrono::nanoseconds RealDuration(DWORD virtualMs);
void RecordTimedCall(TimedCall::Kind kind, DWORD ms, DWORD result);

// ---- priorities -----------------------------------------------------------------
// The device's thread priorities: 0 is the highest, 255 the lowest; the levels
// SetThreadPriority takes (THREAD_PRIORITY_TIME_CRITICAL 0 .. THREAD_PRIORITY_IDLE 7) are
// 248 to 255, and a thread starts at THREAD_PRIORITY_NORMAL, 251.
constexpr int kFirstLevelPriority = 248;
constexpr int kNormalPriority = kFirstLevelPriority + THREAD_PRIORITY_NORMAL;
// Where the calling thread's priority lives: a thread started by CreateThread points it
// at its thread object's (and back to null before it ends); any other thread keeps the
// normal priority.
void SetThisThreadPriorityCell(const std::atomic<int> *cell);

// ---- threads --------------------------------------------------------------------
// The calling thread's id once it has one (0 before); GetCurrentThreadId hands one out.
extern constinit thread_local DWORD t_threadId;
inline DWORD CurrentThreadId() {
    if (t_threadId == 0) return GetCurrentThreadId();
    return t_threadId;
}
DWORD NewThreadId();
void AdoptThreadId(DWORD id);  // called first thing on a thread started by CreateThread
void ThreadStarted();
void ThreadEnded();

}  // namespace standin::internal
