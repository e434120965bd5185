// Forwarding of an established link in both directions. See forward.h.
//
// The forwarding thread sleeps on a condition variable until the receive
// queue has a message for its link, the socket reader has ended, or the
// queue has dropped the link; the socket reader sleeps in poll until the
// client sends, and is woken for the end by a shutdown of the socket's
// reading side. An idle link costs no wake-ups.
//
// A link that lost bytes, or that the device failed, ends with a reset to
// its client (never a clean end of stream) and a CLOSE to the controller.
#include "link/forward.h"

#include <pthread.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>

#include "common/conn_node.h"
#include "common/iov.h"
#include "common/link_stats.h"
#include "common/msg_header.h"
#include "frame/log.h"
#include "frame/util.h"
#include "link/close_notice.h"
#include "link/recv_queue.h"
#include "socket/stream_io.h"
#include "transport/device.h"

namespace {

// A link that read more than this many slices at once and then stays idle
// for IDLE_TRIM_MS gives back all but one of them.
constexpr uint64_t IDLE_KEPT_SLICES = 4;
constexpr int IDLE_TRIM_MS = 1000;

// How the device-to-client direction of a link ended.
enum class link_end {
    READER_ENDED,      // the client closed, or the device failed the reader
    CONTROLLER_ENDED,  // a CLOSE, or a message that ends the link
    CLIENT_FAILED,     // a send to the client failed
    QUEUE_DROPPED,     // the receive queue dropped the link: no room, or a lost message
};

// What the two threads of a link share. Lives on the forwarding thread's
// stack: the socket reader is always joined, and the queue's waker removed,
// before that thread returns.
struct link_threads {
    explicit link_threads(conn_node *n) : node(n) { pthread_cond_init(&wake, nullptr); }
    ~link_threads() { pthread_cond_destroy(&wake); }
    conn_node *node;
    pthread_cond_t wake;
    std::atomic<bool> reader_ended{false};
    std::atomic<bool> dropped{false};       // the queue ended the link
    std::atomic<bool> stop_sending{false};  // a send to the client is of no use any more
    link_progress progress;
    reader_end how_reader_ended = reader_end::STOPPED;  // read after the join
};

// The queue's waker. When the queue drops the link, the forwarding thread
// may be waiting for a client that does not read: that send gives up.
void wake_forwarder(void *arg, bool link_ended) {
    auto *t = static_cast<link_threads *>(arg);
    if (link_ended) {
        t->dropped = true;
        t->stop_sending = true;
    }
    pthread_cond_signal(&t->wake);
}

// The reader's way to the client when nothing of the link waits: one send
// that never blocks; the queue keeps what the client does not take.
int64_t deliver_at_once(void *arg, common_io_buf *msg) {
    auto *t = static_cast<link_threads *>(arg);
    auto *h = static_cast<msg_header *>(iov_reserve_buf(msg, MSG_HEADER_SIZE));
    struct msghdr m = {};
    m.msg_iov = msg->iov;
    m.msg_iovlen = msg->iov_cnt;
    ssize_t sent;
    do {
        sent = sendmsg(t->node->fd, &m, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent > 0) {
        tally(t->node->bytes_from_controller, sent);
        tally(g_link_counters.bytes_from_controller, sent);
        LOG_AS("cdev_check_and_forward_msg", LOG_INFO,
               "forward %ld bytes from CDEV to fd %d, link id: 0x%08x/0x%08x\n",
               static_cast<long>(sent), t->node->fd, link_id_for_log(h->local_link_id),
               link_id_for_log(h->peer_link_id));
    }
    iov_restore_buf(msg, MSG_HEADER_SIZE);
    return sent < 0 ? 0 : sent;
}

void *run_socket_reader(void *arg) {
    auto *t = static_cast<link_threads *>(arg);
    t->how_reader_ended = cdev_forward_one_node_from_tcp(t->node);
    t->reader_ended = true;
    t->stop_sending = true;
    queue_wake(t->node->link_id);
    return nullptr;
}

// Carries the link's queued messages to the socket until the link ends.
link_end forward_from_device(link_threads *t) {
    conn_node *node = t->node;
    for (;;) {
        queue_wait_end why = queue_wait_end::STOPPED;
        common_io_buf *msg = wait_cdev_iov(node->link_id, &t->wake, &t->reader_ended, &why);
        if (msg == nullptr) {
            return why == queue_wait_end::STOPPED ? link_end::READER_ENDED
                                                  : link_end::QUEUE_DROPPED;
        }
        int r = cdev_check_and_forward_msg(node, msg,
                                           {&t->stop_sending, 0, &t->progress.blocked_since_ms});
        release_common_io_buf(msg);
        if (r == 0 || r == -1) {
            return link_end::CONTROLLER_ENDED;
        }
        if (r < 0) {
            if (t->dropped) {
                return link_end::QUEUE_DROPPED;
            }
            return t->reader_ended ? link_end::READER_ENDED : link_end::CLIENT_FAILED;
        }
    }
}

// The link's stored header as a header-only CLOSE from this host.
void tell_controller(conn_node *node) {
    msg_header *h = iov_build_header(node->io_buf);
    node->io_buf->iov_cnt = 1;
    h->type = MSG_TYPE_CLOSE;
    h->source = MSG_SOURCE_HOST;
    send_close_notice(h);
}

void log_end(conn_node *node, link_end end, pthread_t reader) {
    const msg_header *h = get_msg_header(node->io_buf);
    if (end == link_end::READER_ENDED) {
        LOG_AS("cdev_forward_one_node", LOG_INFO, "tcp request:%lu stopped.\n",
               static_cast<unsigned long>(reader));
    } else if (end == link_end::CLIENT_FAILED) {
        LOG_AS("cdev_forward_one_node", LOG_ERROR,
               "Failed to send to fd %d, link id: 0x%08x/0x%08x closed\n", node->fd,
               link_id_for_log(h->local_link_id), link_id_for_log(h->peer_link_id));
    } else if (end == link_end::QUEUE_DROPPED) {
        LOG_AS("cdev_forward_one_node", LOG_ERROR,
               "Link id: 0x%08x/0x%08x dropped by the receive queue, fd %d closed\n",
               link_id_for_log(h->local_link_id), link_id_for_log(h->peer_link_id), node->fd);
    }
}

// The link's end as the status counts it.
link_end_cause end_cause(link_end end, reader_end how_reader_ended) {
    switch (end) {
        case link_end::READER_ENDED:
            return how_reader_ended == reader_end::DEVICE_FAILED ? END_DEVICE_WRITE_FAILED
                                                                 : END_LOCAL_CLOSED;
        case link_end::CONTROLLER_ENDED:
            return END_CONTROLLER_CLOSED;
        case link_end::CLIENT_FAILED:
            return END_LOCAL_SEND_FAILED;
        case link_end::QUEUE_DROPPED:
            break;
    }
    return END_QUEUE_DROPPED;
}

// Unlinks and frees the node once nothing refers to it any more.
void release_link(conn_node *node) {
    queue_close_link(node->link_id);
    detach_one_node(&g_forward_list, node);
    free_node(node);
}

}  // namespace

void *cdev_forward_one_node(void *arg) {
    pthread_detach(pthread_self());
    auto *node = static_cast<conn_node *>(arg);
    node->close_header = *get_msg_header(node->io_buf);
    node->close_header.type = MSG_TYPE_CLOSE;
    node->close_header.source = MSG_SOURCE_HOST;
    node->forwarding_since_ms = monotonic_ms();
    tally(g_link_counters.opened[node->opener]);
    add_to_head(&g_forward_list, node);
    node->status = CONN_STATUS_CONNECTED;

    link_threads t(node);
    queue_open_link(node->link_id, {wake_forwarder, &t, &t.progress, deliver_at_once});
    pthread_t tid;
    int rc = start_link_thread(&tid, run_socket_reader, &t);
    if (rc != 0) {
        LOG(LOG_ERROR, "Failed to create thread to handle tcp request, error code: %d\n", rc);
        node->status = CONN_STATUS_DISCONNECTED;
        tell_controller(node);
        node->abort_on_close = true;
        release_link(node);
        return nullptr;
    }
    LOG(LOG_INFO, "Thread for handling tcp request: %lu.\n", static_cast<unsigned long>(tid));

    link_end end = forward_from_device(&t);
    node->status = CONN_STATUS_DISCONNECTED;
    // The socket reader may be waiting for the client: its poll returns
    // (shutting the reading side sends the client nothing).
    shutdown(node->fd, SHUT_RD);
    pthread_join(tid, nullptr);
    // Only now: the socket reader moves the header while it reads.
    log_end(node, end, tid);
    tally(g_link_counters.ended[end_cause(end, t.how_reader_ended)]);
    LOG(LOG_INFO, "Stopped tcp request handler: %lu.\n", static_cast<unsigned long>(tid));
    bool lost_data = end == link_end::CLIENT_FAILED || end == link_end::QUEUE_DROPPED;
    // The controller ended it, or the socket reader has told it already.
    if (lost_data && t.how_reader_ended == reader_end::STOPPED) {
        tell_controller(node);
    }
    // Bytes were lost on the way: the client sees a reset, never a clean end
    // of a stream with a hole in it.
    if (lost_data || t.how_reader_ended == reader_end::DEVICE_FAILED) {
        node->abort_on_close = true;
    }
    release_link(node);
    return nullptr;
}

reader_end cdev_forward_one_node_from_tcp(conn_node *node) {
    common_io_buf *v = node->io_buf;
    reader_end end = reader_end::STOPPED;
    int wait_ms = -1;
    while (node->status != CONN_STATUS_DISCONNECTED) {
        if (poll_one_fd(node->fd, wait_ms) == 0) {
            // Gone idle after a burst: the burst's slices go back.
            if (wait_ms > 0) {
                release_slices_from(v, 1);
                wait_ms = -1;
            }
            continue;
        }
        int64_t len = tcp_data_recv(node->fd, v);
        wait_ms = v->iov_cnt > IDLE_KEPT_SLICES ? IDLE_TRIM_MS : -1;
        LOG(LOG_INFO, "fd %d received %ld bytes, iov_cnt: %lu.\n", node->fd, v->total_len,
            v->iov_cnt);
        // Ended by the forwarding thread meanwhile: nothing more goes out.
        if (node->status == CONN_STATUS_DISCONNECTED || len < 0) {
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
            send_close_notice(h);
            end = reader_end::CLIENT_CLOSED;
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
            // The controller still holds its half: it hears of the end once
            // the device takes writes again.
            iov_build_header(v);
            v->iov_cnt = 1;
            h->type = MSG_TYPE_CLOSE;
            send_close_notice(h);
            end = reader_end::DEVICE_FAILED;
            break;
        }
        tally(node->bytes_to_controller, len);
        tally(g_link_counters.bytes_to_controller, len);
        LOG(LOG_INFO, "forward %ld/%ld bytes from fd %d to CDEV, link id: 0x%08x/0x%08x\n", len,
            written, node->fd, link_id_for_log(h->local_link_id), link_id_for_log(h->peer_link_id));
        // The device takes writes again: CLOSEs it failed go out now.
        if (deferred_closes() > 0) {
            retry_deferred_closes();
        }
    }
    LOG(LOG_INFO, "Thread for handling tcp request cancel.\n");
    return end;
}

int cdev_check_and_forward_msg(conn_node *node, common_io_buf *msg, const send_watch &watch) {
    auto *h = static_cast<msg_header *>(iov_reserve_buf(msg, MSG_HEADER_SIZE));
    int result;
    if (h->type == MSG_TYPE_FORWARD) {
        int64_t sent =
            forward_message_watched(node->fd, msg->iov, msg->iov_cnt, watch, msg->sent_len);
        LOG(LOG_INFO, "forward %ld bytes from CDEV to fd %d, link id: 0x%08x/0x%08x\n", sent,
            node->fd, link_id_for_log(h->local_link_id), link_id_for_log(h->peer_link_id));
        result = sent < 0 ? -2 : 1;
        // Links only: a one-shot request's answer comes here too.
        if (sent > 0 && node->forwarding_since_ms != 0) {
            tally(node->bytes_from_controller, sent);
            tally(g_link_counters.bytes_from_controller, sent);
        }
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
