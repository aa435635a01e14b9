// The stand-in's kernel through the platform API: events and waits, threads, critical
// sections, last error, time scale and timed-call record, local memory, wide strings and
// driver library loading (built-in modules and real shared libraries).
#include <windows.h>

#include <dbgapi.h>
#include <kfuncs.h>

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../ce/src/kernel_internal.h"
#include "standin/kernel.h"

namespace {

constexpr DWORD kSentinel = 0xdeadbeef;
// Bound for waits that should succeed at once; only reached when something is broken.
constexpr DWORD kBound = 10000;

// Runs `fn` on a thread started with CreateThread.
HANDLE StartThread(std::function<DWORD()> fn, DWORD *tid = nullptr) {
    auto *owned = new std::function<DWORD()>(std::move(fn));
    HANDLE h = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            std::unique_ptr<std::function<DWORD()>> f(static_cast<std::function<DWORD()> *>(p));
            return (*f)();
        },
        owned, 0, tid);
    if (!h) delete owned;
    return h;
}

void Join(HANDLE thread) {
    EXPECT_EQ(WaitForSingleObject(thread, kBound), (DWORD)WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(thread));
}

// Blocks until `n` threads wait on `h`, with a generous bound.
bool AwaitWaiters(HANDLE h, size_t n) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (standin::internal::WaitingThreads(h) != n) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::yield();
    }
    return true;
}

// Every test leaves no handle open and no thread running, at real time.
class Kernel : public ::testing::Test {
protected:
    void SetUp() override {
        standin::SetTimeScale(1.0);
        handlesBefore_ = standin::OpenHandleCount();
    }
    void TearDown() override {
        standin::SetTimeScale(1.0);
        EXPECT_EQ(standin::OpenHandleCount(), handlesBefore_);
        EXPECT_EQ(standin::RunningThreadCount(), 0u);
    }

    // Starts `n` threads that each wait forever on `event`; returns their handles.
    std::vector<HANDLE> StartWaiters(HANDLE event, int n) {
        std::vector<HANDLE> threads;
        for (int i = 0; i < n; ++i) {
            threads.push_back(StartThread([event] { return WaitForSingleObject(event, INFINITE); }));
        }
        return threads;
    }
    // How many of `threads` have ended; ended ones are joined and removed.
    size_t ReapEnded(std::vector<HANDLE> &threads) {
        size_t ended = 0;
        for (auto it = threads.begin(); it != threads.end();) {
            if (WaitForSingleObject(*it, 0) == WAIT_OBJECT_0) {
                DWORD code = kSentinel;
                EXPECT_TRUE(GetExitCodeThread(*it, &code));
                EXPECT_EQ(code, (DWORD)WAIT_OBJECT_0);
                CloseHandle(*it);
                it = threads.erase(it);
                ++ended;
            } else {
                ++it;
            }
        }
        return ended;
    }

    size_t handlesBefore_ = 0;
};

// ---- events ---------------------------------------------------------------------------

TEST_F(Kernel, EventInitialStateAndResetMode) {
    struct Case {
        BOOL manual, initial;
        DWORD first, second;  // two waits with time-out 0 in a row
    } cases[] = {
        {TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0},
        {FALSE, TRUE, WAIT_OBJECT_0, WAIT_TIMEOUT},
        {TRUE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
        {FALSE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "manual " << c.manual << " initial " << c.initial);
        SetLastError(kSentinel);
        HANDLE h = CreateEventW(nullptr, c.manual, c.initial, nullptr);
        ASSERT_NE(h, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), 0u);
        EXPECT_EQ(WaitForSingleObject(h, 0), c.first);
        EXPECT_EQ(WaitForSingleObject(h, 0), c.second);
        // Set then reset leaves it unsignalled; set alone signals it once or for good.
        EXPECT_TRUE(SetEvent(h));
        EXPECT_TRUE(ResetEvent(h));
        EXPECT_EQ(WaitForSingleObject(h, 0), (DWORD)WAIT_TIMEOUT);
        EXPECT_TRUE(EventModify(h, EVENT_SET));
        EXPECT_EQ(WaitForSingleObject(h, 0), (DWORD)WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(h, 0), c.manual ? (DWORD)WAIT_OBJECT_0 : (DWORD)WAIT_TIMEOUT);
        EXPECT_TRUE(CloseHandle(h));
    }
}

TEST_F(Kernel, AutoResetSetReleasesOneWaiterManualReleasesAll) {
    for (BOOL manual : {FALSE, TRUE}) {
        SCOPED_TRACE(manual ? "manual" : "auto");
        HANDLE ev = CreateEventW(nullptr, manual, FALSE, nullptr);
        std::vector<HANDLE> threads = StartWaiters(ev, 3);
        ASSERT_TRUE(AwaitWaiters(ev, 3));
        ASSERT_TRUE(SetEvent(ev));
        if (manual) {
            EXPECT_EQ(WaitForSingleObject(ev, 0), (DWORD)WAIT_OBJECT_0);  // stays set
            for (HANDLE t : threads) Join(t);
        } else {
            // The set went to exactly one waiter and left nothing behind for anyone else.
            ASSERT_TRUE(AwaitWaiters(ev, 2));
            EXPECT_EQ(WaitForSingleObject(ev, 0), (DWORD)WAIT_TIMEOUT);
            ASSERT_LT(WaitForMultipleObjects(3, threads.data(), FALSE, kBound), 3u);
            EXPECT_EQ(ReapEnded(threads), 1u);
            // Each further set releases one more.
            for (size_t left = 2; left > 0; --left) {
                ASSERT_TRUE(SetEvent(ev));
                ASSERT_TRUE(AwaitWaiters(ev, left - 1));
            }
            for (HANDLE t : threads) Join(t);
        }
        EXPECT_TRUE(CloseHandle(ev));
    }
}

