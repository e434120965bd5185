// The agent's options: `--name value` words ahead of the positional arguments
// <device> <listen_port> [bind_retry_count], read from one table in
// options.cc (a row per option).
#pragma once

#include <cstdint>
#include <string>

struct agent_options {
    const char *capture_path = nullptr;
    uint64_t capture_size = 0;            // bytes per capture file; 0: one file
    int capture_files = 0;                // capture files reused in turn; 0: no limit
    const char *status_socket = nullptr;  // null: default_status_socket_path()
    const char *metrics_path = nullptr;   // null: no metrics file
    int metrics_interval_s = 0;           // 0: the default, METRICS_INTERVAL_S
};

// Reads the options at the front of argv (after the program name). Returns
// the number of words they took, or -1 with *error set (a line ending in a
// newline) for an unknown option, a missing or invalid value, or options
// that make no sense together.
int parse_options(int argc, char **argv, agent_options *options, std::string *error);
