// Structured exceptions for image code in the 32-bit build: per-thread information blocks
// reached through FS and an LDT entry, the fault signal handler that hands a fault to the
// dispatcher, the dispatcher and the unwind over the FS:[0] list, and the frame handler
// the images' compiler uses (_except_handler3, _local_unwind2). The register-level pieces
// are in helpers.S.
//
// Nothing heavy runs in the signal handler: it copies the registers into a context on the
// faulting thread's own stack and rewrites the signal context so that, once the signal
// returns, the thread calls the dispatcher there. Handlers, filters and __finally blocks
// thus run as ordinary code on the thread that faulted, with every signal unblocked.
#include "seh.h"

#include <asm/ldt.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <bitset>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

using namespace standin::seh;

// Entry points image code calls: it keeps its stack 4-byte aligned only.
#define IMAGE_ENTRY __attribute__((force_align_arg_pointer))

extern "C" {
// helpers.S
int qsx_seh_call_block(void *code, void *frameEbp);
[[noreturn]] void qsx_seh_jump_to_handler(void *code, Eh3Registration *frame);
[[noreturn]] void qsx_seh_restore_context(const Context *context);
void qsx_seh_raise(ExceptionRecord *record);
}

namespace {

// ---- per-thread blocks ----------------------------------------------------------------

// Read by the signal handler, so a plain pointer in the static TLS block.
thread_local ThreadInfoBlock *tBlock = nullptr;

// Releases the block of a thread that got one without CreateThread when the thread ends.
struct BlockOwner {
    bool armed = false;
    ~BlockOwner() {
        if (armed) standin::internal::DetachImageThread();
    }
};
thread_local BlockOwner tOwner;

// Held by a thread between setting its TLS descriptor again after a fault and reloading
// GS from it (helpers.S), and by one creating a thread (threads.cpp): the descriptor table
// is one for all threads under qemu-user, and two threads faulting at once, or a thread
// started meanwhile, would otherwise give the faulting thread another thread's TLS.
volatile uint32_t gGsFixLock = 0;

// LDT entries in use; entry 0 stays unused.
constexpr int kLdtEntries = 8192;
std::mutex gLdtLock;
std::bitset<kLdtEntries> gLdtUsed;  // gLdtLock

int WriteLdt(const user_desc &desc) {
    // 0x11: write an entry with the present-day semantics (an all-empty entry clears it).
    return static_cast<int>(syscall(SYS_modify_ldt, 0x11, &desc, sizeof desc));
}

int AllocLdtEntry(uintptr_t base, uint32_t size) {
    std::lock_guard lock(gLdtLock);
    for (int entry = 1; entry < kLdtEntries; entry++) {
        if (gLdtUsed[entry]) continue;
        user_desc desc{};
        desc.entry_number = static_cast<unsigned>(entry);
        desc.base_addr = static_cast<unsigned>(base);
        desc.limit = size - 1;
        desc.seg_32bit = 1;
        desc.contents = 0;  // data, expand-up
        desc.read_exec_only = 0;
        desc.limit_in_pages = 0;
        desc.seg_not_present = 0;
        desc.useable = 1;
        if (WriteLdt(desc) != 0) return -1;
        gLdtUsed[entry] = true;
        return entry;
    }
    return -1;
}

void FreeLdtEntry(int entry) {
    user_desc desc{};
    desc.entry_number = static_cast<unsigned>(entry);
    desc.read_exec_only = 1;
    desc.seg_not_present = 1;
    std::lock_guard lock(gLdtLock);
    WriteLdt(desc);
    gLdtUsed[entry] = false;
}

void LoadFs(uint16_t selector) { asm volatile("movw %w0, %%fs" : : "q"(selector) : "memory"); }

Registration *ChainHead() {
    Registration *head;
    asm volatile("movl %%fs:0, %0" : "=r"(head) : : "memory");
    return head;
}
void SetChainHead(Registration *head) { asm volatile("movl %0, %%fs:0" : : "r"(head) : "memory"); }

void FindStack(ThreadInfoBlock *block) {
    pthread_attr_t attr;
    void *low = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        if (pthread_attr_getstack(&attr, &low, &size) != 0) size = 0;
        pthread_attr_destroy(&attr);
    }
    if (size) {
        block->StackLimit = low;
        block->StackBase = static_cast<char *>(low) + size;
    } else {
        // Unknown bounds: frames are then only checked against the dispatcher's own stack
        // position and their order.
        block->StackLimit = nullptr;
        block->StackBase = reinterpret_cast<void *>(~uintptr_t{0});
    }
}

