// A local client's handshake: its request goes to the controller under a
// fresh link id, the controller's answer is picked from the receive queue.
// See handshake.h.
#include "link/handshake.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>

#include "common/conn_node.h"
#include "common/iov.h"
#include "common/link_stats.h"
#include "common/msg_header.h"
#include "frame/log.h"
#include "frame/util.h"
#include "link/close_notice.h"
#include "link/forward.h"
#include "link/link_id.h"
#include "link/policy_gate.h"
#include "link/recv_queue.h"
#include "socket/server_socket.h"
#include "socket/state_machine.h"
#include "socket/stream_io.h"
#include "transport/device.h"

namespace {

// The state machine calls the request check once the client has sent, or
// once its time to send is over: the check itself does not wait.
constexpr int REQUEST_POLL_MS = 0;
// The state machine waits at most this long for a one-shot client to take
// its answer.
constexpr int64_t ONE_SHOT_SEND_MS = 1000;

// The queue's waker of a link in its handshake: the state machine looks at
// the node at once instead of at its next pass.
void answer_arrived(void *node, bool) {
    node_has_news(static_cast<conn_node *>(node));
}

// The one-shot forward request: the client's header is followed by its data.
int pass_on_forward_request(conn_node *node, msg_header *h) {
    uint32_t id = cdev_generate_link_id();
    h->local_link_id = id;
    node->link_id = id;
    int64_t len = tcp_data_recv(node->fd, node->io_buf);
    LOG_AS("cdev_check_connection_request", LOG_INFO,
           "This is a forward request, link id 0x%08x, len %lu.\n", link_id_for_log(id), len);
    if (len < 1) {
        return CONN_STATUS_DISCONNECTED;
    }
    int64_t written = g_write_iov_func(node->io_buf->iov, node->io_buf->iov_cnt);
    queue_open_link(id, {answer_arrived, node});
    LOG_AS("cdev_check_connection_request", LOG_INFO, "Forward data length %lu, link id 0x%08x.\n",
           written, link_id_for_log(id));
    if (written < 0) {
        // The data did not reach the controller: no answer will come.
        node->abort_on_close = true;
        return CONN_STATUS_DISCONNECTED;
    }
    return CONN_STATUS_REQUESTED;
}

}  // namespace

int cdev_check_connection_request(conn_node *node) {
    if (poll_one_fd(node->fd, REQUEST_POLL_MS) == 0) {
        LOG(LOG_DETAIL, "No active data from %d, shutdown connection\n", node->fd);
        return CONN_STATUS_DISCONNECTED;
    }
    node->io_buf = alloc_common_io_buf(1);
    if (node->io_buf == nullptr) {
        LOG(LOG_ERROR, "Failed to malloc io buf, enter disconnected state\n");
        return CONN_STATUS_DISCONNECTED;
    }
    msg_header *h = get_msg_header(node->io_buf);
    int64_t len = recv_msg_header(node->fd, h);
    if (len != static_cast<int64_t>(MSG_HEADER_SIZE)) {
        LOG(LOG_DETAIL,
            "No connection request header from %d, connection aborted, len: %ld, error code: %d\n",
            node->fd, len, errno);
        // The link id field holds whatever the client sent; a rejection must
        // not close a link on the controller in its name.
        h->local_link_id = 0;
        return CONN_STATUS_DISCONNECTED;
    }
    LOG(LOG_INFO, "header info: link id 0x%08x/0x%08x,port %d, protocol %d, source %d, type %d.\n",
        link_id_for_log(h->local_link_id), link_id_for_log(h->peer_link_id), ntohs(h->port),
        h->protocol, h->source, h->type);
    const bool forward = h->type == MSG_TYPE_FORWARD && h->protocol != 0;
    if ((h->type == MSG_TYPE_REQUEST || forward) && !client_request_allowed(node->fd, h)) {
        // Ended as a controller's refusal ends it: a clean close, nothing
        // sent either way. Unread data would turn the close into a reset.
        recv(node->fd, nullptr, INT_MAX, MSG_DONTWAIT | MSG_TRUNC);
        h->local_link_id = 0;
        tally(g_link_counters.refused[OPENED_BY_CLIENT]);
        return CONN_STATUS_DISCONNECTED;
    }
    if (h->type == MSG_TYPE_REQUEST) {
        int result = send_connection_request_to_peer(h, node->io_buf, node->fd);
        // Also after a failed write: the rejection ends the id's registration.
        queue_open_link(h->local_link_id, {answer_arrived, node});
        // The controller never heard of it: the client is reset, not told
        // that the controller refused.
        node->abort_on_close = result == CONN_STATUS_DISCONNECTED;
        return result;
    }
    if (forward) {
        return pass_on_forward_request(node, h);
    }
    LOG(LOG_INFO, "This is not a request, connection abort.\n");
    h->local_link_id = 0;
    return CONN_STATUS_DISCONNECTED;
}