TEST_F(Kernel, PulseReleasesCurrentWaitersAndLeavesEventReset) {
    // No waiter: a pulse leaves nothing signalled, even on an event that was set.
    for (BOOL manual : {FALSE, TRUE}) {
        for (BOOL initial : {FALSE, TRUE}) {
            HANDLE ev = CreateEventW(nullptr, manual, initial, nullptr);
            EXPECT_TRUE(PulseEvent(ev));
            EXPECT_EQ(WaitForSingleObject(ev, 0), (DWORD)WAIT_TIMEOUT) << manual << initial;
            CloseHandle(ev);
        }
    }
    // Manual reset: all current waiters go, the event ends reset.
    HANDLE manual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<HANDLE> threads = StartWaiters(manual, 3);
    ASSERT_TRUE(AwaitWaiters(manual, 3));
    EXPECT_TRUE(PulseEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), (DWORD)WAIT_TIMEOUT);
    for (HANDLE t : threads) Join(t);
    CloseHandle(manual);

    // Auto reset: one waiter goes, the other keeps waiting.
    HANDLE autoEv = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    threads = StartWaiters(autoEv, 2);
    ASSERT_TRUE(AwaitWaiters(autoEv, 2));
    EXPECT_TRUE(PulseEvent(autoEv));
    EXPECT_LT(WaitForMultipleObjects(2, threads.data(), FALSE, kBound), 2u);
    EXPECT_EQ(ReapEnded(threads), 1u);
    EXPECT_EQ(standin::internal::WaitingThreads(autoEv), 1u);
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), (DWORD)WAIT_TIMEOUT);
    SetEvent(autoEv);
    Join(threads[0]);
    CloseHandle(autoEv);
}

TEST_F(Kernel, NamedEventsAreSharedUntilTheLastHandleCloses) {
    SetLastError(kSentinel);
    HANDLE a = CreateEventW(nullptr, TRUE, FALSE, u"QsxKernelTestEvent");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(GetLastError(), 0u);
    SetLastError(kSentinel);
    // The second creation opens the first event; its own reset mode and state are ignored.
    HANDLE b = CreateEventW(nullptr, FALSE, TRUE, u"QsxKernelTestEvent");
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(WaitForSingleObject(b, 0), (DWORD)WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(a));
    EXPECT_EQ(WaitForSingleObject(b, 0), (DWORD)WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(b, 0), (DWORD)WAIT_OBJECT_0);  // still manual reset

    // Other names and unnamed events are separate objects.
    SetLastError(kSentinel);
    HANDLE other = CreateEventW(nullptr, TRUE, FALSE, u"qsxkerneltestevent");
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(WaitForSingleObject(other, 0), (DWORD)WAIT_TIMEOUT);
    CloseHandle(other);

    // One handle closed: the name still stands for the same event.
    EXPECT_TRUE(CloseHandle(a));
    SetLastError(kSentinel);
    HANDLE c = CreateEventW(nullptr, TRUE, FALSE, u"QsxKernelTestEvent");
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(WaitForSingleObject(c, 0), (DWORD)WAIT_OBJECT_0);
    CloseHandle(b);
    CloseHandle(c);

    // All handles closed: the name is free and makes a fresh event.
    SetLastError(kSentinel);
    HANDLE d = CreateEventW(nullptr, TRUE, FALSE, u"QsxKernelTestEvent");
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(WaitForSingleObject(d, 0), (DWORD)WAIT_TIMEOUT);
    CloseHandle(d);
}

