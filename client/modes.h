// The three modes of cdev-connect. Each returns the exit status of its run
// (client/exit_status.h).
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "client/options.h"

// The local side of a stream link: standard input and output, or one
// client of the TCP listener.
struct StreamSide {
    std::string from;  // for the link's report
    int in = -1;
    int out = -1;
    int stop_fd = -1;
    std::optional<std::chrono::milliseconds> linger;  // as RelayEnds::linger
    const char *input_end = "input ended";            // how an ended input is reported
};

// One link to the controller port, from the request to its end.
int run_stream_link(const ConnectOptions &options, const StreamSide &side);
// -L: a stream link per accepted client until SIGINT, SIGTERM or SIGHUP.
int run_tcp_listener(const ConnectOptions &options);
// -U: a one-shot request per datagram until SIGINT, SIGTERM or SIGHUP.
int run_udp_relay(const ConnectOptions &options);
