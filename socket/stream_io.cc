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

namespace {

constexpr const char *READ_ALL = "fd_read_all_data";

bool alloc_slice(struct iovec *entry) {
    void *slice = malloc(static_cast<size_t>(BUFSIZE));
    if (slice == nullptr) {
        LOG_AS(READ_ALL, LOG_ERROR, "Failed to malloc more data.\n");
        return false;
    }
    memset(slice, 0, static_cast<size_t>(BUFSIZE));
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

// Fills entries from 0 upwards. With a reader, each read fills one entry.
// Without one the descriptor is a socket, and one receive covers entry i and
// the allocated entries after it: the result is the same as reading them one
// by one, since a read that fills its entries exactly is followed by another
// read, and a short read ends the message where it ends.
int64_t read_entries(int fd, read_func reader, common_io_buf *v, uint64_t *count) {
    int64_t total = 0;
    uint64_t i = 0;
    // A vector has no more than IOV_ARRAY_SIZE entries, whatever the caller asks.
    *count = std::min(*count, IOV_ARRAY_SIZE);
    while (i < *count) {
        if (v->iov[i].iov_base == nullptr && !alloc_slice(&v->iov[i])) {
            return -1;
        }
        uint64_t end = i + 1;
        uint64_t room = v->iov[i].iov_len;
        if (reader == nullptr) {
            for (; end < *count && v->iov[end].iov_base != nullptr; end++) {
                room += v->iov[end].iov_len;
            }
        }
        int64_t n = reader != nullptr ? reader(fd, v->iov[i].iov_base, v->iov[i].iov_len)
                                      : recv_entries(fd, &v->iov[i], end - i);
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
                *count = 1;
                LOG_AS(READ_ALL, LOG_ERROR, "Connection %d reset by peer, shutdown now.\n", fd);
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

}  // namespace

int64_t fd_read_all_data(int fd, read_func reader, common_io_buf *v, uint64_t *count) {
    return read_entries(fd, reader, v, count);
}

int64_t tcp_buf_recv_iov(int fd, common_io_buf *v) {
    v->iov_cnt = IOV_ARRAY_SIZE;
    int64_t n = read_entries(fd, nullptr, v, &v->iov_cnt);
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

int64_t recv_msg_all(int fd, void *buf, uint64_t len) {
    return recv(fd, buf, len, MSG_DONTWAIT);
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

int64_t forward_message_fast(int fd, const struct iovec *entries, uint64_t count) {
    struct msghdr msg = {};
    msg.msg_iov = const_cast<struct iovec *>(entries);
    msg.msg_iovlen = count;
    int64_t n = sendmsg(fd, &msg, 0);
    if (n < 0) {
        LOG(LOG_ERROR, "Failed to send msg, error code: %d\n", errno);
    }
    return n;
}

int sock_is_peer_alive(int fd) {
    if (recv(fd, nullptr, 0, MSG_PEEK | MSG_DONTWAIT) < 0 && errno == ECONNREFUSED) {
        return 0;
    }
    return 1;
}
