// The receive queue: every message read from the device waits here, keyed by
// its local_link_id, until its link (or the device-request thread, for id 0)
// takes it. Entries are recycled, never freed; unclaimed messages are dropped
// by the garbage collector after MSG_TIMEOUT seconds.
#pragma once

#include <pthread.h>
#include <time.h>

#include <cstdint>

struct common_io_buf;

struct recv_msg_list {
    recv_msg_list *next;
    common_io_buf *msg;
    time_t enqueue_time;
};

constexpr int MAX_LIST_LENGTH = 1000;
constexpr int ENQUEUE_RETRY = 5;
constexpr unsigned int SLEEP_TIME = 10;
constexpr time_t MSG_TIMEOUT = 600;
constexpr unsigned int CLEAR_INTERVAL = 10000;

extern recv_msg_list *g_p_recv_msg_list;
extern int g_list_length;
extern pthread_mutex_t g_recv_msg_list_mutex;
// Source of enqueue times; replaceable so that ageing can be tested without
// waiting.
extern time_t (*g_queue_clock)();

int enqueue_msg(recv_msg_list **head, common_io_buf *v);
int enqueue_msg_with_lock(recv_msg_list **head, common_io_buf *v);
common_io_buf *dequeue_msg(recv_msg_list **head, uint32_t link_id);
common_io_buf *dequeue_msg_with_lock(recv_msg_list *first, uint32_t link_id);
common_io_buf *read_cdev_iov(uint32_t link_id);

void *read_thread(void *fd_address);
void *garbage_collector_thread(void *arg);
// One pass of the collector at time `now`.
void garbage_collector_pass(time_t now);
// One pass of the reader on descriptor `fd`. `held` is the io vector the
// reader keeps between passes (null when the queue took the last one).
// Returns false when the caller should pause before the next pass.
bool read_one_message(int fd, common_io_buf **held);
