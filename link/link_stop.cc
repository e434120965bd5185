// The links' end at shutdown. See link_stop.h.
#include "link/link_stop.h"

#include <sys/socket.h>

#include <vector>

#include "common/conn_node.h"
#include "common/msg_header.h"
#include "frame/log.h"
#include "link/close_notice.h"
#include "transport/device.h"

namespace {

// The sockets of the list's nodes will be reset when closed; the CLOSEs of
// its established links are added to `closes`.
void reset_clients(conn_list *list, std::vector<msg_header> *closes) {
    linger reset = {1, 0};
    pthread_rwlock_rdlock(&list->rwlock);
    for (conn_node *n = list->head; n != nullptr; n = n->next) {
        setsockopt(n->fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
        if (closes != nullptr) {
            closes->push_back(n->close_header);
        }
    }
    pthread_rwlock_unlock(&list->rwlock);
}

}  // namespace

void end_links_on_stop(int64_t deadline_ms) {
    // Under the send lock, so that no link's data follows its CLOSE and no
    // link leaves the list unannounced meanwhile.
    bool locked = send_lock_acquire_until(deadline_ms, true);
    std::vector<msg_header> closes = take_deferred_closes();
    reset_clients(&g_forward_list, &closes);
    reset_clients(&g_request_list, nullptr);
    size_t sent = 0;
    for (; locked && sent < closes.size(); ++sent) {
        struct iovec entry = {&closes[sent], MSG_HEADER_SIZE};
        if (write_iov_locked(&entry, 1) != static_cast<int64_t>(MSG_HEADER_SIZE)) {
            break;
        }
    }
    g_cdev_writes_over = true;
    if (locked) {
        send_lock_release();
    }
    LOG(LOG_INFO, "Sent %zu of %zu CLOSE at stop\n", sent, closes.size());
}