// ---- dispatch -------------------------------------------------------------------------

// The record a handler call is wrapped in, so that an exception raised inside a handler
// is told apart from the one being handled.
struct GuardRegistration {
    Registration link;
    Registration *establisher;  // the frame whose handler is running
};

int DispatchGuardHandler(ExceptionRecord *record, Registration *frame, Context *, void *dispatcherContext) {
    if (record->ExceptionFlags & (kUnwinding | kExitUnwind)) return kContinueSearch;
    *static_cast<Registration **>(dispatcherContext) = reinterpret_cast<GuardRegistration *>(frame)->establisher;
    return kNestedException;
}

int UnwindGuardHandler(ExceptionRecord *record, Registration *frame, Context *, void *dispatcherContext) {
    if (!(record->ExceptionFlags & (kUnwinding | kExitUnwind))) return kContinueSearch;
    *static_cast<Registration **>(dispatcherContext) = reinterpret_cast<GuardRegistration *>(frame)->establisher;
    return kCollidedUnwindDisposition;
}

int CallHandler(ExceptionRecord *record, Registration *frame, Context *context, Registration **dispatcherContext,
                FrameHandler guard) {
    ThreadInfoBlock *block = tBlock;
    GuardRegistration wrap{{ChainHead(), guard}, frame};
    SetChainHead(&wrap.link);
    block->Dispatching = 0;
    const int disposition = frame->Handler(record, frame, context, dispatcherContext);
    block->Dispatching = 1;
    SetChainHead(wrap.link.Next);
    return disposition;
}

// A frame is believable when it lies, aligned, on this thread's stack above the
// dispatcher's own position, and comes after the one before it.
bool FrameValid(const ThreadInfoBlock *block, const Registration *frame, const void *previous) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(frame);
    const uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    if (at & 3) return false;
    if (at <= here || at <= reinterpret_cast<uintptr_t>(previous)) return false;
    if (at < reinterpret_cast<uintptr_t>(block->StackLimit)) return false;
    if (at + sizeof(Registration) > reinterpret_cast<uintptr_t>(block->StackBase)) return false;
    return frame->Handler != nullptr;
}

[[noreturn]] void Fatal(const char *what, const ExceptionRecord *record) {
    std::fprintf(stderr, "coredll: %s: exception 0x%08x at %p\n", what, record ? record->ExceptionCode : 0u,
                 record ? record->ExceptionAddress : nullptr);
    std::abort();
}

void RaiseNested(uint32_t code, ExceptionRecord *cause);

// The search pass. True when a handler asked to continue execution at `context`; false
// when no frame took the exception. A frame that takes it never returns here.
bool DispatchException(ExceptionRecord *record, Context *context) {
    ThreadInfoBlock *block = tBlock;
    Registration *nested = nullptr;
    const void *previous = nullptr;
    for (Registration *frame = ChainHead(); frame != kEndOfChain; frame = frame->Next) {
        if (!FrameValid(block, frame, previous)) {
            record->ExceptionFlags |= kStackInvalid;
            return false;
        }
        previous = frame;
        Registration *dispatcherContext = nullptr;
        const int disposition = CallHandler(record, frame, context, &dispatcherContext, DispatchGuardHandler);
        if (nested == frame) {
            record->ExceptionFlags &= ~kNestedCall;
            nested = nullptr;
        }
        switch (disposition) {
        case kContinueExecution:
            if (record->ExceptionFlags & kNoncontinuable) RaiseNested(kNoncontinuableException, record);
            return true;
        case kContinueSearch:
            break;
        case kNestedException:
            record->ExceptionFlags |= kNestedCall;
            if (dispatcherContext > nested) nested = dispatcherContext;
            break;
        default:
            RaiseNested(kInvalidDisposition, record);
        }
    }
    return false;
}