TEST_F(Kernel, BadHandlesFailWithInvalidHandle) {
    HANDLE closed = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_TRUE(CloseHandle(closed));
    HANDLE thread = StartThread([] { return DWORD{0}; });
    ASSERT_NE(thread, nullptr);
    // Enough new handles that the closed one's slot is reused: the old value must still
    // name nothing.
    std::vector<HANDLE> fresh;
    for (int i = 0; i < 200; ++i) {
        fresh.push_back(CreateEventW(nullptr, TRUE, TRUE, nullptr));
        ASSERT_NE(fresh.back(), closed);
    }

    const HANDLE bad[] = {nullptr, INVALID_HANDLE_VALUE, closed, (HANDLE)(uintptr_t)0x12345};
    for (HANDLE h : bad) {
        SCOPED_TRACE(testing::Message() << "handle " << h);
        SetLastError(kSentinel);
        EXPECT_FALSE(CloseHandle(h));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
        SetLastError(kSentinel);
        EXPECT_FALSE(SetEvent(h));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
        SetLastError(kSentinel);
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
        DWORD code = kSentinel;
        EXPECT_FALSE(GetExitCodeThread(h, &code));
        EXPECT_EQ(code, kSentinel);
    }
    // Handles of the wrong kind.
    SetLastError(kSentinel);
    EXPECT_FALSE(SetEvent(thread));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    SetLastError(kSentinel);
    EXPECT_FALSE(GetExitCodeThread(fresh[0], nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    Join(thread);
    for (HANDLE h : fresh) EXPECT_TRUE(CloseHandle(h));
}

TEST_F(Kernel, WaitForMultipleObjectsWaitsForAny) {
    HANDLE ev[2] = {CreateEventW(nullptr, FALSE, FALSE, nullptr),
                    CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    EXPECT_EQ(WaitForMultipleObjects(2, ev, FALSE, 0), (DWORD)WAIT_TIMEOUT);
    HANDLE setter = StartThread([&ev] {
        AwaitWaiters(ev[1], 1);
        return (DWORD)SetEvent(ev[1]);
    });
    EXPECT_EQ(WaitForMultipleObjects(2, ev, FALSE, kBound), (DWORD)WAIT_OBJECT_0 + 1);
    // The auto-reset signal was taken by that wait.
    EXPECT_EQ(WaitForMultipleObjects(2, ev, FALSE, 0), (DWORD)WAIT_TIMEOUT);
    Join(setter);

    SetLastError(kSentinel);
    EXPECT_EQ(WaitForMultipleObjects(2, ev, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    HANDLE withBad[2] = {ev[0], nullptr};
    SetLastError(kSentinel);
    EXPECT_EQ(WaitForMultipleObjects(2, withBad, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    CloseHandle(ev[0]);
    CloseHandle(ev[1]);
}

TEST_F(Kernel, HandleClosedDuringWaitKeepsTheObjectAlive) {
    standin::SetTimeScale(0.001);
    HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // Half a second of real time: long enough to see the wait start.
    HANDLE waiter = StartThread([ev] { return WaitForSingleObject(ev, 500000); });
    ASSERT_TRUE(AwaitWaiters(ev, 1));
    EXPECT_TRUE(CloseHandle(ev));
    // The wait ends by its time-out; the object must not have gone from under it.
    ASSERT_EQ(WaitForSingleObject(waiter, kBound * 1000), (DWORD)WAIT_OBJECT_0);
    DWORD code = kSentinel;
    EXPECT_TRUE(GetExitCodeThread(waiter, &code));
    EXPECT_EQ(code, (DWORD)WAIT_TIMEOUT);
    CloseHandle(waiter);
}

// ---- time -------------------------------------------------------------------------------

TEST_F(Kernel, TimeScaleShortensWaitsAndRecordsWhatWasAsked) {
    const DWORD tickAtRealTime = GetTickCount();
    standin::SetTimeScale(0.001);
    EXPECT_EQ(standin::TimeScale(), 0.001);
    // Changing the scale does not make the tick count jump.
    const DWORD tickScaled = GetTickCount();
    EXPECT_GE(tickScaled, tickAtRealTime);
    EXPECT_LT(tickScaled - tickAtRealTime, 1000u);

    standin::ClearTimedCalls();
    HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const auto realStart = std::chrono::steady_clock::now();
    const DWORD before = GetTickCount();
    EXPECT_EQ(WaitForSingleObject(ev, 4000), (DWORD)WAIT_TIMEOUT);
    const DWORD waited = GetTickCount() - before;
    Sleep(2500);
    const auto realMs = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - realStart).count();
    EXPECT_GE(waited, 3999u);
    EXPECT_LT(realMs, 3000);  // at real time this alone would take 6.5 s

    // Neither Sleep(0) nor waits with time-out 0 or INFINITE are recorded.
    Sleep(0);
    EXPECT_EQ(WaitForSingleObject(ev, 0), (DWORD)WAIT_TIMEOUT);
    SetEvent(ev);
    EXPECT_EQ(WaitForSingleObject(ev, INFINITE), (DWORD)WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(ev, 700), (DWORD)WAIT_OBJECT_0);
    SetLastError(kSentinel);
    EXPECT_EQ(WaitForSingleObject(nullptr, 300), WAIT_FAILED);

    const DWORD me = GetCurrentThreadId();
    const auto calls = standin::TimedCalls();
    ASSERT_EQ(calls.size(), 4u);
    const standin::TimedCall expected[] = {
        {standin::TimedCall::kWait, 4000, me, WAIT_TIMEOUT},
        {standin::TimedCall::kSleep, 2500, me, 0},
        {standin::TimedCall::kWait, 700, me, WAIT_OBJECT_0},
        {standin::TimedCall::kWait, 300, me, WAIT_FAILED},
    };
    for (size_t i = 0; i < calls.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(calls[i].kind, expected[i].kind);
        EXPECT_EQ(calls[i].ms, expected[i].ms);
        EXPECT_EQ(calls[i].threadId, expected[i].threadId);
        EXPECT_EQ(calls[i].result, expected[i].result);
    }
    standin::ClearTimedCalls();
    EXPECT_TRUE(standin::TimedCalls().empty());
    CloseHandle(ev);
}

// ---- threads -------------------------------------------------------------------------------

TEST_F(Kernel, ThreadLifecycleExitCodeIdAndPriority) {
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> idInside{0};
    DWORD tid = kSentinel;
    HANDLE t = StartThread(
        [&] {
            idInside = GetCurrentThreadId();
            WaitForSingleObject(go, INFINITE);
            return DWORD{42};
        },
        &tid);
    ASSERT_NE(t, nullptr);
    EXPECT_NE(tid, kSentinel);
    EXPECT_NE(tid, 0u);
    EXPECT_NE(tid, GetCurrentThreadId());
    EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());

    ASSERT_TRUE(AwaitWaiters(go, 1));
    EXPECT_EQ(idInside.load(), tid);
    EXPECT_EQ(standin::RunningThreadCount(), 1u);
    DWORD code = kSentinel;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, (DWORD)STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(t, 0), (DWORD)WAIT_TIMEOUT);

    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_NORMAL);
    EXPECT_TRUE(SetThreadPriority(t, THREAD_PRIORITY_HIGHEST));
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_HIGHEST);
    for (int bad : {-1, 8, 255}) {
        SetLastError(kSentinel);
        EXPECT_FALSE(SetThreadPriority(t, bad));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_HIGHEST);

    SetEvent(go);
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), (DWORD)WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(t, 0), (DWORD)WAIT_OBJECT_0);  // stays signalled
    EXPECT_EQ(standin::RunningThreadCount(), 0u);
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 42u);
    CloseHandle(t);
    CloseHandle(go);
}

