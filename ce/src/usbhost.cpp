// The stand-in USB host stack: the client function table, devices on the simulated bus,
// pipes, transfers and their completion, and device removal.
//
// Handles given to clients (devices, pipes, transfers) are ids in tables, never pointers,
// and are never reused. On the device ClosePipe and CloseTransfer free what the handle
// points to, so any later use of a closed pipe or transfer is use of freed memory there:
// here it stops the program with a message naming the call and the handle, so that a
// client which gets away with it here cannot get away with it on the device either.
//
// Completion routines run on the host stack's own completion thread, one at a time in
// completion order. Aborts (AbortTransfer, AbortPipeTransfers, ClosePipe) return only once
// the routines of the transfers they end have run, as the platform's do; an abort made on
// the completion thread itself runs those routines there and then, since the thread
// cannot wait for itself.
//
// Attaches and removal notifications run on another thread of the host stack, its worker,
// one after the other in the order they were asked for: a client's notification routine
// that blocks holds up every attach and removal behind it.
//
// Lock order: gHost->lock before a transfer's own lock; device models are called with
// neither held.
#include <standin/usbbus.h>

#include "usbhost_internal.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace standin {
namespace {

struct DeviceRec;
struct PipeRec;

// Tags in the low bits keep the three kinds of handles apart.
constexpr uintptr_t kDeviceTag = 1, kPipeTag = 2, kTransferTag = 3;

// Where a transfer's completion routine is: none to call, waiting on the completion
// queue, being called, or done with (called, or skipped because the client closed the
// transfer first).
enum class Routine { kNone, kQueued, kRunning, kRan };

// Set on the host stack's completion thread.
thread_local bool tCompletionThread = false;

class Transfer final : public UsbTransfer, public std::enable_shared_from_this<Transfer> {
public:
    bool control = false;
    USB_DEVICE_REQUEST setup{};
    UCHAR endpoint = 0;
    bool in = false;
    DWORD length = 0;
    std::vector<BYTE> out;
    BYTE *clientBuffer = nullptr;  // written only while pending and not closed
    LPTRANSFER_NOTIFY_ROUTINE notify = nullptr;
    LPVOID notifyParameter = nullptr;
    uintptr_t id = 0;
    uintptr_t pipeId = 0;  // 0 for control transfers
    std::shared_ptr<DeviceRec> device;
    std::shared_ptr<PipeRec> pipe;  // null for control transfers

    mutable std::mutex lock;
    std::condition_variable done;  // the transfer ended, or its routine moved on
    bool pending = true;
    bool closed = false;                 // guarded by lock
    Routine routine = Routine::kNone;    // guarded by lock
    std::thread::id runner;              // guarded by lock: who runs the routine
    DWORD bytes = 0;
    DWORD error = USB_NOT_COMPLETE_ERROR;

    bool IsControl() const override { return control; }
    const USB_DEVICE_REQUEST &Setup() const override { return setup; }
    UCHAR Endpoint() const override { return endpoint; }
    bool IsIn() const override { return in; }
    DWORD Length() const override { return length; }
    std::span<const BYTE> OutData() const override { return out; }
    bool IsPending() const override {
        std::lock_guard g(lock);
        return pending;
    }
    bool CompleteIn(std::span<const BYTE> data, DWORD usbError) override {
        return Finish(data, 0, usbError, true);
    }
    bool CompleteOut(DWORD count, DWORD usbError) override {
        return Finish({}, std::min(count, length), usbError, true);
    }
    bool Fail(DWORD usbError) override { return Finish({}, 0, usbError, true); }