// The unwind pass: calls the handler of every frame newer than `target` with the
// unwinding flag and takes the frame off the list. `target` stays registered.
void GlobalUnwind(Registration *target) {
    ExceptionRecord record{};
    record.ExceptionCode = kUnwind;
    record.ExceptionFlags = kUnwinding | (target == kEndOfChain ? kExitUnwind : 0);
    record.ExceptionAddress = __builtin_return_address(0);
    Context context{};
    context.ContextFlags = kContextI386;
    ThreadInfoBlock *block = tBlock;
    const uint32_t wasDispatching = block->Dispatching;
    block->Dispatching = 1;
    const void *previous = nullptr;
    Registration *frame = ChainHead();
    while (frame != kEndOfChain && frame != target) {
        if (target != kEndOfChain && target < frame) Fatal("unwind target is not on the exception list", &record);
        if (!FrameValid(block, frame, previous)) Fatal("exception list is corrupt", &record);
        Registration *dispatcherContext = nullptr;
        const int disposition = CallHandler(&record, frame, &context, &dispatcherContext, UnwindGuardHandler);
        if (disposition == kCollidedUnwindDisposition) {
            // Another unwind was running over this part of the list: go on from where it
            // had got to.
            frame = dispatcherContext;
        } else if (disposition != kContinueSearch) {
            Fatal("invalid disposition from a handler during unwind", &record);
        }
        previous = frame;
        Registration *next = frame->Next;
        SetChainHead(next);
        frame = next;
    }
    block->Dispatching = wasDispatching;
}

// Raises a new exception about a handler's misbehaviour; it is not continuable.
void RaiseNested(uint32_t code, ExceptionRecord *cause) {
    ExceptionRecord record{};
    record.ExceptionCode = code;
    record.ExceptionFlags = kNoncontinuable;
    record.ExceptionRecordChain = cause;
    record.ExceptionAddress = __builtin_return_address(0);
    qsx_seh_raise(&record);
    Fatal("a noncontinuable exception was continued", &record);
}

// ---- faults ---------------------------------------------------------------------------

const int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE};
struct sigaction gPrevious[NSIG];  // written once before the handlers are installed

// What the thread's stack holds when the dispatcher starts after a fault: a call frame
// whose return address is never used, and the records.
struct FaultFrame {
    uint32_t returnAddress;
    FaultFrame *self;
    ExceptionRecord record;
    Context context;
    Context original;  // to fault again if no frame takes it
};

// Room for the dispatcher, the handlers and what they call, below the fault frame.
constexpr uintptr_t kDispatchStack = 64 * 1024;
// Kept free between the signal handler's own stack and the fault frame it writes.
constexpr uintptr_t kHandlerGap = 4096;

// A fault the stand-in does not handle: to whatever handled the signal before, or, when
// that was the default, the default action once the instruction faults again.
void PassOn(int sig, siginfo_t *info, void *ucontext) {
    const struct sigaction &previous = gPrevious[sig];
    if ((previous.sa_flags & SA_SIGINFO) && previous.sa_sigaction) {
        previous.sa_sigaction(sig, info, ucontext);
        return;
    }
    if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        previous.sa_handler(sig);
        return;
    }
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigaction(sig, &dfl, nullptr);
    if (info->si_code <= 0) raise(sig);  // sent, not a fault: it does not come again
}

uint32_t FaultCode(int sig, const siginfo_t *info) {
    if (sig != SIGFPE) return kAccessViolation;
    switch (info->si_code) {
    case FPE_INTDIV: return kIntegerDivideByZero;
    case FPE_INTOVF: return kIntegerOverflow;
    case FPE_FLTDIV: return 0xC000008E;
    case FPE_FLTOVF: return 0xC0000091;
    case FPE_FLTUND: return 0xC0000093;
    case FPE_FLTRES: return 0xC000008F;
    case FPE_FLTINV: return 0xC0000090;
    case FPE_FLTSUB: return 0xC000008C;
    default: return 0;
    }
}

