// Bounded formatted output: argument errors, truncation, invalid formats, a
// differential run against the platform's snprintf over generated formats,
// and the places where the two deliberately differ.
#include <gtest/gtest.h>
#include <sys/types.h>

#include <cfloat>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "bounded/securec.h"

#pragma GCC diagnostic ignored "-Wformat-security"

namespace {

// Unchecked forwarders, so formats the compiler would refuse can be passed.
int fmt_s(char *dest, size_t destMax, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    const int r = vsprintf_s(dest, destMax, format, ap);
    va_end(ap);
    return r;
}

int fmt_impl(char *dest, size_t destMax, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    const int r = SecVsnprintfImpl(dest, destMax, format, ap);
    va_end(ap);
    return r;
}

constexpr char FILL = '#';

TEST(FormatArguments, UnusableDestinationIsUntouched) {
    char buf[8];
    memset(buf, FILL, sizeof(buf));
    EXPECT_EQ(fmt_s(nullptr, 8, "x"), -1);
    EXPECT_EQ(fmt_s(buf, 0, "x"), -1);
    EXPECT_EQ(fmt_s(buf, SECUREC_STRING_MAX_LEN + 1, "x"), -1);
    EXPECT_EQ(std::string(buf, 8), std::string(8, FILL));
    EXPECT_EQ(fmt_s(buf, 8, nullptr), -1);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(std::string(buf + 1, 7), std::string(7, FILL));
}

TEST(FormatArguments, ProcessName) {
    char buf[7];
    EXPECT_EQ(sprintf_s(buf, sizeof(buf), "%s.%d", "cdev", 7), 6);
    EXPECT_STREQ(buf, "cdev.7");
    EXPECT_EQ(sprintf_s(buf, sizeof(buf), "%s.%d", "cdev", 70), -1);
    EXPECT_STREQ(buf, "");
}

// A text of exactly destMax-1 characters fits; one more is truncation: the
// core keeps destMax-1 characters and a NUL, sprintf_s leaves "".
TEST(FormatTruncation, AtDestMaxMinusOneAndDestMax) {
    struct Case {
        const char *format;
        int arg;
        std::string text;
    };
    const Case cases[] = {
        {"abcdefghi%d", 7, "abcdefghi7"},
        {"%10d", 7, "         7"},
        {"%-10d", 7, "7         "},
        {"%010d", -7, "-000000007"},
        {"%%%%%%%%%%%d", 0, "%%%%%0"},
        {"%.10d", 7, "0000000007"},
        {"%s", 0, ""},  // text comes from the string below
    };
    const std::string ten = "0123456789";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.format);
        const bool is_string = std::string(c.format) == "%s";
        const std::string text = is_string ? ten : c.text;
        const size_t len = text.size();
        std::vector<char> buf(len + 8, FILL);
        auto call_impl = [&](size_t destMax) {
            std::fill(buf.begin(), buf.end(), FILL);
            return is_string ? fmt_impl(buf.data(), destMax, c.format, ten.c_str())
                             : fmt_impl(buf.data(), destMax, c.format, c.arg);
        };
        EXPECT_EQ(call_impl(len + 1), static_cast<int>(len));
        EXPECT_EQ(std::string(buf.data()), text);
        EXPECT_EQ(buf[len + 1], FILL);

        EXPECT_EQ(call_impl(len), -2);
        EXPECT_EQ(std::string(buf.data()), text.substr(0, len - 1));
        EXPECT_EQ(buf[len], FILL);

        EXPECT_EQ(call_impl(3), -2);
        EXPECT_EQ(std::string(buf.data()), text.substr(0, 2));
        EXPECT_EQ(buf[3], FILL);

        std::fill(buf.begin(), buf.end(), FILL);
        const int r = is_string ? fmt_s(buf.data(), len, c.format, ten.c_str())
                                : fmt_s(buf.data(), len, c.format, c.arg);
        EXPECT_EQ(r, -1);
        EXPECT_EQ(buf[0], '\0');
        EXPECT_EQ(buf[len], FILL);
    }
}

