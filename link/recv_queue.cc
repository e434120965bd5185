// The receive queue and its collector. See recv_queue.h.
#include "link/recv_queue.h"

#include <arpa/inet.h>
#include <malloc.h>

#include <cerrno>
#include <new>
#include <unordered_map>

#include "common/iov.h"
#include "common/link_stats.h"
#include "common/msg_header.h"
#include "frame/log.h"
#include "frame/util.h"
#include "link/close_notice.h"

namespace {

enum class link_state : uint8_t {
    UNCLAIMED,  // messages arrived for an id nobody holds
    OPEN,       // a link holds the id
    DROPPED,    // the queue ended the link: no room, a lost or an aged message
    ENDED,      // the link has ended; late messages are dropped
};

// The messages of one link id, oldest first.
struct link_queue {
    recv_msg_list *head = nullptr;
    recv_msg_list *tail = nullptr;
    int count = 0;
    link_state state = link_state::UNCLAIMED;
    queue_waker waker;
    time_t since = 0;         // when the id ended, or its first unclaimed arrival
    bool drop_noted = false;  // the late-message line was written
    bool delivering = false;  // the reader hands a message to the client
    bool popped = false;      // the forwarding thread sends a message it took
};

using link_map = std::unordered_map<uint32_t, link_queue>;

// Never destroyed: detached threads use the queue until the process ends.
link_map &links() {
    static link_map *map = new link_map;
    return *map;
}

recv_msg_list *free_entries = nullptr;
int occupied = 0;
// "message list reached max length" is worth one line per process.
int list_full_notice = 1;
// Signalled when a delivery ends.
pthread_cond_t delivered = PTHREAD_COND_INITIALIZER;
// Signalled whenever a message leaves the queue; waited on with the
// monotonic clock.
monotonic_cond space_freed;
// Controller requests dropped beyond their share: one line per episode.
log_repeat requests_dropped;

time_t system_clock_seconds() {
    return time(nullptr);
}

bool is_malformed(const common_io_buf *v) {
    return v->iov_cnt == 0 || v->iov[0].iov_len < MSG_HEADER_SIZE;
}

link_queue *find(uint32_t id) {
    auto it = links().find(id);
    return it == links().end() ? nullptr : &it->second;
}

common_io_buf *pop(link_queue *q) {
    recv_msg_list *e = q->head;
    q->head = e->next;
    if (q->head == nullptr) {
        q->tail = nullptr;
    }
    --q->count;
    --occupied;
    common_io_buf *v = e->msg;
    e->msg = nullptr;
    e->next = free_entries;
    free_entries = e;
    pthread_cond_signal(&space_freed.cond);
    return v;
}

int flush(link_queue *q) {
    int n = 0;
    for (; q->head != nullptr; ++n) {
        release_common_io_buf(pop(q));
    }
    return n;
}

void wake(const link_queue &q, bool link_ended) {
    if (q.waker.wake != nullptr) {
        q.waker.wake(q.waker.arg, link_ended);
    }
}

recv_msg_list *take_entry() {
    if (free_entries != nullptr) {
        recv_msg_list *e = free_entries;
        free_entries = e->next;
        return e;
    }
    auto *e = new (std::nothrow) recv_msg_list;
    if (e == nullptr) {
        LOG_AS("enqueue_msg_with_lock", LOG_ERROR, "Failed to malloc msg list, error code: %d\n",
               errno);
        return nullptr;
    }
    ++g_list_length;
    return e;
}

// The link ends rather than carry on with a hole in its stream: its
// messages are freed and its holder is told. Returns how many were freed.
int drop_link(link_queue *q, queue_drop_cause cause) {
    q->state = link_state::DROPPED;
    int freed = flush(q);
    wake(*q, true);
    tally(g_link_counters.dropped[cause]);
    tally(g_link_counters.lost[LOST_WITH_DROPPED_LINK], freed);
    return freed;
}

bool ended(const link_queue &q) {
    return q.state == link_state::ENDED || q.state == link_state::DROPPED;
}

bool stalled(const link_queue &q, int64_t now_ms) {
    int64_t since = q.waker.progress == nullptr ? 0 : q.waker.progress->blocked_since_ms.load();
    return since != 0 && now_ms - since >= STALL_MS;
}

// Where room is made when the queue is full: messages nobody holds, else
// the stalled link with the most messages, else (`any`) the link with the
// most messages; null when none qualifies.
std::pair<const uint32_t, link_queue> *room_holder(bool any, int64_t now_ms) {
    std::pair<const uint32_t, link_queue> *best = nullptr;
    for (auto &entry : links()) {
        const link_queue &q = entry.second;
        if (q.count == 0 || entry.first == 0) {
            continue;
        }
        if (q.state == link_state::UNCLAIMED) {
            return &entry;
        }
        bool candidate = q.state == link_state::OPEN && (any || stalled(q, now_ms));
        if (candidate && (best == nullptr || q.count > best->second.count)) {
            best = &entry;
        }
    }
    return best;
}

// Frees room held without use; false when there is none to free.
bool make_room(bool any) {
    auto *holder = room_holder(any, monotonic_ms());
    if (holder == nullptr) {
        return false;
    }
    link_queue &q = holder->second;
    uint32_t id = holder->first;
    if (q.state == link_state::UNCLAIMED) {
        int freed = flush(&q);
        tally(g_link_counters.lost[LOST_UNCLAIMED], freed);
        LOG_AS("enqueue_msg", LOG_INFO, "Dropped %d msg for unknown link id 0x%08x\n", freed,
               link_id_for_log(id));
        return true;
    }
    int freed = drop_link(&q, DROP_NO_ROOM);
    LOG_AS("enqueue_msg", LOG_ERROR,
           "No room in the receive queue for link id 0x%08x, link dropped (%d msg freed)\n",
           link_id_for_log(id), freed);
    return true;
}

bool request_share_full() {
    const link_queue *q = find(0);
    return q != nullptr && q->count >= CONTROLLER_REQUEST_SHARE;
}

// A controller request beyond the requests' share is dropped: the
// controller's own time-out tells it.
void drop_request(common_io_buf *v) {
    const msg_header *h = get_msg_header(v);
    tally(g_link_counters.lost[LOST_OVER_REQUEST_SHARE]);
    if (log_repeat_first(&requests_dropped, "enqueue_msg")) {
        LOG_AS("enqueue_msg", LOG_ERROR,
               "Drop controller request of type %d for port %d: %d requests wait already\n",
               h->type, ntohs(h->port), CONTROLLER_REQUEST_SHARE);
    }
}

}  // namespace

