// net_cdev framing: one write per message of up to 131072 bytes, and a
// message read back in 1024-byte slices up to the device's short read, with
// broken messages skipped to their end.
#include "transport/net_cdev.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <thread>

#include "frame/util.h"
#include "tests/link_support.h"

namespace {

using namespace test_support;
using bytes = std::vector<uint8_t>;

// The device is one end of a packet socket pair: one write is one packet.
class NetCdevWrite : public testing::Test {
  protected:
    void SetUp() override {
        open_process_log();
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv_), 0);
        int size = 1 << 20;
        setsockopt(sv_[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
        setsockopt(sv_[1], SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
        g_cdev_fd = sv_[0];
        ASSERT_TRUE(cdev_init_send_buf());
    }
    void TearDown() override {
        g_cdev_fd = -1;
        cdev_free_send_buf();
        close(sv_[0]);
        close(sv_[1]);
    }
    std::vector<bytes> packets() {
        std::vector<bytes> out;
        bytes buf(1 << 19);
        for (ssize_t n; (n = recv(sv_[1], buf.data(), buf.size(), MSG_DONTWAIT)) >= 0;) {
            out.emplace_back(buf.begin(), buf.begin() + n);
        }
        return out;
    }
    int sv_[2];
};

TEST_F(NetCdevWrite, WholeMessageInOneWriteUpTo131072Bytes) {
    struct write_case {
        std::vector<size_t> entries;
        int64_t result;
    };
    const write_case cases[] = {
        {{32}, 32},
        {{32, 1000, 7}, 1039},
        {{32, 131040}, 131072},
        {{32, 131040, 0}, 131072},  // an empty entry behind a full buffer
        {{32, 131040, 1}, -E2BIG},
        {{131073}, -E2BIG},
    };
    for (const write_case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.entries));
        std::vector<bytes> parts;
        std::vector<struct iovec> entries;
        bytes all;
        for (size_t len : c.entries) {
            parts.emplace_back(len, static_cast<uint8_t>(parts.size() + 1));
            all.insert(all.end(), parts.back().begin(), parts.back().end());
        }
        for (bytes &p : parts) entries.push_back({p.data(), p.size()});
        log_mark mark;
        EXPECT_EQ(write_cdev_iov(entries.data(), entries.size()), c.result);
        std::vector<bytes> expected;
        if (c.result > 0) expected.push_back(all);
        EXPECT_EQ(packets(), expected);
        EXPECT_EQ(mark.count(c.result < 0 ? "too large message, current size is 131073\n"
                                          : "CDEV send " + std::to_string(c.result) + " bytes\n"),
                  1u);
        EXPECT_FALSE(send_lock_held());
    }
    // A length that would wrap the running total is refused as well.
    struct iovec wrap[2] = {{g_send_buf.load(), 32}, {g_send_buf.load(), ULONG_MAX - 16}};
    EXPECT_EQ(write_cdev_iov(wrap, 2), -E2BIG);

    bytes header(32, 7);
    struct iovec entry = {header.data(), 32};
    EXPECT_EQ(level_of("CDEV send 32 bytes\n", [&] { write_cdev_iov(&entry, 1); }), 1);
    entry.iov_len = 131073;
    EXPECT_EQ(
        level_of("too large message, current size is 131073\n", [&] { write_cdev_iov(&entry, 1); }),
        2);
    EXPECT_EQ(write_cdev_buf(header.data(), 32), 32);
    EXPECT_EQ(packets().size(), 3u);
}

// At shutdown the buffer goes only under the send lock: not while a writer
// holds it, and as soon as the writer lets go. A writer that finds it gone
// fails at once, without the lock.
TEST_F(NetCdevWrite, SendBufferIsFreedOnlyUnderTheSendLock) {
    send_lock_acquire();
    std::thread([] { cdev_free_send_buf(); }).join();  // gives up after a second
    EXPECT_NE(g_send_buf.load(), nullptr);
    auto asked = std::chrono::steady_clock::now();
    std::thread waiting([] { cdev_free_send_buf(); });
    msleep(50);
    send_lock_release();  // handed over to the waiting thread
    waiting.join();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(500));
    EXPECT_EQ(g_send_buf.load(), nullptr);
    struct iovec entry = {&asked, 32};
    send_lock_acquire();
    EXPECT_EQ(write_cdev_iov(&entry, 1), -ENOMEM);
    send_lock_release();
}