TEST(FormatInvalid, EveryBadFormatGivesMinusOneAndEmpty) {
    int sink = 1234;
    const char *bad[] = {
        "%n",           "abc%n",       "%b",           "%a",    "%y",   "abc%", "%",
        "%-",           "%5",          "%.5",          "%l",    "%hh",  "%-%",  "%5%",
        "%..d",         "%.5.3d",      "%**d",         "%.5*d", "%5*d", "%ld%", "x%lld %",
        "%#",           "%0",          "%h5d",         "%l.2d", "%I64", "%.*",  "%214748370d",
        "%.214748370d", "%999999999d", "%12345678901d"};
    for (const char *f : bad) {
        SCOPED_TRACE(f);
        char buf[32];
        memset(buf, FILL, sizeof(buf));
        EXPECT_EQ(fmt_impl(buf, sizeof(buf), f, 1, &sink), -1);
        EXPECT_EQ(buf[0], '\0');
        memset(buf, FILL, sizeof(buf));
        EXPECT_EQ(fmt_s(buf, sizeof(buf), f, 1, &sink), -1);
        EXPECT_EQ(buf[0], '\0');
    }
    EXPECT_EQ(sink, 1234);  // %n never stores
}

// Transitions the state table allows that common formats never use.
TEST(FormatTable, LenientOrders) {
    char buf[32];
    EXPECT_EQ(fmt_s(buf, sizeof(buf), "%5-d|", 7), 6);  // a flag after the width
    EXPECT_STREQ(buf, "7    |");
    EXPECT_EQ(fmt_s(buf, sizeof(buf), "%5.d|%.hd|", 0, 0), 7);  // a bare dot is precision 0
    EXPECT_STREQ(buf, "     ||");
    EXPECT_EQ(fmt_s(buf, sizeof(buf), "%-0+ #5d|", 3), 6);
    EXPECT_STREQ(buf, "+3   |");
}

TEST(FormatInvalid, WidthDigitLimitIsExact) {
    char buf[16];
    // 21474836 may take one more digit; anything above may not.
    EXPECT_EQ(fmt_impl(buf, sizeof(buf), "%214748369d", 1), -2);
    EXPECT_EQ(fmt_impl(buf, sizeof(buf), "%21474837d", 1), -2);
    EXPECT_EQ(fmt_impl(buf, sizeof(buf), "%214748370d", 1), -1);
    EXPECT_EQ(fmt_impl(buf, sizeof(buf), "%.214748369d", 1), -2);
    EXPECT_EQ(fmt_impl(buf, sizeof(buf), "%.214748370d", 1), -1);
    EXPECT_EQ(fmt_impl(buf, sizeof(buf), "%.214748370s", "x"), -1);
    EXPECT_EQ(fmt_impl(buf, sizeof(buf), "%.214748369s", "x"), 1);
}

// ---- Differential run against snprintf ----

int g_cases = 0;
int g_mismatches = 0;

template <typename... A>
void compare(const std::string &format, A... args) {
    char want[8192];
    char got[8192];
    const int n = snprintf(want, sizeof(want), format.c_str(), args...);
    const int r = fmt_s(got, sizeof(got), format.c_str(), args...);
    ++g_cases;
    if (n != r || strcmp(want, got) != 0) {
        if (++g_mismatches <= 20) {
            ADD_FAILURE() << "format \"" << format << "\": snprintf " << n << " ["
                          << std::string(want).substr(0, 80) << "], sprintf_s " << r << " ["
                          << std::string(got).substr(0, 80) << "]";
        }
    }
}

constexpr int STAR_WIDTHS[] = {9, -9, 0};
constexpr int STAR_PRECISIONS[] = {3, -1, 0};

// Runs format with the * arguments it needs ahead of value.
template <typename T>
void compare_with_stars(const std::string &format, bool star_width, bool star_precision, T value) {
    if (star_width && star_precision) {
        for (int w : STAR_WIDTHS)
            for (int p : STAR_PRECISIONS) compare(format, w, p, value);
    } else if (star_width) {
        for (int w : STAR_WIDTHS) compare(format, w, value);
    } else if (star_precision) {
        for (int p : STAR_PRECISIONS) compare(format, p, value);
    } else {
        compare(format, value);
    }
}

