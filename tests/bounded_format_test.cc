// Bounded formatted output: a differential run against snprintf, errors, deliberate differences.
#include <gtest/gtest.h>

#include <atomic>
#include <cfloat>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "bounded/securec.h"

namespace {

// Unchecked forwarders to sprintf_s and its core, so that any format passes.
template <int (*F)(char *, size_t, const char *, va_list)>
int call(char *dest, size_t destMax, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    const int r = F(dest, destMax, format, ap);
    va_end(ap);
    return r;
}
constexpr auto fmt_s = call<vsprintf_s>, fmt_impl = call<SecVsnprintfImpl>;

// What a call leaves in a destination of destMax bytes: the text, after the
// result in <> when that is negative; a byte written past the end shows.
template <typename... A>
std::string out_n(decltype(fmt_s) f, size_t destMax, const char *format, A... args) {
    std::string buf(destMax + 1, '#');
    const int r = f(buf.data(), destMax, format, args...);
    return (r < 0 ? "<" + std::to_string(r) + ">" + buf.c_str() : buf.substr(0, r)) +
           (buf[destMax] == '#' ? "" : "<past the end>");
}
const auto out = [](const char *format, auto... a) { return out_n(fmt_s, 2048, format, a...); };

std::atomic<int> g_cases{0}, g_mismatches{0};

// snprintf's text of n characters fits in n + 1 bytes; in n the core keeps
// n - 1 and a NUL, sprintf_s "".
template <typename... A>
void compare(const std::string &format, A... args) {
    char buf[8192];
    const size_t n = snprintf(buf, sizeof(buf), format.c_str(), args...);
    const auto in = [&](auto f, size_t max) { return out_n(f, max, format.c_str(), args...); };
    const std::string text(buf, n),
        want = text + "|<-2>" + text.substr(0, n - 1) + "|<-1>",
        got = in(fmt_s, n + 1) + "|" + in(fmt_impl, n) + "|" + in(fmt_s, n);
    ++g_cases;
    if (got != want && ++g_mismatches <= 20)
        ADD_FAILURE() << format << ": want [" << want << "], got [" << got << "]";
}

// Every subset of flags (in order) x width x precision x length x conversion x value, the *
// arguments ahead of the value; but for a precision cancelling the 0 flag of %p in glibc.
template <typename T>
void sweep(const std::string &flags, const std::vector<std::string> &lengths,
           const std::string &conversions, const std::vector<T> &values) {
    for (unsigned mask = 0; mask < (1u << flags.size()); ++mask) {
        std::string f;
        for (size_t i = 0; i < flags.size(); ++i)
            if (mask & (1u << i)) f += flags[i];
        for (const std::string w : {"", "1", "7", "13", "*"})
            for (const std::string p : {"", ".", ".0", ".1", ".4", ".17", ".*"})
                for (const std::string &length : lengths)
                    for (char conv : conversions)
                        for (const T &v : values) {
                            const std::string format = "<%" + f + w + p + length + conv;
                            if (conv == 'p' && f.find('0') != f.npos && !p.empty()) break;
                            const bool ws = w == "*", ps = p == ".*";
                            if (ws && ps) compare(format, -9, 3, v);
                            if (ws != ps)
                                for (int x : {9, -9, 3, -1, 0}) compare(format, x, v);
                            if (!ws && !ps) compare(format, v);
                        }
    }
}

TEST(FormatDifferential, MatchesSnprintfWhereBothDefineTheOutputAlike) {
    const std::string s = "-+ 0", u = "-+ #0";
    sweep<int>(s, {"", "hh", "h"}, "di", {0, -1, 127, -128, 300, -32768, 70000, INT_MIN, INT_MAX});
    sweep<long>(s, {"l", "j", "z", "t"}, "di", {0, -5, LONG_MIN, LONG_MAX});
    sweep<long long>(s, {"ll", "L", "q"}, "d", {LLONG_MIN, 9});
    sweep<unsigned>(u, {"", "hh", "h"}, "ouxX", {0u, 1u, 0x1ffu, 0xffffu, 0x12345u, UINT_MAX});
    sweep<unsigned long>(u, {"l", "j", "z"}, "ouxX", {0ul, 16ul, ULONG_MAX});
    sweep<unsigned long long>(u, {"ll"}, "ox", {0ull, ULLONG_MAX});
    sweep<int>("-", {""}, "c", {'a', '~'});
    sweep<const char *>("-", {""}, "s", {"", "abc", "hello, world, and more"});
    sweep<void *>("-0", {""}, "p", {(void *)0x7ffdeadbeef0, (void *)0xbeef, nullptr});
    sweep<double>(u, {"", "l"}, "eEfFgG", {0.0, -0.0, -2.25e-7, 123456.789, 1e300, INFINITY, -NAN});
    sweep<long double>(u, {"L"}, "efG", {0.0L, -1.5L, 1e40L});
    for (const char *text : {"plain text", "100%% sure", "a%%b%%c"}) compare(text, 0);
    compare("%.600f|%1000.2f|%-900e|", 1.0 / 3, -7.25, 1e-300);  // work buffers on the heap
    compare("%.900Lf|%+0700.3Lg|%.*f", 1.0L / 7, -LDBL_MIN, 1500, DBL_MAX);
    compare("%+.3Lf|%-#3000.0Le", LDBL_MAX, -1e4000L);
    std::thread threads[4];  // four at once: the formatter keeps no shared state
    for (std::thread &t : threads)
        t = std::thread([] { sweep<double>("-0", {""}, "f", {-1.0 / 3, 2.5e10}); });
    for (std::thread &t : threads) t.join();
    // Wide strings; in UTF-8 a precision counts bytes and never splits a character.
    const std::string saved = setlocale(LC_CTYPE, nullptr);
    ASSERT_NE(setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    sweep<const wchar_t *>("-", {"l"}, "s", {L"", L"wide text", L"a\u00e9\u20acz"});
    sweep<wint_t>("-", {"l"}, "c", {L'w', 0x20ac, 0xe9});
    setlocale(LC_CTYPE, saved.c_str());
    EXPECT_GT(g_cases, 100000);
    EXPECT_EQ(g_mismatches, 0);
}

// An unusable destination is left alone; a bad format leaves "". Then where
// the engine differs from glibc on purpose.
TEST(FormatDifferences, ErrorsAndTable) {
    char buf[8] = "#######";
    EXPECT_EQ(std::pair(fmt_s(nullptr, 8, "x"), fmt_s(buf, 0x80000000UL, "x")), std::pair(-1, -1));
    EXPECT_STREQ(buf, "#######");
    EXPECT_EQ(out_n(fmt_s, 0, "x") + out_n(fmt_s, 8, nullptr), "<-1>#<-1>");
    int sink = 1234;
    for (const char *f :
         {"%n",    "abc%n", "%b",   "%a",          "%y",           "abc%",         "%",    "%-",
          "%5",    "%.5",   "%l",   "%hh",         "%-%",          "%5%",          "%..d", "%.5.3d",
          "%**d",  "%.5*d", "%5*d", "%ld%",        "x%lld %",      "%#",           "%0",   "%h5d",
          "%l.2d", "%I64",  "%.*",  "%214748370d", "%.214748370d", "%12345678901d"})
        EXPECT_EQ(out_n(fmt_impl, 32, f, 1, &sink) + out(f, 1, &sink), "<-1><-1>") << f;
    EXPECT_EQ(sink, 1234);  // %n never stores
    const char unterminated[3] = {'x', 'y', 'z'};
    const std::string zeros(512, '0');
    const std::pair<std::string, std::string> rows[] = {
        {out("") + "|" + out_n(fmt_impl, 1, ""), "|"},  // an empty text fits in 1 byte
        // Integer precisions are capped at 512.
        {out("%.600d|%.*x", -5, 513, 0xabu), "-" + zeros.substr(1) + "5|" + zeros.substr(2) + "ab"},
        {out("%.512o|%#.600o", 8u, 0u), zeros.substr(2) + "10|" + zeros},
        // I64, I32 and a bare I before an integer conversion; a lone I is text.
        {out("%I64d|%I64x", -(1LL << 40), 0x123456789abcULL), "-1099511627776|123456789abc"},
        {out("%Id|%IX|%I32u|%I32d", 1LL << 33, ~0ULL, ~0u, -3),
         "8589934592|FFFFFFFFFFFFFFFF|4294967295|-3"},
        {out("%5I64d|%Is|a%-5Iz b|%I6|%I%d|%I", 12LL, 4), "   12|Is|aIz b|I6|I4|I"},
        {out_n(fmt_impl, 2, "x%Iy"), "<-2>x"},  // the I takes room like any character
        {out("%Nd|%wd|%Zd|%Zu", 5, 6, -2L, SIZE_MAX), "5|6|-2|18446744073709551615"},
        // Flags and widths in orders glibc refuses; a bare dot is precision 0.
        {out("%5-d|%5.d|%.hd|%-0+ #5d|", 7, 0, 0, 3), "7    |     ||+3   |"},
        // glibc signs pointers and drops their 0 flag when a precision is given.
        {out("%p|%.2p|%08p", nullptr, nullptr, nullptr), "(nil)|(nil)|   (nil)"},
        {out("%+p|% p|%010.3p", (void *)16, (void *)16, (void *)16), "0x10|0x10|0x00000010"},
        // A precision reads that much of "(null)"; glibc prints nothing.
        {out("%s|%8s|%-7s|%.3s|%.6s", nullptr, nullptr, nullptr, nullptr, nullptr),
         "(null)|  (null)|(null) |(nu|(null)"},
        {out("%S|%ws|%.2S|%.3s", L"wide", L"w2", nullptr, unterminated), "wide|w2|(n|xyz"},
        {out("%C%wc%lc", wint_t{L'a'}, wint_t{L'b'}, wint_t{L'c'}), "abc"},
        // In the C locale only ASCII has a multibyte form.
        {out("%ls", L"ok\x100") + out("%lc", wint_t{0x100}), "<-1><-1>"},
        // A width or precision takes a digit only up to 21474836; strings are not capped.
        {out_n(fmt_impl, 16, "%214748369d", 1), "<-2>" + std::string(15, ' ')},
        {out_n(fmt_impl, 16, "%.214748369s|%.214748369d", "x", 1), "<-2>x|0000000000000"},
        // Floating precisions above 214748011 (long double: 214743388) fail.
        {out_n(fmt_impl, 16, "%.214748012f", 1.0) + out_n(fmt_impl, 2048, "%.*Lf", 214743389, 1.0L),
         "<-1><-1>"},
        // Huge * widths end in truncation at once.
        {out_n(fmt_impl, 64, "%*s", INT_MAX, "x"), "<-2>" + std::string(63, ' ')},
        {out_n(fmt_impl, 4, "%*d", INT_MIN, 5), "<-2>5  "},  // left-aligned
        {out("%*d", INT_MAX, 5), "<-1>"},
    };
    for (size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(rows[i].first, rows[i].second) << i;
}

}  // namespace
