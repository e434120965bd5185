// Entry of the CDEV agent: --help and --version, root check, log, command
// line, capture, access policy, start-up, the service thread (status socket,
// metrics, service manager), then the accept loop on the main thread for good.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/conn_node.h"
#include "frame/about.h"
#include "frame/agent_status.h"
#include "frame/log.h"
#include "frame/metrics.h"
#include "frame/options.h"
#include "frame/policy.h"
#include "frame/service_thread.h"
#include "frame/signals.h"
#include "frame/startup.h"
#include "frame/status_socket.h"
#include "frame/util.h"
#include "socket/state_machine.h"
#include "transport/capture.h"

namespace {

// Service scripts rely on these statuses.
constexpr int EXIT_NOT_ROOT = 127;
constexpr int EXIT_DONE = 0;

constexpr int PORT_MIN = 1024;
constexpr int PORT_MAX = 65535;
constexpr int RETRY_MIN = 0;
constexpr int RETRY_MAX = 65535;
constexpr int RETRY_DEFAULT = 65535;

[[noreturn]] void finish() {
    clean_up();
    exit(EXIT_DONE);
}

// A start-up that stops for an option says why on standard error as well:
// the log may not be where the operator looks.
[[noreturn]] void stop_for(const char *program, const std::string &why) {
    fprintf(stderr, "%s: %s", program, why.c_str());
    LOG_AS("main", LOG_ERROR, "%s", why.c_str());
    finish();
}

// A start-up that fails after the options says why on standard error too,
// for the service manager's journal.
[[noreturn]] void start_up_failed(const char *program, const std::string &why) {
    fprintf(stderr, "%s: %s\n", program, why.c_str());
    finish();
}

void start_service(const agent_options &o, int status_fd, const std::string &status_path) {
    service_settings settings;
    settings.status_fd = status_fd;
    settings.status_path = status_path;
    settings.metrics_path = o.metrics_path != nullptr ? o.metrics_path : "";
    settings.metrics_interval_s =
        o.metrics_interval_s > 0 ? o.metrics_interval_s : METRICS_INTERVAL_S;
    start_service_thread(settings);
    g_listening_func = notify_ready;
}

// Opened before the privilege drop and before any message crosses the device.
void start_capture(const char *program, const agent_options &o) {
    std::string error;
    if (o.capture_path != nullptr &&
        !capture_start(o.capture_path, o.capture_size, o.capture_files, &error)) {
        stop_for(program, "Failed to start the capture: " + error + "\n");
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (answer_about_option(argc, argv)) {
        exit(EXIT_DONE);
    }
    status_mark_start(version_text());
    if (getuid() != 0) {
        exit(EXIT_NOT_ROOT);
    }
    init_log(LOG_ERROR);

    agent_options options;
    std::string error;
    int option_words = parse_options(argc, argv, &options, &error);
    if (option_words < 0) {
        stop_for(argv[0], error);
    }
    // The positional arguments as if no option had been given.
    argv[option_words] = argv[0];
    argv += option_words;
    argc -= option_words;

    const std::string status_socket =
        options.status_socket != nullptr ? options.status_socket : default_status_socket_path();
    if (argc < 3) {
        fprintf(stderr, "usage: %s <device> <listen_port> [bind_retry_count]\n", argv[0]);
        finish();
    }
    int listen_port = parse_int_in_range(argv[2], PORT_MIN, PORT_MAX, -1);
    if (listen_port < 0) {
        LOG(LOG_ERROR, "'listen_port' is invalid.\n");
        start_up_failed(argv[0], std::string("'") + argv[2] + "' is not a port from 1024 to 65535");
    }
    int bind_retry_count = RETRY_DEFAULT;
    if (argc != 3) {
        bind_retry_count = parse_int_in_range(argv[3], RETRY_MIN, RETRY_MAX, -1);
        if (bind_retry_count < 0) {
            LOG(LOG_ERROR, "'bind_retry_count' is invalid.\n");
            start_up_failed(argv[0],
                            std::string("'") + argv[3] + "' is not a count from 0 to 65535");
        }
    }
    LOG(LOG_INFO, "server pid: %d, device: %s, port: %d, retry %d.\n", (int)getpid(), argv[1],
        listen_port, bind_retry_count);
    start_capture(argv[0], options);
    if (!load_policy(&error)) {
        stop_for(argv[0], "Bad access policy " + error + ", the agent does not start.\n");
    }

    startup_result started;
    if (!init_cdev_socket_server(listen_port, bind_retry_count, const_cast<const char **>(argv),
                                 status_socket, &started)) {
        start_up_failed(argv[0], started.failure);
    }
    start_service(options, started.status_fd, status_socket);
    run_socket_server(g_server_fd, &g_request_list);
    // The shutdown closed the listening socket: it ends the process itself.
    while (exit_in_progress()) {
        pause();
    }

    LOG(LOG_INFO, "CDEV agent is ready to exit\n");
    finish();
}
