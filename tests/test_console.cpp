// The wide formatter (wsprintfW) and the debug console: NKDbgPrintfW capture, echo,
// listener, bounds and the UTF-8 conversions.
#include <windows.h>

#include <dbgapi.h>
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "standin/kernel.h"

using standin::FromUtf8;
using standin::ToUtf8;

namespace {

constexpr WCHAR kSentinel = 0xCCCC;

// Formats into a buffer prefilled with a sentinel, and checks the result count against
// where the terminator landed. Returned in UTF-8 so failures read plainly.
std::string Fmt(const WCHAR *fmt, ...) {
    std::vector<WCHAR> buf(1100, kSentinel);
    va_list ap;
    va_start(ap, fmt);
    int n = wvsprintfW(buf.data(), fmt, ap);
    va_end(ap);
    std::u16string out(buf.data());
    EXPECT_EQ(static_cast<size_t>(n), out.size()) << ToUtf8(out);
    return ToUtf8(out);
}

TEST(Wsprintf, Conversions) {
    struct Case {
        std::string got;
        const char *want;
    } cases[] = {
        {Fmt(u"%d", 0), "0"},
        {Fmt(u"%d|%i", -42, 13), "-42|13"},
        {Fmt(u"%d", INT_MIN), "-2147483648"},
        {Fmt(u"[%5d]", 42), "[   42]"},
        {Fmt(u"[%-5d]", 42), "[42   ]"},
        {Fmt(u"[%05d]", -42), "[-0042]"},
        {Fmt(u"[%-05d]", 7), "[7    ]"},
        {Fmt(u"[%.3d]", 7), "[007]"},
        {Fmt(u"[%6.3d]", -7), "[  -007]"},
        {Fmt(u"%u", -1), "4294967295"},
        {Fmt(u"%x", 0xFFFFFFFFu), "ffffffff"},
        {Fmt(u"%X", 0xABCDEFu), "ABCDEF"},
        {Fmt(u"%08X", 0x1A2Bu), "00001A2B"},
        {Fmt(u"[%-6x]", 0xbeu), "[be    ]"},
        {Fmt(u"%#x", 255u), "0xff"},
        // The device's long is 32 bits: %l reads an int, never a 64-bit slot.
        {Fmt(u"%ld %d", static_cast<LONG>(-5), 7), "-5 7"},
        {Fmt(u"%li %lu %lx %lX", static_cast<LONG>(-1), static_cast<DWORD>(0xFFFFFFFF),
             static_cast<DWORD>(0xDEADBEEF), static_cast<DWORD>(0xDEADBEEF)),
         "-1 4294967295 deadbeef DEADBEEF"},
        {Fmt(u"[%08lX]", static_cast<DWORD>(0x1F)), "[0000001F]"},
        {Fmt(u"%hd %hu", 0x18000, 0x12345), "-32768 9029"},
        {Fmt(u"%c%c", u'A', 0xE9), "A\u00e9"},
        {Fmt(u"[%3c][%-3c]", u'x', u'y'), "[  x][y  ]"},
        {Fmt(u"%s=%s", u"COM11", u"\u65e5\u672c"), "COM11=\u65e5\u672c"},
        {Fmt(u"[%6s][%-6s]", u"abc", u"abc"), "[   abc][abc   ]"},
        {Fmt(u"[%.2s][%5.1s]", u"abcdef", u"xyz"), "[ab][    x]"},
        {Fmt(u"%s", static_cast<const WCHAR *>(nullptr)), "(null)"},
        {Fmt(u"%hs", "narrow"), "narrow"},
        {Fmt(u"100%%"), "100%"},
        // An unknown conversion prints its character and takes no argument.
        {Fmt(u"%q%d", 5), "q5"},
        {Fmt(u"abc%"), "abc"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(cases[i].got, cases[i].want) << "case " << i;
    }
}

TEST(Wsprintf, OutputIsCappedAndTerminated) {
    std::u16string longText(2000, u'z');
    std::vector<WCHAR> buf(1100, kSentinel);
    EXPECT_EQ(wsprintfW(buf.data(), u"%s", longText.c_str()), 1023);
    EXPECT_EQ(std::u16string(buf.data(), 1023), longText.substr(0, 1023));
    EXPECT_EQ(buf[1023], 0);
    for (size_t i = 1024; i < buf.size(); ++i) ASSERT_EQ(buf[i], kSentinel) << i;

    // Padding alone is cut at the same place, whatever the width asked for.
    std::fill(buf.begin(), buf.end(), kSentinel);
    EXPECT_EQ(wsprintfW(buf.data(), u"ab%99999999999dcd", 1), 1023);
    EXPECT_EQ(buf[1023], 0);
    EXPECT_EQ(buf[1024], kSentinel);
}

TEST(Utf8, RoundTripAndInvalidInput) {
    const std::u16string text = u"Gr\u00fc\u00dfe \u65e5\u672c \U0001F600 ~";
    const std::string utf8 = "Gr\xC3\xBC\xC3\x9F" "e \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80 ~";
    EXPECT_EQ(ToUtf8(text), utf8);
    EXPECT_EQ(FromUtf8(utf8), text);

    const std::string kReplacement = "\xEF\xBF\xBD";
    EXPECT_EQ(ToUtf8(u"a\xD800" "b"), "a" + kReplacement + "b");  // lone high surrogate
    EXPECT_EQ(ToUtf8(u"\xDC00"), kReplacement);                    // lone low surrogate
    EXPECT_EQ(ToUtf8(u"x\xD83D"), "x" + kReplacement);             // cut at the end

    struct Case {
        std::string in;
        std::u16string want;
    } cases[] = {
        {"a\xFF" "b", u"a\uFFFDb"},
        {"\xE2\x82" "A", u"\uFFFDA"},            // cut short: the ASCII after it survives
        {"\xC0\xAF", u"\uFFFD\uFFFD"},            // overlong '/'
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // an encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // past U+10FFFF
        {"\xF0\x9F\x98", u"\uFFFD"},
    };
    for (const auto &c : cases) EXPECT_EQ(FromUtf8(c.in), c.want) << c.in.size();
}

class Console : public ::testing::Test {
protected:
    void SetUp() override { standin::ClearConsole(); }
    void TearDown() override {
        standin::SetConsoleListener({});
        standin::EchoConsole(false);
        standin::ClearConsole();
    }
};

TEST_F(Console, CapturesExactTextInOrder) {
    NKDbgPrintfW(u"LocalAlloc error:%d\n", 8);
    NKDbgPrintfW(u"%s open, mask %08lX\n", u"COM11:", static_cast<DWORD>(0x1FF));
    NKDbgPrintfW(u"Gr\u00fc\u00dfe %s", u"\u65e5\u672c");
    EXPECT_EQ(standin::ConsoleMessages(),
              (std::vector<std::string>{"LocalAlloc error:8\n", "COM11: open, mask 000001FF\n",
                                        "Gr\xC3\xBC\xC3\x9F" "e \xE6\x97\xA5\xE6\x9C\xAC"}));
    standin::ClearConsole();
    EXPECT_TRUE(standin::ConsoleMessages().empty());
}

TEST_F(Console, KeepsOnlyTheNewestMessages) {
    constexpr int kLimit = 100000;
    for (int i = 0; i < kLimit + 5; ++i) NKDbgPrintfW(u"%d", i);
    auto messages = standin::ConsoleMessages();
    ASSERT_EQ(messages.size(), static_cast<size_t>(kLimit));
    EXPECT_EQ(messages.front(), "5");
    EXPECT_EQ(messages.back(), std::to_string(kLimit + 4));
}

TEST_F(Console, EchoWritesToStderr) {
    standin::EchoConsole(true);
    ::testing::internal::CaptureStderr();
    NKDbgPrintfW(u"echo %d\n", 1);
    standin::EchoConsole(false);
    NKDbgPrintfW(u"quiet\n");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "echo 1\n");
    EXPECT_EQ(standin::ConsoleMessages().size(), 2u);
}

// Several threads print at once: every message is captured once, each thread's in its own
// order, and the listener sees exactly the captured sequence.
TEST_F(Console, ThreadsAndListener) {
    std::vector<std::string> heard;  // only touched by the listener, which is serialised
    standin::SetConsoleListener([&heard](const std::string &m) {
        // The capture lock is not held here: reading the capture must not deadlock.
        EXPECT_FALSE(standin::ConsoleMessages().empty());
        heard.push_back(m);
    });

    constexpr int kThreads = 4, kEach = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kEach; ++i) NKDbgPrintfW(u"T%d #%d\n", t, i);
        });
    }
    for (auto &th : threads) th.join();
    standin::SetConsoleListener({});
    NKDbgPrintfW(u"after\n");

    auto messages = standin::ConsoleMessages();
    ASSERT_EQ(messages.size(), static_cast<size_t>(kThreads * kEach + 1));
    EXPECT_EQ(heard, std::vector<std::string>(messages.begin(), messages.end() - 1));
    std::vector<int> next(kThreads, 0);
    for (size_t k = 0; k + 1 < messages.size(); ++k) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(messages[k].c_str(), "T%d #%d\n", &t, &i), 2) << messages[k];
        ASSERT_TRUE(t >= 0 && t < kThreads) << messages[k];
        EXPECT_EQ(i, next[t]++) << messages[k];
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kEach);
}

}  // namespace