int g_list_length = 0;
pthread_mutex_t g_recv_msg_list_mutex = PTHREAD_MUTEX_INITIALIZER;
time_t (*g_queue_clock)() = system_clock_seconds;

int enqueue_msg_with_lock(common_io_buf *v) {
    uint32_t id = get_msg_header(v)->local_link_id;
    auto [it, added] = links().try_emplace(id);
    link_queue &q = it->second;
    if (added) {
        q.since = g_queue_clock();
    }
    if (ended(q)) {
        if (!q.drop_noted) {
            LOG_AS("enqueue_msg", LOG_INFO, "Drop msg for ended link id 0x%08x\n",
                   link_id_for_log(id));
            q.drop_noted = true;
        }
        tally(g_link_counters.lost[LOST_FOR_ENDED_LINK]);
        release_common_io_buf(v);
        return 0;
    }
    if (id == 0 && q.count >= CONTROLLER_REQUEST_SHARE) {
        return -1;
    }
    if (id != 0 && q.state == link_state::OPEN && q.count >= LINK_QUEUE_LIMIT &&
        stalled(q, monotonic_ms())) {
        int freed = drop_link(&q, DROP_STALLED_CLIENT);
        LOG_AS("enqueue_msg", LOG_ERROR,
               "Link id 0x%08x dropped: its client takes nothing (%d msg freed)\n",
               link_id_for_log(id), freed);
        tally(g_link_counters.lost[LOST_WITH_DROPPED_LINK]);
        release_common_io_buf(v);
        return 0;
    }
    if (occupied >= MAX_LIST_LENGTH) {
        if (list_full_notice != 0) {
            LOG_AS("enqueue_msg_with_lock", LOG_INFO, "message list reached max length\n");
        }
        list_full_notice = 0;
        return -1;
    }
    recv_msg_list *e = take_entry();
    if (e == nullptr) {
        return -1;
    }
    e->next = nullptr;
    e->msg = v;
    e->enqueue_time = g_queue_clock();
    if (q.tail == nullptr) {
        q.head = e;
    } else {
        q.tail->next = e;
    }
    q.tail = e;
    ++q.count;
    ++occupied;
    wake(q, false);
    return 0;
}

