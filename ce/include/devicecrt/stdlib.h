/* The device build's stdlib.h: the one C library conversion the deliverables use. It is
   defined here, so the device's images import no C library beyond coredll's string calls.
   Only on the include path of `make device`. */
#pragma once

#include <stddef.h>

/* Optional blanks, a sign and decimal digits; the value wraps at 32 bits. */
static inline long _wtol(const wchar_t *str)
{
    unsigned long value = 0;
    int negative = 0;

    if (str == NULL)
        return 0;
    while (*str == L' ' || (*str >= L'\t' && *str <= L'\r'))
        str++;
    if (*str == L'-' || *str == L'+')
        negative = *str++ == L'-';
    while (*str >= L'0' && *str <= L'9')
        value = value * 10 + (unsigned long)(*str++ - L'0');
    return (long)(negative ? 0ul - value : value);
}
