// Carries a link's bytes both ways between its local side (standard input
// and output, or a TCP client) and the agent's socket: one poll loop, one
// large buffer per direction, until one side ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

struct RelayEnds {
    int local_in = -1;
    int local_out = -1;
    int link = -1;     // the socket to the agent, non-blocking
    int stop_fd = -1;  // readable: end now; -1: none
    // After local_in ended: nullopt keeps the link until the controller
    // closes it, 0 ends it at once, else it ends after this long without
    // data from the controller. The protocol has no half-close, so closing
    // towards the agent would drop the controller's reply.
    std::optional<std::chrono::milliseconds> linger;
};

enum class RelayEnd {
    LinkClosed,   // the agent closed the link: the controller ended it
    InputEnded,   // local_in ended and linger was 0
    Quiet,        // local_in ended and the controller stayed quiet for linger
    Stopped,      // stop_fd became readable
    LocalFailed,  // reading or writing the local side failed
    LinkFailed,   // reading or writing the agent's socket failed
};

struct RelayResult {
    RelayEnd end = RelayEnd::LinkClosed;
    uint64_t bytes_out = 0;  // to the controller
    uint64_t bytes_in = 0;   // from the controller
    std::string error;       // for the two failures
};

RelayResult relay(const RelayEnds &ends);
