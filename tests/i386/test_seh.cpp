// Structured exceptions and compiler helpers for image code, in the 32-bit build: frames
// built as the images' compiler builds them (seh_frames.S) meet real faults, and the
// dispatcher, _except_handler3 and _local_unwind2 must give the device's order of filters,
// __finally blocks and __except blocks.
#include <windows.h>

#include <excpt.h>

#include <gtest/gtest.h>
#include <kfuncs.h>
#include <standin/kernel.h>
#include <standin/registry.h>
#include <sys/mman.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <string>
#include <thread>

#include "i386/seh.h"
#include "keyvalues.h"

using namespace standin::seh;

extern "C" {
int seh_guarded_load(const int *p, int verdict);
int seh_guarded_call(void (*fn)(uintptr_t), uintptr_t arg, int verdict);
int seh_outer(const int *p, int innerVerdict);
int seh_leave_early();
void seh_fault_read(uintptr_t address);
void seh_fault_write(uintptr_t address);
void seh_fault_divide(uintptr_t divisor);
int64_t seh_call_arith(void *helper, int64_t a, int64_t b, int32_t *espDelta);
int64_t seh_call_shift(void *helper, int64_t value, int count);
uint32_t seh_chkstk_moves(uint32_t size, uint32_t *ecxAfter);
extern uint32_t seh_marks[3];

void _allmul();
void _alldiv();
void _allrem();
void _aulldiv();
void _aullrem();
void _allshl();
void _allshr();
void _aullshr();
}

namespace {

// What the frames' filters, __except and __finally blocks did, in order, per thread:
// "F<tag>" a filter ran, "C<tag>" an __except block, "U<tag>" a __finally block.
thread_local std::string tLog;
thread_local ExceptionRecord tLast;
thread_local Registration *tChainAtFilter;
int gGood = 42;

constexpr int kCaught = -7;
// What a filter returns.
constexpr int kExecuteHandler = 1;
constexpr int kContinueSearchVerdict = 0;
constexpr int kContinueExecutionVerdict = -1;

Registration *ChainHead() {
    Registration *head;
    asm volatile("movl %%fs:0, %0" : "=r"(head));
    return head;
}
ThreadInfoBlock *BlockThroughFs() {
    ThreadInfoBlock *self;
    asm volatile("movl %%fs:0x18, %0" : "=r"(self));
    return self;
}

// A page that may be read but not written, and an address in a page that may not even
// be read.
struct Pages {
    char *readOnly;
    uintptr_t unmapped;
    Pages() {
        void *two = mmap(nullptr, 8192, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        readOnly = static_cast<char *>(two);
        mprotect(readOnly + 4096, 4096, PROT_NONE);
        unmapped = reinterpret_cast<uintptr_t>(readOnly) + 4096 + 16;
    }
    ~Pages() { munmap(readOnly, 8192); }
};

// The key SetBadValue writes to.
HKEY gProbeKey;

}  // namespace

extern "C" {

int seh_test_filter(int tag, int verdict, ExceptionPointers *pointers) {
    tLog += 'F';
    tLog += static_cast<char>(tag);
    tLast = *pointers->Record;
    tChainAtFilter = ChainHead();
    if (verdict < 0) pointers->ContextRecord->Ecx = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&gGood));
    return verdict;
}

int seh_test_caught(int tag) {
    tLog += 'C';
    tLog += static_cast<char>(tag);
    return kCaught;
}

void seh_test_finally(int tag) {
    tLog += 'U';
    tLog += static_cast<char>(tag);
}

}  // extern "C"

class Seh : public ::testing::Test {
protected:
    void SetUp() override {
        tLog.clear();
        tLast = {};
        ASSERT_EQ(ChainHead(), kEndOfChain);
        RegDeleteKeyW(HKEY_CURRENT_USER, TEXT("Software\\SehProbe"));
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, TEXT("Software\\SehProbe"), 0, nullptr, 0, 0, nullptr,
                                  &gProbeKey, nullptr),
                  ERROR_SUCCESS);
    }
    // Every guarded function leaves the list as it found it, whichever way it ended.
    void TearDown() override {
        EXPECT_EQ(ChainHead(), kEndOfChain);
        RegCloseKey(gProbeKey);
    }
};

