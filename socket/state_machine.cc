// The connection state machine.
//
// Hooks, all called with the node:
//   check_connection_request  a new node (DISCONNECTED) once its client sent
//                             or FIRST_BYTES_WAIT_MS passed; state-machine thread
//   check_connection_status   a REQUESTED or PENDING node; state-machine thread
//   connection_rejected       after a check gave 0, or the checks ran out;
//                             node already off the list
//   connection_established    after a check gave 2, node already off the list
//   forward_one_node          thread routine per established node; owns it
// A check result of 0 rejects, 2 establishes, anything else is undecided.
#include "socket/state_machine.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "common/conn_node.h"
#include "common/link_stats.h"
#include "common/msg_header.h"
#include "common/progress.h"
#include "frame/log.h"
#include "frame/util.h"

int connection_check_retry_count = 25;

namespace {

constexpr int STATUS_CHECK_TIMEOUT_MS = 100;

// Counts wake-ups; the state machine sleeps on it.
int wake_fd() {
    static int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return fd;
}

bool awaits_first_bytes(const conn_node *node) {
    return node->status.load() == CONN_STATUS_DISCONNECTED;
}

bool awaits_answer(const conn_node *node) {
    int8_t status = node->status.load();
    return status == CONN_STATUS_REQUESTED || status == CONN_STATUS_PENDING;
}

int64_t first_bytes_deadline(const conn_node *node, int64_t now) {
    return (node->accepted_ms != 0 ? node->accepted_ms : now) + FIRST_BYTES_WAIT_MS;
}

// The check the node is due for on this pass, or false when it has nothing
// new and the pass does not count.
bool due_check(conn_node *node, bool counting, int64_t now, int *result) {
    bool news = node->ready.exchange(false);
    if (awaits_answer(node)) {
        if (!news && !counting) {
            return false;
        }
        *result = check_connection_status(node, STATUS_CHECK_TIMEOUT_MS);
        return true;
    }
    if (awaits_first_bytes(node)) {
        // The request check reads without waiting: it comes once the client
        // sent, or once its time to send is over.
        if (!news && now < first_bytes_deadline(node, now)) {
            return false;
        }
        *result = check_connection_request(node);
        return true;
    }
    *result = CONN_STATUS_PENDING;
    return counting;
}

}  // namespace

void wake_state_machine() {
    uint64_t one = 1;
    ssize_t n = write(wake_fd(), &one, sizeof(one));
    (void)n;  // a full counter wakes the state machine just as well
}

void node_has_news(conn_node *node) {
    node->ready = true;
    wake_state_machine();
}

void check_node_timeout(conn_list *list, conn_node *prev, conn_node *node, bool *freed) {
    LOG(LOG_DETAIL, "check fd (%d/%d), count: %d/%d.\n", node->fd, node->aux_fd, node->check_count,
        connection_check_retry_count);
    int before = node->check_count++;
    *freed = before >= connection_check_retry_count;
    if (*freed) {
        LOG(LOG_INFO, "Node connection timeout, free this node (%d/%d).\n", node->fd, node->aux_fd);
        detach_node_fast(list, prev, node);
        tally(g_link_counters.timed_out);
        // Nobody refused: the client is reset, not given a clean end.
        node->abort_on_close = true;
        // The request may have reached the controller: it hears of the end.
        connection_rejected(node);
        free_node(node);
    }
}

void do_forward(conn_node *node) {
    // Once the thread runs it owns the node and may free it at once, so the
    // fields for the log line are taken first.
    int fd = node->fd;
    int aux_fd = node->aux_fd;
    uint32_t link_id = node->link_id;
    pthread_t thread;
    int rc = start_link_thread(&thread, forward_one_node, node);
    if (rc != 0) {
        LOG(LOG_ERROR, "Failed to create thread to forward, error code: %d\n", rc);
        connection_rejected(node);
        free_node(node);
        return;
    }
    LOG(LOG_INFO, "Thread for new connection: %lu, fd: %d/%d, link id: 0x%08x.\n",
        static_cast<unsigned long>(thread), fd, aux_fd, link_id_for_log(link_id));
}

void handle_socket_connection_pass(conn_list *list, bool counting) {
    int64_t now = monotonic_ms();
    conn_node *prev = nullptr;
    conn_node *node = get_list_head(list);
    while (node != nullptr) {
        conn_node *next = node->next;
        int result = CONN_STATUS_PENDING;
        if (!due_check(node, counting, now, &result)) {
            prev = node;
            node = next;
            continue;
        }
        int status = node->status.load();
        if (status != result) {
            LOG_AS("handle_socket_connection", LOG_INFO,
                   "Node, fd: %d/%d, id: 0x%08x, status: %d -> %d.\n", node->fd, node->aux_fd,
                   link_id_for_log(node->link_id), status, result);
            node->status.store(static_cast<int8_t>(result));
        }
        if (result == CONN_STATUS_DISCONNECTED) {
            detach_node_fast(list, prev, node);
            connection_rejected(node);
            free_node(node);
        } else if (result == CONN_STATUS_CONNECTED) {
            detach_node_fast(list, prev, node);
            connection_established(node);
            do_forward(node);
        } else if (counting) {
            bool freed = false;
            check_node_timeout(list, prev, node, &freed);
            if (!freed) {
                prev = node;
            }
        } else {
            prev = node;
        }
        node = next;
    }
}

void wait_for_news(conn_list *list, int64_t next_pass_ms) {
    std::vector<pollfd> fds{{wake_fd(), POLLIN, 0}};
    std::vector<conn_node *> waiting;
    int64_t now = monotonic_ms();
    int64_t until = next_pass_ms;
    for (conn_node *n = get_list_head(list); n != nullptr; n = n->next) {
        if (awaits_first_bytes(n)) {
            fds.push_back({n->fd, POLLIN, 0});
            waiting.push_back(n);
            int64_t deadline = first_bytes_deadline(n, now);
            until = until < 0 ? deadline : std::min(until, deadline);
        }
    }
    int timeout = until < 0 ? -1 : static_cast<int>(std::max<int64_t>(0, until - now));
    if (poll(fds.data(), fds.size(), timeout) <= 0) {
        return;
    }
    uint64_t count;
    while (read(wake_fd(), &count, sizeof(count)) > 0) {
    }
    for (size_t i = 0; i < waiting.size(); ++i) {
        if (fds[i + 1].revents != 0) {
            waiting[i]->ready = true;
        }
    }
}

void *handle_socket_connection(void *arg) {
    pthread_detach(pthread_self());
    auto *list = static_cast<conn_list *>(arg);
    int64_t next_pass = -1;
    for (;;) {
        mark_progress(g_progress.state_machine_ms);
        int64_t now = monotonic_ms();
        bool counting = next_pass >= 0 && now >= next_pass;
        handle_socket_connection_pass(list, counting);
        // Passes that count are due only while handshakes are open.
        if (get_list_head(list) == nullptr) {
            next_pass = -1;
        } else if (next_pass < 0 || counting) {
            next_pass = now + STATE_MACHINE_PASS_MS;
        }
        wait_for_news(list, next_pass);
    }
}