namespace {

// A data message for a link whose client nothing is being sent to goes to the
// client at once, without a handoff to the link's thread. What the client
// does not take at once is queued as usual. The mutex is held on entry and
// on return, not meanwhile. True when the client took it all.
bool deliver_at_once(common_io_buf *v) {
    const msg_header *h = get_msg_header(v);
    link_queue *q = find(h->local_link_id);
    if (q == nullptr || q->state != link_state::OPEN || q->waker.deliver == nullptr ||
        h->type != MSG_TYPE_FORWARD || q->count > 0 || q->delivering || q->popped) {
        return false;
    }
    q->delivering = true;
    queue_waker waker = q->waker;
    pthread_mutex_unlock(&g_recv_msg_list_mutex);
    int64_t taken = waker.deliver(waker.arg, v);
    pthread_mutex_lock(&g_recv_msg_list_mutex);
    q->delivering = false;
    pthread_cond_broadcast(&delivered);
    if (taken >= v->total_len - static_cast<int64_t>(MSG_HEADER_SIZE)) {
        return true;
    }
    v->sent_len = static_cast<uint64_t>(taken);
    return false;
}

}  // namespace

int enqueue_msg(common_io_buf *v) {
    if (is_malformed(v)) {
        LOG(LOG_DETAIL, "invalid iov,iov %lu/%lu.\n", v->iov_cnt,
            v->iov_cnt == 0 ? 0UL : v->iov[0].iov_len);
        release_common_io_buf(v);
        return 0;
    }
    bool request = get_msg_header(v)->local_link_id == 0;
    int64_t give_up = monotonic_ms() + ROOM_WAIT_LIMIT_MS;
    pthread_mutex_lock(&g_recv_msg_list_mutex);
    if (deliver_at_once(v)) {
        pthread_mutex_unlock(&g_recv_msg_list_mutex);
        return ENQUEUE_DELIVERED;
    }
    int ret = enqueue_msg_with_lock(v);
    // Requests never wait: they have a share of their own.
    while (ret != 0 && !(request && request_share_full())) {
        int64_t now = monotonic_ms();
        if (!make_room(now >= give_up)) {
            // Every holder is taking its bytes: room comes soon. A link
            // that stalls meanwhile is found at the next look.
            struct timespec look;
            clock_gettime(CLOCK_MONOTONIC, &look);
            timespec_add_ms(&look, SLEEP_TIME * 5);
            pthread_cond_timedwait(&space_freed.cond, &g_recv_msg_list_mutex, &look);
        }
        ret = enqueue_msg_with_lock(v);
    }
    if (ret != 0) {
        drop_request(v);
    } else if (request) {
        log_repeat_end(&requests_dropped, "enqueue_msg");
    }
    pthread_mutex_unlock(&g_recv_msg_list_mutex);
    return ret;
}