TEST_F(Seh, MainThreadHasItsBlockThroughFs) {
    ThreadInfoBlock *block = standin::internal::ImageThreadBlock();
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(BlockThroughFs(), block);
    EXPECT_EQ(block->Self, block);
    int local = 0;
    EXPECT_LT(static_cast<void *>(&local), block->StackBase);
    EXPECT_GE(static_cast<void *>(&local), block->StackLimit);
}

TEST_F(Seh, InnermostExceptCatchesAFault) {
    EXPECT_EQ(seh_guarded_load(nullptr, kExecuteHandler), kCaught);
    EXPECT_EQ(tLog, "FlCl");
    EXPECT_EQ(tLast.ExceptionCode, kAccessViolation);
    EXPECT_EQ(tLast.NumberParameters, 2u);
    EXPECT_EQ(tLast.ExceptionInformation[0], 0u);  // read
    EXPECT_EQ(tLast.ExceptionInformation[1], 0u);
    EXPECT_EQ(tLast.ExceptionFlags, 0u);
    // While the filter ran, the frame was still registered (under the dispatcher's own).
    EXPECT_NE(tChainAtFilter, kEndOfChain);

    // The frame works again after an exception left it.
    EXPECT_EQ(seh_guarded_load(&gGood, kExecuteHandler), 42);
    EXPECT_EQ(tLog, "FlCl");
}

TEST_F(Seh, ContinueSearchReachesTheOuterFrameAndRunsTheInnerFinallyOnTheWay) {
    EXPECT_EQ(seh_outer(nullptr, kContinueSearchVerdict), kCaught);
    // Both filters run before any __finally: the search pass ends before the unwind.
    EXPECT_EQ(tLog, "FiFoUiCo");
}

TEST_F(Seh, InnerExceptRunsTheFinallyNestedInsideItFirst) {
    EXPECT_EQ(seh_outer(nullptr, kExecuteHandler), kCaught);
    EXPECT_EQ(tLog, "FiUiCi");
}

TEST_F(Seh, NoFaultRunsTheFinallyOnceAndNoFilter) {
    EXPECT_EQ(seh_outer(&gGood, kExecuteHandler), 42);
    EXPECT_EQ(tLog, "Ui");
}

TEST_F(Seh, ContinueExecutionResumesWithTheContextTheFilterFixed) {
    EXPECT_EQ(seh_guarded_load(nullptr, kContinueExecutionVerdict), 42);
    EXPECT_EQ(tLog, "Fl");
    // The registers the fault interrupted come back as they were.
    EXPECT_EQ(seh_marks[0], 0x11111111u);
    EXPECT_EQ(seh_marks[1], 0x22222222u);
    EXPECT_EQ(seh_marks[2], 0x33333333u);
}

TEST_F(Seh, LocalUnwindRunsTheFinallyOfAnEarlyExit) {
    EXPECT_EQ(seh_leave_early(), kTopLevel);
    EXPECT_EQ(tLog, "Ue");
}

void SetBadValue(uintptr_t data) {
    RegSetValueExW(gProbeKey, TEXT("Blob"), 0, REG_BINARY, reinterpret_cast<const BYTE *>(data), 8);
    ADD_FAILURE() << "the write returned";
}

struct FaultCase {
    const char *name;
    void (*fn)(uintptr_t);
    bool readOnlyPage;  // the argument is the read-only page, else the unreadable address
    uint32_t code;
    uint32_t parameters;
    uint32_t write;
    bool inFn;  // the fault's address is an instruction of fn itself
};

bool Within(const void *address, void (*fn)(uintptr_t)) {
    const auto at = reinterpret_cast<uintptr_t>(address), start = reinterpret_cast<uintptr_t>(fn);
    return at >= start && at < start + 16;
}

