// net_cdev framing: one write per message with its size limit and result
// codes, the send lock around it, and reading a message back in 1024-byte
// slices.
#include "transport/net_cdev.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/iov.h"
#include "tests/test_support.h"
#include "transport/device.h"

namespace {

using test_support::log_mark;

bool send_lock_is_free() {
    return !send_lock_held();
}

// The device is one end of a packet socket pair: one write arrives as one
// packet at the other end.
class NetCdevWrite : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv_), 0);
        int size = 4 * SEND_BUF_SIZE;
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
    // The next packet, or nothing (-1 size) when none is waiting.
    std::vector<uint8_t> next_packet() {
        std::vector<uint8_t> buf(2 * SEND_BUF_SIZE);
        ssize_t n = recv(sv_[1], buf.data(), buf.size(), MSG_DONTWAIT);
        buf.resize(n < 0 ? 0 : n);
        last_recv_ = n;
        return buf;
    }

    int sv_[2];
    ssize_t last_recv_ = 0;
};

// Entries of the given sizes, filled with distinct bytes.
struct message {
    explicit message(std::vector<size_t> sizes) {
        for (size_t i = 0; i < sizes.size(); i++) {
            parts.emplace_back(sizes[i], static_cast<uint8_t>(i + 1));
            entries.push_back({parts.back().data(), sizes[i]});
        }
    }
    std::vector<uint8_t> bytes() const {
        std::vector<uint8_t> all;
        for (const auto &p : parts) all.insert(all.end(), p.begin(), p.end());
        return all;
    }
    std::vector<std::vector<uint8_t>> parts;
    std::vector<struct iovec> entries;
};

TEST_F(NetCdevWrite, MessageGoesOutInOneWrite) {
    message header({32});
    log_mark mark;
    EXPECT_EQ(write_cdev_iov(header.entries.data(), 1), 32);
    EXPECT_EQ(next_packet(), header.bytes());
    EXPECT_NE(mark.text().find("CDEV send 32 bytes\n"), std::string::npos);

    message three({32, 1000, 7});
    EXPECT_EQ(write_cdev_iov(three.entries.data(), 3), 1039);
    EXPECT_EQ(next_packet(), three.bytes());

    EXPECT_EQ(write_cdev_buf(header.parts[0].data(), 32), 32);
    EXPECT_EQ(next_packet(), header.bytes());
}

TEST_F(NetCdevWrite, LargestMessageIsWrittenWhole) {
    message full({32, SEND_BUF_SIZE - 32});
    EXPECT_EQ(write_cdev_iov(full.entries.data(), 2), static_cast<int64_t>(SEND_BUF_SIZE));
    EXPECT_EQ(next_packet(), full.bytes());

    // An empty entry behind a full buffer ends the gathering.
    message trailing({32, SEND_BUF_SIZE - 32, 0});
    EXPECT_EQ(write_cdev_iov(trailing.entries.data(), 3), static_cast<int64_t>(SEND_BUF_SIZE));
    EXPECT_EQ(next_packet(), trailing.bytes());
}

TEST_F(NetCdevWrite, OversizedMessageIsRefusedUnsent) {
    message over({32, SEND_BUF_SIZE - 32, 1});
    log_mark mark;
    EXPECT_EQ(write_cdev_iov(over.entries.data(), 3), -E2BIG);
    EXPECT_NE(mark.text().find("too large message, current size is 131073\n"), std::string::npos);
    next_packet();
    EXPECT_LT(last_recv_, 0);
    EXPECT_TRUE(send_lock_is_free());

    // A first entry beyond the limit leaves the send buffer untouched.
    memset(g_send_buf, 0xAB, SEND_BUF_SIZE);
    message huge({SEND_BUF_SIZE + 1});
    EXPECT_EQ(write_cdev_iov(huge.entries.data(), 1), -E2BIG);
    std::vector<uint8_t> untouched(SEND_BUF_SIZE, 0xAB);
    EXPECT_EQ(memcmp(g_send_buf, untouched.data(), SEND_BUF_SIZE), 0);
    next_packet();
    EXPECT_LT(last_recv_, 0);

    // A length that would wrap the running total is refused as well.
    struct iovec wrap[2] = {{g_send_buf.load(), 32}, {g_send_buf.load(), ULONG_MAX - 16}};
    EXPECT_EQ(write_cdev_iov(wrap, 2), -E2BIG);
}

