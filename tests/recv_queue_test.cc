// Tests of the receive queue: entry recycling and order, the length limit,
// ageing by the collector, malformed messages, and the reader's pass.
#include "link/recv_queue.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "tests/link_support.h"

using namespace test_support;

namespace {

time_t g_fake_now = 1000;
time_t fake_clock() {
    return g_fake_now;
}

class RecvQueueTest : public link_test {
  protected:
    void SetUp() override {
        link_test::SetUp();
        saved_clock_ = g_queue_clock;
        g_queue_clock = fake_clock;
        g_fake_now = 1000;
    }
    void TearDown() override {
        link_test::TearDown();
        g_queue_clock = saved_clock_;
    }
    static common_io_buf *msg_for(uint32_t id) {
        return make_msg(make_header(MSG_TYPE_FORWARD, 0, 1, id, 9), "x");
    }
    static std::vector<recv_msg_list *> entries() {
        std::vector<recv_msg_list *> out;
        for (recv_msg_list *e = g_p_recv_msg_list; e != nullptr; e = e->next) {
            out.push_back(e);
        }
        return out;
    }
    time_t (*saved_clock_)() = nullptr;
};

TEST_F(RecvQueueTest, RecycledEntryMovesToTailAndLinkOrderIsKept) {
    common_io_buf *a = msg_for(1);
    common_io_buf *b = msg_for(2);
    common_io_buf *c = msg_for(1);
    ASSERT_EQ(enqueue_msg(&g_p_recv_msg_list, a), 0);
    ASSERT_EQ(enqueue_msg(&g_p_recv_msg_list, b), 0);
    ASSERT_EQ(enqueue_msg(&g_p_recv_msg_list, c), 0);
    int length = g_list_length;
    std::vector<recv_msg_list *> before = entries();
    ASSERT_EQ(before.size(), static_cast<size_t>(length));

    // Taking b frees an entry ahead of c; the next message reuses the first
    // free entry (b's, unless earlier tests left free ones) at the tail, so
    // id 1 still arrives in queue order a, c, d.
    EXPECT_EQ(read_cdev_iov(2), b);
    release_common_io_buf(b);
    recv_msg_list *first_free = nullptr;
    for (recv_msg_list *e : entries()) {
        if (first_free == nullptr && e->msg == nullptr) {
            first_free = e;
        }
    }
    ASSERT_NE(first_free, nullptr);
    common_io_buf *d = msg_for(1);
    ASSERT_EQ(enqueue_msg(&g_p_recv_msg_list, d), 0);
    EXPECT_EQ(g_list_length, length);
    std::vector<recv_msg_list *> after = entries();
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(after.back(), first_free);
    EXPECT_EQ(first_free->msg, d);
    EXPECT_EQ(first_free->next, nullptr);

    EXPECT_EQ(read_cdev_iov(1), a);
    EXPECT_EQ(read_cdev_iov(1), c);
    EXPECT_EQ(read_cdev_iov(1), d);
    EXPECT_EQ(read_cdev_iov(1), nullptr);
    EXPECT_EQ(read_cdev_iov(0), nullptr);
    for (common_io_buf *v : {a, c, d}) {
        release_common_io_buf(v);
    }
}

TEST_F(RecvQueueTest, ListStopsAtMaxLengthWithOneNotice) {
    // Every entry is free after the last drain; fill all of them and grow the
    // list to its limit.
    for (int i = 0; i < MAX_LIST_LENGTH; ++i) {
        ASSERT_EQ(enqueue_msg(&g_p_recv_msg_list, msg_for(5)), 0) << i;
    }
    EXPECT_EQ(g_list_length, MAX_LIST_LENGTH);
    common_io_buf *extra = msg_for(6);
    EXPECT_EQ(enqueue_msg(&g_p_recv_msg_list, extra), -1);
    EXPECT_EQ(enqueue_msg(&g_p_recv_msg_list, extra), -1);
    // The notice is written once in the life of the process.
    static size_t notices_due = 1;
    EXPECT_EQ(count_of(log_.text(), "message list reached max length\n"), notices_due);
    notices_due = 0;
    EXPECT_EQ(read_cdev_iov(6), nullptr);

    // One free entry is enough to queue again, without growing the list.
    common_io_buf *first = read_cdev_iov(5);
    ASSERT_NE(first, nullptr);
    release_common_io_buf(first);
    EXPECT_EQ(enqueue_msg(&g_p_recv_msg_list, extra), 0);
    EXPECT_EQ(g_list_length, MAX_LIST_LENGTH);
    EXPECT_EQ(read_cdev_iov(6), extra);
    release_common_io_buf(extra);
}

TEST_F(RecvQueueTest, CollectorDropsMessagesOlderThanTimeout) {
    g_fake_now = 5000;
    ASSERT_EQ(enqueue_msg(&g_p_recv_msg_list, msg_for(7)), 0);
    g_fake_now = 5100;
    ASSERT_EQ(enqueue_msg(&g_p_recv_msg_list, msg_for(8)), 0);

    garbage_collector_pass(5000 + MSG_TIMEOUT);      // exactly 600 s old: kept
    garbage_collector_pass(5000 + MSG_TIMEOUT + 1);  // 601 s: dropped
    EXPECT_EQ(read_cdev_iov(7), nullptr);
    common_io_buf *young = read_cdev_iov(8);
    ASSERT_NE(young, nullptr);
    release_common_io_buf(young);

    ASSERT_EQ(enqueue_msg(&g_p_recv_msg_list, msg_for(7)), 0);
    garbage_collector_pass(5000 + MSG_TIMEOUT);
    common_io_buf *kept = read_cdev_iov(7);
    EXPECT_NE(kept, nullptr);
    release_common_io_buf(kept);
}

TEST_F(RecvQueueTest, MalformedMessageIsNeverReturnedAndCollected) {
    common_io_buf *no_entries = msg_for(9);
    no_entries->iov_cnt = 0;
    common_io_buf *short_head = msg_for(9);
    short_head->iov[0].iov_len = MSG_HEADER_SIZE - 1;
    ASSERT_EQ(enqueue_msg(&g_p_recv_msg_list, no_entries), 0);
    ASSERT_EQ(enqueue_msg(&g_p_recv_msg_list, short_head), 0);

    EXPECT_EQ(read_cdev_iov(9), nullptr);
    std::string log = log_.text();
    EXPECT_EQ(count_of(log, "invalid iov,iov 0/"), 1u);
    EXPECT_EQ(count_of(log, "invalid iov,iov 1/31.\n"), 1u);

    // Both are freed at the next pass, young as they are (Asan checks the
    // slices); the entries become free.
    garbage_collector_pass(g_fake_now);
    for (recv_msg_list *e : entries()) {
        EXPECT_EQ(e->msg, nullptr);
    }
}

// The reader's pass with a scripted device.
std::vector<std::string> g_device_script;

int64_t scripted_read(int, common_io_buf *v) {
    if (g_device_script.empty()) {
        return 0;
    }
    std::string bytes = g_device_script.front();
    g_device_script.erase(g_device_script.begin());
    memcpy(v->iov[0].iov_base, bytes.data(), bytes.size());
    v->iov[0].iov_len = bytes.size();
    v->iov_cnt = 1;
    v->total_len = static_cast<int64_t>(bytes.size());
    return v->total_len;
}

TEST_F(RecvQueueTest, ReaderDropsShortMessagesAndQueuesTheRest) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "r", 1), 1);  // stays readable: the fake never reads
    read_iov_func saved = g_read_iov_func;
    g_read_iov_func = scripted_read;
    std::string full = wire(make_header(MSG_TYPE_FORWARD, 0, 1, 77, 9)) + "payload";
    g_device_script = {full.substr(0, 31), full};

    common_io_buf *held = nullptr;
    EXPECT_TRUE(read_one_message(fds[0], &held));
    ASSERT_NE(held, nullptr);  // kept for the next message
    common_io_buf *reused = held;
    EXPECT_TRUE(read_one_message(fds[0], &held));
    EXPECT_EQ(held, nullptr);                       // the queue owns it now
    EXPECT_FALSE(read_one_message(fds[0], &held));  // nothing read: pause
    release_common_io_buf(held);

    common_io_buf *got = read_cdev_iov(77);
    ASSERT_EQ(got, reused);
    EXPECT_EQ(got->total_len, static_cast<int64_t>(full.size()));
    EXPECT_EQ(std::string(static_cast<char *>(got->iov[0].iov_base), got->iov[0].iov_len), full);
    release_common_io_buf(got);
    EXPECT_EQ(count_of(log_.text(), "Drop too short message, length: 31.\n"), 1u);

    g_read_iov_func = saved;
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