extern "C" [[noreturn]] __attribute__((visibility("hidden"))) IMAGE_ENTRY void qsx_seh_dispatch_fault(
    FaultFrame *frame);
// helpers.S: mends GS, then qsx_seh_dispatch_fault.
extern "C" void qsx_seh_fault_entry();

void OnFault(int sig, siginfo_t *info, void *ucontextPointer) {
    auto *uc = static_cast<ucontext_t *>(ucontextPointer);
    ThreadInfoBlock *block = tBlock;
    if (!block || info->si_code <= 0 || block->Dispatching || block->PassNextFault) {
        if (block) block->PassNextFault = 0;
        PassOn(sig, info, ucontextPointer);
        return;
    }
    const uint32_t code = FaultCode(sig, info);
    Registration *head = block->ExceptionList;
    if (!code || head == kEndOfChain || head == nullptr) {
        PassOn(sig, info, ucontextPointer);
        return;
    }
    greg_t *g = uc->uc_mcontext.gregs;
    uintptr_t top = reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) - kHandlerGap;
    if (top > static_cast<uintptr_t>(g[REG_ESP])) top = static_cast<uintptr_t>(g[REG_ESP]);
    // The dispatcher is entered as by a call: its argument 16-byte aligned.
    uintptr_t at = ((top - sizeof(FaultFrame)) & ~uintptr_t{15}) - 4;
    if (at - kDispatchStack < reinterpret_cast<uintptr_t>(block->StackLimit) || at < kDispatchStack) {
        PassOn(sig, info, ucontextPointer);  // no stack left to handle it on
        return;
    }
    auto *frame = reinterpret_cast<FaultFrame *>(at);
    std::memset(frame, 0, sizeof *frame);
    frame->self = frame;

    ExceptionRecord &r = frame->record;
    r.ExceptionCode = code;
    r.ExceptionAddress = reinterpret_cast<void *>(g[REG_EIP]);
    if (code == kAccessViolation) {
        r.NumberParameters = 2;
        // 8 an instruction fetch, 1 a write, 0 a read, from the page fault's error code;
        // qemu-user leaves out the fetch bit, but then the fault is at the instruction itself.
        const greg_t error = g[REG_ERR];
        const bool fetch = (error & 0x10) || info->si_addr == reinterpret_cast<void *>(g[REG_EIP]);
        r.ExceptionInformation[0] = fetch ? 8 : (error & 2) ? 1 : 0;
        // A protection fault (not a page fault) has no address of its own.
        r.ExceptionInformation[1] = info->si_code == SI_KERNEL ? ~uint32_t{0}
                                                               : static_cast<uint32_t>(reinterpret_cast<uintptr_t>(info->si_addr));
    }

    Context &c = frame->context;
    c.ContextFlags = kContextControl | kContextInteger | kContextSegments;
    c.SegGs = static_cast<uint32_t>(g[REG_GS]) & 0xffff;
    c.SegFs = static_cast<uint32_t>(g[REG_FS]) & 0xffff;
    c.SegEs = static_cast<uint32_t>(g[REG_ES]) & 0xffff;
    c.SegDs = static_cast<uint32_t>(g[REG_DS]) & 0xffff;
    c.Edi = static_cast<uint32_t>(g[REG_EDI]);
    c.Esi = static_cast<uint32_t>(g[REG_ESI]);
    c.Ebx = static_cast<uint32_t>(g[REG_EBX]);
    c.Edx = static_cast<uint32_t>(g[REG_EDX]);
    c.Ecx = static_cast<uint32_t>(g[REG_ECX]);
    c.Eax = static_cast<uint32_t>(g[REG_EAX]);
    c.Ebp = static_cast<uint32_t>(g[REG_EBP]);
    c.Eip = static_cast<uint32_t>(g[REG_EIP]);
    c.SegCs = static_cast<uint32_t>(g[REG_CS]) & 0xffff;
    c.EFlags = static_cast<uint32_t>(g[REG_EFL]);
    c.Esp = static_cast<uint32_t>(g[REG_ESP]);
    c.SegSs = static_cast<uint32_t>(g[REG_SS]) & 0xffff;
    if (const fpregset_t fp = uc->uc_mcontext.fpregs) {
        // The kernel's saved x87 state starts in the FNSAVE layout the context uses.
        static_assert(sizeof fp->cw + sizeof fp->sw + sizeof fp->tag + sizeof fp->ipoff + sizeof fp->cssel +
                          sizeof fp->dataoff + sizeof fp->datasel + sizeof fp->_st ==
                      offsetof(FloatingSaveArea, Cr0NpxState));
        std::memcpy(&c.FloatSave, fp, offsetof(FloatingSaveArea, Cr0NpxState));
        c.ContextFlags |= kContextFloatingPoint;
    }
    frame->original = c;

    g[REG_EIP] = static_cast<greg_t>(reinterpret_cast<uintptr_t>(&qsx_seh_fault_entry));
    g[REG_ESP] = static_cast<greg_t>(at);
    g[REG_UESP] = static_cast<greg_t>(at);
    g[REG_EFL] &= ~static_cast<greg_t>(0x400 | 0x100);  // direction and trap flags clear
    block->Dispatching = 1;
}

