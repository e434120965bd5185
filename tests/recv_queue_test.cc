// Tests of the receive queue: order and isolation by link id, the limits of
// 1000 messages in all and 128 per link, ageing and the grace of unclaimed
// messages, ended links, wake-ups, and the reader's pass.
#include "link/recv_queue.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "frame/util.h"
#include "link/reader.h"
#include "tests/link_support.h"

using namespace test_support;

namespace {

time_t g_fake_now = 1000;
time_t fake_clock() {
    return g_fake_now;
}

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
        saved_clock_ = g_queue_clock;
        g_queue_clock = fake_clock;
        g_fake_now = 1000;
    }
    void TearDown() override {
        link_test::TearDown();
        g_queue_clock = saved_clock_;
    }
    static common_io_buf *msg_for(uint32_t id, const std::string &payload = "x") {
        return make_msg(make_header(MSG_TYPE_FORWARD, 0, 1, id, 9), payload);
    }
    // Takes every message of the id and returns their payloads.
    static std::vector<std::string> take_all(uint32_t id) {
        std::vector<std::string> out;
        while (common_io_buf *v = read_cdev_iov(id)) {
            std::vector<uint8_t> bytes = gathered(v);
            out.emplace_back(bytes.begin() + MSG_HEADER_SIZE, bytes.end());
            release_common_io_buf(v);
        }
        return out;
    }
    time_t (*saved_clock_)() = nullptr;
};

TEST_F(RecvQueueTest, EachLinkGetsItsOwnMessagesInOrderAndEntriesAreRecycled) {
    ASSERT_EQ(enqueue_msg(msg_for(1, "a")), 0);
    ASSERT_EQ(enqueue_msg(msg_for(2, "b")), 0);
    ASSERT_EQ(enqueue_msg(msg_for(1, "c")), 0);
    int length = g_list_length;
    EXPECT_EQ(take_all(2), std::vector<std::string>{"b"});
    ASSERT_EQ(enqueue_msg(msg_for(1, "d")), 0);
    EXPECT_EQ(g_list_length, length);  // the freed entry took "d"
    EXPECT_EQ(take_all(1), (std::vector<std::string>{"a", "c", "d"}));
    EXPECT_EQ(read_cdev_iov(0), nullptr);
    EXPECT_EQ(queued_messages(), 0);
}

TEST_F(RecvQueueTest, AThousandMessagesInAllWithOneNotice) {
    for (uint32_t i = 0; i < 1000; ++i) {
        ASSERT_EQ(enqueue_msg(msg_for(100 + i % 10)), 0) << i;
    }
    common_io_buf *extra = msg_for(6);
    EXPECT_EQ(enqueue_msg(extra), -1);  // waited 50 ms for room, in vain
    EXPECT_EQ(enqueue_msg(extra), -1);
    // The notice is written once in the life of the process.
    static size_t notices_due = 1;
    EXPECT_EQ(count_of(log_.text(), "message list reached max length\n"), notices_due);
    notices_due = 0;
    common_io_buf *first = read_cdev_iov(100);
    ASSERT_NE(first, nullptr);
    release_common_io_buf(first);
    EXPECT_EQ(enqueue_msg(extra), 0);
    EXPECT_EQ(g_list_length, 1000);
    EXPECT_EQ(take_all(6).size(), 1u);
}

// A client that stops reading loses its own link, never another's data.
TEST_F(RecvQueueTest, OneLinkHoldsAtMost128AndIsDroppedBeyond) {
    counting_waker slow, other;
    queue_open_link(7, slow.waker());
    queue_open_link(8, other.waker());
    for (int i = 0; i < 128; ++i) {
        ASSERT_EQ(enqueue_msg(msg_for(7)), 0) << i;
    }
    ASSERT_EQ(enqueue_msg(msg_for(8, "kept")), 0);
    common_io_buf *too_many = msg_for(7);
    EXPECT_EQ(enqueue_msg(too_many), -1);
    release_common_io_buf(too_many);
    EXPECT_EQ(slow.messages, 128);
    EXPECT_EQ(slow.ended, 1);
    EXPECT_TRUE(queue_link_dropped(7));
    EXPECT_EQ(read_cdev_iov(7), nullptr);  // its messages were freed at once
    EXPECT_EQ(count_of(log_.text(),
                       "No room in the receive queue for link id 0x07000000, "
                       "link dropped (128 msg freed)\n"),
              1u);
    EXPECT_EQ(take_all(8), std::vector<std::string>{"kept"});
    queue_close_link(7);
    queue_close_link(8);
}

