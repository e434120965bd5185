// The five long-lived worker threads: their ids and the registry that starts
// them, tells whether they still run and cancels them at shutdown.
#pragma once

#include <pthread.h>

extern pthread_t g_heartbeat_thread_id;
extern pthread_t g_socket_handler_thread_id;
extern pthread_t g_cdev_handler_thread_id;
extern pthread_t g_cdev_thread_id;
extern pthread_t g_garbage_collector_thread_id;

// Creates the worker thread kept in `id` (one of the five id variables
// above) running body(arg), and marks it alive until body ends or the thread
// is cancelled. Returns the thread-creation result.
int start_worker(pthread_t *id, void *(*body)(void *), void *arg);

// Cancels the worker whose id is kept in `id` if it was created and has not
// ended yet; returns false when it was skipped, else stores the cancel
// request's result in `result`. Whether the thread still runs is tracked by
// the thread itself, never probed through its id, which may be stale.
bool cancel_worker(const pthread_t *id, int *result);
