// The stand-in's schedule explorer: toy scenarios written against the platform API with
// known bugs (a lost wake-up, a lock-order deadlock, a busy loop) that the searches must
// find and replay exactly, correct ones that must explore completely without failure,
// virtual time, and the kernel's normal mode after an exploration.
#include <gtest/gtest.h>
#include <windows.h>

#include <kfuncs.h>
#include <standin/explore.h>
#include <standin/kernel.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace ex = standin::explore;

namespace {

template <class F>
HANDLE Start(F routine, void *param) {
    return CreateThread(nullptr, 0, routine, param, 0, nullptr);
}

void Join(HANDLE thread) {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

// ---- a lost wake-up: the consumer checks a flag, then resets the auto-reset event before
// waiting, which throws away a signal the producer gave in between.
struct LostWakeup {
    HANDLE ready = nullptr;
    LONG flag = 0;

    ex::Scenario Scenario() {
        return {
            .setup =
                [this] {
                    ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
                    flag = 0;
                    ex::Name(ready, "ready");
                    ex::Name(&flag, "flag");
                },
            .body =
                [this] {
                    HANDLE producer = Start(
                        [](LPVOID p) -> DWORD {
                            auto *s = static_cast<LostWakeup *>(p);
                            InterlockedExchange(&s->flag, 1);
                            SetEvent(s->ready);
                            return 0;
                        },
                        this);
                    if (InterlockedCompareExchange(&flag, 0, 0) == 0) {
                        ResetEvent(ready);
                        if (WaitForSingleObject(ready, 1000) == WAIT_TIMEOUT)
                            ex::Fail("the consumer missed the producer's wake-up");
                    }
                    Join(producer);
                },
            .teardown = [this] { CloseHandle(ready); },
        };
    }
};

// ---- a lock-order deadlock: T0 takes a then b, T1 takes b then a.
struct LockOrder {
    CRITICAL_SECTION a, b;

    ex::Scenario Scenario() {
        return {
            .setup =
                [this] {
                    InitializeCriticalSection(&a);
                    InitializeCriticalSection(&b);
                    ex::Name(&a, "a");
                    ex::Name(&b, "b");
                },
            .body =
                [this] {
                    HANDLE other = Start(
                        [](LPVOID p) -> DWORD {
                            auto *s = static_cast<LockOrder *>(p);
                            EnterCriticalSection(&s->b);
                            EnterCriticalSection(&s->a);
                            LeaveCriticalSection(&s->a);
                            LeaveCriticalSection(&s->b);
                            return 0;
                        },
                        this);
                    EnterCriticalSection(&a);
                    EnterCriticalSection(&b);
                    LeaveCriticalSection(&b);
                    LeaveCriticalSection(&a);
                    Join(other);
                },
            .teardown =
                [this] {
                    // Threads unwound out of the deadlock left both sections free.
                    for (CRITICAL_SECTION *cs : {&a, &b}) {
                        EXPECT_TRUE(TryEnterCriticalSection(cs));
                        LeaveCriticalSection(cs);
                        DeleteCriticalSection(cs);
                    }
                },
        };
    }
};

// ---- a busy loop: T1 spins on a flag that nobody sets; T0 waits for T1.
struct BusyLoop {
    LONG flag = 0;

    ex::Scenario Scenario() {
        return {
            .setup = [this] { flag = 0; },
            .body =
                [this] {
                    Join(Start(
                        [](LPVOID p) -> DWORD {
                            auto *s = static_cast<BusyLoop *>(p);
                            while (InterlockedCompareExchange(&s->flag, 0, 0) == 0) {
                            }
                            return 0;
                        },
                        this));
                },
        };
    }
};

// ---- a lost update: two threads increment a plain counter; the scenario marks the gap
// between the read and the write as a scheduling point.
struct RacyIncrement {
    int counter = 0;

    static DWORD Increment(LPVOID p) {
        auto *s = static_cast<RacyIncrement *>(p);
        const int seen = s->counter;
        ex::SchedulingPoint("between read and write");
        s->counter = seen + 1;
        return 0;
    }

    ex::Scenario Scenario() {
        return {
            .setup = [this] { counter = 0; },
            .body =
                [this] {
                    HANDLE other = Start(Increment, this);
                    Increment(this);
                    Join(other);
                },
            .check = [this]() -> std::string { return counter == 2 ? "" : "an increment was lost"; },
        };
    }
};

// ---- a correct bounded buffer of one slot: a section and two auto-reset events, every
// wait re-checking its condition under the section.
struct ProducerConsumer {
    static constexpr int kItems = 2;
    CRITICAL_SECTION lock;
    HANDLE notEmpty = nullptr, notFull = nullptr;
    int slot = 0;
    bool full = false;
    std::vector<int> got;

    static DWORD Produce(LPVOID p) {
        auto *s = static_cast<ProducerConsumer *>(p);
        for (int i = 1; i <= kItems; ++i) {
            EnterCriticalSection(&s->lock);
            while (s->full) {
                LeaveCriticalSection(&s->lock);
                WaitForSingleObject(s->notFull, INFINITE);
                EnterCriticalSection(&s->lock);
            }
            s->slot = i;
            s->full = true;
            LeaveCriticalSection(&s->lock);
            SetEvent(s->notEmpty);
        }
        return 0;
    }

    ex::Scenario Scenario() {
        return {
            .setup =
                [this] {
                    InitializeCriticalSection(&lock);
                    notEmpty = CreateEventW(nullptr, FALSE, FALSE, nullptr);
                    notFull = CreateEventW(nullptr, FALSE, FALSE, nullptr);
                    full = false;
                    got.clear();
                },
            .body =
                [this] {
                    HANDLE producer = Start(Produce, this);
                    for (int n = 0; n < kItems; ++n) {
                        EnterCriticalSection(&lock);
                        while (!full) {
                            LeaveCriticalSection(&lock);
                            WaitForSingleObject(notEmpty, INFINITE);
                            EnterCriticalSection(&lock);
                        }
                        got.push_back(slot);
                        full = false;
                        LeaveCriticalSection(&lock);
                        SetEvent(notFull);
                    }
                    Join(producer);
                },
            .check = [this]() -> std::string {
                return got == std::vector<int>{1, 2} ? "" : "items lost or out of order";
            },
            .teardown =
                [this] {
                    CloseHandle(notEmpty);
                    CloseHandle(notFull);
                    DeleteCriticalSection(&lock);
                },
        };
    }
};

ex::Options Quiet(ex::Options o) {
    o.print = false;
    return o;
}

// ---- the searches find each bug and report it as what it is ---------------------------------
TEST(Explore, FindsEachBugAndReportsItsKind) {
    LostWakeup lost;
    LockOrder order;
    BusyLoop busy;
    RacyIncrement racy;
    ex::Options pct = Quiet({});
    pct.strategy = ex::Strategy::kPct;
    pct.pctDepth = 2;
    pct.maxSchedules = 500;
    pct.seed = 7;
    ex::Options capped = Quiet({});
    capped.maxSteps = 300;
    const struct {
        const char *name;
        ex::Scenario scenario;
        ex::Options options;
        std::vector<std::string> inReason;
        std::vector<std::string> inSchedule;
    } cases[] = {
        {"lost wake-up, exhaustive", lost.Scenario(), Quiet({}),
         {"the consumer missed the producer's wake-up"},
         {"T0  ResetEvent(ready)", "T1  SetEvent(ready)", "InterlockedExchange(flag)",
          "WaitForSingleObject(ready, 1000 ms) times out   [t=+1000 ms]"}},
        {"lost wake-up, PCT", lost.Scenario(), pct, {"missed the producer's wake-up"}, {}},
        {"lock order", order.Scenario(), Quiet({}),
         {"deadlock", "T0 in EnterCriticalSection(b) owned by T1",
          "T1 in EnterCriticalSection(a) owned by T0"},
         {"T0  EnterCriticalSection(a)", "T1  EnterCriticalSection(b)"}},
        {"busy loop", busy.Scenario(), capped, {"step bound exceeded: 300 steps"},
         {"InterlockedCompareExchange(var#0)", "the same step 295 more times, to step 300"}},
        {"lost update", racy.Scenario(), Quiet({}), {"check failed: an increment was lost"},
         {"T0  SchedulingPoint(between read and write)", "T1  SchedulingPoint(between read and write)"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const ex::Result r = ex::Explore(c.options, c.scenario);
        ASSERT_TRUE(r.failed);
        for (const auto &s : c.inReason) EXPECT_NE(r.reason.find(s), std::string::npos) << r.reason;
        for (const auto &s : c.inSchedule) EXPECT_NE(r.schedule.find(s), std::string::npos) << r.schedule;
        EXPECT_EQ(r.firstFailureAt, r.schedulesExplored);
        EXPECT_FALSE(r.complete);

        // The id replays the same failure along the same steps.
        const ex::Result again = ex::Replay(r.replayId, c.scenario, c.options);
        EXPECT_TRUE(again.failed);
        EXPECT_EQ(again.reason, r.reason);
        EXPECT_EQ(again.schedule, r.schedule);
        EXPECT_EQ(again.replayId, r.replayId);
    }
}

TEST(Explore, LostWakeupNeedsAPreemptionAndIsFoundWithinBoundOne) {
    LostWakeup lost;
    ex::Options o = Quiet({});
    o.preemptionBound = 0;
    const ex::Result none = ex::Explore(o, lost.Scenario());
    EXPECT_FALSE(none.failed) << none.schedule;
    EXPECT_TRUE(none.complete);
    o.preemptionBound = 1;
    const ex::Result one = ex::Explore(o, lost.Scenario());
    EXPECT_TRUE(one.failed);
    EXPECT_EQ(one.replayId.rfind("s:", 0), 0u) << one.replayId;
}

TEST(Explore, CorrectProducerConsumerIsExploredCompletely) {
    ProducerConsumer pc;
    const auto start = std::chrono::steady_clock::now();
    const ex::Result r = ex::Explore(Quiet({}), pc.Scenario());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_FALSE(r.failed) << r.reason << "\n" << r.schedule;
    EXPECT_TRUE(r.complete);
    EXPECT_GT(r.schedulesExplored, 1u);
    RecordProperty("schedules", static_cast<int>(r.schedulesExplored));
    std::printf("producer/consumer: %llu schedules in %.2f s (%.0f/s)\n",
                static_cast<unsigned long long>(r.schedulesExplored), seconds,
                static_cast<double>(r.schedulesExplored) / seconds);
}

// ---- virtual time ------------------------------------------------------------------------------
// T1 does `busy` Interlocked steps, sleeps `sleepMs`, then sets the event; T0 waits for it
// with a time-out of `waitMs`. Every schedule must see the same result and virtual elapsed
// time: a time-out fires only when nothing else can run.
struct Timed {
    int busy = 0;
    DWORD sleepMs = 0, waitMs = 0;
    HANDLE event = nullptr;
    LONG counter = 0;
    DWORD result = 0, elapsed = 0;

    ex::Scenario Scenario(DWORD expectResult, DWORD expectElapsed) {
        return {
            .setup = [this] { event = CreateEventW(nullptr, FALSE, FALSE, nullptr); },
            .body =
                [this] {
                    HANDLE setter = Start(
                        [](LPVOID p) -> DWORD {
                            auto *s = static_cast<Timed *>(p);
                            for (int i = 0; i < s->busy; ++i) InterlockedIncrement(&s->counter);
                            if (s->sleepMs) Sleep(s->sleepMs);
                            SetEvent(s->event);
                            return 0;
                        },
                        this);
                    const DWORD t0 = GetTickCount();
                    result = WaitForSingleObject(event, waitMs);
                    elapsed = GetTickCount() - t0;
                    Join(setter);
                },
            .check = [this, expectResult, expectElapsed]() -> std::string {
                if (result == expectResult && elapsed == expectElapsed) return "";
                return "result " + std::to_string(result) + " after " + std::to_string(elapsed) + " ms";
            },
            .teardown = [this] { CloseHandle(event); },
        };
    }
};

TEST(Explore, TimeOutsFireOnlyWhenNothingElseCanRun) {
    const struct {
        const char *name;
        int busy;
        DWORD sleepMs, waitMs, expectResult, expectElapsed;
    } cases[] = {
        {"a busy setter beats a 1 ms time-out", 6, 0, 1, WAIT_OBJECT_0, 0},
        {"a 50 ms sleep beats a 100 ms time-out", 0, 50, 100, WAIT_OBJECT_0, 50},
        {"a 30 ms time-out beats a 50 ms sleep", 2, 50, 30, WAIT_TIMEOUT, 30},
    };
    // At this scale a real 30 ms sleep or time-out would last 300 ms.
    const double scale = standin::TimeScale();
    standin::SetTimeScale(10.0);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Timed t;
        t.busy = c.busy;
        t.sleepMs = c.sleepMs;
        t.waitMs = c.waitMs;
        const auto start = std::chrono::steady_clock::now();
        const ex::Result r = ex::Explore(Quiet({}), t.Scenario(c.expectResult, c.expectElapsed));
        EXPECT_FALSE(r.failed) << r.reason << "\n" << r.schedule;
        EXPECT_TRUE(r.complete);
        EXPECT_GT(r.schedulesExplored, 1u);
        // Virtual sleeps and time-outs take no real time.
        EXPECT_LT(std::chrono::steady_clock::now() - start,
                  std::chrono::milliseconds(100) * static_cast<int>(r.schedulesExplored));
    }
    standin::SetTimeScale(scale);
}

TEST(Explore, TickCountStartsWhereTheOptionsSay) {
    DWORD seen = 0;
    ex::Options o = Quiet({});
    o.startTick = 0xFFFFFFF0u;  // a wrap of the counter is a schedule away
    const ex::Result r = ex::Explore(o, {.body = [&] {
                                             Sleep(0x20);
                                             seen = GetTickCount();
                                         }});
    EXPECT_FALSE(r.failed);
    EXPECT_EQ(seen, 0x10u);
}

// An uncontrolled thread may release an explored one; Options::quietMs gives it the time.
TEST(Explore, UncontrolledThreadReleasesAWaiterWithinTheQuietTime) {
    HANDLE event = nullptr;
    std::thread helper;
    DWORD result = 0;
    ex::Options o = Quiet({});
    o.quietMs = 60000;
    const ex::Result r = ex::Explore(
        o, {.setup =
                [&] {
                    event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
                    helper = std::thread([&] {
                        // Set it once the explored thread is blocked on it.
                        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
                        while (standin::WaitingThreadCount(event) == 0 && std::chrono::steady_clock::now() < until)
                            std::this_thread::yield();
                        SetEvent(event);
                    });
                },
            .body = [&] { result = WaitForSingleObject(event, INFINITE); },
            .teardown =
                [&] {
                    helper.join();
                    CloseHandle(event);
                }});
    EXPECT_FALSE(r.failed) << r.reason;
    EXPECT_EQ(result, WAIT_OBJECT_0);
}

// ---- replay ids ------------------------------------------------------------------------------
TEST(Explore, ReplayRejectsMalformedIdsAndReportsDivergence) {
    LostWakeup lost;
    for (const char *bad : {"", "x:1.1", "s:1", "s:0.1", "s:a.b", "s:2.1,2.0", "p:3:10", "p:0:10:1"}) {
        const ex::Result r = ex::Replay(bad, lost.Scenario(), Quiet({}));
        EXPECT_TRUE(r.failed) << bad;
        EXPECT_EQ(r.reason.rfind("bad replay id", 0), 0u) << bad << ": " << r.reason;
    }
    // At step 2 only T0 exists.
    const ex::Result notEnabled = ex::Replay("s:2.5", lost.Scenario(), Quiet({}));
    EXPECT_TRUE(notEnabled.failed);
    EXPECT_EQ(notEnabled.reason.rfind("diverged at step 2", 0), 0u) << notEnabled.reason;
    // The schedule ends long before step 9999.
    const ex::Result tooLong = ex::Replay("s:9999.1", lost.Scenario(), Quiet({}));
    EXPECT_TRUE(tooLong.failed);
    EXPECT_EQ(tooLong.reason.rfind("diverged", 0), 0u) << tooLong.reason;
    // The default schedule runs the consumer first, then the producer: no failure.
    EXPECT_FALSE(ex::Replay("s:", lost.Scenario(), Quiet({})).failed);
}

TEST(Explore, ThreadIdsAreTheSameInEverySchedule) {
    std::vector<DWORD> ids;
    const ex::Result r = ex::Explore(Quiet({}), {.body = [&] {
                                                     DWORD child = 0;
                                                     HANDLE h = CreateThread(
                                                         nullptr, 0, [](LPVOID) -> DWORD { return 0; },
                                                         nullptr, 0, &child);
                                                     Join(h);
                                                     ids.push_back(GetCurrentThreadId());
                                                     ids.push_back(child);
                                                 }});
    EXPECT_FALSE(r.failed);
    ASSERT_EQ(ids.size(), 2 * r.schedulesExplored);
    for (size_t i = 0; i < ids.size(); i += 2) {
        EXPECT_EQ(ids[i], 0x40000000u);
        EXPECT_EQ(ids[i + 1], 0x40000001u);
    }
}

// ---- normal mode -----------------------------------------------------------------------------
// After explorations that failed (threads unwound while holding sections) and passed, the
// kernel works as before: sections are free, threads are not controlled, interlocked
// operations and waits between real threads behave.
TEST(Explore, NormalModeIsUnaffectedAfterwards) {
    LockOrder order;
    (void)ex::Explore(Quiet({}), order.Scenario());
    InitializeCriticalSection(&order.a);
    EXPECT_TRUE(TryEnterCriticalSection(&order.a));
    LeaveCriticalSection(&order.a);
    DeleteCriticalSection(&order.a);

    EXPECT_FALSE(ex::Exploring());
    ex::SchedulingPoint("no-op outside an exploration");

    struct Shared {
        LONG counter = 0;
        CRITICAL_SECTION lock;
        int guarded = 0;
        HANDLE go;
    } s;
    InitializeCriticalSection(&s.lock);
    s.go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    constexpr int kThreads = 4, kRounds = 2000;
    std::vector<HANDLE> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.push_back(Start(
            [](LPVOID p) -> DWORD {
                auto *s = static_cast<Shared *>(p);
                WaitForSingleObject(s->go, INFINITE);
                for (int r = 0; r < kRounds; ++r) {
                    InterlockedIncrement(&s->counter);
                    EnterCriticalSection(&s->lock);
                    ++s->guarded;
                    LeaveCriticalSection(&s->lock);
                }
                return GetCurrentThreadId() < 0x40000000u ? 0 : 1;
            },
            &s));
        ASSERT_NE(threads.back(), nullptr);
    }
    SetEvent(s.go);
    for (HANDLE h : threads) {
        ASSERT_EQ(WaitForSingleObject(h, 60000), WAIT_OBJECT_0);
        DWORD code = 99;
        GetExitCodeThread(h, &code);
        EXPECT_EQ(code, 0u);
        CloseHandle(h);
    }
    EXPECT_EQ(s.counter, kThreads * kRounds);
    EXPECT_EQ(s.guarded, kThreads * kRounds);
    CloseHandle(s.go);
    DeleteCriticalSection(&s.lock);
}

// A thread that never reaches a scheduling point cannot be unwound: the explorer says so,
// with the schedule, and stops the process instead of hanging.
TEST(ExploreDeathTest, ThreadWithoutSchedulingPointsStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ex::Options o = Quiet({});
    o.hangSeconds = 1;
    EXPECT_DEATH(
        {
            ex::Explore(o, {.body = [] {
                                SetEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
                                volatile unsigned spin = 0;
                                for (;;) spin = spin + 1;
                            }});
        },
        "runs without reaching a scheduling point(.|\n)*T0  SetEvent\\(event#0\\)(.|\n)*replay id: s:");
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QSX_EXPLORE_ASAN 1
#endif
#endif

#ifdef QSX_EXPLORE_ASAN
// A sanitizer report during a schedule prints the steps so far and the replay id.
TEST(ExploreDeathTest, SanitizerReportPrintsTheSchedule) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            ex::Explore(Quiet({}), {.body = [] {
                                        HANDLE e = CreateEventW(nullptr, TRUE, TRUE, nullptr);
                                        SetEvent(e);
                                        CloseHandle(e);
                                        auto *p = new int(1);
                                        int *volatile alias = p;
                                        delete p;
                                        InterlockedIncrement(reinterpret_cast<LONG *>(alias));
                                    }});
        },
        "heap-use-after-free(.|\n)*explore: the process dies during schedule 1(.|\n)*"
        "SetEvent\\(event#0\\)(.|\n)*replay id: s:");
}
#endif

}  // namespace
