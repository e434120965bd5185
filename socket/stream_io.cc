// Non-blocking reads into io vectors and the sends towards local sockets.
#include "socket/stream_io.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/iov.h"
#include "common/msg_header.h"
#include "frame/log.h"
#include "frame/util.h"

namespace {

constexpr const char *READ_ALL = "fd_read_all_data";
// A send waiting for a client looks at its watch this often.
constexpr int SEND_WAIT_STEP_MS = 100;

bool add_slice(struct iovec *entry) {
    void *slice = alloc_slice();
    if (slice == nullptr) {
        LOG_AS(READ_ALL, LOG_ERROR, "Failed to malloc more data.\n");
        return false;
    }
    entry->iov_base = slice;
    entry->iov_len = static_cast<size_t>(BUFSIZE);
    return true;
}

// One non-blocking receive over several entries.
int64_t recv_entries(int fd, struct iovec *entries, uint64_t span) {
    struct msghdr msg = {};
    msg.msg_iov = entries;
    msg.msg_iovlen = span;
    return recvmsg(fd, &msg, MSG_DONTWAIT);
}

}  // namespace

// Fills entries from 0 upwards. One receive covers entry i and the allocated
// entries after it: the result is the same as reading them one by one, since
// a read that fills its entries exactly is followed by another read, and a
// short read ends the message where it ends.
int64_t fd_read_all_data(int fd, common_io_buf *v, uint64_t *count) {
    int64_t total = 0;
    uint64_t i = 0;
    // A vector has no more than IOV_ARRAY_SIZE entries, whatever the caller asks.
    *count = std::min(*count, IOV_ARRAY_SIZE);
    while (i < *count) {
        if (v->iov[i].iov_base == nullptr && !add_slice(&v->iov[i])) {
            return -1;
        }
        uint64_t end = i + 1;
        uint64_t room = v->iov[i].iov_len;
        for (; end < *count && v->iov[end].iov_base != nullptr; end++) {
            room += v->iov[end].iov_len;
        }
        int64_t n = recv_entries(fd, &v->iov[i], end - i);
        int err = errno;
        LOG_AS(READ_ALL, LOG_DETAIL,
               "fd: %d, do_read: %ld, iov_len: %lu, iov_cnt: %lu, total: %ld\n", fd, n, room, i,
               total);
        if (n < 0) {
            v->iov[i].iov_len = 0;
            if (err == EAGAIN || err == EWOULDBLOCK) {
                LOG_AS(READ_ALL, LOG_DETAIL, "No more data, done.\n");
                *count = i + 1;
                break;
            }
            if (err == ECONNRESET) {
                LOG_AS(READ_ALL, LOG_ERROR, "Connection %d reset by peer, shutdown now.\n", fd);
                // What the client sent before its reset still goes out; the
                // next read finds the connection closed.
                if (total > 0) {
                    *count = i + 1;
                    break;
                }
                *count = 1;
                return 0;
            }
            LOG_AS(READ_ALL, LOG_ERROR, "ERROR reading from peer %d, error code: %d\n", fd, err);
            return -1;
        }
        total += n;
        uint64_t left = static_cast<uint64_t>(n);
        for (; i < end && left >= v->iov[i].iov_len; i++) {
            left -= v->iov[i].iov_len;
        }
        if (i < end && (left > 0 || n == 0)) {
            v->iov[i].iov_len = left;  // a short read ends the message
            *count = i + 1;
            break;
        }
    }
    LOG_AS(READ_ALL, LOG_DETAIL, "Final len: %ld at fd %d, iov len: %lu/%lu.\n", total, fd, i,
           *count);
    return total;
}

namespace {

// Moves the message descriptor past `n` bytes already sent.
void skip_sent(struct msghdr *msg, uint64_t n) {
    while (msg->msg_iovlen > 0 && n >= msg->msg_iov->iov_len) {
        n -= msg->msg_iov->iov_len;
        ++msg->msg_iov;
        --msg->msg_iovlen;
    }
    if (msg->msg_iovlen > 0) {
        msg->msg_iov->iov_base = static_cast<char *>(msg->msg_iov->iov_base) + n;
        msg->msg_iov->iov_len -= n;
    }
}

}  // namespace

int64_t tcp_buf_recv_iov(int fd, common_io_buf *v) {
    v->iov_cnt = IOV_ARRAY_SIZE;
    int64_t n = fd_read_all_data(fd, v, &v->iov_cnt);
    v->total_len = n;
    return n;
}

int64_t tcp_data_recv(int fd, common_io_buf *v) {
    iov_reset(v, IOV_ARRAY_SIZE, static_cast<uint64_t>(BUFSIZE));
    iov_reserve_buf(v, MSG_HEADER_SIZE);
    int64_t n = tcp_buf_recv_iov(fd, v);
    iov_restore_buf(v, MSG_HEADER_SIZE);
    return n;
}

int64_t recv_msg_header(int fd, msg_header *header) {
    return recv(fd, header, MSG_HEADER_SIZE, MSG_DONTWAIT);
}

int64_t send_msg_header(int fd, const msg_header *header) {
    return send(fd, header, MSG_HEADER_SIZE, 0);
}

int poll_one_fd(int fd, int timeout_ms) {
    struct pollfd p = {fd, POLLIN | POLLERR | POLLHUP, 0};
    return poll(&p, 1, timeout_ms) > 0 ? 1 : 0;
}

int64_t forward_message_watched(int fd, const struct iovec *entries, uint64_t count,
                                const send_watch &watch, uint64_t skip) {
    struct iovec rest[IOV_ARRAY_SIZE];
    count = std::min(count, IOV_ARRAY_SIZE);
    std::copy(entries, entries + count, rest);
    struct msghdr msg = {};
    msg.msg_iov = rest;
    msg.msg_iovlen = count;
    skip_sent(&msg, skip);
    int64_t total = 0;
    while (msg.msg_iovlen > 0) {
        int64_t n = sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            total += n;
            skip_sent(&msg, static_cast<uint64_t>(n));
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            LOG_AS("forward_message_fast", LOG_ERROR, "Failed to send msg, error code: %d\n",
                   errno);
            return -1;
        }
        int64_t now = monotonic_ms();
        if (watch.blocked_since_ms != nullptr && watch.blocked_since_ms->load() == 0) {
            watch.blocked_since_ms->store(now);
        }
        if (watch.stop != nullptr && watch.stop->load()) {
            errno = ECANCELED;
            return -1;
        }
        if (watch.deadline_ms != 0 && now >= watch.deadline_ms) {
            errno = ETIMEDOUT;
            return -1;
        }
        struct pollfd p = {fd, POLLOUT, 0};
        poll(&p, 1, SEND_WAIT_STEP_MS);
    }
    if (watch.blocked_since_ms != nullptr) {
        watch.blocked_since_ms->store(0);
    }
    return total;
}

int64_t forward_message_fast(int fd, const struct iovec *entries, uint64_t count) {
    // Unwatched: waits for the peer as long as it takes.
    return forward_message_watched(fd, entries, count, {});
}

int sock_is_peer_alive(int fd) {
    if (recv(fd, nullptr, 0, MSG_PEEK | MSG_DONTWAIT) < 0 && errno == ECONNREFUSED) {
        return 0;
    }
    return 1;
}