// Threads waiting on one object are released highest priority first (the lowest number
// on the device's 0..255 scale, where SetThreadPriority's levels are 248..255), equal
// priorities in the order they began to wait; a priority set while a thread waits counts.
TEST_F(Kernel, WaitersAreReleasedByPriorityThenInArrivalOrder) {
    struct Case {
        const char *name;
        std::vector<int> priorities;  // of each waiter, in arrival order; below 0: a level - 8
        std::vector<size_t> released;
    } cases[] = {
        {"a later, higher waiter goes first", {251, 249}, {1, 0}},
        {"equals in arrival order", {251, 251, 251}, {0, 1, 2}},
        {"two priorities, each in arrival order", {252, 100, 252, 100}, {1, 3, 0, 2}},
        {"levels sit at 248..255", {THREAD_PRIORITY_NORMAL - 8, 250, THREAD_PRIORITY_HIGHEST - 8, 247}, {3, 2, 1, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        HANDLE recorded = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        std::vector<size_t> order;  // written by one released thread at a time
        std::vector<HANDLE> threads;
        for (size_t i = 0; i < c.priorities.size(); ++i) {
            threads.push_back(StartThread([&, i] {
                WaitForSingleObject(event, INFINITE);
                order.push_back(i);
                SetEvent(recorded);
                return DWORD{0};
            }));
            ASSERT_TRUE(AwaitWaiters(event, i + 1));
            // Set once the thread waits: a release reads the priority it has then.
            const int p = c.priorities[i];
            ASSERT_TRUE(p < 0 ? SetThreadPriority(threads[i], p + 8) : CeSetThreadPriority(threads[i], p));
        }
        for (size_t k = 0; k < threads.size(); ++k) {
            SetEvent(event);  // auto-reset with waiters: releases exactly one
            ASSERT_EQ(WaitForSingleObject(recorded, kBound), (DWORD)WAIT_OBJECT_0);
        }
        EXPECT_EQ(order, c.released);
        for (HANDLE t : threads) Join(t);
        CloseHandle(event);
        CloseHandle(recorded);
    }
}

TEST_F(Kernel, ThreadPriorityLevelsAndTheDevicesScale) {
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE t = StartThread([go] { return WaitForSingleObject(go, INFINITE); });
    EXPECT_EQ(CeGetThreadPriority(t), 251);  // THREAD_PRIORITY_NORMAL
    EXPECT_TRUE(SetThreadPriority(t, THREAD_PRIORITY_LOWEST));
    EXPECT_EQ(CeGetThreadPriority(t), 253);
    EXPECT_TRUE(CeSetThreadPriority(t, 250));
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_ABOVE_NORMAL);
    for (int bad : {-1, 256}) {
        SetLastError(kSentinel);
        EXPECT_FALSE(CeSetThreadPriority(t, bad));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(CeGetThreadPriority(t), 250);
    SetLastError(kSentinel);
    EXPECT_EQ(CeGetThreadPriority(go), THREAD_PRIORITY_ERROR_RETURN);  // an event is no thread
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    SetEvent(go);
    Join(t);
    CloseHandle(go);
}

TEST_F(Kernel, ThreadRunsOnAfterItsHandleIsClosed) {
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE t = StartThread([go, done] {
        WaitForSingleObject(go, INFINITE);
        SetEvent(done);
        return DWORD{0};
    });
    ASSERT_TRUE(AwaitWaiters(go, 1));
    EXPECT_TRUE(CloseHandle(t));
    EXPECT_EQ(standin::RunningThreadCount(), 1u);
    SetEvent(go);
    EXPECT_EQ(WaitForSingleObject(done, kBound), (DWORD)WAIT_OBJECT_0);
    // The routine has set `done`; it is about to return.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (standin::RunningThreadCount() != 0 && std::chrono::steady_clock::now() < until) {
        std::this_thread::yield();
    }
    EXPECT_EQ(standin::RunningThreadCount(), 0u);
    CloseHandle(go);
    CloseHandle(done);
}

// A program's threads, and the threads they start, end before RunProgram returns, as
// they end with the process on the device; threads started outside the program do not
// hold it up.
TEST_F(Kernel, RunProgramReturnsOnceEveryThreadOfTheProgramHasEnded) {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE outsider = StartThread([release] { return WaitForSingleObject(release, INFINITE); });
    std::atomic<int> ended{0};
    std::atomic<bool> returned{false};
    std::thread program([&] {
        const int result = standin::RunProgram([&] {
            // The program's thread starts a grandchild and closes its own handle; the
            // grandchild outlives both the main routine and its parent.
            HANDLE child = StartThread([&] {
                CloseHandle(StartThread([&] {
                    WaitForSingleObject(release, INFINITE);
                    ended++;
                    return DWORD{0};
                }));
                ended++;
                return DWORD{0};
            });
            CloseHandle(child);
            return 7;
        });
        EXPECT_EQ(result, 7);
        EXPECT_EQ(ended.load(), 2);
        returned = true;
    });
    // The child has ended; the grandchild and the outsider wait.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ended != 1 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    EXPECT_TRUE(AwaitWaiters(release, 2));
    EXPECT_FALSE(returned.load());
    SetEvent(release);  // whatever happened above, so that the program thread can be joined
    program.join();
    EXPECT_TRUE(returned.load());
    Join(outsider);
    CloseHandle(release);
}

TEST_F(Kernel, LastErrorIsPerThread) {
    SetLastError(0x1234);
    HANDLE t = StartThread([] {
        const DWORD initial = GetLastError();
        SetLastError(0x5678);
        return GetLastError() == 0x5678 && initial == 0 ? DWORD{1} : DWORD{0};
    });
    ASSERT_EQ(WaitForSingleObject(t, kBound), (DWORD)WAIT_OBJECT_0);
    DWORD code = kSentinel;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, 1u);
    EXPECT_EQ(GetLastError(), 0x1234u);
    CloseHandle(t);
}

