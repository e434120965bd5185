// Start-up: the listening socket, the process name, the lists, the signals,
// the device, the five worker threads and the privilege drop. See startup.h.
#include "frame/startup.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bounded/securec.h"
#include "common/conn_node.h"
#include "frame/log.h"
#include "frame/privilege.h"
#include "frame/signals.h"
#include "frame/status_socket.h"
#include "frame/workers.h"
#include "link/cdev_request.h"
#include "link/reader.h"
#include "link/recv_queue.h"
#include "socket/server_socket.h"
#include "socket/state_machine.h"
#include "transport/device.h"
#include "transport/heartbeat.h"

namespace {

constexpr size_t EXE_NAME_LEN = 20;
constexpr char EXE_NAME_PREFIX[] = "cdev";
constexpr char SERVER_ADDRESS[] = "127.0.0.1";

}  // namespace

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

// The status socket goes to root and the service account's group; without
// it the agent does its main job all the same.
int open_status_socket_for_service(const std::string &path) {
    std::string error;
    int fd = open_status_socket(path, service_account_group(), &error);
    if (fd < 0) {
        LOG(LOG_ERROR, "Failed to open the status socket: %s\n", error.c_str());
        fprintf(stderr, "cdev_agent: no status socket: %s\n", error.c_str());
    }
    return fd;
}

bool init_cdev_socket_server(int listen_port, int bind_retry_count, const char **argv,
                             const std::string &status_socket, startup_result *result) {
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
        result->failure = "no free port on 127.0.0.1 from " + std::to_string(listen_port);
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
        int err = errno;
        bool known = strcmp(argv[1], NET_CDEV_PATH) == 0 || strcmp(argv[1], USB_CDEV_PATH) == 0;
        result->failure = std::string("cannot open the device ") + argv[1] + ": " +
                          (known ? strerror(err) : "it is neither /dev/net_cdev nor /dev/lcd1");
        return false;
    }
    if (!spawn_threads()) {
        result->failure = "cannot start the worker threads";
        return false;
    }
    result->status_fd = open_status_socket_for_service(status_socket);
    change_gid_uid();
    check_device_after_drop(argv[1]);
    return true;
}
