// Result codes and destination state of the bounded copy and fill routines
// and strcpy_s. The codes as documented: 0 (done), 22 (invalid) and 34
// (range) with the destination untouched, 128 more when it was reset (zeroed,
// filled with c, or ""), 182 for an overlap.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include "bounded/securec.h"

namespace {

using Bytes = std::vector<unsigned char>;
using CopyFn = int (*)(void *, size_t, const void *, size_t);
using FillFn = int (*)(void *, size_t, int, size_t);
const CopyFn COPIES[] = {&memcpy_s, &memcpy_sOptAsm, &memcpy_sOptTc};
const FillFn FILLS[] = {&memset_s, &memset_sOptAsm, &memset_sOptTc};
constexpr size_t MAX = 0x7fffffff, OVER = MAX + 1;  // the largest destination size accepted

// Distinct bytes around a destination that starts at byte 16.
struct Arena {
    Bytes before, bytes;
    explicit Arena(size_t n = 64) : before(n) {
        std::iota(before.begin(), before.end(), 1);
        bytes = before;
    }
    unsigned char *dest() { return &bytes[16]; }
    char *str() { return reinterpret_cast<char *>(dest()); }
    // Nothing changed but the bytes from dest() + at on, now `want`.
    void expect(const Bytes &want, size_t at = 0) {
        Bytes all = before;
        std::copy(want.begin(), want.end(), all.begin() + 16 + static_cast<ptrdiff_t>(at));
        EXPECT_EQ(bytes, all);
    }
};

// dest (n: null), the source's distance from dest (NUL: a null source),
// destMax, count, code. A count above destMax wins over dest == src;
// adjacent ranges do not overlap, one shared byte does.
TEST(Copy, Rows) {
    constexpr ptrdiff_t NUL = PTRDIFF_MAX;
    const std::tuple<char, ptrdiff_t, size_t, size_t, int> rows[] = {
        {'d', 24, 8, 5, 0},   {'d', 24, 8, 8, 0},  {'d', 24, MAX, 8, 0},  {'d', 24, 8, 0, 0},
        {'d', 0, 8, 8, 0},    {'d', 24, 0, 0, 34}, {'n', NUL, 0, 4, 34},  {'d', NUL, OVER, 4, 34},
        {'n', NUL, 8, 4, 22}, {'n', 24, 8, 4, 22}, {'d', NUL, 8, 4, 150}, {'d', 24, 8, 9, 162},
        {'d', 0, 8, 9, 162},  {'d', 8, 8, 8, 0},   {'d', 7, 8, 8, 182},   {'d', -8, 8, 8, 0},
        {'d', -7, 8, 8, 182}, {'d', 1, 8, 4, 182}, {'d', -1, 8, 4, 182}};
    for (CopyFn f : COPIES) {
        for (const auto &[dest, at, destMax, count, code] : rows) {
            SCOPED_TRACE(testing::Message() << "src " << at << ", " << destMax << ", " << count);
            Arena a;
            const unsigned char *s = at == NUL ? nullptr : a.dest() + at;
            const Bytes copy = s ? Bytes(s, s + count) : Bytes();
            EXPECT_EQ(f(dest == 'n' ? nullptr : a.dest(), destMax, s, count), code);
            a.expect(code > 128 ? Bytes(destMax, 0) : code ? Bytes() : copy);
        }
    }
}

// dest (n: null), destMax, count, code; c is 0x1F1, of which the low byte
// is stored.
TEST(Fill, Rows) {
    const std::tuple<char, size_t, size_t, int> rows[] = {
        {'d', 8, 5, 0},  {'d', 8, 8, 0},  {'d', MAX, 8, 0}, {'d', 0, 0, 0},
        {'d', 0, 1, 34}, {'n', 8, 1, 22}, {'n', 0, 1, 34},  {'d', 8, 9, 162}};
    for (FillFn f : FILLS) {
        for (const auto &[dest, destMax, count, code] : rows) {
            Arena a;
            EXPECT_EQ(f(dest == 'n' ? nullptr : a.dest(), destMax, 0x1F1, count), code) << count;
            a.expect(Bytes(code == 0 ? count : code > 128 ? destMax : 0, 0xF1));
        }
    }
}

// Copies up to 64 and fills up to 32 bytes take inline word or byte moves.
TEST(CopyAndFill, EverySmallSizeAndAlignment) {
    const Bytes src = Arena(96).before;
    for (size_t count = 1; count <= 80; ++count) {
        for (size_t align = 0; align < 8; ++align) {
            const size_t saligns[] = {0, align, (align + 3) % 8};
            const int cs[] = {0, 0xAB, -1};
            for (int k = 0; k < 3; ++k) {
                for (int i = 0; i < 3; ++i) {
                    Arena a(128), b(128);
                    ASSERT_EQ(COPIES[i](a.dest() + align, count, &src[saligns[k]], count), 0);
                    ASSERT_EQ(FILLS[i](b.dest() + align, count, cs[k], count), 0);
                    a.expect(Bytes(&src[saligns[k]], &src[saligns[k] + count]), align);
                    b.expect(Bytes(count, static_cast<unsigned char>(cs[k])), align);
                }
            }
            if (HasFailure()) FAIL() << "count " << count << " alignment " << align;
        }
    }
}

// Only the Tc variants skip the maximum-size test, and only on a sound call.
TEST(TcVariants, SkipTheMaximumOnTheFastPathOnly) {
    Arena a;
    for (CopyFn f : {&memcpy_s, &memcpy_sOptAsm})
        EXPECT_EQ(f(a.dest(), OVER, a.dest() + 24, 8), 34);
    for (FillFn f : {&memset_s, &memset_sOptAsm}) EXPECT_EQ(f(a.dest(), OVER, 7, 8), 34);
    a.expect({});
    EXPECT_EQ(memcpy_sOptTc(a.dest(), OVER, a.dest() + 24, 4), 0);
    EXPECT_EQ(memset_sOptTc(a.dest() + 4, OVER, 7, 4), 0);
    a.expect({41, 42, 43, 44, 7, 7, 7, 7});
}

// dest (n: null), src, the distance from dest where src is put first (APART:
// left where it is), destMax, code. The NUL counts for an overlap; dest may
// be src when the string ends within destMax.
TEST(StrcpyS, Rows) {
    constexpr ptrdiff_t APART = PTRDIFF_MAX;
    const std::string z(40, 'z');
    const char *z40 = z.c_str(), *z16 = z40 + 24, *ab = "abcdefgh";
    const std::tuple<char, const char *, ptrdiff_t, size_t, int> rows[] = {
        {'d', "1234567", APART, 8, 0}, {'d', "12345678", APART, 8, 162},
        {'d', z40, APART, 16, 162},    {'d', z40, APART, 41, 0},
        {'d', "x", APART, MAX, 0},     {'d', "x", APART, 0, 34},
        {'d', "x", APART, OVER, 34},   {'n', "x", APART, 16, 22},
        {'n', nullptr, APART, 16, 22}, {'d', nullptr, APART, 16, 150},
        {'d', ab, -9, 12, 0},          {'d', ab, -8, 12, 182},
        {'d', ab, 9, 12, 0},           {'d', ab, 8, 12, 182},
        {'d', ab, 0, 12, 0},           {'d', z16, 0, 16, 162}};
    for (const auto &[dest, src, at, destMax, code] : rows) {
        SCOPED_TRACE(testing::Message() << (src ? src : "null") << " at " << at);
        Arena a;
        if (at != APART) {
            std::copy(src, src + strlen(src) + 1, a.str() + at);
            a.before = a.bytes;
        }
        const char *s = at == APART ? src : a.str() + at;
        EXPECT_EQ(strcpy_s(dest == 'n' ? nullptr : a.str(), destMax, s), code);
        a.expect(code == 0 ? Bytes(src, src + strlen(src) + 1) : code > 128 ? Bytes{0} : Bytes());
    }
}

}  // namespace
