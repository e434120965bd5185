// Termination signals, the exit callback and clean-up. See signals.h.
//
// The three termination signals are blocked in every thread and taken by one
// dedicated thread with sigwait, so the shutdown runs in ordinary thread
// context: it may take locks and write the log, and it is never one of the
// workers it cancels.
#include "frame/signals.h"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "frame/log.h"
#include "frame/service_thread.h"
#include "frame/util.h"
#include "frame/workers.h"
#include "link/link_stop.h"
#include "transport/capture.h"
#include "transport/device.h"

std::atomic<int> g_server_fd{-1};

namespace {

std::atomic<exit_callback> g_exit_callback{nullptr};
std::atomic<intptr_t> g_exit_arg{0};

// How long a stop may spend telling the controller of the links.
constexpr int64_t STOP_CLOSES_MS = 800;

std::atomic<bool> signal_thread_started{false};
std::atomic<bool> exiting{false};
// Makes clean_up whole when the main thread and the signal thread both run it.
pthread_mutex_t clean_up_mutex = PTHREAD_MUTEX_INITIALIZER;

sigset_t termination_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

void *signal_thread(void *) {
    pthread_detach(pthread_self());
    sigset_t set = termination_signals();
    for (;;) {
        int signum = 0;
        if (sigwait(&set, &signum) == 0) {
            do_exit_after_signal(signum);
        }
    }
    return nullptr;
}

// Without the signal thread nobody would ever take the blocked signals: fall
// back to handling them where they land.
void install_async_handlers() {
    signal(SIGHUP, do_exit_after_signal);
    signal(SIGINT, do_exit_after_signal);
    signal(SIGTERM, do_exit_after_signal);
    sigset_t set = termination_signals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

// Closes a descriptor that a worker or the accept loop may still be waiting
// on: on the signal path the process ends right after, so the number is never
// reused. Kept out of line so that the thread checker's suppressions
// (tests/tsan.supp) can tell these closes from any other.
__attribute__((noinline)) void close_shared_fd(int fd) {
    close(fd);
}

}  // namespace

int register_exit_callback(exit_callback callback, intptr_t arg) {
    g_exit_arg = arg;
    g_exit_callback = callback;
    return 0;
}

bool exit_in_progress() {
    return exiting.load();
}

void do_exit_after_signal(int) {
    exiting = true;
    exit_callback callback = g_exit_callback;
    if (callback != nullptr) {
        callback(g_exit_arg);
    }
    _exit(0);
}

int signal_register() {
    signal(SIGCHLD, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    // Blocked here, on the main thread before any worker exists, so every
    // later thread inherits the mask and only the signal thread takes them.
    sigset_t set = termination_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (!signal_thread_started.exchange(true)) {
        pthread_t tid;
        int rc = pthread_create(&tid, nullptr, signal_thread, nullptr);
        if (rc != 0) {
            signal_thread_started = false;
            LOG(LOG_ERROR, "Failed to create signal thread, error code: %d\n", rc);
            install_async_handlers();
        }
    }
    return register_exit_callback(kill_all_worker, 0);
}

void kill_all_worker(intptr_t) {
    // From here on nothing reopens the device, and only the links' last
    // CLOSEs are written to it.
    g_cdev_stopping = true;
    int rc = 0;
    if (cancel_worker(&g_socket_handler_thread_id, &rc)) {
        LOG(LOG_DETAIL, "Stopped socket connection handler (%d)\n", rc);
    }
    if (cancel_worker(&g_heartbeat_thread_id, &rc)) {
        LOG(LOG_DETAIL, "Stopped CDEV heartbeat handler (%d)\n", rc);
    }
    if (cancel_worker(&g_cdev_handler_thread_id, &rc)) {
        LOG(LOG_DETAIL, "Stopped CDEV request handler (%d)\n", rc);
    }
    if (cancel_worker(&g_cdev_thread_id, &rc)) {
        LOG(LOG_DETAIL, "Stopped CDEV handler (%d)\n", rc);
    }
    end_links_on_stop(monotonic_ms() + STOP_CLOSES_MS);
    clean_up();
}

void clean_up() {
    pthread_mutex_lock(&clean_up_mutex);
    // The device's number stays taken until the process ends, so that no
    // socket takes it under a reader that still holds it.
    release_cdev();
    int server_fd = g_server_fd.exchange(-1);
    if (server_fd >= 0) {
        LOG_AS("clean_up", LOG_DETAIL, "Close socket %d\n", server_fd);
        shutdown(server_fd, SHUT_RDWR);
        close_shared_fd(server_fd);
    }
    cdev_free_send_buf();
    capture_stop();
    remove_service_files();
    close_log();
    pthread_mutex_unlock(&clean_up_mutex);
}