// Every subset of flags (in order) x width x precision x conversion x value.
template <typename T>
void sweep(const std::string &flags, const std::string &length, const std::string &conversions,
           const std::vector<T> &values, bool with_precision = true) {
    const std::vector<std::string> widths = {"", "1", "7", "13", "*"};
    std::vector<std::string> precisions = {""};
    if (with_precision) precisions = {"", ".", ".0", ".1", ".4", ".17", ".*"};
    for (unsigned mask = 0; mask < (1u << flags.size()); ++mask) {
        std::string f;
        for (size_t i = 0; i < flags.size(); ++i)
            if (mask & (1u << i)) f += flags[i];
        for (const std::string &w : widths) {
            for (const std::string &p : precisions) {
                for (char conv : conversions) {
                    const std::string format = "<%" + f + w + p + length + conv + ">";
                    for (const T &v : values) compare_with_stars(format, w == "*", p == ".*", v);
                }
            }
        }
    }
}

TEST(FormatDifferential, MatchesSnprintfWhereBothAreSpecifiedAlike) {
    g_cases = g_mismatches = 0;
    const std::string sflags = "-+ 0";
    const std::string uflags = "-+ #0";
    sweep<int>(sflags, "", "di", {0, 1, -1, 42, INT_MIN, INT_MAX});
    sweep<int>(sflags, "hh", "d", {0, 127, -128, 300, -1});
    sweep<int>(sflags, "h", "i", {0, 32767, -32768, 70000});
    sweep<long>(sflags, "l", "d", {0, -5, LONG_MIN, LONG_MAX});
    for (const char *len : {"ll", "L", "q"}) sweep<long long>(sflags, len, "d", {LLONG_MIN, 9});
    sweep<intmax_t>(sflags, "j", "i", {INTMAX_MIN, 3});
    sweep<ssize_t>(sflags, "z", "d", {-77, SSIZE_MAX});
    sweep<ptrdiff_t>(sflags, "t", "d", {-1, PTRDIFF_MAX});
    sweep<unsigned>(uflags, "", "ouxX", {0u, 1u, 255u, 0xabcdefu, UINT_MAX});
    sweep<unsigned>(uflags, "hh", "ox", {0u, 255u, 0x1ffu});
    sweep<unsigned>(uflags, "h", "uX", {0u, 0xffffu, 0x12345u});
    sweep<unsigned long>(uflags, "l", "ouxX", {0ul, ULONG_MAX});
    sweep<unsigned long long>(uflags, "ll", "ox", {0ull, ULLONG_MAX});
    sweep<uintmax_t>(uflags, "j", "u", {UINTMAX_MAX});
    sweep<size_t>(uflags, "z", "x", {SIZE_MAX, 16});
    sweep<int>("-", "", "c", {'a', '~'});
    sweep<const char *>("-", "", "s", {"", "abc", "hello, world, and more"});
    // Precision and the 0 flag act differently on %p (see below).
    sweep<void *>(
        "-", "", "p",
        {reinterpret_cast<void *>(0x1234), reinterpret_cast<void *>(0x7ffdeadbeef0), nullptr});
    sweep<void *>("0", "", "p", {reinterpret_cast<void *>(0xbeef), nullptr}, false);
    const std::string fflags = "-+ #0";
    sweep<double>(fflags, "", "eEfFgG",
                  {0.0, -0.0, 1.5, -2.25e-7, 123456.789, 1e300, INFINITY, -NAN});
    sweep<long double>(fflags, "L", "efG", {0.0L, -1.5L, 1e40L});
    sweep<double>(fflags, "l", "f", {2.5});
    for (const char *text : {"", "plain text", "100%% sure", "%%%%", "a%%b%%c"}) compare(text, 0);
    compare("%s.%d", "cdev", 4321);
    compare("[%lu.%lu][%lu,%lu] %s,%d -> ", 1700000000ul, 123456789ul, 4242ul, 140000000000ul,
            "main", 77);
    compare("%-*s|%*.*f|%+.3e", -12, "left", 15, 4, 3.14159, 2.5e10);
    EXPECT_GT(g_cases, 100000);
    EXPECT_EQ(g_mismatches, 0);
    printf("%d formats compared\n", g_cases);
}

