// The schedule explorer's hooks for the kernel (standin/explore.h is the contract): the
// kernel calls these on a controlled thread in place of, or just before, its own work.
// Every hook is behind ExploreControlled() or ExploreHooked(), one relaxed load of a
// global flag when no exploration runs.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "kernel_internal.h"

extern "C" int standin_g_exploring;  // defined in explore.cpp; see winbase.h

namespace standin::internal {

// What a controlled thread is about to do at a scheduling point.
enum class ExploreOp : uint8_t {
    kStart,
    kEnd,
    kEnter,
    kTryEnter,
    kLeave,
    kEventModify,
    kWait,
    kWaitBlocked,
    kSleep,
    kCreateThread,
    kCloseHandle,
    kInterlocked,  // the function is the point's argument (STANDIN_INTERLOCKED_*)
    kUser,
};

struct ExploreThread;  // the explorer's record of one controlled thread
extern constinit thread_local ExploreThread *t_exploreThread;

// True on a controlled thread that the explorer schedules (not while it is being unwound
// at the end of a failed schedule).
bool ExploreControlledSlow();
// A build without STANDIN_EXPLORE_HOOKS has no exploration: these are constant false there.
inline bool ExploreControlled() {
#ifdef STANDIN_EXPLORE_HOOKS
    return __atomic_load_n(&standin_g_exploring, __ATOMIC_RELAXED) && t_exploreThread &&
           ExploreControlledSlow();
#else
    return false;
#endif
}
// True on any thread of a running exploration, also while it is being unwound.
inline bool ExploreHooked() {
#ifdef STANDIN_EXPLORE_HOOKS
    return __atomic_load_n(&standin_g_exploring, __ATOMIC_RELAXED) && t_exploreThread;
#else
    return false;
#endif
}

// A scheduling point that is always enabled. `object` is a handle for kEventModify and
// kCloseHandle, an address otherwise (or null).
void ExplorePoint(ExploreOp op, const void *object, DWORD arg = 0);

// Critical sections in exploration: the explorer grants the section, so the real mutex is
// only ever try-locked. Enter returns holding `mutex` (or owning it already, recursively).
void ExploreEnterSection(LPCRITICAL_SECTION cs, std::mutex &mutex, const std::atomic<DWORD> &owner,
                         DWORD self);
bool ExploreTryEnterSection(LPCRITICAL_SECTION cs, std::mutex &mutex,
                            const std::atomic<DWORD> &owner, DWORD self);
// Before LeaveCriticalSection on an explored thread: true when the call is to be skipped
// (a thread being unwound leaves a section the explorer already left for it).
bool ExploreLeaveSection(LPCRITICAL_SECTION cs, const std::atomic<DWORD> &owner);

// The wait of WaitForSingleObject / WaitForMultipleObjects on a controlled thread. The
// handles are looked up again after the wait's scheduling point: the call takes effect
// there, so a handle another thread closed just before it fails the wait (and, as a use of
// a closed handle, the schedule).
DWORD ExploreWait(const std::vector<std::shared_ptr<KernelObject>> &objects, DWORD ms, const HANDLE *handles);
void ExploreSleep(DWORD ms);
DWORD ExploreTickCount();

// CreateThread on a controlled thread: registers the new thread (not yet running) and
// gives its id; the thread object is handed over once it exists so that its handle prints
// as the thread's name.
ExploreThread *ExploreNewThread(DWORD *id);
void ExploreThreadObject(ExploreThread *thread, std::shared_ptr<KernelObject> object);
// The new thread's routine, run under the explorer (waits for its first turn; the end of
// the routine is a scheduling point).
DWORD ExploreRunThread(ExploreThread *thread, LPTHREAD_START_ROUTINE routine, LPVOID param);
// After the thread's object is signalled: it leaves the exploration and passes the turn.
void ExploreThreadExit(ExploreThread *thread);

}  // namespace standin::internal
