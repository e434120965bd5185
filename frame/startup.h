// The start-up sequence: the listening socket, the process name, the device
// and the spawning of the five worker threads (kept in frame/workers.h).
#pragma once

bool init_cdev_socket_server(int listen_port, int bind_retry_count, const char **argv);
int change_my_exe_name(const char *old_name, int port);
bool spawn_threads();