TEST(FormatDifferential, WideStringsAndCharacters) {
    g_cases = g_mismatches = 0;
    sweep<const wchar_t *>("-", "l", "s", {L"", L"wide text"});
    sweep<wint_t>("-", "l", "c", {L'w'});
    EXPECT_EQ(g_mismatches, 0);
}

TEST(FormatDifferential, HeapWorkBuffers) {
    g_cases = g_mismatches = 0;
    compare("%.600f", 1.0 / 3);    // precision + 351 above 512 bytes
    compare("%1000.2f", -7.25);    // width + 2
    compare("%-900e|", 1e-300);    // left aligned in a wide buffer
    compare("%.900Lf", 1.0L / 7);  // long double buffers always exceed 512
    compare("%+0700.3Lg", -LDBL_MIN);
    compare("%.*f", 1500, DBL_MAX);
    compare("%+.3Lf|%-#3000.0Le", LDBL_MAX, -1e4000L);
    EXPECT_EQ(g_mismatches, 0);
}

// ---- Where the two differ on purpose ----

std::string format_s(const char *format, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    const int r = vsprintf_s(buf, sizeof(buf), format, ap);
    va_end(ap);
    return r < 0 ? "<" + std::to_string(r) + ">" : std::string(buf, r);
}

TEST(FormatDifferences, IntegerPrecisionCappedAt512) {
    EXPECT_EQ(format_s("%.600d", -5), "-" + std::string(511, '0') + "5");
    EXPECT_EQ(format_s("%.*x", 513, 0xabu), std::string(510, '0') + "ab");
    EXPECT_EQ(format_s("%.512o", 8u), std::string(510, '0') + "10");
    EXPECT_EQ(format_s("%#.600o", 0u), std::string(512, '0'));
}

TEST(FormatDifferences, IWidths) {
    EXPECT_EQ(format_s("%I64d", -(1LL << 40)), "-1099511627776");
    EXPECT_EQ(format_s("%I64x", 0x123456789abcULL), "123456789abc");
    EXPECT_EQ(format_s("%Id", 1LL << 33), "8589934592");
    EXPECT_EQ(format_s("%IX", ~0ULL), "FFFFFFFFFFFFFFFF");
    EXPECT_EQ(format_s("%I32u", 0xffffffffu), "4294967295");
    EXPECT_EQ(format_s("%I32d", -3), "-3");
    EXPECT_EQ(format_s("%5I64d|", 12LL), "   12|");
}

TEST(FormatDifferences, LoneIIsOrdinaryText) {
    EXPECT_EQ(format_s("%Is"), "Is");
    EXPECT_EQ(format_s("a%-5Iz b"), "aIz b");
    EXPECT_EQ(format_s("%I6"), "I6");
    EXPECT_EQ(format_s("%I"), "I");
    EXPECT_EQ(format_s("%I%d", 4), "I4");
    char buf[2];  // the letter takes room like any other character
    EXPECT_EQ(fmt_impl(buf, sizeof(buf), "x%Iy"), -2);
}

TEST(FormatDifferences, OtherModifiersAndForms) {
    EXPECT_EQ(format_s("%Nd|%wd", 5, 6), "5|6");
    EXPECT_EQ(format_s("%Zd|%Zu", static_cast<ssize_t>(-2), SIZE_MAX), "-2|18446744073709551615");
    EXPECT_EQ(format_s("%hhu", 0x1ff), "255");
    EXPECT_EQ(format_s("%p", nullptr), "(nil)");  // glibc prints the same
    EXPECT_EQ(format_s("%.2p|%08p", nullptr, nullptr), "(nil)|   (nil)");
    // Sign flags are for signed numbers only; glibc also signs pointers.
    EXPECT_EQ(format_s("%+p|% p", reinterpret_cast<void *>(0x10), reinterpret_cast<void *>(0x10)),
              "0x10|0x10");
    // A precision keeps the 0 flag of %p; glibc drops it.
    EXPECT_EQ(format_s("%010.3p", reinterpret_cast<void *>(0x1234)), "0x00001234");
    EXPECT_EQ(format_s("%s|%8s|%-7s|", nullptr, nullptr, nullptr), "(null)|  (null)|(null) |");
    // A precision reads that much of "(null)"; glibc prints nothing instead.
    EXPECT_EQ(format_s("%.3s|%.6s", nullptr, nullptr), "(nu|(null)");
    EXPECT_EQ(format_s("%S|%ws|%.2S", L"wide", L"w2", nullptr), "wide|w2|(n");
    EXPECT_EQ(format_s("%C%wc%lc", static_cast<wint_t>(L'a'), static_cast<wint_t>(L'b'),
                       static_cast<wint_t>(L'c')),
              "abc");
    const char unterminated[3] = {'x', 'y', 'z'};  // precision bounds the read
    EXPECT_EQ(format_s("%.3s", unterminated), "xyz");
    EXPECT_EQ(format_s("%-*d|%*d|", -4, 1, -3, 2), "1   |2  |");
}