// ---- critical sections ---------------------------------------------------------------------

TEST_F(Kernel, CriticalSectionIsRecursiveForItsOwnerOnly) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    ASSERT_TRUE(TryEnterCriticalSection(&cs));  // a plain lock would fail here, not hang
    EnterCriticalSection(&cs);
    EXPECT_EQ(cs.LockCount, 3);
    EXPECT_EQ(cs.OwnerThread, (HANDLE)(uintptr_t)GetCurrentThreadId());

    auto otherTries = [&cs] {
        HANDLE t = StartThread([&cs] {
            if (!TryEnterCriticalSection(&cs)) return DWORD{0};
            LeaveCriticalSection(&cs);
            return DWORD{1};
        });
        WaitForSingleObject(t, kBound);
        DWORD got = kSentinel;
        GetExitCodeThread(t, &got);
        CloseHandle(t);
        return got;
    };
    EXPECT_EQ(otherTries(), 0u);
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    EXPECT_EQ(otherTries(), 0u);  // still held once
    LeaveCriticalSection(&cs);
    EXPECT_EQ(cs.LockCount, 0);
    EXPECT_EQ(cs.OwnerThread, nullptr);
    EXPECT_EQ(otherTries(), 1u);
    DeleteCriticalSection(&cs);
}

TEST_F(Kernel, CriticalSectionExcludesOtherThreads) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    long counter = 0;  // deliberately plain: only the section protects it
    std::vector<HANDLE> threads;
    for (int i = 0; i < 4; ++i) {
        threads.push_back(StartThread([&] {
            for (int n = 0; n < 20000; ++n) {
                EnterCriticalSection(&cs);
                const long seen = counter;
                counter = seen + 1;
                LeaveCriticalSection(&cs);
            }
            return DWORD{0};
        }));
    }
    for (HANDLE t : threads) Join(t);
    EXPECT_EQ(counter, 4 * 20000);
    DeleteCriticalSection(&cs);
}

// Leaving a section the thread does not own, or deleting one some thread owns, corrupts
// it on the device: the program stops, naming the call.
TEST(KernelDeathTest, MisusedCriticalSectionStopsTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    // Held by another thread until the test lets it go.
    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE holder = StartThread([&] {
        EnterCriticalSection(&cs);
        SetEvent(entered);
        WaitForSingleObject(release, INFINITE);
        LeaveCriticalSection(&cs);
        return DWORD{0};
    });
    ASSERT_EQ(WaitForSingleObject(entered, kBound), WAIT_OBJECT_0);
    EXPECT_DEATH(LeaveCriticalSection(&cs), "LeaveCriticalSection\\(0x[0-9a-f]+\\) on thread [0-9]+, which does "
                                            "not own the section \\(owner: thread [0-9]+\\)");
    EXPECT_DEATH(DeleteCriticalSection(&cs), "DeleteCriticalSection\\(0x[0-9a-f]+\\) on thread [0-9]+ of a "
                                             "section that thread [0-9]+ owns");
    SetEvent(release);
    Join(holder);
    // Free, or held by the caller itself.
    EXPECT_DEATH(LeaveCriticalSection(&cs), "owner: thread 0\\)");
    EnterCriticalSection(&cs);
    EXPECT_DEATH(DeleteCriticalSection(&cs), "DeleteCriticalSection");
    LeaveCriticalSection(&cs);
    DeleteCriticalSection(&cs);
    CloseHandle(entered);
    CloseHandle(release);
}

// ---- memory and strings -------------------------------------------------------------------

TEST_F(Kernel, LocalAllocZeroFillsWithLptr) {
    auto *block = static_cast<unsigned char *>(LocalAlloc(LPTR, 300));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 300; ++i) ASSERT_EQ(block[i], 0) << "byte " << i;
    EXPECT_EQ(LocalFree(block), nullptr);
    void *fixed = LocalAlloc(LMEM_FIXED, 16);
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(LocalFree(fixed), nullptr);
}