common_io_buf *read_cdev_iov(uint32_t link_id) {
    pthread_mutex_lock(&g_recv_msg_list_mutex);
    link_queue *q = find(link_id);
    common_io_buf *v = q != nullptr && q->count > 0 ? pop(q) : nullptr;
    pthread_mutex_unlock(&g_recv_msg_list_mutex);
    return v;
}

common_io_buf *wait_cdev_iov(uint32_t link_id, pthread_cond_t *cond, const std::atomic<bool> *stop,
                             queue_wait_end *end) {
    pthread_mutex_lock(&g_recv_msg_list_mutex);
    common_io_buf *v = nullptr;
    link_queue *mine = find(link_id);
    if (mine != nullptr) {
        mine->popped = false;  // the last message taken is sent
    }
    for (;;) {
        link_queue *q = find(link_id);
        if (q != nullptr && q->count > 0) {
            v = pop(q);
            q->popped = true;
            break;
        }
        if (stop != nullptr && stop->load()) {
            *end = queue_wait_end::STOPPED;
            break;
        }
        if (q != nullptr && q->state == link_state::DROPPED) {
            *end = queue_wait_end::LINK_ENDED;
            break;
        }
        pthread_cond_wait(cond, &g_recv_msg_list_mutex);
    }
    pthread_mutex_unlock(&g_recv_msg_list_mutex);
    return v;
}

void queue_open_link(uint32_t link_id, queue_waker waker) {
    pthread_mutex_lock(&g_recv_msg_list_mutex);
    link_queue &q = links()[link_id];
    q.waker = waker;
    if (q.state == link_state::DROPPED) {
        // Dropped before its forwarding thread took over: it stays dropped.
        wake(q, true);
    } else {
        q.state = link_state::OPEN;
        q.drop_noted = false;
        if (q.count > 0) {
            wake(q, false);
        }
    }
    pthread_mutex_unlock(&g_recv_msg_list_mutex);
}

void queue_close_link(uint32_t link_id) {
    if (link_id == 0) {
        return;
    }
    pthread_mutex_lock(&g_recv_msg_list_mutex);
    link_queue &q = links()[link_id];
    // The reader may be handing this link's client a message.
    while (q.delivering) {
        pthread_cond_wait(&delivered, &g_recv_msg_list_mutex);
    }
    const int freed = flush(&q);
    tally(g_link_counters.lost[LOST_FOR_ENDED_LINK], freed);
    q.state = link_state::ENDED;
    q.waker = {};
    q.since = g_queue_clock();
    q.drop_noted = false;
    pthread_mutex_unlock(&g_recv_msg_list_mutex);
    if (freed > 0) {
        LOG(LOG_DETAIL, "Flushed %d msg of ended link id 0x%08x\n", freed,
            link_id_for_log(link_id));
    }
}

void queue_lose_message(const common_io_buf *partial) {
    const msg_header *h = get_msg_header(const_cast<common_io_buf *>(partial));
    uint32_t id = h->local_link_id;
    pthread_mutex_lock(&g_recv_msg_list_mutex);
    link_queue *q = find(id);
    bool dropped = id != 0 && q != nullptr && q->state == link_state::OPEN;
    if (dropped) {
        drop_link(q, DROP_LOST_ON_DEVICE);
    }
    pthread_mutex_unlock(&g_recv_msg_list_mutex);
    tally(g_link_counters.lost[LOST_ON_DEVICE]);
    LOG(LOG_ERROR, "Lost a message of type %d for link id 0x%08x/0x%08x on the device%s\n", h->type,
        link_id_for_log(id), link_id_for_log(h->peer_link_id), dropped ? ", link dropped" : "");
}

void queue_wake(uint32_t link_id) {
    pthread_mutex_lock(&g_recv_msg_list_mutex);
    link_queue *q = find(link_id);
    if (q != nullptr) {
        wake(*q, false);
    }
    pthread_mutex_unlock(&g_recv_msg_list_mutex);
}