TEST(FormatDifferences, UnconvertibleWideCharacterFails) {
    // In the C locale only ASCII has a multibyte form.
    EXPECT_EQ(format_s("%ls", L"ok\x100"), "<-1>");
    EXPECT_EQ(format_s("%lc", static_cast<wint_t>(0x100)), "<-1>");
}

// A precision counts bytes and never splits a multibyte character.
TEST(FormatDifferential, MultibyteWideStrings) {
    const std::string saved = setlocale(LC_CTYPE, nullptr);
    if (setlocale(LC_CTYPE, "C.UTF-8") == nullptr) GTEST_SKIP() << "no C.UTF-8 locale";
    g_cases = g_mismatches = 0;
    for (const char *f : {"%ls", "%.1ls", "%.2ls", "%.3ls", "%.4ls", "%-8.5ls|", "%8ls|"})
        compare(f, L"a\u00e9\u20acz");
    compare("%lc|%3lc|", static_cast<wint_t>(0x20ac), static_cast<wint_t>(0xe9));
    setlocale(LC_CTYPE, saved.c_str());
    EXPECT_EQ(g_mismatches, 0);
}

TEST(FormatDifferences, FloatingPrecisionLimits) {
    char buf[16];
    EXPECT_EQ(fmt_impl(buf, sizeof(buf), "%.214748012f", 1.0), -1);
    EXPECT_EQ(fmt_impl(buf, sizeof(buf), "%.*e", 214748012, 1.0), -1);
    EXPECT_EQ(fmt_impl(buf, sizeof(buf), "%.*Lf", 214743389, 1.0L), -1);
    EXPECT_EQ(fmt_impl(buf, sizeof(buf), "%.214748369Lf", 1.0L), -1);
    EXPECT_EQ(buf[0], '\0');
}

TEST(FormatDifferences, HugeStarWidthTruncatesQuickly) {
    char buf[64];
    memset(buf, FILL, sizeof(buf));
    EXPECT_EQ(fmt_impl(buf, sizeof(buf), "%*d", INT_MIN, 5), -2);
    EXPECT_EQ(buf[0], '5');
    EXPECT_EQ(buf[63], '\0');
    EXPECT_EQ(fmt_impl(buf, sizeof(buf), "%*s", INT_MAX, "x"), -2);
    EXPECT_EQ(fmt_s(buf, sizeof(buf), "%*d", INT_MAX, 5), -1);
    EXPECT_EQ(buf[0], '\0');
}

TEST(FormatThreads, ConcurrentCallsDoNotInterfere) {
    auto work = [](int seed, int *failures) {
        for (int i = 0; i < 2000; ++i) {
            char got[64];
            char want[64];
            const int v = seed * 100000 + i;
            fmt_s(got, sizeof(got), "%ls:%08.3f:%-6d:%lc", L"thread", v / 7.0, v,
                  static_cast<wint_t>(L'A' + seed));
            snprintf(want, sizeof(want), "%ls:%08.3f:%-6d:%lc", L"thread", v / 7.0, v,
                     static_cast<wint_t>(L'A' + seed));
            if (strcmp(got, want) != 0) ++*failures;
        }
    };
    int failures[4] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back(work, t, &failures[t]);
    for (std::thread &t : threads) t.join();
    for (int f : failures) EXPECT_EQ(f, 0);
}

}  // namespace
