// Stream reads into io vectors and the sends, over real loopback sockets.
#include "socket/stream_io.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <tuple>
#include <vector>

#include "common/iov.h"
#include "frame/util.h"
#include "tests/test_support.h"

namespace {

constexpr int BIG_BUFFER = 1 << 20;

// A connected loopback TCP pair with large buffers, so a whole test burst
// fits in the receive queue.
struct tcp_pair {
    int client = -1;
    int server = -1;
    tcp_pair() { std::tie(client, server) = test_support::tcp_pair(BIG_BUFFER); }
    ~tcp_pair() {
        close(client);
        close(server);
    }
    // Sends `n` bytes of a counting pattern and waits until all are queued.
    void send_pattern(int n, int first = 0) {
        std::vector<unsigned char> data(static_cast<size_t>(n));
        for (int i = 0; i < n; i++) {
            data[static_cast<size_t>(i)] = static_cast<unsigned char>((first + i) % 251);
        }
        ASSERT_EQ(n, send(client, data.data(), data.size(), 0));
        wait_queued(n);
    }
    void wait_queued(int n) {
        int queued = 0;
        for (int i = 0; i < 1000 && queued < n; i++) {
            ioctl(server, FIONREAD, &queued);
            if (queued < n) {
                msleep(1);
            }
        }
        ASSERT_EQ(n, queued);
    }
};

// A vector as a new connection has it (slice 0 only), or grown to all 128
// slices by earlier reads, so that one receive spans many entries.
struct io_vector {
    common_io_buf *v = alloc_common_io_buf(1);
    explicit io_vector(bool grown = false) {
        for (uint64_t i = 1; grown && i < IOV_ARRAY_SIZE; i++) {
            v->iov[i].iov_base = calloc(1, static_cast<size_t>(BUFSIZE));
            v->iov[i].iov_len = 7;  // whatever the last read left
        }
    }
    ~io_vector() { release_common_io_buf(v); }
};

// BUFSIZE is process-wide; each test that changes it puts it back.
struct bufsize_scope {
    int saved = BUFSIZE;
    explicit bufsize_scope(int size) { BUFSIZE = size; }
    ~bufsize_scope() { BUFSIZE = saved; }
};

class TcpDataRecv : public ::testing::TestWithParam<bool> {};

TEST_P(TcpDataRecv, BurstEndingAtASliceBoundaryEndsWithAnEmptyEntry) {
    tcp_pair p;
    io_vector io(GetParam());
    p.send_pattern(BUFSIZE - 32);
    EXPECT_EQ(BUFSIZE - 32, tcp_data_recv(p.server, io.v));
    EXPECT_EQ(2u, io.v->iov_cnt);
    EXPECT_EQ(static_cast<size_t>(BUFSIZE), io.v->iov[0].iov_len);
    ASSERT_NE(nullptr, io.v->iov[1].iov_base);
    EXPECT_EQ(0u, io.v->iov[1].iov_len);
    EXPECT_EQ(BUFSIZE - 32, io.v->total_len);
}

TEST_P(TcpDataRecv, PayloadFollowsTheKeptHeader) {
    bufsize_scope size(1024);
    tcp_pair p;
    io_vector io(GetParam());
    auto *slice0 = static_cast<unsigned char *>(io.v->iov[0].iov_base);
    for (int i = 0; i < 32; i++) {
        slice0[i] = static_cast<unsigned char>(0xa0 + i);
    }
    p.send_pattern(3000);
    EXPECT_EQ(3000, tcp_data_recv(p.server, io.v));
    ASSERT_EQ(3u, io.v->iov_cnt);
    EXPECT_EQ(1024u, io.v->iov[0].iov_len);  // header plus 992 payload bytes
    EXPECT_EQ(1024u, io.v->iov[1].iov_len);
    EXPECT_EQ(984u, io.v->iov[2].iov_len);
    EXPECT_EQ(slice0, io.v->iov[0].iov_base);
    for (int i = 0; i < 32; i++) {
        EXPECT_EQ(0xa0 + i, slice0[i]);
    }
    int k = 0;
    for (uint64_t e = 0; e < io.v->iov_cnt; e++) {
        const auto *b = static_cast<const unsigned char *>(io.v->iov[e].iov_base);
        for (size_t j = e == 0 ? 32 : 0; j < io.v->iov[e].iov_len; j++, k++) {
            ASSERT_EQ(k % 251, b[j]) << "payload byte " << k;
        }
    }
    EXPECT_EQ(3000, k);
}

TEST_P(TcpDataRecv, OneCallTakesAtMost128Slices) {
    bufsize_scope size(1024);
    tcp_pair p;
    io_vector io(GetParam());
    const int limit = 128 * 1024 - 32;
    p.send_pattern(limit + 500);
    EXPECT_EQ(limit, tcp_data_recv(p.server, io.v));
    EXPECT_EQ(128u, io.v->iov_cnt);
    EXPECT_EQ(1024u, io.v->iov[127].iov_len);
    EXPECT_EQ(500, tcp_data_recv(p.server, io.v));
    EXPECT_EQ(1u, io.v->iov_cnt);
    EXPECT_EQ(limit % 251, static_cast<unsigned char *>(io.v->iov[0].iov_base)[32]);
}

// What a client sent before its reset still goes out; the next read ends.
TEST_P(TcpDataRecv, ResetAfterDataKeepsTheDataThenEnds) {
    bufsize_scope size(1024);
    tcp_pair p;
    io_vector io(GetParam());
    p.send_pattern(992 + 1024);  // exactly two slices, then the reset
    linger hard = {1, 0};
    setsockopt(p.client, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    close(p.client);
    p.client = -1;
    ASSERT_EQ(1, poll_one_fd(p.server, 1000));
    EXPECT_EQ(992 + 1024, tcp_data_recv(p.server, io.v));
    EXPECT_EQ((992 + 1023) % 251, static_cast<unsigned char *>(io.v->iov[1].iov_base)[1023]);
    EXPECT_EQ(0, tcp_data_recv(p.server, io.v));
    EXPECT_EQ(1u, io.v->iov_cnt);
}

INSTANTIATE_TEST_SUITE_P(FreshAndGrownVectors, TcpDataRecv, ::testing::Bool());

}  // namespace
