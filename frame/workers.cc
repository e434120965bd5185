// The worker registry. See workers.h.
#include "frame/workers.h"

#include <atomic>
#include <cerrno>

pthread_t g_heartbeat_thread_id = 0;
pthread_t g_socket_handler_thread_id = 0;
pthread_t g_cdev_handler_thread_id = 0;
pthread_t g_cdev_thread_id = 0;
pthread_t g_garbage_collector_thread_id = 0;

namespace {

// One long-lived worker. `alive` is set before the thread is created and
// cleared when its thread ends; it changes only under worker_mutex, which the
// shutdown holds while it cancels, so a thread seen alive cannot finish (and
// its id be reused) before the cancel request. Atomic because the ending
// thread clears it from its thread-specific destructor, a context that
// thread checkers do not always follow through the mutex.
struct worker {
    pthread_t *id;
    void *(*body)(void *);
    void *arg;
    std::atomic<bool> alive;
};

pthread_mutex_t worker_mutex = PTHREAD_MUTEX_INITIALIZER;
worker workers[] = {
    {&g_heartbeat_thread_id, nullptr, nullptr, false},
    {&g_socket_handler_thread_id, nullptr, nullptr, false},
    {&g_cdev_handler_thread_id, nullptr, nullptr, false},
    {&g_cdev_thread_id, nullptr, nullptr, false},
    {&g_garbage_collector_thread_id, nullptr, nullptr, false},
};

class mutex_lock {
  public:
    explicit mutex_lock(pthread_mutex_t *m) : m_(m) { pthread_mutex_lock(m_); }
    ~mutex_lock() { pthread_mutex_unlock(m_); }
    mutex_lock(const mutex_lock &) = delete;
    mutex_lock &operator=(const mutex_lock &) = delete;

  private:
    pthread_mutex_t *m_;
};

worker *find_worker(const pthread_t *id) {
    for (worker &w : workers) {
        if (w.id == id) {
            return &w;
        }
    }
    return nullptr;
}

// Clears the worker's flag at the very end of its thread, whether the body
// returned, called pthread_exit or was cancelled. A thread-specific value's
// destructor runs on all three paths without a landing pad in this frame,
// which the cancellation unwinding would otherwise have to pass.
void worker_ended(void *p) {
    worker *w = static_cast<worker *>(p);
    mutex_lock lock(&worker_mutex);
    w->alive = false;
}

pthread_key_t worker_key;
pthread_once_t worker_key_once = PTHREAD_ONCE_INIT;

void create_worker_key() {
    pthread_key_create(&worker_key, worker_ended);
}

void *run_worker(void *p) {
    worker *w = static_cast<worker *>(p);
    void *(*body)(void *) = nullptr;
    void *arg = nullptr;
    {
        mutex_lock lock(&worker_mutex);
        body = w->body;
        arg = w->arg;
    }
    pthread_setspecific(worker_key, w);
    return body(arg);
}

}  // namespace

int start_worker(pthread_t *id, void *(*body)(void *), void *arg) {
    pthread_once(&worker_key_once, create_worker_key);
    mutex_lock lock(&worker_mutex);
    worker *w = find_worker(id);
    if (w == nullptr) {
        return EINVAL;
    }
    if (w->alive) {
        return EBUSY;
    }
    w->body = body;
    w->arg = arg;
    w->alive = true;
    int rc = pthread_create(id, nullptr, run_worker, w);
    if (rc != 0) {
        w->alive = false;
    }
    return rc;
}

bool cancel_worker(const pthread_t *id, int *result) {
    mutex_lock lock(&worker_mutex);
    worker *w = find_worker(id);
    if (w == nullptr || !w->alive) {
        return false;
    }
    *result = pthread_cancel(*w->id);
    return true;
}
