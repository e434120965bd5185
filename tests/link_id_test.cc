// Tests of link id issue: the first id, the wrap past 0xFFFFFFFF, ids held by
// forwarding links, the flush of stale messages, and concurrent callers.
#include "link/link_id.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "tests/link_support.h"

using namespace test_support;

namespace {

class LinkIdTest : public link_test {};

// Runs first: the counter is still at its start value.
TEST_F(LinkIdTest, FirstIdIsPrintedByteSwapped) {
    EXPECT_EQ(cdev_generate_link_id(), 0x00DB0701u);
    EXPECT_EQ(cdev_generate_link_id(), 0x00DB0702u);
    EXPECT_EQ(count_of(log_.text(), "Flush link msg for link_id: 0x0107db00\n"), 1u);
}

TEST_F(LinkIdTest, CounterWrapsPastZeroToOne) {
    set_link_id_counter(0xFFFFFFFEu);
    EXPECT_EQ(cdev_generate_link_id(), 0xFFFFFFFFu);
    EXPECT_EQ(cdev_generate_link_id(), 1u);
    EXPECT_EQ(cdev_generate_link_id(), 2u);
}

TEST_F(LinkIdTest, IdsHeldByForwardingLinksAreSkipped) {
    conn_node *a = alloc_node(-1, -1);
    conn_node *b = alloc_node(-1, -1);
    a->link_id = 101;
    b->link_id = 102;
    add_to_head(&g_forward_list, a);
    add_to_head(&g_forward_list, b);
    EXPECT_EQ(check_link_id_in_forward_list(101), 1);
    EXPECT_EQ(check_link_id_in_forward_list(103), 0);

    set_link_id_counter(100);
    EXPECT_EQ(cdev_generate_link_id(), 103u);

    detach_one_node(&g_forward_list, a);
    detach_one_node(&g_forward_list, b);
    free_node(a);
    free_node(b);
    // Released ids are issued again once the counter comes round.
    set_link_id_counter(100);
    EXPECT_EQ(cdev_generate_link_id(), 101u);
}

TEST_F(LinkIdTest, StaleMessagesOfTheIdAreFlushed) {
    for (int i = 0; i < 3; ++i) {
        queue_msg(make_header(MSG_TYPE_FORWARD, 0, 1, 201, 9), "old");
    }
    queue_msg(make_header(MSG_TYPE_FORWARD, 0, 1, 202, 9), "other");

    set_link_id_counter(200);
    EXPECT_EQ(cdev_generate_link_id(), 201u);
    EXPECT_EQ(read_cdev_iov(201), nullptr);
    common_io_buf *other = read_cdev_iov(202);
    ASSERT_NE(other, nullptr);
    release_common_io_buf(other);
    EXPECT_EQ(count_of(log_.text(), "Flushed 3 link msg in total\n"), 1u);
}

TEST_F(LinkIdTest, ConcurrentCallersGetDistinctIds) {
    constexpr int PER_THREAD = 2000;
    std::vector<uint32_t> ids[2];
    {
        std::vector<std::thread> threads;
        for (auto &out : ids) {
            threads.emplace_back([&out] {
                for (int i = 0; i < PER_THREAD; ++i) {
                    out.push_back(cdev_generate_link_id());
                }
            });
        }
        for (auto &t : threads) {
            t.join();
        }
    }
    std::set<uint32_t> all(ids[0].begin(), ids[0].end());
    all.insert(ids[1].begin(), ids[1].end());
    EXPECT_EQ(all.size(), 2u * PER_THREAD);
    EXPECT_EQ(all.count(0), 0u);
}

}  // namespace