    // Ends the transfer once; `callNotify` is false when the client itself aborts it.
    bool Finish(std::span<const BYTE> data, DWORD count, DWORD usbError, bool callNotify);
};

struct DeviceRec {
    std::shared_ptr<UsbDevice> model;
    uintptr_t id = 0;
    bool gone = false;  // guarded by gHost->lock
    std::vector<std::pair<LPDEVICE_NOTIFY_ROUTINE, LPVOID>> notifiers;
};

struct PipeRec {
    uintptr_t id = 0;
    std::shared_ptr<DeviceRec> device;
    USB_ENDPOINT_DESCRIPTOR endpoint{};
    int syncWaiters = 0;  // clients blocked inside a synchronous transfer on this pipe
    std::atomic<bool> halted{false};  // a transfer stalled; ResetPipe clears it
};

struct Host {
    std::mutex lock;
    std::condition_variable pipeIdle;  // a synchronous waiter left a pipe
    uintptr_t nextId = 1;
    std::map<uintptr_t, std::shared_ptr<DeviceRec>> devices;
    std::map<uintptr_t, std::shared_ptr<PipeRec>> pipes;
    std::map<uintptr_t, std::shared_ptr<Transfer>> transfers;  // issued and not yet closed

    // Completion routines run on the host stack's own thread, in completion order.
    std::mutex queueLock;
    std::condition_variable queueReady;
    std::deque<std::shared_ptr<Transfer>> queue;
    bool dispatcherStarted = false;