void InstallFaultHandlers() {
    for (int sig : kFaultSignals) {
        struct sigaction action {};
        action.sa_sigaction = OnFault;
        action.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(sig, &action, &gPrevious[sig]);
    }
}

[[noreturn]] void Unhandled(FaultFrame *frame) {
    const ExceptionRecord &r = frame->record;
    ThreadInfoBlock *block = tBlock;
    if (r.ExceptionCode == kAccessViolation)
        std::fprintf(stderr, "coredll: unhandled exception 0x%08x at %p: %s of address 0x%08x\n", r.ExceptionCode,
                     r.ExceptionAddress,
                     r.ExceptionInformation[0] == 8   ? "execution"
                     : r.ExceptionInformation[0] == 1 ? "write"
                                                      : "read",
                     r.ExceptionInformation[1]);
    else
        std::fprintf(stderr, "coredll: unhandled exception 0x%08x at %p\n", r.ExceptionCode, r.ExceptionAddress);
    // Back to the faulting instruction untouched; it faults again and the signal takes its
    // usual course.
    block->PassNextFault = 1;
    block->Dispatching = 0;
    qsx_seh_restore_context(&frame->original);
}

// Runs _except_handler3's __finally blocks of `frame` from its current try level out to
// (not including) `stop`.
void LocalUnwind(Eh3Registration *frame, int32_t stop) {
    void *ebp = reinterpret_cast<char *>(frame) + 16;
    for (unsigned guard = 0; frame->TryLevel != kTopLevel && frame->TryLevel != stop && guard < 65536; guard++) {
        const ScopeEntry &entry = frame->ScopeTable[frame->TryLevel];
        frame->TryLevel = entry.EnclosingLevel;
        if (!entry.Filter) qsx_seh_call_block(entry.Handler, ebp);
    }
}

}  // namespace