TEST_F(RecvQueueTest, EndedLinkIsFlushedAndLateMessagesDroppedWithOneLine) {
    counting_waker w;
    queue_open_link(0x0107db00, w.waker());
    ASSERT_EQ(enqueue_msg(msg_for(0x0107db00)), 0);
    queue_close_link(0x0107db00);
    EXPECT_EQ(queued_messages(), 0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(enqueue_msg(msg_for(0x0107db00)), 0);  // taken, and freed
    }
    EXPECT_EQ(queued_messages(), 0);
    EXPECT_EQ(w.messages, 1);
    EXPECT_EQ(count_of(log_.text(), "Drop msg for ended link id 0x00db0701\n"), 1u);
    // Issued again, the id is a link like any other.
    queue_open_link(0x0107db00, w.waker());
    ASSERT_EQ(enqueue_msg(msg_for(0x0107db00, "new")), 0);
    EXPECT_EQ(take_all(0x0107db00), std::vector<std::string>{"new"});
    queue_close_link(0x0107db00);
}

TEST_F(RecvQueueTest, CollectorAgesMessagesAndDropsUnclaimedOnesAfterAGrace) {
    counting_waker w;
    queue_open_link(11, w.waker());
    g_fake_now = 5000;
    ASSERT_EQ(enqueue_msg(msg_for(11, "old")), 0);
    ASSERT_EQ(enqueue_msg(msg_for(12, "nobody's")), 0);
    ASSERT_EQ(enqueue_msg(msg_for(0, "request")), 0);
    g_fake_now = 5100;
    ASSERT_EQ(enqueue_msg(msg_for(11, "young")), 0);

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
    queue_close_link(11);
}

TEST_F(RecvQueueTest, WaitReturnsAMessageAStopOrTheQueuesEnd) {
    pthread_cond_t cond;
    pthread_cond_init(&cond, nullptr);
    struct waiter {
        static void wake(void *arg, bool) {
            pthread_cond_signal(static_cast<pthread_cond_t *>(arg));
        }
    };
    queue_open_link(21, {waiter::wake, &cond});
    std::atomic<bool> stop{false};
    queue_wait_end end = queue_wait_end::LINK_ENDED;
    std::thread late([] {
        msleep(20);
        enqueue_msg(make_msg(make_header(MSG_TYPE_FORWARD, 0, 1, 21, 9), "late"));
    });
    common_io_buf *v = wait_cdev_iov(21, &cond, &stop, &end);
    late.join();
    ASSERT_NE(v, nullptr);
    release_common_io_buf(v);

    std::thread stopper([&stop] {
        msleep(20);
        stop = true;
        queue_wake(21);
    });
    EXPECT_EQ(wait_cdev_iov(21, &cond, &stop, &end), nullptr);
    stopper.join();
    EXPECT_EQ(end, queue_wait_end::STOPPED);
    queue_close_link(21);
    pthread_cond_destroy(&cond);
}

TEST_F(RecvQueueTest, MalformedMessagesAreDroppedOnArrival) {
    common_io_buf *no_entries = msg_for(9);
    no_entries->iov_cnt = 0;
    common_io_buf *short_head = msg_for(9);
    short_head->iov[0].iov_len = MSG_HEADER_SIZE - 1;
    EXPECT_EQ(enqueue_msg(no_entries), 0);
    EXPECT_EQ(enqueue_msg(short_head), 0);
    EXPECT_EQ(queued_messages(), 0);
    std::string log = log_.text();
    EXPECT_EQ(count_of(log, "invalid iov,iov 0/0.\n"), 1u);
    EXPECT_EQ(count_of(log, "invalid iov,iov 1/31.\n"), 1u);
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
    EXPECT_EQ(read_one_message(fds[0], &held), read_result::MESSAGE);
    ASSERT_NE(held, nullptr);  // kept for the next message
    common_io_buf *reused = held;
    EXPECT_EQ(read_one_message(fds[0], &held), read_result::MESSAGE);
    EXPECT_EQ(held, nullptr);  // the queue owns it now
    EXPECT_EQ(read_one_message(fds[0], &held), read_result::NOTHING);
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