    uintptr_t NewId(uintptr_t tag) { return (nextId++ << 2) | tag; }
    // With lock held: whether `handle` was once given out as a handle of this kind. Ids
    // count up and are never reused, so one that is no longer in its table was closed.
    bool WasIssued(LPCVOID handle, uintptr_t tag) const {
        const auto value = reinterpret_cast<uintptr_t>(handle);
        return (value & 3) == tag && (value >> 2) != 0 && (value >> 2) < nextId;
    }
};

// Never destroyed: the completion thread may outlive every other static object.
Host *const gHost = new Host;

// A client used a pipe or transfer after closing it. On the device the handle points to
// freed memory by then; nothing sensible can follow, so the program stops here.
[[noreturn]] void UseAfterClose(const char *call, const char *kind, LPCVOID handle) {
    char text[192];
    std::snprintf(text, sizeof text,
                  "usbd: %s on %s %p, which was closed: on the device this is use of freed memory\n", call,
                  kind, handle);
    std::fputs(text, stderr);
    std::abort();
}

// Runs a queued completion routine, unless it ran already (an abort on the completion
// thread ran it) or the client closed the transfer first.
void RunNotify(const std::shared_ptr<Transfer> &t) {
    {
        std::lock_guard g(t->lock);
        if (t->routine != Routine::kQueued) return;
        if (t->closed) {
            t->routine = Routine::kRan;
            t->done.notify_all();
            return;
        }
        t->routine = Routine::kRunning;
        t->runner = std::this_thread::get_id();
    }
    t->notify(t->notifyParameter);
    {
        std::lock_guard g(t->lock);
        t->routine = Routine::kRan;
    }
    t->done.notify_all();
}

// Returns once the transfer's completion routine is no longer queued or running, as an
// abort must. The routine this very thread is running is not waited for, and on the
// completion thread a queued routine is run at once instead of waited for: either wait
// would be for the waiting thread itself.
void AwaitRoutine(const std::shared_ptr<Transfer> &t) {
    std::unique_lock g(t->lock);
    for (;;) {
        if (t->routine == Routine::kQueued && tCompletionThread) {
            g.unlock();
            RunNotify(t);
            g.lock();
        } else if (t->routine == Routine::kQueued ||
                   (t->routine == Routine::kRunning && t->runner != std::this_thread::get_id())) {
            t->done.wait(g);
        } else {
            return;
        }
    }
}

void DispatchLoop() {
    tCompletionThread = true;
    for (;;) {
        std::shared_ptr<Transfer> t;
        {
            std::unique_lock g(gHost->queueLock);
            gHost->queueReady.wait(g, [] { return !gHost->queue.empty(); });
            t = std::move(gHost->queue.front());
            gHost->queue.pop_front();
        }
        RunNotify(t);
    }
}

std::atomic<bool> gInlineCompletion{false};

void QueueNotify(std::shared_ptr<Transfer> t) {
    if (gInlineCompletion.load(std::memory_order_relaxed)) {
        RunNotify(t);
        return;
    }
    {
        std::lock_guard g(gHost->queueLock);
        if (!gHost->dispatcherStarted) {
            std::thread(DispatchLoop).detach();
            gHost->dispatcherStarted = true;
        }
        gHost->queue.push_back(std::move(t));
    }
    // Woken after the lock is let go, so the dispatcher does not wake only to wait for it.
    gHost->queueReady.notify_one();
}

bool Transfer::Finish(std::span<const BYTE> data, DWORD count, DWORD usbError, bool callNotify) {
    bool queue;
    {
        std::lock_guard g(lock);
        if (!pending) return false;
        if (in && !closed && clientBuffer) {
            count = static_cast<DWORD>(std::min<size_t>(data.size(), length));
#if defined(__GNUC__) && !defined(__clang__)
            // A false positive of g++ 12 at -O3: it checks a copy of this function specialised
            // for the callers that pass an empty span, and there count is 0 and nothing is copied.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnonnull"
#endif
            if (count) std::memcpy(clientBuffer, data.data(), count);
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
        }
        bytes = count;
        error = usbError;
        pending = false;
        queue = callNotify && notify && !closed;
        if (queue) routine = Routine::kQueued;
    }
    if (usbError == USB_STALL_ERROR && pipe) pipe->halted = true;
    done.notify_all();
    if (queue) QueueNotify(shared_from_this());
    return true;
}

template <typename T>
std::shared_ptr<T> Find(std::map<uintptr_t, std::shared_ptr<T>> &table, LPCVOID handle) {
    auto it = table.find(reinterpret_cast<uintptr_t>(handle));
    return it == table.end() ? nullptr : it->second;
}

// With gHost->lock held: the open pipe `handle` names for `call`. A closed pipe is the
// caller's fault (see UseAfterClose); a value that never named a pipe gives null.
std::shared_ptr<PipeRec> PipeFor(const char *call, USB_PIPE handle) {
    auto pipe = Find(gHost->pipes, handle);
    if (!pipe && gHost->WasIssued(handle, kPipeTag)) UseAfterClose(call, "pipe", handle);
    return pipe;
}

// The same for a transfer that has not been closed.
std::shared_ptr<Transfer> TransferFor(const char *call, USB_TRANSFER handle) {
    std::lock_guard g(gHost->lock);
    auto t = Find(gHost->transfers, handle);
    if (!t && gHost->WasIssued(handle, kTransferTag)) UseAfterClose(call, "transfer", handle);
    if (!t) SetLastError(ERROR_INVALID_HANDLE);
    return t;
}

// Registers and submits a transfer; for a synchronous one, waits until it ended.
USB_TRANSFER Issue(const char *call, std::shared_ptr<Transfer> t, const std::shared_ptr<PipeRec> &pipe) {
    bool sync = t->notify == nullptr;
    {
        std::lock_guard g(gHost->lock);
        // Closed between the look-up and here: issued on a pipe being freed.
        if (pipe && !gHost->pipes.count(pipe->id))
            UseAfterClose(call, "pipe", reinterpret_cast<LPCVOID>(pipe->id));
        if (t->device->gone) {
            SetLastError(ERROR_DEVICE_NOT_CONNECTED);
            return nullptr;
        }
        t->id = gHost->NewId(kTransferTag);
        gHost->transfers[t->id] = t;
        if (sync && pipe) pipe->syncWaiters++;
    }
    if (t->control)
        t->device->model->SubmitControl(t);
    else
        t->device->model->SubmitBulk(t);
    if (sync) {
        {
            std::unique_lock g(t->lock);
            t->done.wait(g, [&] { return !t->pending; });
        }
        if (pipe) {
            std::lock_guard g(gHost->lock);
            pipe->syncWaiters--;
            gHost->pipeIdle.notify_all();
        }
    }
    return reinterpret_cast<USB_TRANSFER>(t->id);
}

// Ends every open transfer selected by `pick` with `usbError` and tells the device model;
// with `wait`, returns once the completion routines of all of them have run. Returns them.
template <typename Pick>
std::vector<std::shared_ptr<Transfer>> AbortOpenTransfers(Pick pick, DWORD usbError, bool wait) {
    std::vector<std::shared_ptr<Transfer>> victims;
    {
        std::lock_guard g(gHost->lock);
        for (auto &[id, t] : gHost->transfers)
            if (pick(*t)) victims.push_back(t);
    }
    for (auto &t : victims)
        if (t->Finish({}, 0, usbError, true)) t->device->model->Cancelled(t);
    if (wait)
        for (auto &t : victims) AwaitRoutine(t);
    return victims;
}

// The host stack's worker: attaches and removals, one at a time, in the order asked.
struct Worker {
    struct Job {
        uint64_t number;
        uintptr_t device;
        std::function<void()> run;
    };
    std::mutex lock;
    std::condition_variable queued;    // a job was added
    std::condition_variable finished;  // a job ran
    std::deque<Job> jobs;
    uint64_t count = 0;                     // jobs ever queued
    std::map<uintptr_t, uint64_t> lastJob;  // device -> its latest job, until that ran
    bool started = false;
};
// Never destroyed, like gHost: the worker thread lives as long as the process.
Worker *const gWorker = new Worker;
thread_local bool tWorkerThread = false;

void WorkLoop() {
    tWorkerThread = true;
    for (;;) {
        Worker::Job job;
        {
            std::unique_lock g(gWorker->lock);
            gWorker->queued.wait(g, [] { return !gWorker->jobs.empty(); });
            job = std::move(gWorker->jobs.front());
            gWorker->jobs.pop_front();
        }
        job.run();
        {
            std::lock_guard g(gWorker->lock);
            auto it = gWorker->lastJob.find(job.device);
            if (it != gWorker->lastJob.end() && it->second == job.number) gWorker->lastJob.erase(it);
        }
        gWorker->finished.notify_all();
    }
}

// ---- the function table ----------------------------------------------------------

void WINAPI HostGetVersion(LPDWORD major, LPDWORD minor) {
    if (major) *major = 1;
    if (minor) *minor = 2;
}

BOOL WINAPI HostRegisterNotificationRoutine(USB_HANDLE hDevice, LPDEVICE_NOTIFY_ROUTINE routine,
                                            LPVOID parameter) {
    std::lock_guard g(gHost->lock);
    auto dev = Find(gHost->devices, hDevice);
    if (!dev || !routine || dev->gone) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    dev->notifiers.emplace_back(routine, parameter);
    return TRUE;
}

BOOL WINAPI HostUnRegisterNotificationRoutine(USB_HANDLE hDevice, LPDEVICE_NOTIFY_ROUTINE routine,
                                              LPVOID parameter) {
    std::lock_guard g(gHost->lock);
    auto dev = Find(gHost->devices, hDevice);
    if (!dev) return FALSE;
    auto &n = dev->notifiers;
    auto it = std::find(n.begin(), n.end(), std::make_pair(routine, parameter));
    if (it == n.end()) return FALSE;
    n.erase(it);
    return TRUE;
}

LPCUSB_DEVICE WINAPI HostGetDeviceInfo(USB_HANDLE hDevice) {
    std::shared_ptr<DeviceRec> dev;
    {
        std::lock_guard g(gHost->lock);
        dev = Find(gHost->devices, hDevice);
    }
    if (!dev) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return dev->model->DeviceInfo();
}

LPCUSB_INTERFACE WINAPI HostFindInterface(LPCUSB_DEVICE info, UCHAR number, UCHAR alternate) {
    if (!info || !info->lpActiveConfig) return nullptr;
    LPCUSB_CONFIGURATION config = info->lpActiveConfig;
    for (DWORD i = 0; i < config->dwNumInterfaces; i++) {
        LPCUSB_INTERFACE itf = &config->lpInterfaces[i];
        if (itf->Descriptor.bInterfaceNumber == number &&
            itf->Descriptor.bAlternateSetting == alternate)
            return itf;
    }
    return nullptr;
}

USB_TRANSFER WINAPI HostIssueVendorTransfer(USB_HANDLE hDevice, LPTRANSFER_NOTIFY_ROUTINE notify,
                                            LPVOID parameter, DWORD flags,
                                            LPCUSB_DEVICE_REQUEST request, LPVOID buffer,
                                            ULONG physical) {
    (void)physical;
    std::shared_ptr<DeviceRec> dev;
    {
        std::lock_guard g(gHost->lock);
        dev = Find(gHost->devices, hDevice);
    }
    if (!dev || !request || (request->wLength && !buffer)) {
        SetLastError(dev ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto t = std::make_shared<Transfer>();
    t->control = true;
    t->setup = *request;
    t->in = (flags & USB_IN_TRANSFER) != 0;
    t->length = request->wLength;
    t->notify = notify;
    t->notifyParameter = parameter;
    t->device = dev;
    if (t->in)
        t->clientBuffer = static_cast<BYTE *>(buffer);
    else if (t->length)
        t->out.assign(static_cast<BYTE *>(buffer), static_cast<BYTE *>(buffer) + t->length);
    return Issue("IssueVendorTransfer", std::move(t), nullptr);
}

USB_PIPE WINAPI HostOpenPipe(USB_HANDLE hDevice, LPCUSB_ENDPOINT_DESCRIPTOR endpoint) {
    std::shared_ptr<DeviceRec> dev;
    {
        std::lock_guard g(gHost->lock);
        dev = Find(gHost->devices, hDevice);
    }
    if (!dev || !endpoint || dev->gone) {
        SetLastError(dev ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!dev->model->AcceptPipe(*endpoint)) {
        SetLastError(ERROR_GEN_FAILURE);
        return nullptr;
    }
    auto pipe = std::make_shared<PipeRec>();
    pipe->device = dev;
    pipe->endpoint = *endpoint;
    std::lock_guard g(gHost->lock);
    pipe->id = gHost->NewId(kPipeTag);
    gHost->pipes[pipe->id] = pipe;
    return reinterpret_cast<USB_PIPE>(pipe->id);
}

BOOL WINAPI HostAbortPipeTransfers(USB_PIPE hPipe, DWORD flags) {
    std::shared_ptr<PipeRec> pipe;
    {
        std::lock_guard g(gHost->lock);
        pipe = PipeFor("AbortPipeTransfers", hPipe);
    }
    if (!pipe) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const uintptr_t id = pipe->id;
    AbortOpenTransfers([id](const Transfer &t) { return t.pipeId == id; }, USB_CANCELED_ERROR,
                       (flags & USB_NO_WAIT) == 0);
    return TRUE;
}

BOOL WINAPI HostResetPipe(USB_PIPE hPipe) {
    std::lock_guard g(gHost->lock);
    auto pipe = PipeFor("ResetPipe", hPipe);
    if (!pipe) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    pipe->halted = false;
    return TRUE;
}

BOOL WINAPI HostIsPipeHalted(USB_PIPE hPipe, LPBOOL halted) {
    std::lock_guard g(gHost->lock);
    auto pipe = PipeFor("IsPipeHalted", hPipe);
    if (!pipe || !halted) {
        SetLastError(pipe ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *halted = pipe->halted ? TRUE : FALSE;
    return TRUE;
}

BOOL WINAPI HostClosePipe(USB_PIPE hPipe) {
    std::shared_ptr<PipeRec> pipe;
    {
        std::lock_guard g(gHost->lock);
        pipe = PipeFor("ClosePipe", hPipe);
        if (!pipe) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        gHost->pipes.erase(pipe->id);
    }
    const uintptr_t id = pipe->id;
    AbortOpenTransfers([id](const Transfer &t) { return t.pipeId == id; }, USB_CANCELED_ERROR, true);
    std::unique_lock g(gHost->lock);
    gHost->pipeIdle.wait(g, [&] { return pipe->syncWaiters == 0; });
    return TRUE;
}

// IssueBulkTransfer and IssueInterruptTransfer: the device model tells them apart by the
// endpoint.
USB_TRANSFER IssueOnPipe(const char *call, USB_PIPE hPipe, LPTRANSFER_NOTIFY_ROUTINE notify, LPVOID parameter,
                         DWORD flags, DWORD size, LPVOID buffer) {
    std::shared_ptr<PipeRec> pipe;
    {
        std::lock_guard g(gHost->lock);
        pipe = PipeFor(call, hPipe);
    }
    if (!pipe || (size && !buffer)) {
        SetLastError(pipe ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (std::optional<DWORD> refused = pipe->device->model->RefuseBulk(pipe->endpoint.bEndpointAddress)) {
        SetLastError(*refused);
        return nullptr;
    }
    auto t = std::make_shared<Transfer>();
    t->endpoint = pipe->endpoint.bEndpointAddress;
    t->in = (flags & USB_IN_TRANSFER) != 0;
    t->length = size;
    t->notify = notify;
    t->notifyParameter = parameter;
    t->device = pipe->device;
    t->pipeId = pipe->id;
    t->pipe = pipe;
    if (t->in)
        t->clientBuffer = static_cast<BYTE *>(buffer);
    else if (size)
        t->out.assign(static_cast<BYTE *>(buffer), static_cast<BYTE *>(buffer) + size);
    return Issue(call, std::move(t), pipe);
}

USB_TRANSFER WINAPI HostIssueBulkTransfer(USB_PIPE hPipe, LPTRANSFER_NOTIFY_ROUTINE notify,
                                          LPVOID parameter, DWORD flags, DWORD size,
                                          LPVOID buffer, ULONG physical) {
    (void)physical;
    return IssueOnPipe("IssueBulkTransfer", hPipe, notify, parameter, flags, size, buffer);
}

USB_TRANSFER WINAPI HostIssueInterruptTransfer(USB_PIPE hPipe, LPTRANSFER_NOTIFY_ROUTINE notify,
                                               LPVOID parameter, DWORD flags, DWORD size,
                                               LPVOID buffer, ULONG physical) {
    (void)physical;
    return IssueOnPipe("IssueInterruptTransfer", hPipe, notify, parameter, flags, size, buffer);
}

BOOL WINAPI HostIsTransferComplete(USB_TRANSFER hTransfer) {
    auto t = TransferFor("IsTransferComplete", hTransfer);
    if (!t) return FALSE;
    return !t->IsPending();
}

BOOL WINAPI HostGetTransferStatus(USB_TRANSFER hTransfer, LPDWORD bytes, LPDWORD error) {
    auto t = TransferFor("GetTransferStatus", hTransfer);
    if (!t) return FALSE;
    std::lock_guard g(t->lock);
    if (bytes) *bytes = t->bytes;
    if (error) *error = t->error;
    return TRUE;
}

BOOL WINAPI HostAbortTransfer(USB_TRANSFER hTransfer, DWORD flags) {
    auto t = TransferFor("AbortTransfer", hTransfer);
    if (!t) return FALSE;
    if (t->Finish({}, 0, USB_CANCELED_ERROR, true)) t->device->model->Cancelled(t);
    if ((flags & USB_NO_WAIT) == 0) AwaitRoutine(t);
    return TRUE;
}

BOOL WINAPI HostCloseTransfer(USB_TRANSFER hTransfer) {
    std::shared_ptr<Transfer> t;
    {
        std::lock_guard g(gHost->lock);
        t = Find(gHost->transfers, hTransfer);
        if (!t && gHost->WasIssued(hTransfer, kTransferTag)) UseAfterClose("CloseTransfer", "transfer", hTransfer);
        if (!t) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        gHost->transfers.erase(t->id);
    }
    {
        // From here the client's buffer is never touched and a queued routine never
        // called; a routine already running on another thread is waited for, since the
        // client may unload its code right after this call.
        std::unique_lock g(t->lock);
        t->closed = true;
        t->done.wait(g, [&] {
            return t->routine != Routine::kRunning || t->runner == std::this_thread::get_id();
        });
    }
    if (t->Finish({}, 0, USB_CANCELED_ERROR, false)) t->device->model->Cancelled(t);
    return TRUE;
}

const USB_FUNCS gFuncs = [] {
    USB_FUNCS f{};
    f.dwCount = sizeof(USB_FUNCS);
    f.lpGetUSBDVersion = HostGetVersion;
    f.lpRegisterNotificationRoutine = HostRegisterNotificationRoutine;
    f.lpUnRegisterNotificationRoutine = HostUnRegisterNotificationRoutine;
    f.lpFindInterface = HostFindInterface;
    f.lpGetDeviceInfo = HostGetDeviceInfo;
    f.lpIssueVendorTransfer = HostIssueVendorTransfer;
    f.lpOpenPipe = HostOpenPipe;
    f.lpAbortPipeTransfers = HostAbortPipeTransfers;
    f.lpResetPipe = HostResetPipe;
    f.lpClosePipe = HostClosePipe;
    f.lpIsPipeHalted = HostIsPipeHalted;
    f.lpIssueBulkTransfer = HostIssueBulkTransfer;
    f.lpIssueInterruptTransfer = HostIssueInterruptTransfer;
    f.lpIsTransferComplete = HostIsTransferComplete;
    f.lpGetTransferStatus = HostGetTransferStatus;
    f.lpAbortTransfer = HostAbortTransfer;
    f.lpCloseTransfer = HostCloseTransfer;
    return f;
}();

}  // namespace

LPCUSB_FUNCS UsbFunctionTable() { return &gFuncs; }

USB_HANDLE UsbAddDevice(std::shared_ptr<UsbDevice> device) {
    auto dev = std::make_shared<DeviceRec>();
    dev->model = std::move(device);
    std::lock_guard g(gHost->lock);
    dev->id = gHost->NewId(kDeviceTag);
    gHost->devices[dev->id] = dev;
    return reinterpret_cast<USB_HANDLE>(dev->id);
}

bool UsbRemoveDevice(USB_HANDLE device) {
    std::shared_ptr<DeviceRec> dev;
    {
        std::lock_guard g(gHost->lock);
        dev = Find(gHost->devices, device);
        if (!dev || dev->gone) return false;
        dev->gone = true;
    }
    // The cable is out: what was pending fails now, whoever asked for the removal.
    auto failed = AbortOpenTransfers([&](const Transfer &t) { return t.device == dev; },
                                     USB_DEVICE_NOT_RESPONDING_ERROR, false);
    dev->model->Unplugged();
    internal::RunOnHostThread(device, [dev, failed] {
        for (const auto &t : failed) AwaitRoutine(t);
        std::vector<std::pair<LPDEVICE_NOTIFY_ROUTINE, LPVOID>> notifiers;
        {
            std::lock_guard g(gHost->lock);
            notifiers = dev->notifiers;
        }
        for (auto &[routine, parameter] : notifiers)
            routine(parameter, USB_CLOSE_DEVICE, nullptr, nullptr, nullptr, nullptr);
        std::lock_guard g(gHost->lock);
        gHost->devices.erase(dev->id);
    });
    return true;
}

bool UsbWaitHostStack(USB_HANDLE device, DWORD boundMs) {
    const auto id = reinterpret_cast<uintptr_t>(device);
    std::unique_lock g(gWorker->lock);
    const auto settled = [id] { return gWorker->lastJob.count(id) == 0; };
    // The worker would wait for itself.
    if (tWorkerThread) return settled();
    if (boundMs == INFINITE) {
        gWorker->finished.wait(g, settled);
        return true;
    }
    return gWorker->finished.wait_for(g, std::chrono::milliseconds(boundMs), settled);
}

size_t UsbDeviceCount() {
    std::lock_guard g(gHost->lock);
    return gHost->devices.size();
}

size_t UsbOpenPipeCount() {
    std::lock_guard g(gHost->lock);
    return gHost->pipes.size();
}

void UsbSetInlineCompletion(bool inlineCompletion) {
    gInlineCompletion.store(inlineCompletion, std::memory_order_relaxed);
}

size_t UsbOpenTransferCount() {
    std::lock_guard g(gHost->lock);
    return gHost->transfers.size();
}

}  // namespace standin

namespace standin::internal {

void RunOnHostThread(USB_HANDLE device, std::function<void()> job) {
    {
        std::lock_guard g(gWorker->lock);
        if (!gWorker->started) {
            std::thread(WorkLoop).detach();
            gWorker->started = true;
        }
        const uint64_t number = ++gWorker->count;
        const auto id = reinterpret_cast<uintptr_t>(device);
        gWorker->lastJob[id] = number;
        gWorker->jobs.push_back({number, id, std::move(job)});
    }
    gWorker->queued.notify_one();
}

}  // namespace standin::internal
