// The stand-in's own controls over its kernel, for tests, the simulator and tools:
// the time scale and the record of timed calls, the debug-console capture, built-in
// driver modules, and counters that show leaked handles and threads.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

// ---- time ----------------------------------------------------------------
// Every Sleep and every finite wait of the platform API takes virtual milliseconds;
// one virtual millisecond lasts `realMsPerVirtualMs` real milliseconds (1.0, real time,
// by default; 0.001 makes a 1000 ms pause last one real millisecond). GetTickCount
// counts virtual milliseconds, so durations measured with it match what was asked for.
void SetTimeScale(double realMsPerVirtualMs);
double TimeScale();

// One Sleep, or one wait with a finite nonzero time-out, as the caller asked for it.
struct TimedCall {
    enum Kind { kSleep, kWait } kind;
    DWORD ms;        // what was asked for
    DWORD threadId;  // GetCurrentThreadId() of the caller
    DWORD result;    // Sleep: 0; wait: WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED
};
std::vector<TimedCall> TimedCalls();
void ClearTimedCalls();

// Called on the calling thread just before SetEvent, ResetEvent, PulseEvent or
// EventModify changes an event (func: EVENT_SET, EVENT_RESET or EVENT_PULSE), so a test
// can make another thread's step happen exactly there. Null removes it.
using EventModifyHook = void (*)(HANDLE event, DWORD func, void *context);
void SetEventModifyHook(EventModifyHook hook, void *context);

// ---- debug console --------------------------------------------------------
// Every NKDbgPrintfW message, formatted, in UTF-8, in the order printed.
std::vector<std::string> ConsoleMessages();
void ClearConsole();
// Also write each message to stderr as it is printed (off by default; the environment
// variable QSX_CONSOLE=1 turns it on at start).
void EchoConsole(bool on);
// Called for every message after it is captured (the simulator's live console).
void SetConsoleListener(std::function<void(const std::string &)> listener);

// ---- text -------------------------------------------------------------------
std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);

// ---- driver libraries -------------------------------------------------------
// A module that LoadLibraryW / LoadDriver find by file name (case-insensitive, any
// folder part ignored) without a file: `lookup` maps an export name to its address.
void RegisterBuiltinModule(std::u16string_view fileName,
                           std::function<void *(std::string_view exportName)> lookup);
void UnregisterBuiltinModule(std::u16string_view fileName);
// Folders searched, in order, for a library file that is not built in; a name with a
// folder part is tried as given first. A name without an extension also tries ".so".
void SetLibrarySearchPath(std::vector<std::string> folders);

// ---- device images ------------------------------------------------------------
// A module file that starts with "MZ" is a device image (a 32-bit x86 PE file): the
// loader maps it below 4 GiB, applies its relocations, resolves its imports from
// coredll.dll and usbd.dll by the device's export lists (ce/lib/*.def) to the stand-in's
// own functions, calls a DLL's entry as DllMain on first load and last unload, and serves
// GetProcAddressW (names, case-sensitive, and ordinals) and the resource calls from the
// image. An import the stand-in lacks refuses the load with ERROR_PROC_NOT_FOUND; a
// damaged image with ERROR_BAD_EXE_FORMAT; either says why on stderr, naming the DLL and
// the function for a missing import. Only a 32-bit build runs device images; a 64-bit
// build refuses every one with ERROR_BAD_EXE_FORMAT.
//
// The folder searched before the search path for a module's file name as given
// ("QSXPDD.dll"), so that LoadDriver picks the device image over the shared library
// QSXPDD.so. Empty (the default): the environment variable QSX_DEVICE_IMAGES, if set.
void SetDeviceImageFolder(std::string folder);
// Serves the import `name` of `dll` with `address` instead of the stand-in's function of
// that name: for the functions whose C names the stand-in cannot define itself (the
// 16-bit wide-string and compiler helpers, say). Null removes it. False, and nothing
// changes, when the name is not in the device's export list for that DLL.
bool RegisterImageExport(std::string_view dll, std::string_view name, void *address);
// The address an image's import of `name` from `dll` resolves to, or null with the
// reason in `why`.
void *DeviceImportAddress(std::string_view dll, std::string_view name, std::string *why);
// Calls the entry of a program image loaded with LoadLibraryW as the device does:
// (instance, NULL, command line without the program name, show) on the calling thread,
// and returns what it returns (the device passes that to ExitThread). -1 with
// ERROR_INVALID_HANDLE when `program` is no program image.
int RunDeviceProgram(HMODULE program, LPCWSTR commandLine, int show);

// ---- programs ---------------------------------------------------------------
// Runs `main` (a program's WinMain, say) on the calling thread as one program. On the
// device a program's threads end with its process when WinMain returns; the stand-in
// cannot end a thread from outside, so this returns only once every thread the program
// started (and every thread those started) has returned, and the next run of the same
// program never meets the last one's threads. The program must end them (as QSXPORT
// does at exit); a thread it leaves running keeps this waiting.
int RunProgram(const std::function<int()> &main);

// Makes the calling thread ready to run code of the device's own images: in the 32-bit
// build it gets its thread information block (the exception list at FS:[0] that the
// images' __try frames use), released when the thread ends. The process's first thread
// and every thread CreateThread starts have one already; any other thread that calls
// into an image (a host thread delivering a callback, say) calls this first. False when
// no block could be had (the LDT is full). Does nothing, and returns true, in builds
// that never run images.
bool PrepareImageThread();

// ---- leak counters ----------------------------------------------------------
size_t OpenHandleCount();   // kernel handles not yet closed (events, threads)
size_t RunningThreadCount();  // threads started by CreateThread that have not ended
// Threads blocked in a wait on this handle right now (tests wait for a thread to block
// instead of sleeping).
size_t WaitingThreadCount(HANDLE handle);

}  // namespace standin