TEST_F(Seh, FaultsBecomeTheirExceptionRecords) {
    Pages pages;
    const FaultCase cases[] = {
        {"read of an unreadable page", seh_fault_read, false, kAccessViolation, 2, 0, true},
        {"write to a read-only page", seh_fault_write, true, kAccessViolation, 2, 1, true},
        {"platform call given unreadable data", SetBadValue, false, kAccessViolation, 2, 0, false},
        {"jump into a page without execute rights", reinterpret_cast<void (*)(uintptr_t)>(pages.readOnly), true,
         kAccessViolation, 2, 8, true},
    };
    for (const FaultCase &c : cases) {
        SCOPED_TRACE(c.name);
        tLog.clear();
        const uintptr_t address = c.readOnlyPage ? reinterpret_cast<uintptr_t>(pages.readOnly) : pages.unmapped;
        EXPECT_EQ(seh_guarded_call(c.fn, address, kExecuteHandler), kCaught);
        EXPECT_EQ(tLog, "FcCc");
        EXPECT_EQ(tLast.ExceptionCode, c.code);
        EXPECT_EQ(tLast.NumberParameters, c.parameters);
        EXPECT_EQ(tLast.ExceptionInformation[0], c.write);
        EXPECT_EQ(tLast.ExceptionInformation[1], address);
        if (c.inFn) {
            EXPECT_TRUE(Within(tLast.ExceptionAddress, c.fn));
        }
    }

    tLog.clear();
    EXPECT_EQ(seh_guarded_call(seh_fault_divide, 0, kExecuteHandler), kCaught);
    EXPECT_EQ(tLast.ExceptionCode, kIntegerDivideByZero);
    EXPECT_EQ(tLast.NumberParameters, 0u);
    EXPECT_TRUE(Within(tLast.ExceptionAddress, seh_fault_divide));
}

