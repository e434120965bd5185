// Bounded copy, fill and strcpy_s: 0 (done), 22 (invalid) and 34 (range) leave the destination
// untouched, 128 more means it was reset (zeroed, filled with c, or ""), 182 is an overlap.
#include <gtest/gtest.h>

#include <cstring>
#include <ranges>
#include <string>
#include <tuple>
#include <vector>

#include "bounded/securec.h"

namespace {

using Bytes = std::vector<unsigned char>;
const decltype(&memcpy_s) COPIES[] = {&memcpy_s, &memcpy_sOptAsm, &memcpy_sOptTc};
const decltype(&memset_s) FILLS[] = {&memset_s, &memset_sOptAsm, &memset_sOptTc};
constexpr size_t MAX = 0x7fffffff, OVER = MAX + 1;  // the largest destination size accepted
constexpr ptrdiff_t NUL = PTRDIFF_MAX;              // a null source, or one left where it is

const auto ONE_TO_128 = std::views::iota(1, 129);
const Bytes ORDERED(ONE_TO_128.begin(), ONE_TO_128.end());

// Distinct bytes around a destination that starts at byte 16.
struct Arena {
    Bytes before = ORDERED, bytes = ORDERED;
    unsigned char *dest() { return &bytes[16]; }
    char *str() { return reinterpret_cast<char *>(dest()); }
    // Nothing changed but the bytes from dest() + at on, now `want`.
    void expect(const Bytes &want, size_t at = 0) {
        Bytes all = before;
        std::copy(want.begin(), want.end(), all.begin() + 16 + static_cast<ptrdiff_t>(at));
        EXPECT_EQ(bytes, all);
    }
};

// Copies: the source's distance from dest, destMax, count, code; a count above destMax wins
// over dest == src, adjacent ranges do not overlap. Fills: destMax, count, code; of c (0x1F1)
// the low byte is stored. A null dest gives 22, or 34 when destMax is 0.
TEST(CopyAndFill, RowsAndEverySmallSize) {
    const std::tuple<ptrdiff_t, size_t, size_t, int> copies[] = {
        {24, 8, 5, 0},   {24, 8, 8, 0},   {24, MAX, 8, 0},    {24, 8, 0, 0},
        {0, 8, 8, 0},    {24, 0, 0, 34},  {NUL, OVER, 4, 34}, {NUL, 8, 4, 150},
        {24, 8, 9, 162}, {0, 8, 9, 162},  {8, 8, 8, 0},       {7, 8, 8, 182},
        {-8, 8, 8, 0},   {-7, 8, 8, 182}, {1, 8, 4, 182},     {-1, 8, 4, 182}};
    const std::tuple<size_t, size_t, int> fills[] = {{8, 5, 0}, {8, 8, 0},  {MAX, 8, 0},
                                                     {0, 0, 0}, {0, 1, 34}, {8, 9, 162}};
    for (int i = 0; i < 3; ++i) {
        for (const auto &[at, destMax, count, code] : copies) {
            SCOPED_TRACE(testing::Message() << "src " << at << ", " << destMax << ", " << count);
            Arena a;
            const unsigned char *s = at == NUL ? nullptr : a.dest() + at;
            const Bytes copy = s ? Bytes(s, s + count) : Bytes();
            EXPECT_EQ(COPIES[i](a.dest(), destMax, s, count), code);
            a.expect(code > 128 ? Bytes(destMax, 0) : code ? Bytes() : copy);
        }
        for (const auto &[destMax, count, code] : fills) {
            Arena a;
            EXPECT_EQ(FILLS[i](a.dest(), destMax, 0x1F1, count), code) << count;
            a.expect(Bytes(code == 0 ? count : code > 128 ? destMax : 0, 0xF1));
        }
        EXPECT_EQ(std::tuple(COPIES[i](nullptr, 0, "abcd", 4), COPIES[i](nullptr, 8, nullptr, 4),
                             COPIES[i](nullptr, 8, "abcd", 4), FILLS[i](nullptr, 8, 0, 1),
                             FILLS[i](nullptr, 0, 0, 1)),
                  std::tuple(34, 22, 22, 22, 34));
        // Only the Tc variants skip the maximum-size test, and only on a sound call.
        Arena t;
        EXPECT_EQ(COPIES[i](t.dest(), OVER, t.dest() + 24, 4), i == 2 ? 0 : 34);
        EXPECT_EQ(FILLS[i](t.dest() + 4, OVER, 7, 4), i == 2 ? 0 : 34);
        t.expect(i == 2 ? Bytes{41, 42, 43, 44, 7, 7, 7, 7} : Bytes());
        // Copies up to 64 and fills up to 32 bytes take inline word or byte moves: every
        // size to 80 and alignment, from an aligned, equally and unequally aligned source.
        for (size_t count = 1; count <= 80; ++count)
            for (size_t align = 0; align < 8; ++align)
                for (auto [from, c] :
                     {std::pair<size_t, int>{0, 0}, {align, 0xAB}, {(align + 3) % 8, -1}}) {
                    Arena a, b;
                    ASSERT_EQ(COPIES[i](a.dest() + align, count, &ORDERED[from], count), 0);
                    ASSERT_EQ(FILLS[i](b.dest() + align, count, c, count), 0);
                    a.expect(Bytes(&ORDERED[from], &ORDERED[from] + count), align);
                    b.expect(Bytes(count, static_cast<unsigned char>(c)), align);
                    if (HasFailure()) FAIL() << i << ": count " << count << " alignment " << align;
                }
    }
}

// src, its distance from dest where it is put first (NUL: left apart), destMax, code. The NUL
// counts for an overlap; dest may be src when the string ends within destMax. Null dest: 22.
TEST(StrcpyS, Rows) {
    const std::string z(40, 'z');
    const char *z40 = z.c_str(), *z16 = z40 + 24, *ab = "abcdefgh";
    const std::tuple<const char *, ptrdiff_t, size_t, int> rows[] = {
        {ab + 1, NUL, 8, 0}, {ab, NUL, 8, 162}, {z40, NUL, 16, 162},  {z40, NUL, 41, 0},
        {"x", NUL, MAX, 0},  {"x", NUL, 0, 34}, {"x", NUL, OVER, 34}, {nullptr, NUL, 16, 150},
        {ab, -9, 12, 0},     {ab, -8, 12, 182}, {ab, 9, 12, 0},       {ab, 8, 12, 182},
        {ab, 0, 12, 0},      {z16, 0, 16, 162}};
    for (const auto &[src, at, destMax, code] : rows) {
        SCOPED_TRACE(testing::Message() << (src ? src : "null") << " at " << at);
        Arena a;
        if (at != NUL) std::copy(src, src + strlen(src) + 1, a.str() + at);
        a.before = a.bytes;
        EXPECT_EQ(strcpy_s(a.str(), destMax, at == NUL ? src : a.str() + at), code);
        a.expect(code == 0 ? Bytes(src, src + strlen(src) + 1) : code > 128 ? Bytes{0} : Bytes());
    }
    EXPECT_EQ(std::pair(strcpy_s(nullptr, 8, "x"), strcpy_s(nullptr, 8, nullptr)),
              std::pair(22, 22));
}

}  // namespace
