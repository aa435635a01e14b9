// The stand-in's schedule explorer: runs a scenario's platform threads one at a time and
// chooses, at every synchronisation call, which of them goes on, so that a test can walk
// through the interleavings of the code under test systematically (every schedule with at
// most a few preemptions) or at random with a probabilistic guarantee (priority-based
// random scheduling), and replay a failing schedule exactly from a short id.
//
// Only builds made with STANDIN_EXPLORE_HOOKS (the sanitizer builds, where the tests run)
// carry the scheduling points; elsewhere Explore and Replay refuse with a reason.
//
// ---- threads --------------------------------------------------------------------------
// A schedule runs `Scenario::body` on a fresh thread (T0) and every thread it starts with
// CreateThread, and every thread those start (T1, T2, ... in creation order): these are the
// controlled threads. Everything else in the process (the test's own thread, the USB host
// stack's completion thread, the simulator's threads) runs freely and is not scheduled.
// Exactly one controlled thread runs at a time; it goes on until its next scheduling point,
// where the explorer chooses the next thread (possibly the same one). Controlled threads get
// the thread ids 0x40000000 + index, the same in every schedule.
//
// ---- scheduling points -----------------------------------------------------------------
// Every one of these calls, made by a controlled thread, is a point where the explorer may
// switch threads, just before the call takes effect:
//   EnterCriticalSection, TryEnterCriticalSection, LeaveCriticalSection,
//   EventModify (and SetEvent, ResetEvent, PulseEvent over it),
//   WaitForSingleObject, WaitForMultipleObjects (twice when the wait blocks: once as it
//     starts, once when it is released or times out),
//   Sleep, CreateThread, the start and the end of a thread, CloseHandle,
//   the Interlocked* functions, and SchedulingPoint() below.
// Code between two points runs without any other controlled thread running: plain memory
// accesses are not points, so a race on a plain variable shows only where a point lies
// between the accesses (add SchedulingPoint() there to explore it).
//
// ---- blocking --------------------------------------------------------------------------
// The explorer models blocking itself: a thread whose call cannot go on is not enabled and
// is never chosen until it can. A thread at EnterCriticalSection is enabled while the
// section is free or its own; a blocked wait is enabled once one of its objects released
// it (SetEvent, PulseEvent, a thread's end), with the platform's rules for auto-reset events
// and pulses (who is released by a SetEvent or PulseEvent is the kernel's choice, not the
// explorer's). Objects may also be changed by uncontrolled threads; see Options::quietMs.
//
// ---- time --------------------------------------------------------------------------------
// Time is virtual while exploring: each schedule starts at Options::startTick and
// GetTickCount on a controlled thread returns that clock. A Sleep(n > 0), or a wait with a
// finite time-out, takes no real time and ends only when no controlled thread is otherwise
// enabled: the clock then jumps to the earliest pending deadline, and the threads whose
// deadline it is become enabled. So a time-out fires only when nothing else can run, which
// is the schedule in which it fires on any machine no matter how fast. Sleep(0) is a plain
// scheduling point. Uncontrolled threads keep the real (scaled) clock.
//
// ---- failures ----------------------------------------------------------------------------
// A schedule fails on:
//   - Fail(message) called during it;
//   - Scenario::check returning a non-empty message (it runs once every controlled thread
//     has ended);
//   - a deadlock: every controlled thread that has not ended is blocked, with no time-out
//     pending (the reason names each thread, the call it is blocked in, and a section's
//     owner);
//   - the step bound (Options::maxSteps) exceeded: a livelock or a busy loop over
//     scheduling points (polling with Sleep, spinning on Interlocked*), reported as such;
//   - a sanitizer report that stops the process: a hook prints the steps so far and the
//     replay id before the process dies (for ThreadSanitizer, run with
//     TSAN_OPTIONS=halt_on_error=1 so that a report stops it).
// On a failure the explorer ends the schedule: every controlled thread is unwound from the
// scheduling point it waits at by an exception of a type private to the explorer (do not
// swallow it with catch (...)), after leaving every critical section it holds; then the
// engine waits for all of them to end, skips `check`, and runs `teardown`. Since a thread is
// unwound from whatever scheduling point it waits at, scenario code must not reach one from
// a destructor or other noexcept code (an RAII guard whose destructor calls
// LeaveCriticalSection, say): the exception would end the process. Explore stops at
// the first failing schedule. A controlled thread that runs for Options::hangSeconds without
// reaching a scheduling point (a busy loop with no platform call, or a real block on a lock
// outside the platform's API) cannot be unwound: the explorer prints the schedule and its
// replay id and aborts the process.
//
// ---- schedules and replay ids -----------------------------------------------------------
// A step is one choice: "thread T goes on with the call it is at" (or "T starts"). The
// readable schedule lists the steps, one per line:
//       7  T1  SetEvent(port0.CommEvent)
//       8  T0  WaitForSingleObject(port0.CommEvent, INFINITE) is released   [t=+40 ms]
// Objects are printed by the name given with Name(), else as kind#index with the index
// counted per kind in the order the objects first appear in the schedule ("event#0",
// "cs#1", "var#0" for an Interlocked target, "object#0"); threads' handles as "T1". So
// the output is the same in every run, whatever the addresses and handle values.
// Replay ids:
//   "s:" followed by comma-separated "step.thread" pairs: a schedule of the exhaustive
//        search, given by the steps where it did not take the default choice (keep running
//        the thread that made the last step while it is enabled, else the lowest-numbered
//        enabled thread). "s:" alone is the default schedule.  Example: "s:5.1,9.0".
//   "p:" depth ":" steps ":" seed (decimal): a schedule of the randomised search.
//        Example: "p:3:120:1234567".
// Replay runs the same scenario along the id. Scenarios must be deterministic given the
// schedule (no decisions on real time, handle values, addresses or free-running threads);
// when a replayed choice names a thread that is not enabled at that step, the replay (or,
// during Explore, the re-run of a prefix) fails with a reason that starts "diverged".
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace standin::explore {

enum class Strategy {
    // Depth-first search over every schedule with at most `preemptionBound` preemptions
    // (a preemption: choosing another thread while the one that made the last step is
    // still enabled; switching away from a blocked or ended thread is free). Stateless:
    // each schedule runs the scenario from scratch.
    kExhaustive,
    // Randomised priority-based scheduling: each thread gets a random priority, the
    // highest-priority enabled thread always runs, and at `pctDepth - 1` random steps out
    // of `pctSteps` the running thread drops to the lowest priority. Finds a bug that
    // needs d ordering constraints with probability at least 1/(n k^(d-1)) per run.
    kPct,
};

struct Options {
    Strategy strategy = Strategy::kExhaustive;
    int preemptionBound = 2;        // exhaustive; negative: no bound
    int pctDepth = 3;               // PCT: d (at least 1)
    uint64_t pctSteps = 0;          // PCT: k; 0: the longest schedule seen so far (first run: 100)
    uint64_t maxSchedules = 100000; // exhaustive: cap on schedules; PCT: number of runs
    uint64_t maxSteps = 10000;      // steps per schedule before it fails as a livelock
    uint64_t seed = 1;              // PCT: the first run's seed (run i uses seed + i)
    uint32_t startTick = 1000;      // GetTickCount at the start of every schedule
    // Real milliseconds to wait, when no controlled thread is enabled, for an uncontrolled
    // thread to release one (set an event, leave a section) before virtual time advances or
    // a deadlock is reported. 0 (the default) for scenarios that only involve controlled
    // threads; schedules that depend on uncontrolled threads are not deterministic.
    unsigned quietMs = 0;
    unsigned hangSeconds = 120;     // see "failures" above
    bool print = true;              // print a failure (reason, schedule, id) to stderr
};

struct Scenario {
    std::function<void()> setup = nullptr;         // before each schedule, on the caller's thread
    std::function<void()> body = nullptr;          // T0
    std::function<std::string()> check = nullptr;  // after all controlled threads ended; "" = passed
    std::function<void()> teardown = nullptr;      // after each schedule, failed or not
};

struct Result {
    bool failed = false;
    std::string reason;       // why the schedule failed
    std::string schedule;     // the failing schedule, readable (steps as above)
    std::string replayId;     // replays the failing schedule
    uint64_t schedulesExplored = 0;
    uint64_t firstFailureAt = 0;  // 1-based number of the failing schedule; 0 when none
    bool complete = false;    // exhaustive: every schedule within the bound was explored
};

// Explores schedules of `scenario` until one fails or the strategy is done. Not reentrant:
// one exploration at a time in the process, started from an uncontrolled thread.
Result Explore(const Options &options, const Scenario &scenario);
// Runs the one schedule `replayId` names (options: maxSteps, startTick, quietMs,
// hangSeconds, print; the strategy and seed come from the id). A malformed id fails with
// a reason that starts "bad replay id".
Result Replay(const std::string &replayId, const Scenario &scenario, const Options &options = {});

// Ends the current schedule as failed with `message`. On a controlled thread it does not
// return (the thread is unwound); from an uncontrolled thread it marks the running schedule
// failed, which then ends at its next scheduling point. Outside an exploration it only
// prints the message.
void Fail(const std::string &message);
// Names an object for the printed schedule: a kernel handle (the object it names, under
// every handle to it) or an address (a CRITICAL_SECTION, an Interlocked target). Names last
// for the current schedule: give them in setup or in the body.
void Name(const void *handleOrAddress, const std::string &name);
// A scheduling point of the scenario's own, labelled in the schedule (no-op elsewhere).
void SchedulingPoint(const char *label);
// Whether the calling thread is a controlled thread of a running exploration.
bool Exploring();

}  // namespace standin::explore