TEST_F(Kernel, WideStrings) {
    EXPECT_EQ(lstrlenW(u"COM11:"), 6);
    EXPECT_EQ(lstrlenW(u""), 0);
    EXPECT_EQ(lstrcmpW(u"abc", u"abc"), 0);
    EXPECT_LT(lstrcmpW(u"abc", u"abd"), 0);
    EXPECT_GT(lstrcmpW(u"abc", u"ab"), 0);
    EXPECT_NE(lstrcmpW(u"ABC", u"abc"), 0);
    EXPECT_EQ(lstrcmpiW(u"Drivers\\USB", u"dRIVERS\\usb"), 0);
    EXPECT_LT(lstrcmpiW(u"Ab", u"aC"), 0);

    WCHAR buf[8];
    std::fill(std::begin(buf), std::end(buf), u'#');
    EXPECT_EQ(lstrcpyW(buf, u"abc"), buf);
    EXPECT_EQ(std::u16string(buf), u"abc");
    EXPECT_EQ(buf[4], u'#');

    std::fill(std::begin(buf), std::end(buf), u'#');
    EXPECT_EQ(lstrcpynW(buf, u"abcdefgh", 4), buf);  // three characters and the terminator
    EXPECT_EQ(std::u16string(buf), u"abc");
    EXPECT_EQ(buf[4], u'#');
    std::fill(std::begin(buf), std::end(buf), u'#');
    lstrcpynW(buf, u"ab", 8);
    EXPECT_EQ(std::u16string(buf), u"ab");
    lstrcpynW(buf, u"xyz", 1);
    EXPECT_EQ(buf[0], 0);
}

// ---- driver libraries ----------------------------------------------------------------------

struct BuiltinLog {
    int attached = 0;
    int detached = 0;
    BOOL attachResult = TRUE;
    HANDLE hInst = nullptr;
};
BuiltinLog g_builtin;

BOOL BuiltinDllMain(HANDLE hInst, DWORD reason, LPVOID) {
    g_builtin.hInst = hInst;
    if (reason == DLL_PROCESS_ATTACH) {
        ++g_builtin.attached;
        DisableThreadLibraryCalls(static_cast<HMODULE>(hInst));
        return g_builtin.attachResult;
    }
    if (reason == DLL_PROCESS_DETACH) ++g_builtin.detached;
    return TRUE;
}
DWORD BuiltinExport() { return 77; }

class Modules : public Kernel {
protected:
    void SetUp() override {
        Kernel::SetUp();
        g_builtin = {};
        standin::RegisterBuiltinModule(u"QSXTEST.dll", [](std::string_view name) -> void * {
            if (name == "DllMain") return reinterpret_cast<void *>(&BuiltinDllMain);
            if (name == "BuiltinExport") return reinterpret_cast<void *>(&BuiltinExport);
            return nullptr;
        });
    }
    void TearDown() override {
        standin::UnregisterBuiltinModule(u"QSXTEST.dll");
        standin::SetLibrarySearchPath({});
        Kernel::TearDown();
    }
};

