// Single-word atomic operations on the records' shared 32-bit fields. Bit words change
// only by one indivisible OR or AND-NOT, so bits set by different threads never overwrite
// each other; plain flags are read and written whole.
#pragma once

#include <windows.h>

static inline DWORD AtomicRead(volatile DWORD *word) {
    return (DWORD)InterlockedCompareExchange((LONG volatile *)word, 0, 0);
}

static inline void AtomicWrite(volatile DWORD *word, DWORD value) {
    InterlockedExchange((LONG volatile *)word, (LONG)value);
}

static inline DWORD AtomicExchange(volatile DWORD *word, DWORD value) {
    return (DWORD)InterlockedExchange((LONG volatile *)word, (LONG)value);
}

// Returns the word as it was before the bits went in.
static inline DWORD AtomicSetBits(volatile DWORD *word, DWORD bits) {
    LONG old;
    do {
        old = (LONG)AtomicRead(word);
    } while (InterlockedCompareExchange((LONG volatile *)word, old | (LONG)bits, old) != old);
    return (DWORD)old;
}

static inline void AtomicClearBits(volatile DWORD *word, DWORD bits) {
    LONG old;
    do {
        old = (LONG)AtomicRead(word);
    } while (InterlockedCompareExchange((LONG volatile *)word, old & ~(LONG)bits, old) != old);
}

static inline HANDLE AtomicReadHandle(HANDLE volatile *field) {
    return (HANDLE)InterlockedCompareExchangePointer((PVOID volatile *)field, NULL, NULL);
}

static inline HANDLE AtomicExchangeHandle(HANDLE volatile *field, HANDLE value) {
    return (HANDLE)InterlockedExchangePointer((PVOID volatile *)field, value);
}
