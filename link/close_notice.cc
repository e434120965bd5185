// CLOSE messages to the controller, kept while the device fails them.
// See close_notice.h.
#include "link/close_notice.h"

#include <pthread.h>
#include <sys/uio.h>

#include <atomic>
#include <cerrno>
#include <deque>

#include "common/msg_header.h"
#include "frame/log.h"
#include "transport/device.h"

namespace {

// Bounds what a long device outage can pile up; the oldest go first.
constexpr size_t MAX_DEFERRED_CLOSES = 4096;

pthread_mutex_t deferred_mutex = PTHREAD_MUTEX_INITIALIZER;
// The length of the list, read without the lock by writers that succeed.
std::atomic<int> deferred_count{0};

// Never destroyed: detached threads may defer until the process ends.
std::deque<msg_header> &deferred() {
    static auto *list = new std::deque<msg_header>;
    return *list;
}

bool write_header(const msg_header *h) {
    struct iovec entry = {const_cast<msg_header *>(h), MSG_HEADER_SIZE};
    return g_write_iov_func(&entry, 1) == static_cast<int64_t>(MSG_HEADER_SIZE);
}

void defer(const msg_header *h) {
    pthread_mutex_lock(&deferred_mutex);
    if (deferred().size() >= MAX_DEFERRED_CLOSES) {
        deferred().pop_front();
    }
    deferred().push_back(*h);
    deferred_count = static_cast<int>(deferred().size());
    pthread_mutex_unlock(&deferred_mutex);
    LOG(LOG_ERROR, "CLOSE for link id 0x%08x/0x%08x kept until the device takes it\n",
        link_id_for_log(h->local_link_id), link_id_for_log(h->peer_link_id));
}

}  // namespace

bool send_close_notice(const msg_header *h) {
    if (write_header(h)) {
        return true;
    }
    int err = errno;
    // A stopping agent has told the controller of every link already.
    if (!g_cdev_writes_over.load()) {
        defer(h);
    }
    errno = err;  // for the caller's own line
    return false;
}

void retry_deferred_closes() {
    for (;;) {
        pthread_mutex_lock(&deferred_mutex);
        if (deferred().empty()) {
            pthread_mutex_unlock(&deferred_mutex);
            return;
        }
        msg_header h = deferred().front();
        deferred().pop_front();
        deferred_count = static_cast<int>(deferred().size());
        pthread_mutex_unlock(&deferred_mutex);
        if (!write_header(&h)) {
            pthread_mutex_lock(&deferred_mutex);
            deferred().push_front(h);
            deferred_count = static_cast<int>(deferred().size());
            pthread_mutex_unlock(&deferred_mutex);
            return;
        }
        LOG(LOG_INFO, "Sent kept CLOSE for link id 0x%08x/0x%08x\n",
            link_id_for_log(h.local_link_id), link_id_for_log(h.peer_link_id));
    }
}

int deferred_closes() {
    return deferred_count.load();
}

std::vector<msg_header> take_deferred_closes() {
    pthread_mutex_lock(&deferred_mutex);
    std::vector<msg_header> all(deferred().begin(), deferred().end());
    deferred().clear();
    deferred_count = 0;
    pthread_mutex_unlock(&deferred_mutex);
    return all;
}