int send_connection_request_to_peer(msg_header *header, common_io_buf *v, int fd) {
    v->iov_cnt = 1;
    v->iov[0].iov_len = MSG_HEADER_SIZE;
    v->total_len = MSG_HEADER_SIZE;
    uint32_t id = cdev_generate_link_id();
    header->local_link_id = id;
    if (g_write_iov_func(v->iov, 1) == static_cast<int64_t>(MSG_HEADER_SIZE)) {
        LOG(LOG_INFO, "Send connection request to peer successfully, fd: %d, link id: 0x%08x.\n",
            fd, link_id_for_log(id));
        return 1;
    }
    LOG(LOG_ERROR, "Failed to send request, error code: %d\n", errno);
    return 0;
}

int cdev_check_connection_status(conn_node *node, int /*timeout*/) {
    msg_header *h = get_msg_header(node->io_buf);
    uint32_t id = h->local_link_id;
    common_io_buf *reply = read_cdev_iov(id);
    if (reply == nullptr && queue_link_dropped(id)) {
        // The answer was lost on the device.
        node->abort_on_close = true;
        return CONN_STATUS_DISCONNECTED;
    }
    if (reply == nullptr) {
        LOG(LOG_DETAIL, "No message for link id 0x%08x, fd %d\n", link_id_for_log(id), node->fd);
        return CONN_STATUS_PENDING;
    }
    LOG(LOG_INFO, "received %ld in total, link id 0x%08x, fd %d, iov_cnt: %lu.\n", reply->total_len,
        link_id_for_log(id), node->fd, reply->iov_cnt);

    int result = CONN_STATUS_DISCONNECTED;
    if (h->protocol != 0) {
        // One-shot: the first answer goes to the client and ends the link.
        cdev_check_and_forward_msg(node, reply, {nullptr, monotonic_ms() + ONE_SHOT_SEND_MS});
        LOG(LOG_INFO, "Forward done\n");
    } else if (reply->total_len != static_cast<int64_t>(MSG_HEADER_SIZE)) {
        LOG(LOG_INFO, "Invalid reply length: %lu.\n", reply->total_len);
    } else {
        msg_header *rh = get_msg_header(reply);
        if (is_check_connection_response(rh)) {
            copy_connection_response_header(node, rh);
            LOG(LOG_INFO, "Connection accepted by Tavix, link id 0x%08x/0x%08x.\n",
                link_id_for_log(rh->local_link_id), link_id_for_log(rh->peer_link_id));
            result = CONN_STATUS_CONNECTED;
        } else {
            LOG(LOG_INFO, "Response type is %d, abort connection.\n", rh->type);
            tally(g_link_counters.refused[OPENED_BY_CLIENT]);
        }
    }
    release_common_io_buf(reply);
    return result;
}

void cdev_connection_rejected(conn_node *node) {
    if (node->io_buf == nullptr) {
        return;
    }
    msg_header *h = iov_build_header(node->io_buf);
    // Whatever the controller still sends for the id is dropped from now on.
    queue_close_link(h->local_link_id);
    // Only a plain TCP request that went out under an agent id needs a CLOSE.
    if (h->protocol != 0 || h->local_link_id == 0) {
        return;
    }
    LOG(LOG_INFO, "Reject connection for node.\n");
    node->io_buf->iov_cnt = 1;
    node->io_buf->iov[0].iov_len = MSG_HEADER_SIZE;
    h->type = MSG_TYPE_CLOSE;
    // A CLOSE the device fails is kept and sent once it takes writes again.
    if (send_close_notice(h)) {
        LOG(LOG_INFO, "Send CLOSE successfully.\n");
    } else {
        LOG(LOG_ERROR, "Failed to send CLOSE, error code: %d\n", errno);
    }
}

void cdev_connection_established(conn_node *node) {
    msg_header *h = get_msg_header(node->io_buf);
    LOG(LOG_INFO, "connection established, link id: 0x%08x/0x%08x, dst port: %d.\n",
        link_id_for_log(h->local_link_id), link_id_for_log(h->peer_link_id), ntohs(h->port));
    set_tcp_no_delay(node->fd);
    node->link_id = h->local_link_id;
    if (node->io_buf->iov[0].iov_len != MSG_HEADER_SIZE) {
        LOG(LOG_INFO, "No header present, ignore.\n");
        return;
    }
    if (send_msg_header(node->fd, h) != static_cast<int64_t>(MSG_HEADER_SIZE)) {
        LOG(LOG_ERROR, "Failed to send header to %d (type %d)\n", node->fd, h->type);
    }
}
