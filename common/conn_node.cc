// Connection nodes and the two process-wide lists.
#include "common/conn_node.h"

#include <sys/socket.h>
#include <unistd.h>

#include <new>

#include "common/iov.h"
#include "frame/log.h"

conn_list g_request_list;
conn_list g_forward_list;

void close_socket(int *fd) {
    shutdown(*fd, SHUT_RDWR);
    close(*fd);
    *fd = -1;
}

void reset_socket(int *fd) {
    linger reset = {1, 0};
    setsockopt(*fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    close(*fd);
    *fd = -1;
}

conn_node *alloc_node(int fd, int aux_fd) {
    auto *node = new (std::nothrow) conn_node{};
    if (node == nullptr) {
        return nullptr;
    }
    node->fd = fd;
    node->aux_fd = aux_fd;
    return node;
}

static void close_node_socket(int *fd, bool reset) {
    if (*fd >= 0) {
        LOG_AS("free_node", LOG_DETAIL, "Close socket %d\n", *fd);
        reset ? reset_socket(fd) : close_socket(fd);
    }
}

void free_node(conn_node *node) {
    LOG(LOG_DETAIL, "Trying to free node.\n");
    if (node == nullptr) {
        return;
    }
    close_node_socket(&node->fd, node->abort_on_close.load());
    close_node_socket(&node->aux_fd, node->abort_on_close.load());
    if (node->io_buf != nullptr) {
        release_common_io_buf(node->io_buf);
        node->io_buf = nullptr;
    }
    delete node;
}

int init_list(conn_list *list) {
    list->head = nullptr;
    pthread_rwlock_init(&list->rwlock, nullptr);
    return 0;
}

int add_to_head(conn_list *list, conn_node *node) {
    if (node == nullptr) {
        return -1;
    }
    pthread_rwlock_wrlock(&list->rwlock);
    node->next = list->head;
    list->head = node;
    pthread_rwlock_unlock(&list->rwlock);
    return 0;
}

conn_node *get_list_head(conn_list *list) {
    pthread_rwlock_rdlock(&list->rwlock);
    conn_node *head = list->head;
    pthread_rwlock_unlock(&list->rwlock);
    return head;
}

// Unlinks `node` when it is on the list; the caller holds the write lock.
// Returns whether it was found.
static bool unlink_locked(conn_list *list, conn_node *prev_hint, conn_node *node) {
    if (list->head == node) {
        list->head = node->next;
        return true;
    }
    conn_node *prev = prev_hint;
    if (prev == nullptr || prev->next != node) {
        prev = list->head;
        while (prev != nullptr && prev->next != node) {
            prev = prev->next;
        }
    }
    if (prev == nullptr) {
        return false;
    }
    prev->next = node->next;
    return true;
}

// `prev` comes from the caller's walk and is only a hint: nodes pushed since
// that walk began may now stand in front of `node`, and must be kept.
conn_node *detach_node_fast(conn_list *list, conn_node *prev, conn_node *node) {
    pthread_rwlock_wrlock(&list->rwlock);
    unlink_locked(list, prev, node);
    node->next = nullptr;
    pthread_rwlock_unlock(&list->rwlock);
    return node;
}

int detach_one_node(conn_list *list, conn_node *node) {
    pthread_rwlock_wrlock(&list->rwlock);
    bool found = node != nullptr && unlink_locked(list, nullptr, node);
    if (found) {
        node->next = nullptr;
    }
    pthread_rwlock_unlock(&list->rwlock);
    return found ? 0 : 1;
}
