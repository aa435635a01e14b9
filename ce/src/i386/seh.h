// Structured exceptions for code in the device's own images (32-bit x86 builds only): the
// records the images' compiler and handlers share with the platform, laid out as on x86,
// and the stand-in's side of them.
//
// Every thread that may run image code has a thread information block reached through FS
// (its exception list at FS:[0], itself at FS:[0x18]). A hardware fault on such a thread
// while the list holds frames is turned into an exception record and a context, and the
// frames' handlers are called in the desktop x86 order: the search pass from the newest
// frame, the unwind pass when a frame takes the exception, continue-execution resuming at
// the context the handler may have changed. A fault no frame takes ends the process with
// the signal, as it would without this code.
#pragma once

#include <cstddef>
#include <cstdint>

namespace standin::seh {

inline constexpr uint32_t kAccessViolation = 0xC0000005;
inline constexpr uint32_t kIntegerDivideByZero = 0xC0000094;
inline constexpr uint32_t kIntegerOverflow = 0xC0000095;
inline constexpr uint32_t kNoncontinuableException = 0xC0000025;
inline constexpr uint32_t kInvalidDisposition = 0xC0000026;
inline constexpr uint32_t kUnwind = 0xC0000027;

// ExceptionFlags
inline constexpr uint32_t kNoncontinuable = 0x01;
inline constexpr uint32_t kUnwinding = 0x02;
inline constexpr uint32_t kExitUnwind = 0x04;
inline constexpr uint32_t kStackInvalid = 0x08;
inline constexpr uint32_t kNestedCall = 0x10;
inline constexpr uint32_t kTargetUnwind = 0x20;
inline constexpr uint32_t kCollidedUnwind = 0x40;

// Dispositions a frame handler returns.
enum Disposition : int {
    kContinueExecution = 0,
    kContinueSearch = 1,
    kNestedException = 2,
    kCollidedUnwindDisposition = 3,
};

// EXCEPTION_RECORD
struct ExceptionRecord {
    uint32_t ExceptionCode;
    uint32_t ExceptionFlags;
    ExceptionRecord *ExceptionRecordChain;
    void *ExceptionAddress;
    uint32_t NumberParameters;
    uint32_t ExceptionInformation[15];
};
static_assert(sizeof(ExceptionRecord) == 0x50);

// CONTEXT of the i386: integer, control and segment registers, the x87 state in the
// FNSAVE layout, and room for the FXSAVE area.
inline constexpr uint32_t kContextI386 = 0x00010000;
inline constexpr uint32_t kContextControl = kContextI386 | 0x01;
inline constexpr uint32_t kContextInteger = kContextI386 | 0x02;
inline constexpr uint32_t kContextSegments = kContextI386 | 0x04;
inline constexpr uint32_t kContextFloatingPoint = kContextI386 | 0x08;

struct FloatingSaveArea {
    uint32_t ControlWord;
    uint32_t StatusWord;
    uint32_t TagWord;
    uint32_t ErrorOffset;
    uint32_t ErrorSelector;
    uint32_t DataOffset;
    uint32_t DataSelector;
    uint8_t RegisterArea[80];
    uint32_t Cr0NpxState;
};
static_assert(sizeof(FloatingSaveArea) == 112);

struct Context {
    uint32_t ContextFlags;
    uint32_t Dr0, Dr1, Dr2, Dr3, Dr6, Dr7;
    FloatingSaveArea FloatSave;
    uint32_t SegGs, SegFs, SegEs, SegDs;
    uint32_t Edi, Esi, Ebx, Edx, Ecx, Eax;
    uint32_t Ebp, Eip, SegCs, EFlags, Esp, SegSs;
    uint8_t ExtendedRegisters[512];
};
// The assembly side (helpers.S) uses these offsets.
static_assert(offsetof(Context, FloatSave) == 0x1C);
static_assert(offsetof(Context, SegGs) == 0x8C);
static_assert(offsetof(Context, Edi) == 0x9C);
static_assert(offsetof(Context, Eax) == 0xB0);
static_assert(offsetof(Context, Ebp) == 0xB4);
static_assert(offsetof(Context, Eip) == 0xB8);
static_assert(offsetof(Context, EFlags) == 0xC0);
static_assert(offsetof(Context, Esp) == 0xC4);
static_assert(sizeof(Context) == 0x2CC);

// EXCEPTION_POINTERS, what GetExceptionInformation() gives a filter.
struct ExceptionPointers {
    ExceptionRecord *Record;
    Context *ContextRecord;
};

struct Registration;
using FrameHandler = int (*)(ExceptionRecord *, Registration *, Context *, void *dispatcherContext);

// EXCEPTION_REGISTRATION_RECORD: one entry of the FS:[0] list, newest first, each on the
// stack of the frame that registered it. The list ends with kEndOfChain.
struct Registration {
    Registration *Next;
    FrameHandler Handler;
};
inline Registration *const kEndOfChain = reinterpret_cast<Registration *>(~uintptr_t{0});

// The frame a function using the compiler's __try registers, as _except_handler3 reads
// it: the registration, its scope table and current try level, then the function's saved
// EBP; so the function's EBP is the registration's address + 16. Just below the
// registration lie the exception-pointers slot (EBP-20) and the saved ESP (EBP-24).
struct ScopeEntry {
    int32_t EnclosingLevel;  // try level of the enclosing __try, -1 for none
    void *Filter;            // filter code; null for a __finally
    void *Handler;           // the __except block, or the __finally block
};
struct Eh3Registration {
    Registration Link;
    const ScopeEntry *ScopeTable;
    int32_t TryLevel;
};
inline constexpr int32_t kTopLevel = -1;

// NT_TIB, and after it the stand-in's own per-thread state (never read by images).
struct ThreadInfoBlock {
    Registration *ExceptionList;  // FS:[0]
    void *StackBase;              // top of the stack (one past)
    void *StackLimit;             // lowest address of the stack
    void *SubSystemTib;
    void *FiberData;
    void *ArbitraryUserPointer;
    ThreadInfoBlock *Self;  // FS:[0x18]
    uint32_t Reserved[9];
    uint32_t ResumeEip;      // FS:[0x40]: where a restored context continues (helpers.S)
    uint32_t PassNextFault;  // the next fault goes to the signal's previous handler
    uint32_t Dispatching;    // the dispatcher's own code is running (not a handler)
    int32_t LdtEntry;
    uint32_t TlsBase;     // FS:[0x50]: base of the thread's GS (glibc's TLS) descriptor
    uint32_t GsSelector;  // FS:[0x54]
    // FS:[0x58]: the process's one lock around putting a thread's TLS descriptor back after
    // a fault (helpers.S); reached through the block since no TLS is usable there yet.
    volatile uint32_t *GsFixLock;
};
static_assert(offsetof(ThreadInfoBlock, Self) == 0x18);
static_assert(offsetof(ThreadInfoBlock, ResumeEip) == 0x40);
static_assert(offsetof(ThreadInfoBlock, TlsBase) == 0x50);
static_assert(offsetof(ThreadInfoBlock, GsSelector) == 0x54);
static_assert(offsetof(ThreadInfoBlock, GsFixLock) == 0x58);

}  // namespace standin::seh

namespace standin::internal {

// Gives the calling thread its thread information block and loads FS with it; true when
// the thread has one (a second call does nothing). A thread without one has FS = 0, so
// image code touching FS faults instead of using another thread's block.
bool AttachImageThread();
// Releases the calling thread's block (the thread is ending); FS becomes 0.
void DetachImageThread();
// The calling thread's block, or null.
seh::ThreadInfoBlock *ImageThreadBlock();

// Held around creating a thread: under qemu-user the new thread's TLS descriptor is written
// to the one table all threads share, the slot a thread returning from a fault sets again
// and reloads GS from under the same lock (qsx_seh_fault_entry). A spin on a word, as the
// fault path cannot wait any other way.
void LockTlsDescriptors();
void UnlockTlsDescriptors();

// For a platform call that met a bad pointer from its caller: when the calling thread has
// frames on its exception list (image code is on the stack), raises an access violation
// there as the device does, and a frame's __except block takes over (this does not
// return). Returns when no frame is registered, so the caller reports the fault its own
// way, or when a filter chose to continue execution.
void RaiseAccessViolation(const void *address, bool write);

}  // namespace standin::internal
