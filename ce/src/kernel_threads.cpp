// Threads of the stand-in's kernel: CreateThread runs the routine on a std::thread, the
// thread's handle is signalled when the routine returns, and its priority (the device's
// 0..255, set by SetThreadPriority's levels or CeSetThreadPriority) decides which of the
// threads waiting on an object is released first; the host scheduler does not use it
// otherwise. A program run through standin::RunProgram owns the threads it starts, as a
// process does.
#include <windows.h>

#include <kfuncs.h>
#include <standin/kernel.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "explore_internal.h"
#include "kernel_internal.h"
#if defined(__i386__)
#include "i386/seh.h"
#endif

using namespace standin::internal;

namespace {

class Thread final : public KernelObject {
public:
    explicit Thread(DWORD id) : id_(id) {}

    bool Waitable() const override { return true; }
    // A finished thread stays signalled for every waiter.
    bool TryAcquire() override { return finished_; }

    DWORD Id() const { return id_; }
    std::atomic<int> priority{kNormalPriority};  // the device's 0 (highest) .. 255

    // With KernelLock() held.
    DWORD ExitCode() const { return finished_ ? exitCode_ : STILL_ACTIVE; }
    void Finish(DWORD code) {
        exitCode_ = code;
        finished_ = true;
        ReleaseWaiters(SIZE_MAX);
    }

private:
    const DWORD id_;
    DWORD exitCode_ = 0;     // KernelLock()
    bool finished_ = false;  // KernelLock()
};

// The threads of one program: every thread it starts, and every thread those start.
struct Program {
    std::mutex lock;
    std::condition_variable ended;
    int running = 0;  // guarded by lock
};
// The program the calling thread belongs to; null outside RunProgram.
thread_local std::shared_ptr<Program> tProgram;

bool ValidLevel(int level) { return level >= THREAD_PRIORITY_TIME_CRITICAL && level <= THREAD_PRIORITY_IDLE; }

constexpr int kLowestPriority = 255;

}  // namespace

extern "C" {

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, DWORD, LPTHREAD_START_ROUTINE lpStartAddr,
                           LPVOID lpvThreadParam, DWORD fdwCreate, LPDWORD lpIDThread) {
    if (!lpStartAddr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (fdwCreate & CREATE_SUSPENDED) {
        // Nothing here needs ResumeThread, so suspended creation is not offered.
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    // An explored thread's creation is a scheduling point; the new thread is explored too.
    ExploreThread *explored = nullptr;
    DWORD id = 0;
    if (ExploreControlled()) {
        ExplorePoint(ExploreOp::kCreateThread, nullptr);
        explored = ExploreNewThread(&id);
    } else {
        id = NewThreadId();
    }
    auto thread = std::make_shared<Thread>(id);
    HANDLE handle = CreateHandle(thread);
    if (!handle) {
        if (explored) ExploreThreadExit(explored);
        return nullptr;
    }
    if (explored) ExploreThreadObject(explored, thread);

    std::shared_ptr<Program> program = tProgram;
    if (program) {
        std::lock_guard g(program->lock);
        program->running++;
    }
    ThreadStarted();
    try {
        // The running thread holds its own reference: closing every handle does not end
        // the object before the routine returns.
        std::thread([thread, lpStartAddr, lpvThreadParam, program, explored] {
#if defined(__i386__)
            // The routine may be image code: it needs its own exception list at FS:[0].
            AttachImageThread();
#endif
            AdoptThreadId(thread->Id());
            SetThisThreadPriorityCell(&thread->priority);
            tProgram = program;
            const DWORD code = explored ? ExploreRunThread(explored, lpStartAddr, lpvThreadParam)
                                        : lpStartAddr(lpvThreadParam);
#if defined(__i386__)
            DetachImageThread();
#endif
            // Counted as ended before the handle is signalled, so that whoever sees the
            // handle signalled also sees the count drop.
            ThreadEnded();
            {
                std::lock_guard lock(KernelLock());
                thread->Finish(code);
            }
            if (explored) ExploreThreadExit(explored);
            SetThisThreadPriorityCell(nullptr);
            tProgram.reset();
            if (program) {
                std::lock_guard g(program->lock);
                if (--program->running == 0) program->ended.notify_all();
            }
        }).detach();
    } catch (const std::system_error &) {
        if (program) {
            std::lock_guard g(program->lock);
            program->running--;
        }
        ThreadEnded();
        if (explored) ExploreThreadExit(explored);
        CloseKernelHandle(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (lpIDThread) *lpIDThread = thread->Id();
    return handle;
}

BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority) {
    if (!ValidLevel(nPriority)) {
        if (!LookupHandleAs<Thread>(hThread)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return CeSetThreadPriority(hThread, kFirstLevelPriority + nPriority);
}

int WINAPI GetThreadPriority(HANDLE hThread) {
    const int priority = CeGetThreadPriority(hThread);
    if (priority == THREAD_PRIORITY_ERROR_RETURN) return priority;
    // A priority above the levels' range reads as the highest level.
    return priority < kFirstLevelPriority ? THREAD_PRIORITY_TIME_CRITICAL : priority - kFirstLevelPriority;
}

BOOL WINAPI CeSetThreadPriority(HANDLE hThread, int nPriority) {
    auto thread = LookupHandleAs<Thread>(hThread);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (nPriority < 0 || nPriority > kLowestPriority) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Read by releases under the kernel lock; a thread already waiting moves in line at
    // the next release.
    thread->priority.store(nPriority, std::memory_order_relaxed);
    return TRUE;
}

int WINAPI CeGetThreadPriority(HANDLE hThread) {
    auto thread = LookupHandleAs<Thread>(hThread);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return THREAD_PRIORITY_ERROR_RETURN;
    }
    return thread->priority.load(std::memory_order_relaxed);
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    auto thread = LookupHandleAs<Thread>(hThread);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!lpExitCode) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard lock(KernelLock());
    *lpExitCode = thread->ExitCode();
    return TRUE;
}

}  // extern "C"

bool standin::PrepareImageThread() {
#if defined(__i386__)
    return AttachImageThread();
#else
    return true;
#endif
}

namespace standin {

int RunProgram(const std::function<int()> &main) {
    std::shared_ptr<Program> outer = std::exchange(tProgram, std::make_shared<Program>());
    const int result = main();
    {
        std::unique_lock g(tProgram->lock);
        tProgram->ended.wait(g, [] { return tProgram->running == 0; });
    }
    tProgram = std::move(outer);
    return result;
}

}  // namespace standin
