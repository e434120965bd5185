// The service thread: serves the status socket, rewrites the metrics file,
// keeps the service manager's status line and feeds its watchdog. Started
// once the agent runs as its account; the status socket was made before.
#pragma once

#include <string>

struct service_settings {
    int status_fd = -1;  // listening; -1: no status socket
    std::string status_path;
    std::string metrics_path;  // empty: no metrics file
    int metrics_interval_s = 0;
};

bool start_service_thread(const service_settings &settings);
// Tells the service manager that the agent accepts clients; called by the
// accept loop once it listens.
void notify_ready();
// At the end: removes the metrics file, whose numbers would otherwise look
// alive to the collector, and the status socket's file, where the agent's
// account may.
void remove_service_files();