int g_lost = 0;  // messages reported lost part way

// The device side is a pipe that never blocks: the bytes written to it come
// back as reads of 1024, the message ending at the first shorter read.
class NetCdevRead : public testing::Test {
  protected:
    void SetUp() override {
        BUFSIZE = 1024;
        open_process_log();
        log_at(2);  // every line checked here is a failure
        g_lost_message_func = [](const common_io_buf *) { ++g_lost; };
        open_pipe();
        v_ = alloc_common_io_buf(0);
    }
    void TearDown() override {
        g_lost_message_func = nullptr;
        release_common_io_buf(v_);
        close(p_[0]);
        close(p_[1]);
    }
    void open_pipe() {
        ASSERT_EQ(pipe2(p_, O_NONBLOCK), 0);
        fcntl(p_[1], F_SETPIPE_SZ, 1 << 20);
    }
    bytes feed(size_t len) {
        bytes data(len);
        for (size_t i = 0; i < len; i++) data[i] = static_cast<uint8_t>(i * 7 + 3);
        EXPECT_EQ(write(p_[1], data.data(), len), static_cast<ssize_t>(len));
        return data;
    }
    // One message read as the reader does it, with the vector made ready.
    int64_t recv_message() {
        iov_reset(v_, 128, 1024);
        return cdev_buf_recv_iov(p_[0], v_);
    }

    int p_[2];
    common_io_buf *v_ = nullptr;
};

// Whole slices end with the device's empty read: after 128 of them it is the
// end of a message of exactly 131072 bytes.
TEST_F(NetCdevRead, MessageEndsAtTheFirstShortRead) {
    for (size_t len : {100, 1500, 2048, 131072}) {
        SCOPED_TRACE(len);
        bytes data = feed(len);
        if (len % 1024 == 0) close(p_[1]), p_[1] = -1;  // the next read gives 0 bytes
        EXPECT_EQ(recv_message(), static_cast<int64_t>(len));
        EXPECT_EQ(v_->total_len, static_cast<int64_t>(len));
        std::vector<size_t> expected(len / 1024, 1024), got;
        if (len < 131072) expected.push_back(len % 1024);
        for (uint64_t i = 0; i < v_->iov_cnt; i++) got.push_back(v_->iov[i].iov_len);
        EXPECT_EQ(got, expected);
        EXPECT_EQ(gathered(v_), data);
        close(p_[0]);
        close(p_[1]);
        open_pipe();
    }
    EXPECT_EQ(g_lost, 0);
}

// A message longer than 131072 bytes, or one whose read failed after a full
// slice, is lost: its link is told, and its rest is skipped up to the
// device's end of message, never read as a message of its own.
TEST_F(NetCdevRead, BrokenMessageIsSkippedToItsEnd) {
    struct broken_case {
        std::vector<size_t> feeds;  // fed before each read
        std::vector<int64_t> results;
        std::vector<std::string> lines;
    };
    const std::string too_long = "Drop too long message, length: more than 131072.\n";
    const std::string skipped = "Skipped 100 bytes to the end of a broken message\n";
    const broken_case cases[] = {
        {{131072 + 100}, {0}, {too_long}},
        {{131072 + 1024 + 100, 0}, {0, -1}, {too_long, skipped}},
        {{1024, 100}, {-1, -1}, {skipped}},  // the read after the first slice fails
    };
    for (const broken_case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.feeds));
        g_lost = 0;
        log_mark mark;
        for (size_t i = 0; i < c.feeds.size(); i++) {
            if (c.feeds[i] > 0) feed(c.feeds[i]);
            EXPECT_EQ(recv_message(), c.results[i]) << i;
        }
        EXPECT_EQ(g_lost, 1);
        for (const std::string &line : c.lines) EXPECT_EQ(mark.count(line), 1u) << line;
        bytes next = feed(40);
        EXPECT_EQ(recv_message(), 40);
        EXPECT_EQ(gathered(v_), next);
    }
}

}  // namespace
