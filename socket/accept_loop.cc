// The accept loop: every local client becomes a connection node on the
// request list, and the state machine is told at once.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "common/conn_node.h"
#include "frame/log.h"
#include "frame/util.h"
#include "socket/state_machine.h"

void (*g_listening_func)() = nullptr;

namespace {

// Clients that connect at once wait in the kernel's queue rather than have
// their connection attempts dropped and retried seconds later.
constexpr int LISTEN_BACKLOG = SOMAXCONN;
// Without descriptors or memory the accept fails until some are freed: the
// loop waits, longer each time, instead of spinning.
constexpr unsigned int ACCEPT_BACKOFF_MIN_MS = 10;
constexpr unsigned int ACCEPT_BACKOFF_MAX_MS = 1000;

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

bool out_of_resources(int err) {
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

bool socket_closed(int err) {
    return err == EBADF || err == EINVAL || err == ENOTSOCK;
}

}  // namespace

int accept_connection(int fd, conn_list *list) {
    socket_address peer = {};
    socklen_t peer_len = sizeof(peer);
    int conn_fd = accept(fd, &peer.any, &peer_len);
    if (conn_fd < 0) {
        return errno;
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
    conn_node *node = alloc_node(conn_fd, -1);
    if (node != nullptr) {
        node->accepted_ms = monotonic_ms();
    }
    if (add_to_head(list, node) < 0) {
        LOG_AS("run_socket_server", LOG_DETAIL, "Close socket %d\n", conn_fd);
        close_socket(&conn_fd);
        return -1;
    }
    wake_state_machine();
    return 0;
}

int run_socket_server(int fd, conn_list *list) {
    if (listen(fd, LISTEN_BACKLOG) < 0) {
        LOG(LOG_ERROR, "ERROR on listen, error code: %d\n", errno);
        return -1;
    }
    if (g_listening_func != nullptr) {
        g_listening_func();
    }
    log_repeat failures;
    unsigned int backoff_ms = 0;
    for (;;) {
        int err = accept_connection(fd, list);
        if (err <= 0) {
            log_repeat_end(&failures, __func__);
            backoff_ms = 0;
            continue;
        }
        if (socket_closed(err)) {
            return 0;
        }
        if (log_repeat_first(&failures, __func__)) {
            LOG(LOG_ERROR, "Failed to accept a connection, error code: %d\n", err);
        }
        if (out_of_resources(err)) {
            backoff_ms = std::clamp(backoff_ms * 2, ACCEPT_BACKOFF_MIN_MS, ACCEPT_BACKOFF_MAX_MS);
            msleep(backoff_ms);
        }
    }
}
