// Forwarding of an established link in both directions. See forward.h.
#include "link/forward.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>

#include "common/conn_node.h"
#include "common/iov.h"
#include "common/msg_header.h"
#include "frame/log.h"
#include "frame/util.h"
#include "link/recv_queue.h"
#include "socket/stream_io.h"
#include "transport/device.h"

namespace {

// The socket reader of one link. `ended` is set as the reader returns, so the
// forwarding thread learns of its end without probing a thread id that may
// already be gone.
struct socket_reader {
    conn_node *node;
    std::atomic<bool> ended{false};
};

void *run_socket_reader(void *arg) {
    auto *reader = static_cast<socket_reader *>(arg);
    cdev_forward_one_node_from_tcp(reader->node);
    reader->ended.store(true);
    return nullptr;
}

// Carries the link's queued messages to the socket until the controller ends
// the link (returns false) or the socket reader has ended (returns true).
bool forward_from_device(conn_node *node, const socket_reader &reader) {
    for (;;) {
        common_io_buf *msg = read_cdev_iov(node->link_id);
        if (msg != nullptr) {
            int r = cdev_check_and_forward_msg(node, msg);
            release_common_io_buf(msg);
            if (r != 1) {
                node->status = CONN_STATUS_DISCONNECTED;
                return false;
            }
        } else {
            msleep(READ_FROM_CDEV_SLEEP_TIME_MS);
        }
        if (reader.ended.load()) {
            return true;
        }
    }
}

}  // namespace

void *cdev_forward_one_node(void *arg) {
    pthread_detach(pthread_self());
    auto *node = static_cast<conn_node *>(arg);
    add_to_head(&g_forward_list, node);
    node->status = CONN_STATUS_CONNECTED;

    // Lives on this stack: the reader is always joined before we return.
    socket_reader reader{node};
    pthread_t tid;
    int rc = pthread_create(&tid, nullptr, run_socket_reader, &reader);
    if (rc != 0) {
        LOG(LOG_ERROR, "Failed to create thread to handle tcp request, error code: %d\n", rc);
        detach_one_node(&g_forward_list, node);
        free_node(node);
        return nullptr;
    }
    LOG(LOG_INFO, "Thread for handling tcp request: %lu.\n", static_cast<unsigned long>(tid));

    if (forward_from_device(node, reader)) {
        LOG(LOG_INFO, "tcp request:%lu stopped.\n", static_cast<unsigned long>(tid));
    }
    pthread_join(tid, nullptr);
    LOG(LOG_INFO, "Stopped tcp request handler: %lu.\n", static_cast<unsigned long>(tid));
    detach_one_node(&g_forward_list, node);
    free_node(node);
    return nullptr;
}

void *cdev_forward_one_node_from_tcp(void *arg) {
    auto *node = static_cast<conn_node *>(arg);
    common_io_buf *v = node->io_buf;
    while (node->status != CONN_STATUS_DISCONNECTED) {
        if (poll_one_fd(node->fd, SLEEP_TIME) == 0) {
            continue;
        }
        int64_t len = tcp_data_recv(node->fd, v);
        LOG(LOG_INFO, "fd %d received %ld bytes, iov_cnt: %lu.\n", node->fd, v->total_len,
            v->iov_cnt);
        if (len < 0) {
            continue;
        }
        msg_header *h = get_msg_header(v);
        h->source = MSG_SOURCE_HOST;
        if (len == 0) {
            // A reset can end a read after earlier slices were filled; the
            // CLOSE is the header alone all the same.
            iov_build_header(v);
            v->iov_cnt = 1;
            h->type = MSG_TYPE_CLOSE;
            g_write_iov_func(v->iov, v->iov_cnt);
            LOG(LOG_INFO, "connection CLOSE from fd %d, link id: 0x%08x/0x%08x\n", node->fd,
                link_id_for_log(h->local_link_id), link_id_for_log(h->peer_link_id));
            break;
        }
        h->type = MSG_TYPE_FORWARD;
        int64_t written = g_write_iov_func(v->iov, v->iov_cnt);
        if (written < 0) {
            LOG(LOG_INFO,
                "Failed to forward msg to CDEV, connection is lost, link id: 0x%08x/0x%08x, error "
                "code: %d\n",
                link_id_for_log(h->local_link_id), link_id_for_log(h->peer_link_id), errno);
            break;
        }
        LOG(LOG_INFO, "forward %ld/%ld bytes from fd %d to CDEV, link id: 0x%08x/0x%08x\n", len,
            written, node->fd, link_id_for_log(h->local_link_id), link_id_for_log(h->peer_link_id));
    }
    LOG(LOG_INFO, "Thread for handling tcp request cancel.\n");
    return nullptr;
}

int cdev_check_and_forward_msg(conn_node *node, common_io_buf *msg) {
    auto *h = static_cast<msg_header *>(iov_reserve_buf(msg, MSG_HEADER_SIZE));
    int result;
    if (h->type == MSG_TYPE_FORWARD) {
        int64_t sent = forward_message_fast(node->fd, msg->iov, msg->iov_cnt);
        LOG(LOG_INFO, "forward %ld bytes from CDEV to fd %d, link id: 0x%08x/0x%08x\n", sent,
            node->fd, link_id_for_log(h->local_link_id), link_id_for_log(h->peer_link_id));
        result = 1;
    } else if (h->type == MSG_TYPE_CLOSE) {
        LOG(LOG_INFO, "connection CLOSE for fd %d, link id: 0x%08x/0x%08x\n", node->fd,
            link_id_for_log(h->local_link_id), link_id_for_log(h->peer_link_id));
        result = 0;
    } else {
        LOG(LOG_ERROR, "Unknown command type %u, abort connection.\n", h->type);
        result = -1;
    }
    iov_restore_buf(msg, MSG_HEADER_SIZE);
    return result;
}
