// Connection nodes (one per tunnelled local TCP connection) and the two
// process-wide lists they live on: g_request_list while the handshake is open,
// g_forward_list while the link forwards data.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "common/link_stats.h"
#include "common/msg_header.h"

struct common_io_buf;

constexpr int CONN_STATUS_DISCONNECTED = 0;
constexpr int CONN_STATUS_REQUESTED = 1;
constexpr int CONN_STATUS_CONNECTED = 2;
constexpr int CONN_STATUS_PENDING = 3;

struct conn_node {
    conn_node *next = nullptr;
    int32_t fd = -1;
    int32_t aux_fd = -1;
    uint8_t check_count = 0;
    // Written by one thread of a link and polled by the other.
    std::atomic<int8_t> status{CONN_STATUS_DISCONNECTED};
    uint32_t link_id = 0;
    common_io_buf *io_buf = nullptr;
    // Set when something happened that may let the node's next check decide
    // (its client sent, its answer arrived); the state machine clears it.
    std::atomic<bool> ready{false};
    // When the node was accepted, in monotonic milliseconds; 0: unknown.
    int64_t accepted_ms = 0;
    // The link did not end by either peer's wish (bytes were lost, the
    // device or the agent failed it): its socket is reset, never ended with
    // a clean end of stream.
    std::atomic<bool> abort_on_close{false};
    // The CLOSE of an established link, built from its stored header before
    // the node goes on g_forward_list, for a thread other than the link's
    // own to send (a stopping agent).
    msg_header close_header{};
    // For the status: who asked for the link, since when it forwards
    // (monotonic milliseconds, set before it goes on g_forward_list), and its
    // payload bytes each way (the socket reader and the forwarding thread).
    link_opener opener = OPENED_BY_CLIENT;
    int64_t forwarding_since_ms = 0;
    std::atomic<uint64_t> bytes_to_controller{0};
    std::atomic<uint64_t> bytes_from_controller{0};
};

struct conn_list {
    conn_node *head;
    pthread_rwlock_t rwlock;
};

extern conn_list g_request_list;
extern conn_list g_forward_list;

conn_node *alloc_node(int fd, int aux_fd);
void free_node(conn_node *node);
int init_list(conn_list *list);
int add_to_head(conn_list *list, conn_node *node);
conn_node *get_list_head(conn_list *list);
conn_node *detach_node_fast(conn_list *list, conn_node *prev, conn_node *node);
int detach_one_node(conn_list *list, conn_node *node);

// Shuts a socket down both ways, closes it and sets the variable to -1.
void close_socket(int *fd);
// Closes a TCP socket with a reset (no end of stream first) and sets the
// variable to -1.
void reset_socket(int *fd);
