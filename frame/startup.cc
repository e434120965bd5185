// Start-up: the listening socket, the process name, the lists, the signals,
// the device, the five worker threads and the privilege drop. See startup.h.
#include "frame/startup.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>

#include <cerrno>
#include <cstring>

#include "bounded/securec.h"
#include "common/conn_node.h"
#include "frame/log.h"
#include "frame/privilege.h"
#include "frame/signals.h"
#include "link/cdev_request.h"
#include "link/reader.h"
#include "link/recv_queue.h"
#include "socket/server_socket.h"
#include "socket/state_machine.h"
#include "transport/device.h"
#include "transport/heartbeat.h"

std::atomic<int> g_server_fd{-1};
pthread_t g_heartbeat_thread_id = 0;
pthread_t g_socket_handler_thread_id = 0;
pthread_t g_cdev_handler_thread_id = 0;
pthread_t g_cdev_thread_id = 0;
pthread_t g_garbage_collector_thread_id = 0;

namespace {

constexpr size_t EXE_NAME_LEN = 20;
constexpr char EXE_NAME_PREFIX[] = "cdev";
constexpr char SERVER_ADDRESS[] = "127.0.0.1";

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

bool worker_alive(const pthread_t *id) {
    mutex_lock lock(&worker_mutex);
    worker *w = find_worker(id);
    return w != nullptr && w->alive;
}

bool spawn_threads() {
    void *cdev_fd = &g_cdev_fd;
    int rc = start_worker(&g_heartbeat_thread_id, heartbeat_thread, cdev_fd);
    if (rc != 0) {
        LOG(LOG_ERROR, "Failed to create heartbeat thread, error code: %d\n", rc);
        return false;
    }
    LOG(LOG_INFO, "CDEV heartbeat thread id: %lu.\n", (unsigned long)g_heartbeat_thread_id);

    rc = start_worker(&g_socket_handler_thread_id, handle_socket_connection, &g_request_list);
    if (rc != 0) {
        LOG(LOG_ERROR, "Failed to create thread to handle new connection, error code: %d\n", rc);
        return false;
    }
    LOG(LOG_INFO, "Thread for handling socket connection: %lu.\n",
        (unsigned long)g_socket_handler_thread_id);

    rc = start_worker(&g_cdev_handler_thread_id, handle_cdev_request, cdev_fd);
    if (rc != 0) {
        LOG(LOG_ERROR, "Failed to create thread to handle cdev request, error code: %d\n", rc);
        return false;
    }
    LOG(LOG_INFO, "Thread for handling cdev request: %lu.\n",
        (unsigned long)g_cdev_handler_thread_id);

    rc = start_worker(&g_cdev_thread_id, read_thread, cdev_fd);
    if (rc != 0) {
        LOG(LOG_ERROR, "Failed to create thread to handle new connection, error code: %d\n", rc);
        return false;
    }
    LOG(LOG_INFO, "Thread for reading cdev message: %lu.\n", (unsigned long)g_cdev_thread_id);

    rc = start_worker(&g_garbage_collector_thread_id, garbage_collector_thread, cdev_fd);
    if (rc != 0) {
        LOG(LOG_ERROR, "Failed to create thread to handle garbage nodes, error code: %d\n", rc);
        return false;
    }
    LOG(LOG_INFO, "Thread for garbage collector: %lu.\n",
        (unsigned long)g_garbage_collector_thread_id);
    return true;
}

int change_my_exe_name(const char *old_name, int port) {
    char new_name[EXE_NAME_LEN];
    memset(new_name, 0, sizeof(new_name));
    if (sprintf_s(new_name, sizeof(new_name), "%s.%d", EXE_NAME_PREFIX, port) < 0) {
        LOG(LOG_ERROR, "Failed to generate new name\n");
        return -1;
    }
    int rc = prctl(PR_SET_NAME, new_name, 0, 0, 0);
    if (rc < 0) {
        LOG(LOG_ERROR, "Failed to change name from [%s] to [%s].\n", old_name, new_name);
        return rc;
    }
    LOG(LOG_ERROR, "Change name from [%s] to [%s] successfully.\n", old_name, new_name);
    return 0;
}

bool init_cdev_socket_server(int listen_port, int bind_retry_count, const char **argv) {
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    inet_pton(AF_INET, SERVER_ADDRESS, &addr.sin_addr);
    addr.sin_port = htons(static_cast<uint16_t>(listen_port));

    // The address moves to the next port after each failed bind, so it ends
    // up holding the port actually bound.
    g_server_fd = init_socket_server(reinterpret_cast<struct sockaddr *>(&addr), 1,
                                     bind_retry_count, nullptr);
    if (g_server_fd < 0) {
        LOG(LOG_ERROR, "Failed to init socket server.\n");
        return false;
    }
    int port = ntohs(addr.sin_port);
    LOG(LOG_INFO, "Open local server port %d successfully.\n", port);

    // Named before any thread exists, so every worker inherits the name.
    change_my_exe_name(argv[0], port);

    init_list(&g_request_list);
    init_list(&g_forward_list);

    // From here on a termination signal runs the shutdown.
    signal_register();

    if (!setup_char_device(argv[1], 0)) {
        return false;
    }
    if (!spawn_threads()) {
        return false;
    }
    change_gid_uid();
    check_device_after_drop(argv[1]);
    return true;
}
