// The receive queue, its only producer (the device reader) and its collector.
// See recv_queue.h.
#include "link/recv_queue.h"

#include <atomic>
#include <cerrno>
#include <new>

#include "common/iov.h"
#include "common/msg_header.h"
#include "frame/log.h"
#include "frame/util.h"
#include "socket/stream_io.h"
#include "transport/device.h"

namespace {

time_t system_clock_seconds() {
    return time(nullptr);
}

// "message list reached max length" is worth one line per process.
int list_full_notice = 1;

bool is_malformed(const common_io_buf *v) {
    return v->iov_cnt == 0 || v->iov[0].iov_len < MSG_HEADER_SIZE;
}

}  // namespace

recv_msg_list *g_p_recv_msg_list = nullptr;
int g_list_length = 0;
pthread_mutex_t g_recv_msg_list_mutex = PTHREAD_MUTEX_INITIALIZER;
time_t (*g_queue_clock)() = system_clock_seconds;

int enqueue_msg(recv_msg_list **head, common_io_buf *v) {
    int ret = -1;
    for (int attempt = 0; attempt < ENQUEUE_RETRY; ++attempt) {
        pthread_mutex_lock(&g_recv_msg_list_mutex);
        ret = enqueue_msg_with_lock(head, v);
        pthread_mutex_unlock(&g_recv_msg_list_mutex);
        if (ret == 0) {
            break;
        }
        msleep(SLEEP_TIME);
    }
    return ret;
}

int enqueue_msg_with_lock(recv_msg_list **head, common_io_buf *v) {
    // Take the first free entry out of the list and find the tail link; the
    // entry that receives the message always goes to the tail, which keeps the
    // occupied entries in arrival order.
    recv_msg_list **link = head;
    recv_msg_list *entry = nullptr;
    while (*link != nullptr) {
        recv_msg_list *cur = *link;
        if (entry == nullptr && cur->msg == nullptr) {
            *link = cur->next;
            entry = cur;
            continue;
        }
        link = &cur->next;
    }
    if (entry == nullptr) {
        if (g_list_length > MAX_LIST_LENGTH - 1) {
            if (list_full_notice != 0) {
                LOG(LOG_INFO, "message list reached max length\n");
            }
            list_full_notice = 0;
            return -1;
        }
        entry = new (std::nothrow) recv_msg_list;
        if (entry == nullptr) {
            LOG(LOG_ERROR, "Failed to malloc msg list, error code: %d\n", errno);
            return -1;
        }
        ++g_list_length;
    }
    entry->next = nullptr;
    entry->msg = v;
    entry->enqueue_time = g_queue_clock();
    *link = entry;
    return 0;
}

common_io_buf *dequeue_msg(recv_msg_list **head, uint32_t link_id) {
    pthread_mutex_lock(&g_recv_msg_list_mutex);
    common_io_buf *v = dequeue_msg_with_lock(*head, link_id);
    pthread_mutex_unlock(&g_recv_msg_list_mutex);
    return v;
}

common_io_buf *dequeue_msg_with_lock(recv_msg_list *first, uint32_t link_id) {
    for (recv_msg_list *e = first; e != nullptr; e = e->next) {
        common_io_buf *v = e->msg;
        if (v == nullptr) {
            continue;
        }
        if (is_malformed(v)) {
            LOG(LOG_DETAIL, "invalid iov,iov %lu/%lu.\n", v->iov_cnt, v->iov[0].iov_len);
            continue;
        }
        if (get_msg_header(v)->local_link_id == link_id) {
            e->msg = nullptr;
            return v;
        }
    }
    return nullptr;
}

common_io_buf *read_cdev_iov(uint32_t link_id) {
    return dequeue_msg(&g_p_recv_msg_list, link_id);
}

bool read_one_message(int fd, common_io_buf **held) {
    if (poll_one_fd(fd, -1) == 0) {
        return false;
    }
    if (*held == nullptr) {
        *held = alloc_common_io_buf(1);
        if (*held == nullptr) {
            return true;
        }
    } else {
        iov_reset(*held, IOV_ARRAY_SIZE, BUFSIZE);
    }
    common_io_buf *v = *held;
    int64_t n = g_read_iov_func(fd, v);
    if (n <= 0) {
        return false;
    }
    LOG_AS("read_thread", LOG_INFO, "fd %d received %ld bytes, iov_cnt: %lu.\n", fd, v->total_len,
           v->iov_cnt);
    if (n < static_cast<int64_t>(MSG_HEADER_SIZE)) {
        LOG_AS("read_thread", LOG_ERROR, "Drop too short message, length: %lu.\n", n);
        return true;
    }
    // A message the queue cannot take is dropped; the vector is reused.
    if (enqueue_msg(&g_p_recv_msg_list, v) == 0) {
        *held = nullptr;
    }
    return true;
}

void *read_thread(void *fd_address) {
    pthread_detach(pthread_self());
    auto *fd_var = static_cast<std::atomic<int> *>(fd_address);
    common_io_buf *held = nullptr;
    for (;;) {
        int fd = fd_var->load();
        if (fd < 0 || !read_one_message(fd, &held)) {
            msleep(SLEEP_TIME);
        }
    }
    return nullptr;
}

void garbage_collector_pass(time_t now) {
    pthread_mutex_lock(&g_recv_msg_list_mutex);
    for (recv_msg_list *e = g_p_recv_msg_list; e != nullptr; e = e->next) {
        common_io_buf *v = e->msg;
        if (v == nullptr) {
            continue;
        }
        if (is_malformed(v) || now - e->enqueue_time > MSG_TIMEOUT) {
            e->msg = nullptr;
            release_common_io_buf(v);
        }
    }
    pthread_mutex_unlock(&g_recv_msg_list_mutex);
}

void *garbage_collector_thread(void *) {
    pthread_detach(pthread_self());
    for (;;) {
        garbage_collector_pass(g_queue_clock());
        msleep(CLEAR_INTERVAL);
    }
    return nullptr;
}
