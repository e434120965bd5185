// The accept loop and the connection state machine.
//
// Hooks, all called with the node:
//   check_connection_request  a new node (DISCONNECTED); state-machine thread
//   check_connection_status   a REQUESTED or PENDING node; state-machine thread
//   connection_rejected       after a check gave 0, node already off the list
//   connection_established    after a check gave 2, node already off the list
//   forward_one_node          thread routine per established node; owns it
// A check result of 0 rejects, 2 establishes, anything else is undecided.
#include "socket/state_machine.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>

#include <cerrno>

#include "common/conn_node.h"
#include "common/msg_header.h"
#include "frame/log.h"
#include "frame/util.h"

int connection_check_retry_count = 25;

namespace {

constexpr int LISTEN_BACKLOG = 5;
constexpr int STATUS_CHECK_TIMEOUT_MS = 100;

// Room for either address family.
union socket_address {
    struct sockaddr any;
    struct sockaddr_in v4;
    struct sockaddr_in6 v6;
};

// Writes the text and the host-order port of an IPv4 or IPv6 address.
int address_text(const socket_address &addr, char *text, socklen_t len) {
    text[0] = '\0';
    if (addr.any.sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &addr.v6.sin6_addr, text, len);
        return ntohs(addr.v6.sin6_port);
    }
    inet_ntop(AF_INET, &addr.v4.sin_addr, text, len);
    return ntohs(addr.v4.sin_port);
}

int run_check(conn_node *node) {
    int8_t status = node->status.load();
    if (status == CONN_STATUS_REQUESTED || status == CONN_STATUS_PENDING) {
        return check_connection_status(node, STATUS_CHECK_TIMEOUT_MS);
    }
    if (status == CONN_STATUS_DISCONNECTED) {
        return check_connection_request(node);
    }
    return CONN_STATUS_PENDING;
}

}  // namespace

int accept_connection(int fd, conn_list *list) {
    socket_address peer = {};
    socklen_t peer_len = sizeof(peer);
    int conn_fd = accept(fd, &peer.any, &peer_len);
    if (conn_fd < 0) {
        LOG_AS("run_socket_server", LOG_ERROR, "Failed to accept a connection, error code: %d\n",
               errno);
        return -1;
    }
    socket_address local = {};
    socklen_t local_len = sizeof(local);
    getsockname(conn_fd, &local.any, &local_len);
    char peer_text[INET6_ADDRSTRLEN];
    char local_text[INET6_ADDRSTRLEN];
    int peer_port = address_text(peer, peer_text, sizeof(peer_text));
    int local_port = address_text(local, local_text, sizeof(local_text));
    LOG_AS("run_socket_server", LOG_DETAIL, "New connection: [%s/%d] -> [%s/%d], fd: %d\n",
           peer_text, peer_port, local_text, local_port, conn_fd);
    if (add_to_head(list, alloc_node(conn_fd, -1)) < 0) {
        LOG_AS("run_socket_server", LOG_DETAIL, "Close socket %d\n", conn_fd);
        close_socket(&conn_fd);
        return -1;
    }
    return 0;
}

int run_socket_server(int fd, conn_list *list) {
    if (listen(fd, LISTEN_BACKLOG) < 0) {
        LOG(LOG_ERROR, "ERROR on listen, error code: %d\n", errno);
        return -1;
    }
    for (;;) {
        accept_connection(fd, list);
    }
}

void check_node_timeout(conn_list *list, conn_node *prev, conn_node *node, bool *freed) {
    LOG(LOG_DETAIL, "check fd (%d/%d), count: %d/%d.\n", node->fd, node->aux_fd, node->check_count,
        connection_check_retry_count);
    int before = node->check_count++;
    *freed = before >= connection_check_retry_count;
    if (*freed) {
        LOG(LOG_INFO, "Node connection timeout, free this node (%d/%d).\n", node->fd, node->aux_fd);
        detach_node_fast(list, prev, node);
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
    int rc = pthread_create(&thread, nullptr, forward_one_node, node);
    if (rc != 0) {
        LOG(LOG_ERROR, "Failed to create thread to forward, error code: %d\n", rc);
        free_node(node);
        return;
    }
    LOG(LOG_INFO, "Thread for new connection: %lu, fd: %d/%d, link id: 0x%08x.\n",
        static_cast<unsigned long>(thread), fd, aux_fd, link_id_for_log(link_id));
}

void handle_socket_connection_pass(conn_list *list) {
    conn_node *prev = nullptr;
    conn_node *node = get_list_head(list);
    while (node != nullptr) {
        conn_node *next = node->next;
        int result = run_check(node);
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
        } else {
            bool freed = false;
            check_node_timeout(list, prev, node, &freed);
            if (!freed) {
                prev = node;
            }
        }
        node = next;
    }
}

void *handle_socket_connection(void *list) {
    pthread_detach(pthread_self());
    for (;;) {
        handle_socket_connection_pass(static_cast<conn_list *>(list));
        msleep(STATE_MACHINE_PASS_MS);
    }
}
