// Structured exception handling as the stand-in provides it on Linux.
//
// On the device `__try` / `__except` are compiler keywords and a bad pointer handed to a
// system call raises an access violation that the caller may catch. Here the stand-in's
// calls check the memory they are given and raise a platform fault as the C++ exception
// standin::AccessViolation, and these macros turn `__try { } __except (filter) { }` into a
// try/catch of that exception. Hardware faults in the caller's own code are not caught
// (they stay crashes), and the filter expression is not evaluated: the handler always
// runs, as it does for the usual `__except (EXCEPTION_EXECUTE_HANDLER)`.
//
// In the device build (_WIN32_WCE) the compiler's own structured exception handling is
// used: frames registered at FS:[0] with the platform's handler, so a fault anywhere in
// the guarded block, the caller's code included, reaches the handler.
#pragma once

#include "windef.h"

#ifdef _WIN32_WCE

#define EXCEPTION_ACCESS_VIOLATION ((DWORD)0xC0000005L)
#define EXCEPTION_EXECUTE_HANDLER 1
#define EXCEPTION_CONTINUE_SEARCH 0
#define EXCEPTION_CONTINUE_EXECUTION (-1)
#define GetExceptionCode _exception_code

#else

namespace standin {

// A platform call met memory it may not read or write.
class AccessViolation {
public:
    explicit AccessViolation(const void *address) : address_(address) {}
    // The first address found unreadable.
    const void *address() const { return address_; }

private:
    const void *address_;
};

}  // namespace standin

#define EXCEPTION_ACCESS_VIOLATION ((DWORD)0xC0000005L)
#define EXCEPTION_EXECUTE_HANDLER 1
#define EXCEPTION_CONTINUE_SEARCH 0

#define __try try
#define __except(filter) catch (const standin::AccessViolation &)
// Only access violations are raised, so inside a handler the code is always this one.
#define GetExceptionCode() EXCEPTION_ACCESS_VIOLATION

#endif
