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

int64_t fd_read_all_data(int fd, read_func reader, common_io_buf *v, uint64_t *count) {
    int64_t total = 0;
    uint64_t i = 0;
    // A vector has no more than IOV_ARRAY_SIZE entries, whatever the caller asks.
    *count = std::min(*count, IOV_ARRAY_SIZE);
    while (i < *count) {
        struct iovec *entry = &v->iov[i];
        if (entry->iov_base == nullptr) {
            void *slice = malloc(static_cast<size_t>(BUFSIZE));
            if (slice == nullptr) {
                LOG(LOG_ERROR, "Failed to malloc more data.\n");
                return -1;
            }
            memset(slice, 0, static_cast<size_t>(BUFSIZE));
            entry->iov_base = slice;
            entry->iov_len = static_cast<size_t>(BUFSIZE);
        }
        int64_t n = reader(fd, entry->iov_base, entry->iov_len);
        int err = errno;
        LOG(LOG_DETAIL, "fd: %d, do_read: %ld, iov_len: %lu, iov_cnt: %lu, total: %ld\n", fd, n,
            entry->iov_len, i, total);
        if (n < 0) {
            entry->iov_len = 0;
            if (err == EAGAIN || err == EWOULDBLOCK) {
                LOG(LOG_DETAIL, "No more data, done.\n");
                *count = i + 1;
                break;
            }
            if (err == ECONNRESET) {
                *count = 1;
                LOG(LOG_ERROR, "Connection %d reset by peer, shutdown now.\n", fd);
                return 0;
            }
            LOG(LOG_ERROR, "ERROR reading from peer %d, error code: %d\n", fd, err);
            return -1;
        }
        total += n;
        if (static_cast<uint64_t>(n) != entry->iov_len) {
            entry->iov_len = static_cast<size_t>(n);
            *count = i + 1;
            break;
        }
        i++;
    }
    LOG(LOG_DETAIL, "Final len: %ld at fd %d, iov len: %lu/%lu.\n", total, fd, i, *count);
    return total;
}

int64_t tcp_buf_recv_iov(int fd, common_io_buf *v) {
    v->iov_cnt = IOV_ARRAY_SIZE;
    int64_t n = fd_read_all_data(fd, recv_msg_all, v, &v->iov_cnt);
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
