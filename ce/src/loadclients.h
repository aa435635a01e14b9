// The registry layout through which the host stack finds its client drivers, shared by the
// search (usbclients.cpp, in coredll) and the registration helpers (the usbd library):
// HKLM\Drivers\USB\LoadClients\<G1>\<G2>\<G3>\<DriverId> with a "Dll" value, each group
// "Default" or decimal numbers joined by '_' (G1 vendor[_product[_release]], G2 device
// class[_subclass[_protocol]], G3 interface class[_subclass[_protocol]]); and a client's
// own key HKLM\Drivers\USB\ClientDrivers\<DriverId>.
#pragma once

#include <usbdi.h>

#include <string>

namespace standin::loadclients {

inline constexpr char16_t kLoadClients[] = u"Drivers\\USB\\LoadClients\\";
inline constexpr char16_t kClientDrivers[] = u"Drivers\\USB\\ClientDrivers\\";

// Appends n in decimal.
inline void AppendNumber(std::u16string &out, DWORD n) {
    char16_t digits[10];
    size_t first = sizeof digits / sizeof digits[0];
    do {
        digits[--first] = static_cast<char16_t>(u'0' + n % 10);
        n /= 10;
    } while (n != 0);
    out.append(digits + first, digits + sizeof digits / sizeof digits[0]);
}

// "Default" or the given numbers joined by '_', stopping at the first one that is "any".
inline std::u16string Group(DWORD a, DWORD b, DWORD c) {
    if (a == USB_NO_INFO) return u"Default";
    std::u16string g;
    AppendNumber(g, a);
    if (b == USB_NO_INFO) return g;
    g += u'_';
    AppendNumber(g, b);
    if (c == USB_NO_INFO) return g;
    g += u'_';
    AppendNumber(g, c);
    return g;
}

}  // namespace standin::loadclients
