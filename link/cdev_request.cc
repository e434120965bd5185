// Requests from the controller: a TCP link to a local port, answered and then
// forwarded like a client's link, or one UDP datagram for a local port.
// See cdev_request.h.
#include "link/cdev_request.h"

#include <arpa/inet.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "common/conn_node.h"
#include "common/iov.h"
#include "common/link_stats.h"
#include "common/msg_header.h"
#include "frame/log.h"
#include "frame/util.h"
#include "link/forward.h"
#include "link/handshake.h"
#include "link/link_id.h"
#include "link/policy_gate.h"
#include "link/recv_queue.h"
#include "socket/outbound.h"
#include "socket/server_socket.h"
#include "socket/stream_io.h"
#include "transport/device.h"

namespace {

constexpr char REQUEST_LOG_NAME[] = "cdev_handle_conn_request";

// A controller's TCP request whose local connection is under way.
struct pending_connect {
    int fd;
    common_io_buf *request;
    int64_t deadline_ms;
};

// Answers a TCP request once its local connection is made (`fd`) or not
// (-1): type 1 with a fresh id, or the refusal. An accepted request's io
// vector becomes the new node's, so its header is the link's stored header
// from then on.
void answer_tcp_request(common_io_buf *v, int fd) {
    msg_header *h = get_msg_header(v);
    conn_node *node = nullptr;
    if (fd >= 0) {
        node = alloc_node(fd, -1);
        if (node == nullptr) {
            close_socket(&fd);
        }
    }
    if (node != nullptr) {
        uint32_t id = cdev_generate_link_id();
        h->type = MSG_TYPE_RESPONSE;
        h->source = MSG_SOURCE_HOST;
        h->local_link_id = id;
        node->io_buf = v;
        node->link_id = id;
        node->opener = OPENED_BY_CONTROLLER;
        set_tcp_no_delay(fd);
        // Held from before the answer, so the controller's first data for
        // the link waits for its forwarding thread.
        queue_open_link(id, {});
    } else {
        h->local_link_id = 0;
        h->type = MSG_TYPE_CLOSE;
        h->source = MSG_SOURCE_HOST;
        h->ret_code = MSG_RET_REFUSED;
        tally(g_link_counters.refused[OPENED_BY_CONTROLLER]);
    }

    // The answer is the header alone, whatever trailed the request.
    iov_build_header(v);
    v->iov_cnt = 1;
    if (g_write_iov_func(v->iov, v->iov_cnt) != static_cast<int64_t>(MSG_HEADER_SIZE)) {
        LOG_AS(REQUEST_LOG_NAME, LOG_ERROR,
               "Failed to send CDEV response, link id: 0x%08x/0x%08x, code: %d\n",
               link_id_for_log(h->local_link_id), link_id_for_log(h->peer_link_id), errno);
        if (node != nullptr) {
            queue_close_link(node->link_id);
            free_node(node);
        } else {
            release_common_io_buf(v);
        }
        return;
    }
    LOG_AS(REQUEST_LOG_NAME, LOG_INFO,
           "Send connection response successfully, link id: 0x%08x/0x%08x.\n",
           link_id_for_log(h->local_link_id), link_id_for_log(h->peer_link_id));
    if (node == nullptr) {
        release_common_io_buf(v);
        return;
    }

    pthread_t tid;
    int rc = start_link_thread(&tid, cdev_forward_one_node, node);
    if (rc == 0) {
        LOG_AS("handle_cdev_request", LOG_INFO, "Thread for handling BMC request: %lu.\n",
               static_cast<unsigned long>(tid));
        return;
    }
    LOG_AS("handle_cdev_request", LOG_ERROR, "Failed to create forward thread, error code: %d\n",
           rc);
    cdev_connection_rejected(node);
    free_node(node);
}

// Starts a TCP request's local connection; one that cannot be made at once
// is left in `pending`, so that a service slow to accept delays no other
// request.
void start_tcp_request(common_io_buf *v, std::vector<pending_connect> *pending) {
    msg_header *h = get_msg_header(v);
    LOG_AS(REQUEST_LOG_NAME, LOG_INFO, "This is a TCP connect request.\n");
    LOG_AS(REQUEST_LOG_NAME, LOG_INFO, "New request for port %d, link id 0x%08x.\n", ntohs(h->port),
           link_id_for_log(h->peer_link_id));
    int fd = -1;
    if (!controller_request_allowed(h)) {
        answer_tcp_request(v, fd);  // refused as a port where nothing listens
        return;
    }
    if (start_local_connect(h->port, 1, &fd) == EINPROGRESS) {
        pending->push_back({fd, v, monotonic_ms() + CONNECT_TIMEOUT_MS});
        return;
    }
    answer_tcp_request(v, fd);
}

// Answers the pending requests whose connection is made, refused, or out
// of time; `ready` tells which sockets poll found writable.
void finish_pending(std::vector<pending_connect> *pending, const std::vector<bool> &ready) {
    int64_t now = monotonic_ms();
    std::vector<pending_connect> still;
    for (size_t i = 0; i < pending->size(); ++i) {
        pending_connect &p = (*pending)[i];
        bool writable = i < ready.size() && ready[i];
        if (!writable && now < p.deadline_ms) {
            still.push_back(p);
            continue;
        }
        int err = writable ? pending_connect_error(p.fd) : ETIMEDOUT;
        answer_tcp_request(p.request,
                           finish_local_connect(p.fd, get_msg_header(p.request)->port, err));
    }
    pending->swap(still);
}

// Serves a request; a TCP request may be left pending.
void dispatch(common_io_buf *v, std::vector<pending_connect> *pending) {
    if (v->total_len < static_cast<int64_t>(MSG_HEADER_SIZE)) {
        LOG_AS(REQUEST_LOG_NAME, LOG_ERROR,
               "Request with invalid MSG format, iov_cnt: %lu, length: %lu.\n", v->iov_cnt,
               v->total_len);
        release_common_io_buf(v);
        return;
    }
    msg_header *h = get_msg_header(v);
    if (h->protocol == MSG_PROTOCOL_UDP && h->type == MSG_TYPE_FORWARD) {
        LOG_AS(REQUEST_LOG_NAME, LOG_INFO, "This is an UDP forward packet.\n");
        if (controller_request_allowed(h)) {
            cdev_handle_forward_msg(v, 1);
        }
        release_common_io_buf(v);
        return;
    }
    if (h->protocol == MSG_PROTOCOL_TCP && h->type == MSG_TYPE_REQUEST) {
        start_tcp_request(v, pending);
        return;
    }
    LOG_AS(REQUEST_LOG_NAME, LOG_ERROR, "Reject msg type %d, protocol %d with BMC id is 0x%08x.\n",
           h->type, h->protocol, link_id_for_log(h->peer_link_id));
    release_common_io_buf(v);
}

// Sleeps until a request is queued or a pending connection moves.
void wait_for_requests(int request_fd, std::vector<pending_connect> *pending) {
    std::vector<pollfd> fds{{request_fd, POLLIN, 0}};
    int64_t next = -1;
    for (const pending_connect &p : *pending) {
        fds.push_back({p.fd, POLLOUT, 0});
        next = next < 0 ? p.deadline_ms : std::min(next, p.deadline_ms);
    }
    int timeout = next < 0 ? -1 : static_cast<int>(std::max<int64_t>(0, next - monotonic_ms()));
    poll(fds.data(), fds.size(), timeout);
    std::vector<bool> ready;
    for (size_t i = 1; i < fds.size(); ++i) {
        ready.push_back(fds[i].revents != 0);
    }
    finish_pending(pending, ready);
    uint64_t count;
    while (read(request_fd, &count, sizeof(count)) > 0) {
    }
}

void signal_request(void *fd, bool) {
    uint64_t one = 1;
    ssize_t n = write(*static_cast<int *>(fd), &one, sizeof(one));
    (void)n;  // a full counter wakes the thread just as well
}

}  // namespace

