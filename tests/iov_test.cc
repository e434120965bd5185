// The io vector: allocation limits, release, reset and the header moves.
#include "common/iov.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdlib>

namespace {

bool all_zero(const void *p, size_t n) {
    const auto *b = static_cast<const unsigned char *>(p);
    for (size_t i = 0; i < n; i++) {
        if (b[i] != 0) {
            return false;
        }
    }
    return true;
}

TEST(Iov, AllocationLimitsAndZeroedSlices) {
    EXPECT_EQ(nullptr, alloc_common_io_buf(IOV_ARRAY_SIZE));
    EXPECT_EQ(nullptr, alloc_common_io_buf(1000));

    common_io_buf *empty = alloc_common_io_buf(0);
    ASSERT_NE(nullptr, empty);
    for (const auto &e : empty->iov) {
        EXPECT_EQ(nullptr, e.iov_base);
    }
    EXPECT_EQ(0u, empty->iov_cnt);
    release_common_io_buf(empty);

    common_io_buf *full = alloc_common_io_buf(IOV_MAX_ALLOC);
    ASSERT_NE(nullptr, full);
    for (uint64_t i = 0; i < IOV_MAX_ALLOC; i++) {
        ASSERT_NE(nullptr, full->iov[i].iov_base);
        EXPECT_EQ(static_cast<size_t>(BUFSIZE), full->iov[i].iov_len);
        EXPECT_TRUE(all_zero(full->iov[i].iov_base, static_cast<size_t>(BUFSIZE)));
    }
    EXPECT_EQ(nullptr, full->iov[IOV_MAX_ALLOC].iov_base);
    EXPECT_EQ(0u, full->iov_cnt);
    EXPECT_EQ(0, full->total_len);
    release_common_io_buf(full);
}

TEST(Iov, ReserveThenRestoreIsARoundTrip) {
    common_io_buf *v = alloc_common_io_buf(1);
    void *start = v->iov[0].iov_base;
    EXPECT_EQ(start, iov_reserve_buf(v, 32));
    EXPECT_EQ(static_cast<char *>(start) + 32, v->iov[0].iov_base);
    EXPECT_EQ(static_cast<size_t>(BUFSIZE - 32), v->iov[0].iov_len);
    EXPECT_EQ(static_cast<char *>(start) + 32, iov_restore_buf(v, 32));
    EXPECT_EQ(start, v->iov[0].iov_base);
    EXPECT_EQ(static_cast<size_t>(BUFSIZE), v->iov[0].iov_len);
    release_common_io_buf(v);
}

TEST(Iov, ResetAndFreeTouchOnlyAllocatedEntries) {
    common_io_buf *v = alloc_common_io_buf(2);
    v->iov_cnt = 2;
    v->iov[0].iov_len = 5;
    v->iov[2].iov_len = 77;
    iov_reset(v, IOV_ARRAY_SIZE, static_cast<uint64_t>(BUFSIZE));
    EXPECT_EQ(static_cast<size_t>(BUFSIZE), v->iov[0].iov_len);
    EXPECT_EQ(static_cast<size_t>(BUFSIZE), v->iov[1].iov_len);
    EXPECT_EQ(77u, v->iov[2].iov_len);
    EXPECT_EQ(2u, v->iov_cnt);

    free_iov(v, 1);
    EXPECT_EQ(nullptr, v->iov[0].iov_base);
    EXPECT_NE(nullptr, v->iov[1].iov_base);
    free_iov(v, 1);  // nothing left there to free
    free_iov(v, IOV_ARRAY_SIZE);
    EXPECT_EQ(nullptr, v->iov[1].iov_base);
    free(v);
}

// A reader may have grown the vector past iov_cnt; releasing it must free
// those slices too (the leak checker of the Asan build catches a miss).
// Heap in use goes back to where it was: slices beyond iov_cnt are freed
// too.
TEST(Iov, ReleaseFreesSlicesBeyondTheMessage) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the leak check at exit does this work";
#endif
    auto in_use_after_one_cycle = [] {
        size_t before = mallinfo2().uordblks;
        common_io_buf *v = alloc_common_io_buf(1);
        for (uint64_t i = 1; i < IOV_ARRAY_SIZE; i++) {
            v->iov[i].iov_base = malloc(static_cast<size_t>(BUFSIZE));
        }
        v->iov_cnt = 1;
        size_t held = mallinfo2().uordblks - before;
        release_common_io_buf(v);
        return std::make_pair(held, mallinfo2().uordblks - before);
    };
    in_use_after_one_cycle();  // the first round may set up the allocator
    auto [held, left] = in_use_after_one_cycle();
    release_common_io_buf(nullptr);
    EXPECT_GE(held, 128 * static_cast<size_t>(BUFSIZE));
    EXPECT_EQ(left, 0u);
}

}  // namespace
