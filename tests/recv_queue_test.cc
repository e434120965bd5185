// The receive queue, its reader and link ids: 1000 messages in all and 128
// per link, ageing after 600 s and the 10 s grace of unclaimed messages on an
// injected clock, ended links, wake-ups, and ids issued past zero and around
// the ones held.
#include "link/recv_queue.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "frame/util.h"
#include "link/link_id.h"
#include "link/reader.h"
#include "tests/link_support.h"

using namespace test_support;

namespace {

time_t g_now = 1000;

// A waker that counts what it was told.
struct counting_waker {
    int messages = 0;
    int ended = 0;
    static void wake(void *arg, bool link_ended) {
        auto *w = static_cast<counting_waker *>(arg);
        ++(link_ended ? w->ended : w->messages);
    }
    queue_waker waker() { return {wake, this}; }
};

class RecvQueueTest : public link_test {
  protected:
    void SetUp() override {
        link_test::SetUp();
        g_queue_clock = [] { return g_now; };
    }
    static int enqueue(uint32_t id, const std::string &payload = "x") {
        common_io_buf *v = make_msg(header(3, 0, 1, id, 9) + payload);
        int ret = enqueue_msg(v);
        if (ret != 0) release_common_io_buf(v);
        return ret;
    }
    // Takes every message of the id: their payloads, oldest first.
    static std::vector<std::string> take_all(uint32_t id) {
        std::vector<std::string> out;
        while (common_io_buf *v = read_cdev_iov(id)) {
            std::vector<uint8_t> bytes = gathered(v);
            out.emplace_back(bytes.begin() + 32, bytes.end());
            release_common_io_buf(v);
        }
        return out;
    }
};

// First in the file: the counter is still at its start value.
TEST_F(RecvQueueTest, LinkIdsStartAfter00DB0700WrapPastZeroAndSkipHeldOnes) {
    EXPECT_EQ(cdev_generate_link_id(), 0x00DB0701u);
    EXPECT_EQ(count_of(log_.text(), "Flush link msg for link_id: 0x0107db00\n"), 1u);
    EXPECT_EQ(level_of("Flush link msg for link_id: 0x", [] { cdev_generate_link_id(); }), 0);
    set_link_id_counter(0xFFFFFFFE);
    EXPECT_EQ(cdev_generate_link_id(), 0xFFFFFFFFu);
    EXPECT_EQ(cdev_generate_link_id(), 1u);

    conn_node *held[] = {alloc_node(-1, -1), alloc_node(-1, -1)};
    for (uint32_t i = 0; i < 2; i++) held[i]->link_id = 101 + i;
    for (conn_node *n : held) add_to_head(&g_forward_list, n);
    set_link_id_counter(100);
    EXPECT_EQ(cdev_generate_link_id(), 103u);
    for (conn_node *n : held) detach_one_node(&g_forward_list, n);
    for (conn_node *n : held) free_node(n);
    set_link_id_counter(100);
    EXPECT_EQ(cdev_generate_link_id(), 101u);

    // Messages left under an id by an earlier holder are flushed at issue.
    for (int i = 0; i < 3; ++i) enqueue(201);
    enqueue(202, "other");
    set_link_id_counter(200);
    EXPECT_EQ(cdev_generate_link_id(), 201u);
    EXPECT_EQ(read_cdev_iov(201), nullptr);
    EXPECT_EQ(take_all(202), std::vector<std::string>{"other"});
    EXPECT_EQ(count_of(log_.text(), "Flushed 3 link msg in total\n"), 1u);
}

TEST_F(RecvQueueTest, EachLinkGetsItsOwnMessagesInOrderAndEntriesAreRecycled) {
    for (uint32_t id : {1, 2, 1}) ASSERT_EQ(enqueue(id, std::to_string(queued_messages())), 0);
    int length = g_list_length;
    EXPECT_EQ(take_all(2), std::vector<std::string>{"1"});
    ASSERT_EQ(enqueue(1, "3"), 0);
    EXPECT_EQ(g_list_length, length);  // the freed entry was taken again
    EXPECT_EQ(take_all(1), (std::vector<std::string>{"0", "2", "3"}));
}

TEST_F(RecvQueueTest, AThousandMessagesInAllWithOneNoticeAtLevelOne) {
    log_at(1);
    for (uint32_t i = 0; i < 1000; ++i) ASSERT_EQ(enqueue(100 + i % 10), 0) << i;
    EXPECT_EQ(enqueue(6), -1);  // after 50 ms of waiting for room
    EXPECT_EQ(enqueue(6), -1);
    EXPECT_EQ(count_of(log_.text(), "message list reached max length\n"), 1u);  // once a process
    release_common_io_buf(read_cdev_iov(100));
    EXPECT_EQ(enqueue(6), 0);
    EXPECT_EQ(g_list_length, 1000);
}

// A client that stops reading loses its own link, never another's data.
TEST_F(RecvQueueTest, OneLinkHoldsAtMost128AndIsDroppedBeyond) {
    log_at(2);
    counting_waker slow, other;
    queue_open_link(7, slow.waker());
    queue_open_link(8, other.waker());
    for (int i = 0; i < 128; ++i) ASSERT_EQ(enqueue(7), 0) << i;
    ASSERT_EQ(enqueue(8, "kept"), 0);
    EXPECT_EQ(enqueue(7), -1);
    EXPECT_EQ(slow.messages, 128);
    EXPECT_EQ(slow.ended, 1);
    EXPECT_TRUE(queue_link_dropped(7));
    EXPECT_EQ(read_cdev_iov(7), nullptr);  // its messages were freed at once
    EXPECT_EQ(count_of(log_.text(),
                       "No room in the receive queue for link id 0x07000000, "
                       "link dropped (128 msg freed)\n"),
              1u);
    queue_wait_end end = queue_wait_end::STOPPED;
    EXPECT_EQ(wait_cdev_iov(7, nullptr, nullptr, &end), nullptr);  // does not wait
    EXPECT_EQ(end, queue_wait_end::LINK_ENDED);
    EXPECT_EQ(take_all(8), std::vector<std::string>{"kept"});
    EXPECT_EQ(other.ended, 0);
}

TEST_F(RecvQueueTest, EndedLinkIsFlushedAndLateMessagesDroppedWithOneLineAtLevelOne) {
    counting_waker w;
    queue_open_link(0x0107db00, w.waker());
    ASSERT_EQ(enqueue(0x0107db00), 0);
    queue_close_link(0x0107db00);
    EXPECT_EQ(queued_messages(), 0);
    EXPECT_EQ(count_of(log_.text(), "Flushed 1 msg of ended link id 0x00db0701\n"), 1u);
    auto late = [] {
        for (int i = 0; i < 3; ++i) EXPECT_EQ(enqueue(0x0107db00), 0);
    };
    late();
    EXPECT_EQ(queued_messages(), 0);
    EXPECT_EQ(w.messages, 1);
    EXPECT_EQ(count_of(log_.text(), "Drop msg for ended link id 0x00db0701\n"), 1u);
    EXPECT_EQ(level_of("Drop msg for ended link id 0x00db0701\n",
                       [&] {
                           queue_open_link(0x0107db00, {});
                           queue_close_link(0x0107db00);
                           late();
                       }),
              1);
    queue_open_link(0x0107db00, w.waker());  // issued again: a link like any other
    ASSERT_EQ(enqueue(0x0107db00, "new"), 0);
    EXPECT_EQ(take_all(0x0107db00), std::vector<std::string>{"new"});
}

TEST_F(RecvQueueTest, CollectorAgesMessagesAfter600sAndUnclaimedOnesAfter10s) {
    queue_open_link(11, {});
    g_now = 5000;
    for (uint32_t id : {11, 12, 0}) ASSERT_EQ(enqueue(id, "old"), 0);
    g_now = 5100;
    ASSERT_EQ(enqueue(11, "young"), 0);
    log_at(1);
    garbage_collector_pass(5010);  // 10 s: the grace is not over
    EXPECT_EQ(queued_messages(), 4);
    garbage_collector_pass(5011);
    EXPECT_EQ(read_cdev_iov(12), nullptr);
    EXPECT_EQ(count_of(log_.text(), "Dropped 1 msg for unknown link id 0x0c000000\n"), 1u);
    garbage_collector_pass(5600);  // exactly 600 s old: kept
    EXPECT_EQ(queued_messages(), 3);
    garbage_collector_pass(5601);
    EXPECT_EQ(take_all(11), std::vector<std::string>{"young"});
    EXPECT_EQ(read_cdev_iov(0), nullptr);  // requests age like the rest
}

TEST_F(RecvQueueTest, WaitReturnsAMessageOrAStop) {
    static pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    queue_open_link(21, {[](void *, bool) { pthread_cond_signal(&cond); }, nullptr});
    std::atomic<bool> stop{false};
    queue_wait_end end = queue_wait_end::LINK_ENDED;
    std::thread late([] { msleep(20), enqueue(21); });
    common_io_buf *v = wait_cdev_iov(21, &cond, &stop, &end);
    late.join();
    EXPECT_NE(v, nullptr);
    release_common_io_buf(v);
    std::thread stopper([&stop] { msleep(20), stop = true, queue_wake(21); });
    EXPECT_EQ(wait_cdev_iov(21, &cond, &stop, &end), nullptr);
    stopper.join();
    EXPECT_EQ(end, queue_wait_end::STOPPED);
}

// The reader drops what is shorter than the 32-byte header and queues the
// rest, bare headers too.
TEST_F(RecvQueueTest, ReaderQueuesMessagesOfAtLeast32Bytes) {
    static std::vector<std::string> script;
    std::string full = header(3, 0, 1, 77, 9) + "payload";
    script = {full.substr(0, 31), full.substr(0, 32), full};
    read_iov_func saved = g_read_iov_func;
    g_read_iov_func = [](int, common_io_buf *v) -> int64_t {
        if (script.empty()) return 0;
        memcpy(v->iov[0].iov_base, script[0].data(), script[0].size());
        v->total_len = static_cast<int64_t>(v->iov[0].iov_len = script[0].size());
        v->iov_cnt = 1;
        script.erase(script.begin());
        return v->total_len;
    };
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "r", 1), 1);  // readable for good: the script never reads
    common_io_buf *held = nullptr;
    log_at(2);
    for (read_result r :
         {read_result::MESSAGE, read_result::MESSAGE, read_result::MESSAGE, read_result::NOTHING}) {
        EXPECT_EQ(read_one_message(fds[0], &held), r);
    }
    release_common_io_buf(held);
    EXPECT_EQ(take_all(77), (std::vector<std::string>{"", "payload"}));
    EXPECT_EQ(count_of(log_.text(), "Drop too short message, length: 31.\n"), 1u);
    g_read_iov_func = saved;
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