TEST_F(Modules, BuiltinModuleIsFoundByAnySpellingAndCounted) {
    SetLastError(kSentinel);
    HMODULE h = LoadLibraryW(u"\\Windows\\qsxtest.DLL");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(g_builtin.attached, 1);
    EXPECT_EQ(g_builtin.hInst, (HANDLE)h);
    EXPECT_EQ(LoadDriver(u"QSXTEST.so"), h);
    EXPECT_EQ(LoadLibraryW(u"QsxTest"), h);
    EXPECT_EQ(g_builtin.attached, 1);  // only the first load attaches
    EXPECT_TRUE(DisableThreadLibraryCalls(h));

    FARPROC proc = GetProcAddressW(h, u"BuiltinExport");
    ASSERT_NE(proc, nullptr);
    EXPECT_EQ(reinterpret_cast<DWORD (*)()>(reinterpret_cast<void (*)()>(proc))(), 77u);
    SetLastError(kSentinel);
    EXPECT_EQ(GetProcAddressW(h, u"NoSuchExport"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PROC_NOT_FOUND);

    WCHAR path[MAX_PATH];
    EXPECT_EQ(GetModuleFileNameW(h, path, MAX_PATH), 11u);
    EXPECT_EQ(std::u16string(path), u"QSXTEST.dll");

    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_EQ(g_builtin.detached, 0);
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_EQ(g_builtin.detached, 1);
    SetLastError(kSentinel);
    EXPECT_FALSE(FreeLibrary(h));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    SetLastError(kSentinel);
    EXPECT_EQ(GetProcAddressW(h, u"BuiltinExport"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(Modules, LoadFailures) {
    g_builtin.attachResult = FALSE;
    SetLastError(kSentinel);
    EXPECT_EQ(LoadLibraryW(u"QSXTEST.dll"), nullptr);
    EXPECT_EQ(GetLastError(), 1114u);
    EXPECT_EQ(g_builtin.attached, 1);
    EXPECT_EQ(g_builtin.detached, 0);
    // The refused module was not kept: the next load attaches anew.
    g_builtin.attachResult = TRUE;
    HMODULE h = LoadLibraryW(u"QSXTEST.dll");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(g_builtin.attached, 2);
    FreeLibrary(h);

    SetLastError(kSentinel);
    EXPECT_EQ(LoadDriver(u"NoSuchDriver.dll"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
}

// Module handles share HANDLE-sized values with kernel handles, and a 32-bit build has
// room for only so many: more loads than that must still give every loaded module a value
// of its own that the kernel does not take for one of its handles.
TEST_F(Modules, HandlesStayApartFromKernelHandlesAndFromEachOther) {
    standin::RegisterBuiltinModule(u"QSXKEEP.dll", [](std::string_view) -> void * { return nullptr; });
    HMODULE kept = LoadLibraryW(u"QSXKEEP.dll");
    ASSERT_NE(kept, nullptr);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    HMODULE previous = nullptr;
    for (int i = 0; i < 40000; i++) {
        HMODULE h = LoadLibraryW(u"QSXTEST.dll");
        ASSERT_NE(h, nullptr) << i;
        ASSERT_NE(h, kept) << i;
        ASSERT_NE(h, previous) << i;  // a freed handle does not come straight back
        ASSERT_NE((HANDLE)h, event) << i;
        ASSERT_EQ(g_builtin.hInst, (HANDLE)h) << i;
        ASSERT_TRUE(FreeLibrary(h)) << i;
        previous = h;
    }
    EXPECT_EQ(g_builtin.attached, 40000);
    EXPECT_EQ(g_builtin.detached, 40000);
    // The kernel takes none of them for its own, and the kept module is still itself.
    SetLastError(kSentinel);
    EXPECT_EQ(WaitForSingleObject((HANDLE)kept, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject((HANDLE)previous, 0), WAIT_FAILED);
    WCHAR path[MAX_PATH];
    EXPECT_EQ(GetModuleFileNameW(kept, path, MAX_PATH), 11u);
    EXPECT_EQ(std::u16string(path), u"QSXKEEP.dll");
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_TRUE(FreeLibrary(kept));
    standin::UnregisterBuiltinModule(u"QSXKEEP.dll");
}

// The folder and file of the library that holds `symbol`.
std::filesystem::path LibraryOf(const void *symbol) {
    Dl_info info{};
    if (!dladdr(symbol, &info) || !info.dli_fname) return {};
    return std::filesystem::canonical(info.dli_fname);
}

TEST_F(Modules, SharedLibraryFilesLoadByPathAndSearchFolders) {
    // libm is loaded already (the C++ runtime needs it); find where it lives.
    void *libm = dlopen("libm.so.6", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(libm, nullptr);
    struct link_map *map = nullptr;
    ASSERT_EQ(dlinfo(libm, RTLD_DI_LINKMAP, &map), 0);
    const std::filesystem::path libmPath = std::filesystem::canonical(map->l_name);
    dlclose(libm);

    HMODULE h = LoadLibraryW(standin::FromUtf8(libmPath.string()).c_str());
    ASSERT_NE(h, nullptr);
    auto cosine = reinterpret_cast<double (*)(double)>(reinterpret_cast<void (*)()>(GetProcAddressW(h, u"cos")));
    ASSERT_NE(cosine, nullptr);
    EXPECT_EQ(cosine(0.0), 1.0);
    // By file name through a search folder: the same module, one more reference.
    standin::SetLibrarySearchPath({"/nonexistent", libmPath.parent_path().string()});
    EXPECT_EQ(LoadLibraryW(u"libm.so.6"), h);
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_FALSE(FreeLibrary(h));

    // A ".dll" name, or none, finds the ".so" file, through QSX_LIBRARY_PATH too.
    const std::filesystem::path core = LibraryOf(reinterpret_cast<const void *>(&LoadLibraryW));
    ASSERT_FALSE(core.empty());
    const std::string stem = core.stem().string();  // "libcoredll"
    standin::SetLibrarySearchPath({});
    const char *saved = std::getenv("QSX_LIBRARY_PATH");
    const std::string savedValue = saved ? saved : "";
    setenv("QSX_LIBRARY_PATH", ("/nonexistent;" + core.parent_path().string()).c_str(), 1);
    HMODULE a = LoadLibraryW(standin::FromUtf8(stem + ".dll").c_str());
    HMODULE b = LoadDriver(standin::FromUtf8("\\Windows\\" + stem).c_str());
    if (saved) {
        setenv("QSX_LIBRARY_PATH", savedValue.c_str(), 1);
    } else {
        unsetenv("QSX_LIBRARY_PATH");
    }
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    EXPECT_EQ(reinterpret_cast<void *>(GetProcAddressW(a, u"GetTickCount")),
              reinterpret_cast<void *>(&GetTickCount));
    WCHAR path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(a, path, MAX_PATH);
    EXPECT_EQ(standin::ToUtf8(std::u16string_view(path, n)), core.string());
    FreeLibrary(a);
    FreeLibrary(b);
}

TEST_F(Modules, ProgramFileNameAndTruncation) {
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
    WCHAR path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    EXPECT_EQ(standin::ToUtf8(path), exe);
    EXPECT_EQ(n, exe.size());

    WCHAR small[6];
    std::fill(std::begin(small), std::end(small), u'#');
    SetLastError(kSentinel);
    EXPECT_EQ(GetModuleFileNameW(nullptr, small, 5), 5u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(small), standin::FromUtf8(exe.substr(0, 4)));
    EXPECT_EQ(small[5], u'#');
}


// ---- calls from code built for the device --------------------------------------------------

#if defined(__i386__)
// Calls `fn` with `count` 32-bit arguments the way code built for the device may: with the
// stack aligned to 4 bytes only, `skew` bytes off the 16 that Linux code on i386 may assume
// on entry. Returns what the function leaves in EAX.
extern "C" uintptr_t QsxCallSkewed(const void *fn, uintptr_t skew, const uintptr_t *args, uintptr_t count);
asm(R"(
    .text
    .globl QsxCallSkewed
    .type QsxCallSkewed, @function
QsxCallSkewed:
    pushl %ebp
    movl %esp, %ebp
    pushl %esi
    movl 16(%ebp), %esi
    movl 20(%ebp), %ecx
    andl $-16, %esp
    subl 12(%ebp), %esp
    leal (,%ecx,4), %eax
    negl %eax
    andl $15, %eax
    subl %eax, %esp
1:  testl %ecx, %ecx
    jz 2f
    pushl -4(%esi,%ecx,4)
    decl %ecx
    jmp 1b
2:  calll *8(%ebp)
    leal -4(%ebp), %esp
    popl %esi
    popl %ebp
    retl
    .size QsxCallSkewed, .-QsxCallSkewed
)");

template <typename Fn, typename... Args>
uintptr_t CallSkewed(Fn *fn, uintptr_t skew, Args... args) {
    const uintptr_t list[] = {(uintptr_t)args..., 0};
    return QsxCallSkewed(reinterpret_cast<const void *>(fn), skew, list, sizeof...(args));
}

// What a driver built for the device does first and most: critical sections, events and
// waits, local memory, formatting, debug messages, loading a library and the registry, each
// entered with the stack 4, 8 and 12 bytes off. Code of the stand-in that keeps SSE values
// on its stack faults on such an entry unless it realigns its frame.
TEST_F(Modules, PlatformCallsWorkOnTheDevicesFourByteStackAlignment) {
    for (uintptr_t skew : {4u, 8u, 12u}) {
        SCOPED_TRACE(skew);
        CRITICAL_SECTION cs;
        CallSkewed(&InitializeCriticalSection, skew, &cs);
        CallSkewed(&EnterCriticalSection, skew, &cs);
        EXPECT_EQ(CallSkewed(&TryEnterCriticalSection, skew, &cs), (uintptr_t)TRUE);  // recursive
        CallSkewed(&LeaveCriticalSection, skew, &cs);
        CallSkewed(&LeaveCriticalSection, skew, &cs);
        CallSkewed(&DeleteCriticalSection, skew, &cs);

        auto event = (HANDLE)CallSkewed(&CreateEventW, skew, nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(event, nullptr);
        EXPECT_EQ(CallSkewed(&WaitForSingleObject, skew, event, 1), (uintptr_t)WAIT_TIMEOUT);
        EXPECT_EQ(CallSkewed(&EventModify, skew, event, EVENT_SET), (uintptr_t)TRUE);
        EXPECT_EQ(CallSkewed(&WaitForSingleObject, skew, event, kBound), (uintptr_t)WAIT_OBJECT_0);
        EXPECT_EQ(CallSkewed(&CloseHandle, skew, event), (uintptr_t)TRUE);

        auto memory = (HLOCAL)CallSkewed(&LocalAlloc, skew, LPTR, 64);
        ASSERT_NE(memory, nullptr);
        EXPECT_EQ(static_cast<BYTE *>(memory)[63], 0);
        EXPECT_EQ(CallSkewed(&LocalFree, skew, memory), 0u);

        WCHAR text[32];
        EXPECT_EQ(CallSkewed(&wsprintfW, skew, text, u"%s%u #%02x", u"COM", 11, 0xA), 9u);
        EXPECT_EQ(std::u16string(text), u"COM11 #0a");
        standin::ClearConsole();
        CallSkewed(&NKDbgPrintfW, skew, u"%s%u\n", u"COM", 11);
        EXPECT_EQ(standin::ConsoleMessages(), std::vector<std::string>{"COM11\n"});

        auto module = (HMODULE)CallSkewed(&LoadDriver, skew, u"QSXTEST.dll");
        ASSERT_NE(module, nullptr);
        EXPECT_NE(CallSkewed(&GetProcAddressW, skew, module, u"BuiltinExport"), 0u);
        EXPECT_EQ(CallSkewed(&FreeLibrary, skew, module), (uintptr_t)TRUE);

        HKEY key = nullptr;
        DWORD disposition = 0;
        ASSERT_EQ(CallSkewed(&RegCreateKeyExW, skew, HKEY_LOCAL_MACHINE, u"Drivers\\Skewed", 0, nullptr, 0, 0,
                             nullptr, &key, &disposition),
                  (uintptr_t)ERROR_SUCCESS);
        const DWORD value = 0x1234;
        EXPECT_EQ(CallSkewed(&RegSetValueExW, skew, key, u"Value", 0, REG_DWORD, &value, sizeof value),
                  (uintptr_t)ERROR_SUCCESS);
        DWORD read = 0, type = 0, size = sizeof read;
        EXPECT_EQ(CallSkewed(&RegQueryValueExW, skew, key, u"Value", nullptr, &type, &read, &size),
                  (uintptr_t)ERROR_SUCCESS);
        EXPECT_EQ(read, value);
        EXPECT_EQ(CallSkewed(&RegCloseKey, skew, key), (uintptr_t)ERROR_SUCCESS);
    }
}
#endif

}  // namespace