TEST_F(Seh, RegistryWriteWithBadDataLeavesTheRegistryUsable) {
    Pages pages;
    EXPECT_EQ(seh_guarded_call(SetBadValue, pages.unmapped, kExecuteHandler), kCaught);
    // Nothing written, and the registry's lock is free: a good write and a read work.
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExW(gProbeKey, TEXT("Blob"), nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    const BYTE good[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(RegSetValueExW(gProbeKey, TEXT("Blob"), 0, REG_BINARY, good, sizeof good), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(gProbeKey, TEXT("Blob"), nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, sizeof good);
}

TEST_F(Seh, PlatformCallOutsideAnyFrameStillThrows) {
    Pages pages;
    EXPECT_THROW(
        RegSetValueExW(gProbeKey, TEXT("Blob"), 0, REG_BINARY, reinterpret_cast<const BYTE *>(pages.unmapped), 8),
        standin::AccessViolation);
}

// Two threads alive at once fault over and over inside their own frames; a block shared
// between threads, or a fault dispatched on the wrong thread's list or with the wrong
// thread's TLS, breaks the counts or the logs.
struct FaultingThreadArgs {
    ThreadInfoBlock *block = nullptr;
    HANDLE ready = nullptr;  // set once block is filled in
    HANDLE go = nullptr;     // both threads have started
};

DWORD WINAPI FaultingThread(LPVOID arg) {
    auto *args = static_cast<FaultingThreadArgs *>(arg);
    args->block = BlockThroughFs();
    if (!args->block || args->block != standin::internal::ImageThreadBlock() || ChainHead() != kEndOfChain)
        return 100;
    SetEvent(args->ready);
    if (WaitForSingleObject(args->go, 60000) != DWORD{WAIT_OBJECT_0}) return 101;
    DWORD caught = 0;
    for (int i = 0; i < 50; i++) {
        tLog.clear();
        if (seh_guarded_load(nullptr, kExecuteHandler) == kCaught && tLog == "FlCl") caught++;
    }
    return ChainHead() == kEndOfChain ? caught : 200;
}

TEST_F(Seh, FaultsInCreateThreadThreadsAreCaughtOnThoseThreads) {
    FaultingThreadArgs args[2];
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE threads[2];
    for (int i = 0; i < 2; i++) {
        args[i].ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        args[i].go = go;
        threads[i] = CreateThread(nullptr, 0, FaultingThread, &args[i], 0, nullptr);
        ASSERT_NE(threads[i], nullptr);
    }
    for (auto &a : args) ASSERT_EQ(WaitForSingleObject(a.ready, 60000), DWORD{WAIT_OBJECT_0});
    EXPECT_NE(args[0].block, args[1].block);
    EXPECT_NE(args[0].block, BlockThroughFs());
    EXPECT_NE(args[1].block, BlockThroughFs());
    SetEvent(go);
    for (HANDLE thread : threads) {
        ASSERT_EQ(WaitForSingleObject(thread, 60000), DWORD{WAIT_OBJECT_0});
        DWORD code = 0;
        ASSERT_TRUE(GetExitCodeThread(thread, &code));
        EXPECT_EQ(code, 50u);
        CloseHandle(thread);
    }
    for (auto &a : args) CloseHandle(a.ready);
    CloseHandle(go);
    // The main thread, whose signals now return with another thread's descriptor last
    // set, still has its own block and TLS after a fault.
    EXPECT_EQ(seh_guarded_load(nullptr, kExecuteHandler), kCaught);
    EXPECT_EQ(tLog, "FlCl");
}

// Under qemu-user a new thread's TLS descriptor goes into the one table all threads share,
// the same slot a thread returning from a fault reloads GS from: a thread created between a
// faulting thread's setting its descriptor again and its reload would leave that thread
// with the new thread's TLS. Threads faulting over and over while others are being created
// must each keep their own.
struct CreationRaceArgs {
    std::atomic<bool> *stop;
    DWORD wrongTls = 0;
    DWORD faults = 0;
};
thread_local const void *tOwner;

DWORD WINAPI FaultWhileThreadsStart(LPVOID arg) {
    auto *args = static_cast<CreationRaceArgs *>(arg);
    tOwner = args;
    while (!args->stop->load() || args->faults < 200) {
        tLog.clear();
        if (seh_guarded_load(nullptr, kExecuteHandler) != kCaught) return 100;
        args->faults++;
        if (tOwner != args || tLog != "FlCl") args->wrongTls++;
        if (args->faults >= 20000) break;
    }
    return ChainHead() == kEndOfChain ? 0 : 200;
}

TEST_F(Seh, FaultsWhileThreadsAreCreatedKeepTheirOwnTls) {
    std::atomic<bool> stop{false};
    CreationRaceArgs args[2];
    HANDLE threads[2];
    for (int i = 0; i < 2; i++) {
        args[i].stop = &stop;
        threads[i] = CreateThread(nullptr, 0, FaultWhileThreadsStart, &args[i], 0, nullptr);
        ASSERT_NE(threads[i], nullptr);
    }
    // Each created thread checks its own TLS too.
    std::atomic<int> wrongInNew{0};
    static int owners[300];
    for (int &owner : owners) {
        std::thread([&wrongInNew, &owner] {
            tOwner = &owner;
            std::this_thread::yield();
            if (tOwner != &owner) wrongInNew++;
        }).join();
    }
    stop = true;
    for (int i = 0; i < 2; i++) {
        ASSERT_EQ(WaitForSingleObject(threads[i], 120000), DWORD{WAIT_OBJECT_0});
        DWORD code = 1;
        ASSERT_TRUE(GetExitCodeThread(threads[i], &code));
        EXPECT_EQ(code, 0u);
        CloseHandle(threads[i]);
        EXPECT_EQ(args[i].wrongTls, 0u) << "of " << args[i].faults << " faults";
        EXPECT_GE(args[i].faults, 200u);
    }
    EXPECT_EQ(wrongInNew.load(), 0);
}

// A thread the stand-in did not start (a host thread delivering a callback, a COM driver's
// own thread) has a block of its own from its start, never its creator's, which a new
// Linux thread's inherited FS would point at; its faults are caught on it, and asking
// again keeps the same block.
TEST_F(Seh, OtherThreadsHaveTheirOwnBlockFromTheStart) {
    ThreadInfoBlock *before = nullptr, *after = nullptr, *throughFs = nullptr;
    int result = 0;
    std::string log;
    std::thread([&] {
        before = standin::internal::ImageThreadBlock();
        throughFs = BlockThroughFs();
        if (!standin::PrepareImageThread()) return;
        after = standin::internal::ImageThreadBlock();
        result = seh_guarded_load(nullptr, kExecuteHandler);
        log = tLog;
    }).join();
    ASSERT_NE(before, nullptr);
    EXPECT_EQ(throughFs, before);
    EXPECT_NE(before, BlockThroughFs());
    EXPECT_EQ(after, before);
    EXPECT_EQ(result, kCaught);
    EXPECT_EQ(log, "FlCl");
}

// A fault nothing takes ends the process with the signal, as it did without the stand-in's
// handler; the fault is never swallowed or left hanging.
TEST(SehDeathTest, UnhandledFaultsStillKillTheProcess) {
    GTEST_FLAG_SET(death_test_style, "fast");  // re-running this 32-bit program needs the emulator
    EXPECT_EXIT(seh_fault_read(16), ::testing::KilledBySignal(SIGSEGV), "");
    EXPECT_EXIT(seh_guarded_load(nullptr, kContinueSearchVerdict), ::testing::KilledBySignal(SIGSEGV),
                "unhandled exception 0xc0000005 at .*: read of address 0x00000000");
    EXPECT_EXIT(seh_guarded_call(seh_fault_divide, 0, kContinueSearchVerdict), ::testing::KilledBySignal(SIGFPE),
                "unhandled exception 0xc0000094");
}

#if QSX_MSVC_FRAMES
// ---- frames made by the images' compiler ---------------------------------------------

namespace {
std::string gMsvcLog;
}

extern "C" {
// The compiler's COFF names carry a leading underscore.
int MsvcOuter(const int *p, int verdict) __asm__("_msvc_outer");
void MsvcNote(int what) __asm__("_msvc_note");
int MsvcLoad(const int *p) __asm__("_msvc_load");

void MsvcNote(int what) { gMsvcLog += std::to_string(what) + " "; }
__attribute__((noinline)) int MsvcLoad(const int *p) { return *static_cast<const volatile int *>(p); }

// The driver's registry table code as the device's compiler built it. Its imports are the
// stand-in's Reg* functions; lstrlenW is the device's 16-bit wcslen.
BOOL DeviceGetSetKeyValues(LPCWSTR path, PKEYVALUE table, DWORD write, DWORD rewrite) __asm__(
    "device_GetSetKeyValues");
size_t DeviceWcslen(const WCHAR *text) __asm__("_wcslen");

size_t DeviceWcslen(const WCHAR *text) {
    size_t n = 0;
    while (text[n]) n++;
    return n;
}
}

// 100/101: the __finally ran normally / on an unwind; 200: the inner filter; 301: the
// outer filter saw an access violation; 400: the outer __except block.
TEST(MsvcFrames, CompilerBuiltFramesFollowTheDeviceOrder) {
    struct Case {
        const char *name;
        const int *p;
        int innerVerdict;
        int result;
        const char *log;
    } const cases[] = {
        {"no fault", &gGood, 1, 42, "100 "},
        {"inner __except", nullptr, 1, -5, "200 101 "},
        {"inner filter searches on", nullptr, 0, -9, "200 301 101 400 "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        gMsvcLog.clear();
        EXPECT_EQ(MsvcOuter(c.p, c.innerVerdict), c.result);
        EXPECT_EQ(gMsvcLog, c.log);
        EXPECT_EQ(ChainHead(), kEndOfChain);
    }
}

// The driver writes a table of values under one __try: a value whose data pointer is bad
// costs that call (FALSE), not the thread, whether the platform's write meets the pointer
// or the driver's own size count does; what came before it is stored, the key is closed.
TEST_F(Seh, DriversGuardedRegistryWriteCatchesABadDataPointer) {
    Pages pages;
    const auto *bad = reinterpret_cast<const void *>(pages.unmapped);
    struct Case {
        const char *name;
        DWORD badType;
        const void *badData;
        BOOL result;
    } const cases[] = {
        {"all good", REG_DWORD, &gGood, TRUE},
        {"bad pointer met by the platform's write", REG_DWORD, bad, FALSE},
        {"bad pointer met by the driver's string length", REG_SZ, bad, FALSE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, TEXT("Drivers\\SehProbe"));
        const size_t keysBefore = standin::OpenRegistryKeyCount();
        DWORD first = 7;
        KeyValue table[] = {
            {TEXT("First"), REG_DWORD, 0, &first},
            {TEXT("Second"), c.badType, 0, const_cast<void *>(c.badData)},
            {nullptr, 0, 0, nullptr},
        };
        EXPECT_EQ(DeviceGetSetKeyValues(TEXT("Drivers\\SehProbe"), table, 1, 1), c.result);
        EXPECT_EQ(ChainHead(), kEndOfChain);
        EXPECT_EQ(standin::OpenRegistryKeyCount(), keysBefore);

        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("Drivers\\SehProbe"), 0, 0, &key), ERROR_SUCCESS);
        DWORD value = 0, size = sizeof value, type = 0;
        EXPECT_EQ(RegQueryValueExW(key, TEXT("First"), nullptr, &type, reinterpret_cast<BYTE *>(&value), &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(value, 7u);
        size = 0;
        EXPECT_EQ(RegQueryValueExW(key, TEXT("Second"), nullptr, &type, nullptr, &size),
                  c.result ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
        RegCloseKey(key);
    }
}
#endif

// ---- compiler helpers ----------------------------------------------------------------

TEST(CompilerHelpers, ArithmeticMatchesAndPopsItsArguments) {
    struct Case {
        void (*helper)();
        int64_t a, b, expected;
    };
    const int64_t big = 0x123456789abcdefLL;
    const Case cases[] = {
        {_allmul, big, -3, static_cast<int64_t>(static_cast<uint64_t>(big) * static_cast<uint64_t>(-3))},
        {_allmul, 0x100000001LL, 0x100000001LL, 0x200000001LL},  // high words multiplied drop out
        {_alldiv, -big, 7, -big / 7},
        {_alldiv, INT64_MIN, -1, INT64_MIN},
        {_allrem, -big, 7, -big % 7},
        {_allrem, INT64_MIN, -1, 0},
        {_aulldiv, -1, 3, static_cast<int64_t>(UINT64_MAX / 3)},
        {_aulldiv, -1, 0x100000000LL, 0xffffffffLL},
        {_aullrem, -1, 0x100000007LL, static_cast<int64_t>(UINT64_MAX % 0x100000007ULL)},
    };
    for (const Case &c : cases) {
        int32_t delta = -1;
        EXPECT_EQ(seh_call_arith(reinterpret_cast<void *>(c.helper), c.a, c.b, &delta), c.expected)
            << c.a << ", " << c.b;
        EXPECT_EQ(delta, 0) << "the helper must pop its 16 bytes";
    }
}

TEST(CompilerHelpers, ShiftsCoverEveryCountRange) {
    struct Case {
        void (*helper)();
        int64_t value;
        int count;
        int64_t expected;
    };
    const int64_t v = static_cast<int64_t>(0xF123456789ABCDEFULL);
    const Case cases[] = {
        {_allshl, v, 0, v},
        {_allshl, v, 4, static_cast<int64_t>(static_cast<uint64_t>(v) << 4)},
        {_allshl, v, 36, static_cast<int64_t>(static_cast<uint64_t>(v) << 36)},
        {_allshl, v, 64, 0},
        {_allshr, v, 4, v >> 4},
        {_allshr, v, 40, v >> 40},
        {_allshr, v, 64, -1},
        {_allshr, 0x7000000000000000LL, 70, 0},
        {_aullshr, v, 4, static_cast<int64_t>(static_cast<uint64_t>(v) >> 4)},
        {_aullshr, v, 33, static_cast<int64_t>(static_cast<uint64_t>(v) >> 33)},
        {_aullshr, v, 64, 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(seh_call_shift(reinterpret_cast<void *>(c.helper), c.value, c.count), c.expected) << c.count;
}

TEST(CompilerHelpers, ChkstkMovesEspByTheSizeAndKeepsEcx) {
    for (uint32_t size : {0u, 4u, 100u, 4096u, 4100u, 3 * 4096u + 12, 256 * 1024u}) {
        uint32_t ecx = 0;
        EXPECT_EQ(seh_chkstk_moves(size, &ecx), size);
        EXPECT_EQ(ecx, 0x5a5a5a5au) << size;
    }
}
