// The send lock, handed over first come, first served. See send_lock.h.
#include "transport/send_lock.h"

#include <cerrno>
#include <ctime>

#include "frame/util.h"

pthread_mutex_t g_Send_Msg_Mutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

// One writer waiting for the lock; lives on its stack.
struct send_waiter {
    pthread_cond_t turn;
    send_waiter *next = nullptr;
    bool granted = false;
};

bool held = false;
send_waiter *first = nullptr;
send_waiter *last = nullptr;

void remove_waiter(send_waiter *w) {
    send_waiter **link = &first;
    send_waiter *prev = nullptr;
    while (*link != w) {
        prev = *link;
        link = &(*link)->next;
    }
    *link = w->next;
    if (last == w) {
        last = prev;
    }
}

// Waits for the lock until `deadline_ms` (negative: for good).
bool acquire(int64_t deadline_ms) {
    pthread_mutex_lock(&g_Send_Msg_Mutex);
    if (!held && first == nullptr) {
        held = true;
        pthread_mutex_unlock(&g_Send_Msg_Mutex);
        return true;
    }
    send_waiter w;
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&w.turn, &attr);
    pthread_condattr_destroy(&attr);
    (last == nullptr ? first : last->next) = &w;
    last = &w;
    struct timespec deadline = {0, 0};
    timespec_add_ms(&deadline, deadline_ms);
    while (!w.granted) {
        if (deadline_ms < 0) {
            pthread_cond_wait(&w.turn, &g_Send_Msg_Mutex);
        } else if (pthread_cond_timedwait(&w.turn, &g_Send_Msg_Mutex, &deadline) == ETIMEDOUT &&
                   !w.granted) {
            remove_waiter(&w);
            break;
        }
    }
    bool granted = w.granted;
    pthread_mutex_unlock(&g_Send_Msg_Mutex);
    pthread_cond_destroy(&w.turn);
    return granted;
}

}  // namespace

void send_lock_acquire() {
    acquire(-1);
}

bool send_lock_acquire_until(int64_t deadline_ms) {
    return acquire(deadline_ms);
}

void send_lock_release() {
    pthread_mutex_lock(&g_Send_Msg_Mutex);
    send_waiter *next = first;
    if (next == nullptr) {
        held = false;
    } else {
        // Handed over: the lock stays held, by the next in line.
        first = next->next;
        if (first == nullptr) {
            last = nullptr;
        }
        next->granted = true;
        pthread_cond_signal(&next->turn);
    }
    pthread_mutex_unlock(&g_Send_Msg_Mutex);
}

send_lock_guard::send_lock_guard() {
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_cancel_state_);
    send_lock_acquire();
}

send_lock_guard::~send_lock_guard() {
    send_lock_release();
    pthread_setcancelstate(old_cancel_state_, nullptr);
}