extern "C" {

[[noreturn]] IMAGE_ENTRY void qsx_seh_dispatch_fault(FaultFrame *frame) {
    if (DispatchException(&frame->record, &frame->context)) {
        tBlock->Dispatching = 0;
        qsx_seh_restore_context(&frame->context);
    }
    Unhandled(frame);
}

// Called by qsx_seh_raise with the caller's registers; returns only when a handler asked
// to continue execution, and then the raise returns to its caller.
__attribute__((visibility("hidden"))) IMAGE_ENTRY void qsx_seh_dispatch_raised(ExceptionRecord *record,
                                                                              Context *context) {
    ThreadInfoBlock *block = tBlock;
    block->Dispatching = 1;
    const bool resume = DispatchException(record, context);
    block->Dispatching = 0;
    if (!resume) Fatal("unhandled exception", record);
    qsx_seh_restore_context(context);
}

// The frame handler of functions that use __try, with the semantics the compiler expects.
IMAGE_ENTRY int _except_handler3(ExceptionRecord *record, Eh3Registration *frame, Context *context, void *) {
    if (record->ExceptionFlags & (kUnwinding | kExitUnwind)) {
        LocalUnwind(frame, kTopLevel);
        return kContinueSearch;
    }
    ExceptionPointers pointers{record, context};
    reinterpret_cast<ExceptionPointers **>(frame)[-1] = &pointers;  // GetExceptionInformation()
    void *ebp = reinterpret_cast<char *>(frame) + 16;
    int32_t level = frame->TryLevel;
    for (unsigned guard = 0; level != kTopLevel && guard < 65536; guard++) {
        const ScopeEntry &entry = frame->ScopeTable[level];
        if (entry.Filter) {
            const int verdict = qsx_seh_call_block(entry.Filter, ebp);
            if (verdict < 0) return kContinueExecution;
            if (verdict > 0) {
                GlobalUnwind(&frame->Link);
                LocalUnwind(frame, level);
                frame->TryLevel = entry.EnclosingLevel;
                tBlock->Dispatching = 0;
                qsx_seh_jump_to_handler(entry.Handler, frame);
            }
        }
        level = entry.EnclosingLevel;
    }
    return kContinueSearch;
}

// Runs the __finally blocks of `frame` out to try level `stop`; compiled code calls it
// when control leaves guarded blocks early.
IMAGE_ENTRY void _local_unwind2(Eh3Registration *frame, int32_t stop) { LocalUnwind(frame, stop); }

}  // extern "C"

namespace standin::internal {

bool AttachImageThread() {
    if (tBlock) return true;
    auto *block = new (std::nothrow) ThreadInfoBlock{};
    int entry = -1;
    if (block) {
        block->ExceptionList = kEndOfChain;
        block->Self = block;
        FindStack(block);
        entry = AllocLdtEntry(reinterpret_cast<uintptr_t>(block), sizeof *block);
    }
    if (entry < 0) {
        delete block;
        LoadFs(0);
        return false;
    }
    block->LdtEntry = entry;
    // Where this thread's TLS descriptor points (glibc keeps the address at %gs:0), so the
    // fault path can put it back: see qsx_seh_fault_entry.
    uint16_t gs;
    asm volatile("movw %%gs, %0; movl %%gs:0, %1" : "=r"(gs), "=r"(block->TlsBase));
    block->GsSelector = gs;
    block->GsFixLock = &gGsFixLock;
    LoadFs(static_cast<uint16_t>((entry << 3) | 7));  // LDT, privilege 3
    tBlock = block;
    tOwner.armed = true;
    return true;
}

void LockTlsDescriptors() {
    while (__atomic_exchange_n(&gGsFixLock, 1u, __ATOMIC_ACQUIRE) != 0) __builtin_ia32_pause();
}

void UnlockTlsDescriptors() { __atomic_store_n(&gGsFixLock, 0u, __ATOMIC_RELEASE); }

void DetachImageThread() {
    ThreadInfoBlock *block = tBlock;
    if (!block) return;
    tBlock = nullptr;
    LoadFs(0);
    FreeLdtEntry(block->LdtEntry);
    delete block;
    tOwner.armed = false;
}

ThreadInfoBlock *ImageThreadBlock() { return tBlock; }

void RaiseAccessViolation(const void *address, bool write) {
    ThreadInfoBlock *block = tBlock;
    if (!block || block->ExceptionList == kEndOfChain || !block->ExceptionList) return;
    ExceptionRecord record{};
    record.ExceptionCode = kAccessViolation;
    record.ExceptionAddress = __builtin_return_address(0);
    record.NumberParameters = 2;
    record.ExceptionInformation[0] = write ? 1 : 0;
    record.ExceptionInformation[1] = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address));
    qsx_seh_raise(&record);
}

}  // namespace standin::internal

namespace {

// The process's first thread runs image code too (entries, DllMain), so it gets its block
// when the stand-in is loaded, before any program code runs.
__attribute__((constructor)) void StartStructuredExceptions() {
    InstallFaultHandlers();
    standin::internal::AttachImageThread();
}

}  // namespace
