// Result codes and destination state of the bounded copy and fill routines,
// including overlap edges and the small-size paths.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bounded/securec.h"

namespace {

constexpr unsigned char GUARD = 0xAA;
constexpr unsigned char OLD = 0x5C;

// A destination window inside a guarded arena, so every byte the routine
// touches or leaves alone can be checked.
struct Arena {
    static constexpr size_t GUARD_LEN = 16;
    std::vector<unsigned char> bytes;
    size_t size;

    explicit Arena(size_t n) : bytes(n + 2 * GUARD_LEN, GUARD), size(n) { memset(dest(), OLD, n); }
    unsigned char *dest() { return bytes.data() + GUARD_LEN; }

    // Every window byte equals the expected one and no guard byte changed.
    void expect_window(const std::vector<unsigned char> &want) {
        ASSERT_EQ(want.size(), size);
        for (size_t i = 0; i < size; ++i) EXPECT_EQ(dest()[i], want[i]) << "byte " << i;
        expect_guards();
    }
    void expect_fill(unsigned char c) { expect_window(std::vector<unsigned char>(size, c)); }
    void expect_guards() {
        for (size_t i = 0; i < GUARD_LEN; ++i) {
            EXPECT_EQ(bytes[i], GUARD);
            EXPECT_EQ(bytes[GUARD_LEN + size + i], GUARD);
        }
    }
};

std::vector<unsigned char> pattern(size_t n, unsigned char seed = 1) {
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(seed + i * 7);
    return v;
}

using CopyFn = int (*)(void *, size_t, const void *, size_t);
using FillFn = int (*)(void *, size_t, int, size_t);

class CopyTest : public ::testing::TestWithParam<CopyFn> {};

TEST_P(CopyTest, SuccessWritesOnlyCountBytes) {
    Arena a(16);
    const auto src = pattern(10);
    EXPECT_EQ(GetParam()(a.dest(), 16, src.data(), 10), EOK);
    auto want = src;
    want.resize(16, OLD);
    a.expect_window(want);
}

TEST_P(CopyTest, NothingToDo) {
    Arena a(8);
    const auto src = pattern(8);
    EXPECT_EQ(GetParam()(a.dest(), 8, src.data(), 0), EOK);
    a.expect_fill(OLD);
    EXPECT_EQ(GetParam()(a.dest(), 8, a.dest(), 8), EOK);  // dest is src
    a.expect_fill(OLD);
}

TEST_P(CopyTest, ErrorRows) {
    const auto src = pattern(32);
    {
        Arena a(8);  // size 0 and above the maximum: untouched
        EXPECT_EQ(GetParam()(a.dest(), 0, src.data(), 0), ERANGE_S);
        EXPECT_EQ(GetParam()(nullptr, 0, nullptr, 4), ERANGE_S);
        EXPECT_EQ(GetParam()(a.dest(), SECUREC_MEM_MAX_LEN + 1, nullptr, 4), ERANGE_S);
        a.expect_fill(OLD);
    }
    {
        Arena a(8);  // null source resets a usable destination
        EXPECT_EQ(GetParam()(nullptr, 8, nullptr, 4), EINVAL_S);
        EXPECT_EQ(GetParam()(a.dest(), 8, nullptr, 4), EINVAL_AND_RESET);
        a.expect_fill(0);
    }
    {
        Arena a(8);
        EXPECT_EQ(GetParam()(nullptr, 8, src.data(), 4), EINVAL_S);
        a.expect_fill(OLD);
    }
    {
        Arena a(4);  // 10 bytes into 4: all 4 zeroed
        EXPECT_EQ(GetParam()(a.dest(), 4, src.data(), 10), ERANGE_AND_RESET);
        a.expect_fill(0);
    }
    {
        Arena a(8);  // count above destMax wins over dest == src
        EXPECT_EQ(GetParam()(a.dest(), 8, a.dest(), 9), ERANGE_AND_RESET);
        a.expect_fill(0);
    }
}

// Source and destination both inside one arena, at a chosen distance.
void check_overlap(CopyFn fn, ptrdiff_t dest_minus_src, size_t count, bool overlaps) {
    SCOPED_TRACE("distance " + std::to_string(dest_minus_src));
    std::vector<unsigned char> arena = pattern(64);
    unsigned char *src = arena.data() + 24;
    unsigned char *dest = src + dest_minus_src;
    const std::vector<unsigned char> src_copy(src, src + count);
    const std::vector<unsigned char> before = arena;
    const size_t destMax = count + 2;
    const int r = fn(dest, destMax, src, count);
    if (overlaps) {
        EXPECT_EQ(r, EOVERLAP_AND_RESET);
        for (size_t i = 0; i < destMax; ++i) EXPECT_EQ(dest[i], 0) << "byte " << i;
    } else {
        EXPECT_EQ(r, EOK);
        EXPECT_EQ(std::vector<unsigned char>(dest, dest + count), src_copy);
        for (size_t i = count; i < destMax; ++i)
            EXPECT_EQ(dest[i], before[dest - arena.data() + i]);
    }
}

TEST_P(CopyTest, OverlapAtBothEdges) {
    constexpr size_t n = 8;
    check_overlap(GetParam(), -static_cast<ptrdiff_t>(n), n, false);     // dest before, touching
    check_overlap(GetParam(), -static_cast<ptrdiff_t>(n) + 1, n, true);  // one shared byte
    check_overlap(GetParam(), n, n, false);                              // dest after, touching
    check_overlap(GetParam(), n - 1, n, true);                           // one shared byte
    check_overlap(GetParam(), 1, 4, true);                               // src one byte after dest
    check_overlap(GetParam(), -1, 4, true);
}

TEST_P(CopyTest, EverySmallSizeAndAlignment) {
    const auto src_bytes = pattern(96 + 8, 3);
    for (size_t count = 1; count <= 80; ++count) {
        for (size_t dalign = 0; dalign < 8; ++dalign) {
            for (size_t salign : {size_t{0}, dalign, (dalign + 3) % 8}) {
                Arena a(count + 8);
                unsigned char *dest = a.dest() + dalign;
                ASSERT_EQ(GetParam()(dest, count, src_bytes.data() + salign, count), EOK);
                auto want = std::vector<unsigned char>(dalign, OLD);
                want.insert(want.end(), src_bytes.begin() + salign,
                            src_bytes.begin() + salign + count);
                want.resize(count + 8, OLD);
                a.expect_window(want);
                if (HasFailure()) FAIL() << "count " << count << " dalign " << dalign;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    AllCopies, CopyTest, ::testing::Values(&memcpy_s, &memcpy_sOptAsm, &memcpy_sOptTc),
    [](const auto &info) {
        return std::string(info.index == 0 ? "memcpy_s" : info.index == 1 ? "OptAsm" : "OptTc");
    });

TEST(CopyTc, FastPathSkipsTheMaximumErrorPathKeepsIt) {
    Arena a(8);
    const auto src = pattern(8);
    // A too-large destMax is not checked when the copy itself is sound.
    EXPECT_EQ(memcpy_sOptTc(a.dest(), SECUREC_MEM_MAX_LEN + 1, src.data(), 8), EOK);
    a.expect_window(src);
    EXPECT_EQ(memcpy_sOptTc(a.dest(), SECUREC_MEM_MAX_LEN + 1, nullptr, 8), ERANGE_S);
    EXPECT_EQ(memcpy_sOptAsm(a.dest(), SECUREC_MEM_MAX_LEN + 1, src.data(), 8), ERANGE_S);
    a.expect_window(src);
}

class FillTest : public ::testing::TestWithParam<FillFn> {};

TEST_P(FillTest, SuccessAndErrorRows) {
    {
        Arena a(16);
        EXPECT_EQ(GetParam()(a.dest(), 16, 0x33, 5), EOK);
        auto want = std::vector<unsigned char>(5, 0x33);
        want.resize(16, OLD);
        a.expect_window(want);
    }
    {
        Arena a(8);
        EXPECT_EQ(GetParam()(a.dest(), 0, 0x33, 0), EOK);  // nothing asked, nothing written
        EXPECT_EQ(GetParam()(a.dest(), 0, 0x33, 1), ERANGE_S);
        EXPECT_EQ(GetParam()(nullptr, 8, 0x33, 1), EINVAL_S);
        EXPECT_EQ(GetParam()(nullptr, 0, 0x33, 1), ERANGE_S);
        a.expect_fill(OLD);
    }
    {
        Arena a(8);  // too much: the whole destination holds c
        EXPECT_EQ(GetParam()(a.dest(), 8, 0x1F1, 9), ERANGE_AND_RESET);
        a.expect_fill(0xF1);
    }
}

TEST_P(FillTest, EverySmallSizeAndAlignment) {
    for (int c : {0, 0xAB, -1}) {
        for (size_t count = 0; count <= 40; ++count) {
            for (size_t align = 0; align < 8; ++align) {
                Arena a(count + 8);
                ASSERT_EQ(GetParam()(a.dest() + align, count, c, count), EOK);
                auto want = std::vector<unsigned char>(align, OLD);
                want.resize(align + count, static_cast<unsigned char>(c));
                want.resize(count + 8, OLD);
                a.expect_window(want);
                if (HasFailure()) FAIL() << "c " << c << " count " << count << " align " << align;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    AllFills, FillTest, ::testing::Values(&memset_s, &memset_sOptAsm, &memset_sOptTc),
    [](const auto &info) {
        return std::string(info.index == 0 ? "memset_s" : info.index == 1 ? "OptAsm" : "OptTc");
    });

TEST(FillTc, FastPathSkipsTheMaximum) {
    Arena a(8);
    EXPECT_EQ(memset_sOptTc(a.dest(), SECUREC_MEM_MAX_LEN + 1, 7, 8), EOK);
    a.expect_fill(7);
    EXPECT_EQ(memset_s(a.dest(), SECUREC_MEM_MAX_LEN + 1, 9, 8), ERANGE_S);
    EXPECT_EQ(memset_sOptAsm(a.dest(), SECUREC_MEM_MAX_LEN + 1, 9, 8), ERANGE_S);
    a.expect_fill(7);
}

std::vector<unsigned char> as_bytes(const std::string &s, size_t size) {
    std::vector<unsigned char> v(s.begin(), s.end());
    v.push_back('\0');
    v.resize(size, OLD);
    return v;
}

TEST(StrcpyS, CopiesShortAndLongStrings) {
    for (size_t len : {0, 1, 7, 8, 30, 31, 32, 33, 100}) {
        for (size_t align = 0; align < 8; align += 3) {
            const std::string s(len, 'q');
            const std::string src = std::string(align, '-') + s;
            Arena a(len + 1 + 4);
            ASSERT_EQ(
                strcpy_s(reinterpret_cast<char *>(a.dest()), len + 1 + 4, src.c_str() + align),
                EOK);
            a.expect_window(as_bytes(s, len + 5));
        }
    }
}

TEST(StrcpyS, FitsExactlyOrByOneTooLong) {
    Arena a(8);
    char *d = reinterpret_cast<char *>(a.dest());
    EXPECT_EQ(strcpy_s(d, 8, "1234567"), EOK);
    a.expect_window(as_bytes("1234567", 8));
    Arena b(8);
    d = reinterpret_cast<char *>(b.dest());
    EXPECT_EQ(strcpy_s(d, 8, "12345678"), ERANGE_AND_RESET);
    auto want = std::vector<unsigned char>(8, OLD);
    want[0] = 0;
    b.expect_window(want);
}

TEST(StrcpyS, ErrorRows) {
    auto reset = std::vector<unsigned char>(16, OLD);
    reset[0] = 0;
    {
        Arena a(16);
        char *d = reinterpret_cast<char *>(a.dest());
        EXPECT_EQ(strcpy_s(d, 0, "x"), ERANGE_S);
        EXPECT_EQ(strcpy_s(d, SECUREC_STRING_MAX_LEN + 1, "x"), ERANGE_S);
        EXPECT_EQ(strcpy_s(nullptr, 16, "x"), EINVAL_S);
        EXPECT_EQ(strcpy_s(nullptr, 16, nullptr), EINVAL_S);
        a.expect_fill(OLD);
        EXPECT_EQ(strcpy_s(d, 16, nullptr), EINVAL_AND_RESET);
        a.expect_window(reset);
    }
    {
        Arena a(16);  // 40 characters into 16 bytes
        EXPECT_EQ(strcpy_s(reinterpret_cast<char *>(a.dest()), 16, std::string(40, 'z').c_str()),
                  ERANGE_AND_RESET);
        a.expect_window(reset);
    }
    {
        Arena a(16);  // dest is src: fine when it fits, reset when unterminated
        char *d = reinterpret_cast<char *>(a.dest());
        memcpy(d, "abc", 4);
        EXPECT_EQ(strcpy_s(d, 16, d), EOK);
        a.expect_window(as_bytes("abc", 16));
        memset(d, 'y', 16);
        EXPECT_EQ(strcpy_s(d, 16, d), ERANGE_AND_RESET);
        auto want = std::vector<unsigned char>(16, 'y');
        want[0] = 0;
        a.expect_window(want);
    }
}

TEST(StrcpyS, OverlapCountsTheNul) {
    char buf[40];
    auto run = [&](int dest_at, int src_at) {
        memset(buf, '.', sizeof(buf));
        memcpy(buf + src_at, "abcdefgh", 9);  // 9 bytes with the NUL
        return strcpy_s(buf + dest_at, 12, buf + src_at);
    };
    EXPECT_EQ(run(20, 11), EOK);  // dest right after the NUL
    EXPECT_STREQ(buf + 20, "abcdefgh");
    EXPECT_EQ(run(19, 11), EOVERLAP_AND_RESET);  // dest starts on the NUL
    EXPECT_EQ(buf[19], '\0');
    EXPECT_EQ(buf[20], '.');
    EXPECT_EQ(run(2, 11), EOK);  // dest ends right before src
    EXPECT_STREQ(buf + 2, "abcdefgh");
    EXPECT_EQ(run(3, 11), EOVERLAP_AND_RESET);  // last byte copied would hit src
    EXPECT_EQ(buf[3], '\0');
    EXPECT_STREQ(buf + 11, "abcdefgh");
}

}  // namespace
