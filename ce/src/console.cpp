// The platform's wide formatter (wsprintfW, wvsprintfW), the debug console (NKDbgPrintfW)
// with its capture for tests and the simulator, and the UTF-16 / UTF-8 conversions the
// stand-in uses to show wide text on Linux.
#include <windows.h>

#include <dbgapi.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

#include "standin/kernel.h"
#include "standin/utf8.h"

namespace {

// The platform's wsprintf never writes more than this, terminator included.
constexpr int kMaxOutput = 1024;
// Messages kept by the capture; older ones are dropped so a long run cannot grow it
// without bound.
constexpr size_t kMaxMessages = 100000;

// Appends to a fixed output buffer, stopping silently at the cap.
struct Sink {
    WCHAR *out;
    int len = 0;

    bool Full() const { return len >= kMaxOutput - 1; }
    void Put(WCHAR c) {
        if (!Full()) out[len++] = c;
    }
    void Repeat(WCHAR c, int n) {
        for (; n > 0 && !Full(); --n) out[len++] = c;
    }
};

struct Conv {
    bool left = false;
    bool zero = false;
    bool alt = false;
    int width = 0;
    int precision = -1;  // -1: none given
};

// Widths and precisions past the output cap cannot change what is written; capping them
// keeps the arithmetic safe for absurd formats.
int ReadNumber(LPCWSTR &p) {
    int n = 0;
    while (*p >= u'0' && *p <= u'9') {
        if (n < kMaxOutput) n = n * 10 + (*p - u'0');
        ++p;
    }
    return n < kMaxOutput ? n : kMaxOutput;
}

// Writes `body` (already in digits, `n` characters) with an optional sign or prefix,
// honouring width, zero padding, left alignment and the minimum digit count.
void PutNumber(Sink &s, const Conv &conv, const char *prefix, const WCHAR *digits, int n) {
    int prefixLen = 0;
    while (prefix[prefixLen]) ++prefixLen;
    int minDigits = conv.precision >= 0 ? conv.precision : 1;
    if (conv.precision == 0 && n == 1 && digits[0] == u'0') n = 0;  // "%.0d" of 0 is empty
    int zeros = minDigits > n ? minDigits - n : 0;
    int total = prefixLen + zeros + n;
    // As in C, a precision overrides the '0' flag, and '-' overrides both.
    bool padZero = conv.zero && !conv.left && conv.precision < 0;
    if (padZero && conv.width > total) {
        zeros += conv.width - total;
        total = conv.width;
    }
    int pad = conv.width > total ? conv.width - total : 0;
    if (!conv.left) s.Repeat(u' ', pad);
    for (int i = 0; i < prefixLen; ++i) s.Put(static_cast<WCHAR>(prefix[i]));
    s.Repeat(u'0', zeros);
    for (int i = 0; i < n; ++i) s.Put(digits[i]);
    if (conv.left) s.Repeat(u' ', pad);
}

void PutInteger(Sink &s, const Conv &conv, uint32_t magnitude, bool negative, unsigned base,
                bool upper) {
    static const char kLower[] = "0123456789abcdef";
    static const char kUpper[] = "0123456789ABCDEF";
    const char *digitSet = upper ? kUpper : kLower;
    WCHAR buf[16];
    int n = 0;
    do {
        buf[n++] = static_cast<WCHAR>(digitSet[magnitude % base]);
        magnitude /= base;
    } while (magnitude != 0);
    WCHAR digits[16];
    for (int i = 0; i < n; ++i) digits[i] = buf[n - 1 - i];
    const char *prefix = "";
    if (negative)
        prefix = "-";
    else if (conv.alt && base == 16 && !(n == 1 && digits[0] == u'0'))
        prefix = upper ? "0X" : "0x";
    PutNumber(s, conv, prefix, digits, n);
}

// Strings are counted first so that right alignment knows its padding.
template <typename Char>
void PutString(Sink &s, const Conv &conv, const Char *str) {
    static const char kNull[] = "(null)";
    int n = 0;
    if (str == nullptr) {
        n = static_cast<int>(sizeof(kNull) - 1);
        if (conv.precision >= 0 && conv.precision < n) n = conv.precision;
    } else {
        while ((conv.precision < 0 || n < conv.precision) && n < kMaxOutput && str[n] != 0) ++n;
    }
    int pad = conv.width > n ? conv.width - n : 0;
    if (!conv.left) s.Repeat(u' ', pad);
    for (int i = 0; i < n; ++i) {
        if (str == nullptr)
            s.Put(static_cast<WCHAR>(kNull[i]));
        else if constexpr (sizeof(Char) == 1)
            s.Put(static_cast<WCHAR>(static_cast<unsigned char>(str[i])));
        else
            s.Put(static_cast<WCHAR>(str[i]));
    }
    if (conv.left) s.Repeat(u' ', pad);
}

void PutChar(Sink &s, const Conv &conv, WCHAR c) {
    // A NUL would end the string early while still being counted; leave it out.
    int n = c != 0 ? 1 : 0;
    int pad = conv.width > n ? conv.width - n : 0;
    if (!conv.left) s.Repeat(u' ', pad);
    if (n) s.Put(c);
    if (conv.left) s.Repeat(u' ', pad);
}

// ---- console capture ----------------------------------------------------------

struct Console {
    // Serialises whole prints, so the listener and the echo see messages in capture
    // order, and a listener is never called again once SetConsoleListener has replaced it.
    // Recursive so a listener may print or change the listener itself.
    std::recursive_mutex printMutex;
    std::function<void(const std::string &)> listener;  // guarded by printMutex
    bool echo;                                         // guarded by printMutex

    std::mutex captureMutex;
    std::deque<std::string> messages;  // guarded by captureMutex

