// The start-up sequence: the listening socket, the process name, the device
// and the spawning of the five worker threads (kept in frame/workers.h).
#pragma once

#include <string>

struct startup_result {
    int status_fd = -1;   // the status socket, made before the privilege drop
    std::string failure;  // why the start-up failed, for standard error
};

// `status_socket`: where the status socket goes.
bool init_cdev_socket_server(int listen_port, int bind_retry_count, const char **argv,
                             const std::string &status_socket, startup_result *result);
int change_my_exe_name(const char *old_name, int port);
bool spawn_threads();
