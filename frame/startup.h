// The start-up sequence and the worker threads.
#pragma once

#include <pthread.h>

#include <atomic>

extern int g_server_fd;
extern pthread_t g_heartbeat_thread_id;
extern pthread_t g_socket_handler_thread_id;
extern pthread_t g_cdev_handler_thread_id;
extern pthread_t g_cdev_thread_id;
extern pthread_t g_garbage_collector_thread_id;

bool init_cdev_socket_server(int listen_port, int bind_retry_count, const char **argv);
int change_my_exe_name(const char *old_name, int port);
bool spawn_threads();