TEST_F(NetCdevWrite, ClosedDeviceFailsAndReleasesTheLock) {
    g_cdev_fd = -1;
    message header({32});
    log_mark mark;
    EXPECT_EQ(write_cdev_iov(header.entries.data(), 1), -1);
    EXPECT_TRUE(send_lock_is_free());
    EXPECT_EQ(write_cdev_iov(header.entries.data(), 1), -1);
    EXPECT_EQ(write_cdev_buf(header.parts[0].data(), 32), -1);
    EXPECT_TRUE(send_lock_is_free());
    EXPECT_NE(mark.text().find("CDEV send -1 bytes\n"), std::string::npos);
}

TEST_F(NetCdevWrite, EmptyMessageWritesNothing) {
    log_mark mark;
    EXPECT_EQ(write_cdev_iov(nullptr, 0), 0);
    EXPECT_NE(mark.text().find("CDEV send 0 bytes\n"), std::string::npos);
}

TEST_F(NetCdevWrite, NoSendBufferFailsWithoutLockOrLog) {
    cdev_free_send_buf();
    cdev_free_send_buf();  // a second free finds nothing to free
    EXPECT_EQ(g_send_buf.load(), nullptr);
    message header({32});
    log_mark mark;
    send_lock_acquire();
    // Returns at once although another writer holds the lock.
    EXPECT_EQ(write_cdev_iov(header.entries.data(), 1), -ENOMEM);
    send_lock_release();
    EXPECT_EQ(mark.text(), "");
    next_packet();
    EXPECT_LT(last_recv_, 0);
}

// At shutdown the buffer goes away only when no writer holds the send lock.
TEST_F(NetCdevWrite, SendBufferOutlivesAWriterHoldingTheLock) {
    send_lock_acquire();
    std::thread shutdown([] { cdev_free_send_buf(); });
    shutdown.join();
    EXPECT_NE(g_send_buf.load(), nullptr);
    send_lock_release();
    cdev_free_send_buf();
    EXPECT_EQ(g_send_buf.load(), nullptr);
}

// The device side is a pipe: data written to it comes back in slices of
// 1024 bytes, the message ending at the first shorter read.
class NetCdevRead : public testing::Test {
  protected:
    void SetUp() override {
        BUFSIZE = NET_CDEV_BUFSIZE;
        ASSERT_EQ(pipe(p_), 0);
        v_ = alloc_common_io_buf(0);
        ASSERT_NE(v_, nullptr);
    }
    void TearDown() override {
        release_common_io_buf(v_);
        close(p_[0]);
        if (p_[1] >= 0) close(p_[1]);
    }
    std::vector<uint8_t> feed(size_t len) {
        std::vector<uint8_t> data(len);
        for (size_t i = 0; i < len; i++) data[i] = static_cast<uint8_t>(i * 7 + 3);
        EXPECT_EQ(write(p_[1], data.data(), len), static_cast<ssize_t>(len));
        return data;
    }
    std::vector<uint8_t> received() const { return test_support::gathered(v_); }
    std::vector<size_t> slice_lengths() const {
        std::vector<size_t> lens;
        for (uint64_t i = 0; i < v_->iov_cnt; i++) lens.push_back(v_->iov[i].iov_len);
        return lens;
    }

    int p_[2];
    common_io_buf *v_ = nullptr;
};

TEST_F(NetCdevRead, ShortReadEndsTheMessage) {
    auto small = feed(100);
    EXPECT_EQ(cdev_buf_recv_iov(p_[0], v_), 100);
    EXPECT_EQ(v_->total_len, 100);
    EXPECT_EQ(slice_lengths(), std::vector<size_t>({100}));
    EXPECT_EQ(received(), small);

    iov_reset(v_, IOV_ARRAY_SIZE, BUFSIZE);  // as the reader does before each message
    auto two = feed(1500);
    EXPECT_EQ(cdev_buf_recv_iov(p_[0], v_), 1500);
    EXPECT_EQ(slice_lengths(), std::vector<size_t>({1024, 476}));
    EXPECT_EQ(received(), two);
}

TEST_F(NetCdevRead, WholeSlicesEndWithTheEmptyRead) {
    auto data = feed(2048);
    close(p_[1]);  // the device answers the next read with 0 bytes
    p_[1] = -1;
    EXPECT_EQ(cdev_buf_recv_iov(p_[0], v_), 2048);
    EXPECT_EQ(v_->total_len, 2048);
    EXPECT_EQ(slice_lengths(), std::vector<size_t>({1024, 1024, 0}));
    EXPECT_EQ(received(), data);
}

TEST(CdevRead, ClosedDescriptorFailsWithoutRead) {
    char buf[8];
    errno = 0;
    EXPECT_EQ(cdev_read(-1, buf, sizeof(buf)), -1);
    EXPECT_EQ(errno, EBADF);
}

}  // namespace
