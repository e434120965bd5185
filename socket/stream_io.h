// Non-blocking stream reads into io vectors, header reads and writes,
// readiness waits and the scatter/gather send of a whole io vector.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <atomic>
#include <cstdint>

struct common_io_buf;
struct msg_header;

// How a send to a client that takes its time is watched. The send never
// blocks for long: it waits for room in short steps, and gives up (-1,
// errno ECANCELED or ETIMEDOUT) once *stop is true or the deadline is past.
struct send_watch {
    const std::atomic<bool> *stop = nullptr;
    int64_t deadline_ms = 0;  // monotonic; 0: none
    // Set to the time the send began to wait for the client, cleared once
    // the whole message went out; null: not kept.
    std::atomic<int64_t> *blocked_since_ms = nullptr;
};

// Drains what the socket `fd` holds into v's entries, at most *count of
// them; *count becomes the number of entries of the message. Bytes read,
// 0 when the peer closed or reset, -1 on failure.
int64_t fd_read_all_data(int fd, common_io_buf *v, uint64_t *count);
int64_t tcp_buf_recv_iov(int fd, common_io_buf *v);
int64_t tcp_data_recv(int fd, common_io_buf *v);
int64_t recv_msg_header(int fd, msg_header *header);
int64_t send_msg_header(int fd, const msg_header *header);
int poll_one_fd(int fd, int timeout_ms);
int64_t forward_message_fast(int fd, const struct iovec *entries, uint64_t count);
// The same for a stream socket, watched as `watch` says, leaving out the
// first `skip` bytes (sent before): the bytes sent (all of them) or -1.
int64_t forward_message_watched(int fd, const struct iovec *entries, uint64_t count,
                                const send_watch &watch, uint64_t skip = 0);
int sock_is_peer_alive(int fd);