    Console() {
        const char *env = std::getenv("QSX_CONSOLE");
        echo = env != nullptr && std::string(env) == "1";
    }
};

// Never destroyed: threads still printing while the process exits must find it intact.
Console &TheConsole() {
    static Console *console = new Console;
    return *console;
}

// Reads the environment variable at load time, not at the first message.
[[maybe_unused]] const bool kConsoleReady = (TheConsole(), true);

}  // namespace

extern "C" int WINAPI wvsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, va_list ap) {
    if (lpOut == nullptr) return 0;
    Sink s{lpOut};
    const WCHAR *p = lpFmt != nullptr ? lpFmt : u"";
    while (*p != 0 && !s.Full()) {
        if (*p != u'%') {
            s.Put(*p++);
            continue;
        }
        ++p;
        Conv conv;
        for (;; ++p) {
            if (*p == u'-')
                conv.left = true;
            else if (*p == u'0')
                conv.zero = true;
            else if (*p == u'#')
                conv.alt = true;
            else
                break;
        }
        conv.width = ReadNumber(p);
        if (*p == u'.') {
            ++p;
            conv.precision = ReadNumber(p);
        }
        char size = 0;
        if (*p == u'l' || *p == u'h') size = static_cast<char>(*p++);

        // The device's long is 32 bits, so 'l' reads an int; 'h' reads an int (promoted)
        // and keeps its low 16 bits.
        switch (*p) {
            case u'd':
            case u'i': {
                int32_t v = va_arg(ap, int32_t);
                if (size == 'h') v = static_cast<int16_t>(v);
                uint32_t mag = v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
                PutInteger(s, conv, mag, v < 0, 10, false);
                break;
            }
            case u'u':
            case u'x':
            case u'X': {
                uint32_t v = va_arg(ap, uint32_t);
                if (size == 'h') v = static_cast<uint16_t>(v);
                PutInteger(s, conv, v, false, *p == u'u' ? 10 : 16, *p == u'X');
                break;
            }
            case u'c': {
                int v = va_arg(ap, int);
                // %hc is a narrow character; %c and %lc are wide in the wide formatter.
                PutChar(s, conv,
                        size == 'h' ? static_cast<WCHAR>(static_cast<unsigned char>(v))
                                    : static_cast<WCHAR>(v));
                break;
            }
            case u's':
                if (size == 'h')
                    PutString(s, conv, va_arg(ap, const char *));
                else
                    PutString(s, conv, va_arg(ap, const WCHAR *));
                break;
            case 0:
                // A lone '%' at the end prints nothing.
                continue;
            default:
                // Unknown conversions, "%%" among them, print the character as it is.
                s.Put(*p);
                break;
        }
        ++p;
    }
    lpOut[s.len] = 0;
    return s.len;
}

extern "C" int WINAPIV wsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, ...) {
    va_list ap;
    va_start(ap, lpFmt);
    int n = wvsprintfW(lpOut, lpFmt, ap);
    va_end(ap);
    return n;
}

extern "C" void WINAPIV NKDbgPrintfW(LPCWSTR lpszFmt, ...) {
    WCHAR buf[kMaxOutput];
    va_list ap;
    va_start(ap, lpszFmt);
    int n = wvsprintfW(buf, lpszFmt, ap);
    va_end(ap);
    std::string text = standin::ToUtf8(std::u16string_view(buf, static_cast<size_t>(n)));

    Console &c = TheConsole();
    std::lock_guard print(c.printMutex);
    {
        std::lock_guard capture(c.captureMutex);
        c.messages.push_back(text);
        while (c.messages.size() > kMaxMessages) c.messages.pop_front();
    }
    if (c.echo) {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
    if (c.listener) {
        // Held as a copy so a listener that replaces itself is not destroyed mid-call.
        auto listener = c.listener;
        listener(text);
    }
}

namespace standin {

std::vector<std::string> ConsoleMessages() {
    Console &c = TheConsole();
    std::lock_guard capture(c.captureMutex);
    return {c.messages.begin(), c.messages.end()};
}

void ClearConsole() {
    Console &c = TheConsole();
    std::lock_guard capture(c.captureMutex);
    c.messages.clear();
}

void EchoConsole(bool on) {
    Console &c = TheConsole();
    std::lock_guard print(c.printMutex);
    c.echo = on;
}

void SetConsoleListener(std::function<void(const std::string &)> listener) {
    Console &c = TheConsole();
    std::lock_guard print(c.printMutex);
    c.listener = std::move(listener);
}

std::string ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    AppendUtf8(out, text, LoneSurrogate::kReplace);
    return out;
}

// Invalid input becomes one U+FFFD for each maximal ill-formed part (a bad lead byte, or a
// sequence cut short), so a truncated character does not swallow the ASCII that follows.
// Overlong forms, encoded surrogates and values past U+10FFFF are rejected.
std::u16string FromUtf8(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    size_t i = 0;
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    while (i < text.size()) {
        unsigned char b = byte(i);
        if (b < 0x80) {
            out += static_cast<char16_t>(b);
            ++i;
            continue;
        }
        int more;
        uint32_t cp;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (b >= 0xC2 && b <= 0xDF) {
            more = 1;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            more = 2;
            cp = b & 0x0F;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            more = 3;
            cp = b & 0x07;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        ++i;
        bool ok = true;
        for (int k = 0; k < more; ++k, ++i) {
            unsigned char lower = k == 0 ? lo : 0x80, upper = k == 0 ? hi : 0xBF;
            if (i >= text.size() || byte(i) < lower || byte(i) > upper) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (byte(i) & 0x3F);
        }
        if (!ok) {
            out += u'\uFFFD';
        } else if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

}  // namespace standin
