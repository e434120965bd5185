// The receive queue: every message read from the device waits here, keyed by
// its local_link_id, until its link (or the device-request thread, for id 0)
// takes it. Messages are indexed by link id, so a link finds its own in
// constant time, oldest first, and whoever waits for a link is woken when a
// message for it arrives.
//
// The queue knows which ids are in use. A link registers its id when its
// request goes out (queue_open_link) and ends it when the link ends
// (queue_close_link): its messages are freed at once, and later messages for
// the id are dropped on arrival. Messages for ids nobody registered are kept
// for a short grace (UNCLAIMED_GRACE) and then dropped by the collector.
//
// At most MAX_LIST_LENGTH messages wait in all. A link whose client has not
// taken a byte for STALL_MS is stalled: it ends (its waker is told) once it
// holds LINK_QUEUE_LIMIT messages, or when the queue is full and it holds
// the most. When the queue is full, messages for ids nobody holds go first.
// A link whose client reads but whose forwarding thread is merely late is
// never taken for a stalled one, whatever it holds: the reader waits for
// room instead, up to ROOM_WAIT_LIMIT_MS. The controller's requests (id 0)
// have a share of their own, CONTROLLER_REQUEST_SHARE, beyond which new ones
// are dropped.
#pragma once

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdint>

struct common_io_buf;

// One queue entry. Entries are allocated once and recycled, never freed.
struct recv_msg_list {
    recv_msg_list *next;  // next entry of the same link, or next free entry
    common_io_buf *msg;   // null when the entry is free
    time_t enqueue_time;
};

constexpr int MAX_LIST_LENGTH = 1000;
// A stalled link's share: 128 messages, up to 16 MiB in net_cdev mode.
constexpr int LINK_QUEUE_LIMIT = 128;
constexpr int CONTROLLER_REQUEST_SHARE = 64;
constexpr unsigned int SLEEP_TIME = 10;
constexpr time_t MSG_TIMEOUT = 600;
// Messages for an id nobody holds are kept this long, in seconds.
constexpr time_t UNCLAIMED_GRACE = 10;
// An ended link's id is remembered this long, so that late messages for it
// are dropped at once with one log line.
constexpr time_t ENDED_ID_MEMORY = 60;
constexpr unsigned int CLEAR_INTERVAL = 10000;
// A client that has not taken a byte of a message for this long, in
// milliseconds, while the queue is full, loses its link.
constexpr int64_t STALL_MS = 500;
// Without a stalled link, the reader waits this long for room before the
// link holding the most messages ends all the same.
constexpr int64_t ROOM_WAIT_LIMIT_MS = 2000;

// How far a link's client is with the bytes sent to it; written by the
// link's forwarding thread, read by the queue to tell a stalled client.
struct link_progress {
    // Monotonic milliseconds since a send to the client has waited for the
    // client to take bytes; 0 while none waits.
    std::atomic<int64_t> blocked_since_ms{0};
};

// Told, under the queue's mutex, when a message for a link was queued
// (link_ended false) or when the queue ended the link (link_ended true).
// Must not block and must not call back into the queue. `progress`, when
// set, tells a stalled client. `deliver`, when set, hands a data message to
// the link's client at once, on the reader's thread and without the mutex,
// while nothing of the link is queued or being sent; it must not block and
// returns the payload bytes the client took (the rest is queued). The link's
// end (queue_close_link) waits for a delivery under way.
struct queue_waker {
    void (*wake)(void *arg, bool link_ended) = nullptr;
    void *arg = nullptr;
    const link_progress *progress = nullptr;
    int64_t (*deliver)(void *arg, common_io_buf *msg) = nullptr;
};

// enqueue_msg's result when the message went to its client at once: the
// caller keeps the vector.
constexpr int ENQUEUE_DELIVERED = 1;

// Why wait_cdev_iov returned without a message.
enum class queue_wait_end { STOPPED, LINK_ENDED };

extern int g_list_length;  // entries allocated so far; never decreases
extern pthread_mutex_t g_recv_msg_list_mutex;
// Source of enqueue times; replaceable so that ageing can be tested without
// waiting.
extern time_t (*g_queue_clock)();

// Queues a message read from the device: 0 when the queue took it (queued,
// or dropped because its link has ended), ENQUEUE_DELIVERED when it went to
// its client at once, -1 when it was not queued (a controller request beyond
// its share); the caller keeps v in the last two cases.
int enqueue_msg(common_io_buf *v);
// One attempt, the caller holding the mutex: -1 when there is no room.
int enqueue_msg_with_lock(common_io_buf *v);
// The oldest message queued for the id, or null.
common_io_buf *read_cdev_iov(uint32_t link_id);
// The oldest message for the id; blocks on `cond` (which the id's waker must
// signal) until one arrives, *stop becomes true (checked under the mutex:
// set it, then queue_wake), or the queue ends the link. Null with the reason
// in *end. For the link's forwarding thread: the message is being sent to
// the client (no delivery overtakes it) until the thread's next call.
common_io_buf *wait_cdev_iov(uint32_t link_id, pthread_cond_t *cond, const std::atomic<bool> *stop,
                             queue_wait_end *end);

// A link now holds the id: its waker is told of every message for it. Also
// replaces the waker of an id already open, and adopts messages that arrived
// before the registration. A link the queue has ended stays ended: the new
// waker is told at once.
void queue_open_link(uint32_t link_id, queue_waker waker);
// The link holding the id has ended: its messages are freed, later ones are
// dropped on arrival.
void queue_close_link(uint32_t link_id);
// A message was lost part way on the device (`partial` holds its header):
// the link it belongs to ends, told like a link without room.
void queue_lose_message(const common_io_buf *partial);
// Calls the id's waker (with link_ended false), e.g. after setting a stop flag.
void queue_wake(uint32_t link_id);
// True when the queue ended the link (no room for its messages, a lost
// message, or one aged out).
bool queue_link_dropped(uint32_t link_id);
// Messages queued in all.
int queued_messages();
// Messages queued in all, and the most that one link holds (requests aside).
struct queue_sizes {
    int messages;
    int largest_link;
};
queue_sizes queue_holdings();

// One pass of the collector at time `now`: drops messages older than
// MSG_TIMEOUT (the link they belong to ends), unclaimed ones older than
// UNCLAIMED_GRACE, and forgets ended ids after ENDED_ID_MEMORY.
void garbage_collector_pass(time_t now);
void *garbage_collector_thread(void *arg);
