// The C runtime's wide-character helpers that the deliverables use (on the device they
// come with the platform's C library; glibc has them only for 32-bit wchar_t).
#include <windows.h>

long _wtol(const WCHAR *str) {
    if (!str) return 0;
    while (*str == u' ' || *str == u'\t' || *str == u'\n' || *str == u'\r' || *str == u'\v' || *str == u'\f')
        str++;
    bool negative = false;
    if (*str == u'-' || *str == u'+') negative = *str++ == u'-';
    // Accumulated unsigned and cut to the platform's 32-bit long, as the device would.
    uint32_t value = 0;
    while (*str >= u'0' && *str <= u'9') value = value * 10 + static_cast<uint32_t>(*str++ - u'0');
    return static_cast<int32_t>(negative ? 0u - value : value);
}
