// Compiler helpers images import that need no assembly: the 64-bit multiply, divide and
// remainder (both operands on the stack, the result in EDX:EAX, and the helper pops its 16
// bytes of arguments: stdcall), and the target of a pure virtual call. Division by zero
// faults as the divide instruction does, as on the device.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define HELPER extern "C" __attribute__((stdcall, force_align_arg_pointer))

HELPER int64_t _allmul(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b));
}

// The most negative value divided by -1 does not fit; like the instruction sequence the
// device's helper uses, it gives the most negative value back (and remainder 0).
HELPER int64_t _alldiv(int64_t a, int64_t b) {
    if (b == -1) return static_cast<int64_t>(0 - static_cast<uint64_t>(a));
    return a / b;
}

HELPER int64_t _allrem(int64_t a, int64_t b) {
    if (b == -1) return 0;
    return a % b;
}

HELPER uint64_t _aulldiv(uint64_t a, uint64_t b) { return a / b; }

HELPER uint64_t _aullrem(uint64_t a, uint64_t b) { return a % b; }

// A call through a pure virtual slot (an object used during its construction or after its
// destruction) is a bug in the image; stop there, saying so.
extern "C" __attribute__((force_align_arg_pointer)) int _purecall() {
    std::fputs("coredll: pure virtual function called\n", stderr);
    std::abort();
}