void *handle_cdev_request(void *) {
    pthread_detach(pthread_self());
    // Never closed: the queue may signal it until the process ends.
    static int request_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    queue_open_link(0, {signal_request, &request_fd});
    std::vector<pending_connect> pending;
    for (;;) {
        while (common_io_buf *v = read_cdev_iov(0)) {
            dispatch(v, &pending);
        }
        wait_for_requests(request_fd, &pending);
    }
    return nullptr;
}

void handle_cdev_request_once() {
    common_io_buf *v = read_cdev_iov(0);
    if (v != nullptr) {
        serve_cdev_request(v);
    }
}

void serve_cdev_request(common_io_buf *v) {
    std::vector<pending_connect> pending;
    dispatch(v, &pending);
    for (const pending_connect &p : pending) {
        struct pollfd w = {p.fd, POLLOUT, 0};
        int ready = poll(&w, 1, CONNECT_TIMEOUT_MS);
        int err = ready > 0 ? pending_connect_error(p.fd) : ETIMEDOUT;
        answer_tcp_request(p.request,
                           finish_local_connect(p.fd, get_msg_header(p.request)->port, err));
    }
}

int cdev_handle_forward_msg(common_io_buf *v, uint8_t is_udp) {
    auto *h = static_cast<msg_header *>(iov_reserve_buf(v, MSG_HEADER_SIZE));
    int port = ntohs(h->port);
    int fd = connect_to_local_port(h->port, is_udp != 0 ? 0 : 1);
    int result = -1;
    if (fd == -1) {
        LOG(LOG_ERROR, "Failed to connect to port %d, is_udp %d\n", port, is_udp);
    } else {
        LOG(LOG_INFO, "Connected to port %d, is_udp %d, sock_fd %d\n", port, is_udp, fd);
        int64_t sent = forward_message_fast(fd, v->iov, v->iov_cnt);
        LOG(LOG_INFO, "Forward %ld bytes to %d successfully, peer alive: %d\n", sent, fd,
            sock_is_peer_alive(fd));
        LOG(LOG_DETAIL, "Close socket %d\n", fd);
        close_socket(&fd);
        result = 0;
    }
    iov_restore_buf(v, MSG_HEADER_SIZE);
    return result;
}
