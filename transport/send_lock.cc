// The send lock, handed over first come, first served, its holder running
// the writes waiting in line. See send_lock.h.
#include "transport/send_lock.h"

#include <cerrno>
#include <ctime>

#include "frame/util.h"

pthread_mutex_t g_Send_Msg_Mutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

// The holder runs at most this many waiting writes before it hands the lock
// over, so that its own caller is not kept for long.
constexpr int WRITES_RUN_FOR_OTHERS = 64;

// One writer waiting for the lock; lives on its stack.
struct send_waiter {
    monotonic_cond turn;
    send_waiter *next = nullptr;
    bool granted = false;  // the lock is this waiter's now
    // A write the holder may run for the waiter, and its outcome.
    int64_t (*write)(void *arg) = nullptr;
    void *arg = nullptr;
    bool urgent = false;
    bool done = false;
    int64_t result = 0;
    int err = 0;
};

bool held = false;
send_waiter *first = nullptr;
send_waiter *last = nullptr;

void enqueue(send_waiter *w) {
    (last == nullptr ? first : last->next) = w;
    last = w;
}

// An urgent waiter goes behind the urgent ones already waiting, ahead of
// the rest.
void enqueue_urgent(send_waiter *w) {
    send_waiter **link = &first;
    while (*link != nullptr && (*link)->urgent) {
        link = &(*link)->next;
    }
    w->next = *link;
    *link = w;
    if (w->next == nullptr) {
        last = w;
    }
}

send_waiter *dequeue_first() {
    send_waiter *w = first;
    first = w->next;
    if (first == nullptr) {
        last = nullptr;
    }
    return w;
}

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
bool acquire(int64_t deadline_ms, bool urgent) {
    pthread_mutex_lock(&g_Send_Msg_Mutex);
    if (!held && first == nullptr) {
        held = true;
        pthread_mutex_unlock(&g_Send_Msg_Mutex);
        return true;
    }
    send_waiter w;
    w.urgent = urgent;
    urgent ? enqueue_urgent(&w) : enqueue(&w);
    struct timespec deadline = {0, 0};
    timespec_add_ms(&deadline, deadline_ms);
    while (!w.granted) {
        if (deadline_ms < 0) {
            pthread_cond_wait(&w.turn.cond, &g_Send_Msg_Mutex);
        } else if (pthread_cond_timedwait(&w.turn.cond, &g_Send_Msg_Mutex, &deadline) ==
                       ETIMEDOUT &&
                   !w.granted) {
            remove_waiter(&w);
            break;
        }
    }
    bool granted = w.granted;
    pthread_mutex_unlock(&g_Send_Msg_Mutex);
    pthread_cond_destroy(&w.turn.cond);
    return granted;
}

// Runs the writes of the waiters at the head of the line, then hands the lock
// to the next waiter or frees it. Called by the holder with the mutex held;
// the mutex is let go around each write.
void pass_on() {
    for (int n = 0; n < WRITES_RUN_FOR_OTHERS && first != nullptr && first->write != nullptr; ++n) {
        send_waiter *w = dequeue_first();
        pthread_mutex_unlock(&g_Send_Msg_Mutex);
        int64_t result = w->write(w->arg);
        int err = errno;
        pthread_mutex_lock(&g_Send_Msg_Mutex);
        w->result = result;
        w->err = err;
        w->done = true;
        pthread_cond_signal(&w->turn.cond);
    }
    if (first == nullptr) {
        held = false;
        return;
    }
    // Handed over: the lock stays held, by the next in line.
    send_waiter *next = dequeue_first();
    next->granted = true;
    pthread_cond_signal(&next->turn.cond);
}

}  // namespace

void send_lock_acquire() {
    acquire(-1, false);
}

bool send_lock_acquire_until(int64_t deadline_ms, bool urgent) {
    return acquire(deadline_ms, urgent);
}

void send_lock_release() {
    pthread_mutex_lock(&g_Send_Msg_Mutex);
    pass_on();
    pthread_mutex_unlock(&g_Send_Msg_Mutex);
}

int64_t send_lock_run(int64_t (*write)(void *arg), void *arg, bool urgent) {
    int old_cancel_state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_cancel_state);
    pthread_mutex_lock(&g_Send_Msg_Mutex);
    int64_t result = -1;
    int err = 0;
    bool mine = !held && first == nullptr;
    if (mine) {
        held = true;
    } else {
        send_waiter w;
        w.write = write;
        w.arg = arg;
        w.urgent = urgent;
        urgent ? enqueue_urgent(&w) : enqueue(&w);
        while (!w.granted && !w.done) {
            pthread_cond_wait(&w.turn.cond, &g_Send_Msg_Mutex);
        }
        mine = w.granted;
        result = w.result;
        err = w.err;
        pthread_cond_destroy(&w.turn.cond);
    }
    if (mine) {
        pthread_mutex_unlock(&g_Send_Msg_Mutex);
        result = write(arg);
        err = errno;
        pthread_mutex_lock(&g_Send_Msg_Mutex);
        pass_on();
    }
    pthread_mutex_unlock(&g_Send_Msg_Mutex);
    pthread_setcancelstate(old_cancel_state, nullptr);
    errno = err;
    return result;
}

send_lock_guard::send_lock_guard() {
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_cancel_state_);
    send_lock_acquire();
}

send_lock_guard::~send_lock_guard() {
    send_lock_release();
    pthread_setcancelstate(old_cancel_state_, nullptr);
}