bool queue_link_dropped(uint32_t link_id) {
    pthread_mutex_lock(&g_recv_msg_list_mutex);
    link_queue *q = find(link_id);
    bool dropped = q != nullptr && q->state == link_state::DROPPED;
    pthread_mutex_unlock(&g_recv_msg_list_mutex);
    return dropped;
}

queue_sizes queue_holdings() {
    queue_sizes sizes{0, 0};
    pthread_mutex_lock(&g_recv_msg_list_mutex);
    sizes.messages = occupied;
    for (const auto &[id, q] : links()) {
        if (id != 0 && q.count > sizes.largest_link) {
            sizes.largest_link = q.count;
        }
    }
    pthread_mutex_unlock(&g_recv_msg_list_mutex);
    return sizes;
}

int queued_messages() {
    pthread_mutex_lock(&g_recv_msg_list_mutex);
    int n = occupied;
    pthread_mutex_unlock(&g_recv_msg_list_mutex);
    return n;
}

namespace {

// What the queue holds, logged by the collector when it changed.
void log_holdings() {
    static int last_messages = 0;
    static size_t last_ids = 0;
    if (occupied != last_messages || links().size() != last_ids) {
        last_messages = occupied;
        last_ids = links().size();
        LOG_AS("garbage_collector_thread", LOG_INFO, "Receive queue: %d msg for %zu link ids\n",
               last_messages, last_ids);
    }
}

// An open link whose oldest message is older than MSG_TIMEOUT ends: its
// stream would have a hole. Requests and unclaimed messages just go.
void age_out(uint32_t id, link_queue *q, time_t now) {
    // A message exactly MSG_TIMEOUT seconds old stays.
    if (q->head == nullptr || now - q->head->enqueue_time <= MSG_TIMEOUT) {
        return;
    }
    if (id != 0 && q->state == link_state::OPEN) {
        int freed = drop_link(q, DROP_AGED);
        LOG_AS("garbage_collector_thread", LOG_ERROR,
               "Link id 0x%08x dropped: its messages waited over %ld s (%d msg freed)\n",
               link_id_for_log(id), static_cast<long>(MSG_TIMEOUT), freed);
        return;
    }
    while (q->head != nullptr && now - q->head->enqueue_time > MSG_TIMEOUT) {
        release_common_io_buf(pop(q));
        tally(g_link_counters.lost[LOST_AGED]);
    }
}

}  // namespace

void garbage_collector_pass(time_t now) {
    pthread_mutex_lock(&g_recv_msg_list_mutex);
    for (auto it = links().begin(); it != links().end();) {
        uint32_t id = it->first;
        link_queue &q = it->second;
        age_out(id, &q, now);
        bool unclaimed = id != 0 && q.state == link_state::UNCLAIMED;
        int stale = 0;
        while (unclaimed && q.head != nullptr && now - q.head->enqueue_time > UNCLAIMED_GRACE) {
            release_common_io_buf(pop(&q));
            ++stale;
        }
        tally(g_link_counters.lost[LOST_UNCLAIMED], stale);
        if (stale > 0) {
            LOG_AS("garbage_collector_thread", LOG_INFO,
                   "Dropped %d msg for unknown link id 0x%08x\n", stale, link_id_for_log(id));
        }
        bool forget = (unclaimed && q.count == 0) ||
                      (q.state == link_state::ENDED && now - q.since > ENDED_ID_MEMORY);
        it = forget ? links().erase(it) : std::next(it);
    }
    log_holdings();
    pthread_mutex_unlock(&g_recv_msg_list_mutex);
}

void *garbage_collector_thread(void *) {
    pthread_detach(pthread_self());
    for (;;) {
        garbage_collector_pass(g_queue_clock());
        // Memory a burst of links took and gave back goes back to the system.
        malloc_trim(0);
        retry_deferred_closes();
        msleep(CLEAR_INTERVAL);
    }
    return nullptr;
}
