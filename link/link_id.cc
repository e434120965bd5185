// Link id issue and the flush of messages left over from an earlier holder of
// an id. See link_id.h.
#include "link/link_id.h"

#include <pthread.h>

#include "common/conn_node.h"
#include "common/iov.h"
#include "common/msg_header.h"
#include "frame/log.h"
#include "link/recv_queue.h"

namespace {

// The last id issued. Lock order: link_id_mutex, then g_forward_list's lock.
uint32_t link_id_counter = LINK_ID_COUNTER_START;
pthread_mutex_t link_id_mutex = PTHREAD_MUTEX_INITIALIZER;

}  // namespace

void set_link_id_counter(uint32_t value) {
    pthread_mutex_lock(&link_id_mutex);
    link_id_counter = value;
    pthread_mutex_unlock(&link_id_mutex);
}

uint32_t cdev_generate_link_id() {
    pthread_mutex_lock(&link_id_mutex);
    do {
        ++link_id_counter;
        if (link_id_counter == 0) {
            link_id_counter = 1;
        }
    } while (check_link_id_in_forward_list(link_id_counter) == 1);
    uint32_t id = link_id_counter;
    pthread_mutex_unlock(&link_id_mutex);

    // Nothing has been sent under the id yet, so only stale messages can be
    // waiting for it.
    cdev_flush_old_link_msg(id);
    return id;
}

int check_link_id_in_forward_list(uint32_t id) {
    int found = 0;
    // Forwarding threads unlink and free their nodes at any time, so the whole
    // walk stays under the read lock.
    pthread_rwlock_rdlock(&g_forward_list.rwlock);
    for (conn_node *n = g_forward_list.head; n != nullptr; n = n->next) {
        if (n->link_id == id) {
            found = 1;
            break;
        }
    }
    pthread_rwlock_unlock(&g_forward_list.rwlock);
    return found;
}

void cdev_flush_old_link_msg(uint32_t id) {
    LOG(LOG_DETAIL, "Flush link msg for link_id: 0x%08x\n", link_id_for_log(id));
    int count = 0;
    for (common_io_buf *v = read_cdev_iov(id); v != nullptr; v = read_cdev_iov(id)) {
        release_common_io_buf(v);
        ++count;
    }
    LOG(LOG_DETAIL, "Flushed %d link msg in total\n", count);
}
