// What the agent shows of itself: its device, receive queue, links and
// tallies, taken as one snapshot on demand for the status socket, the
// metrics file and the service manager's status line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/link_stats.h"

struct link_view {
    bool forwarding = false;  // false: still in its handshake
    // As stored (host order); printed as the log prints them. 0 in the handshake.
    uint32_t local_link_id = 0;
    uint32_t peer_link_id = 0;
    link_opener opener = OPENED_BY_CLIENT;
    int port = 0;  // the controller's port, or the local one a controller link reaches
    // The far end of the link's socket: the client, or the local service.
    std::string address;
    uint64_t bytes_to_controller = 0;
    uint64_t bytes_from_controller = 0;
    int64_t age_ms = 0;  // since it forwards, or since it was accepted
};

// The tallies of link_stats.h, as plain numbers.
struct counters_view {
    uint64_t opened[LINK_OPENERS] = {};
    uint64_t refused[LINK_OPENERS] = {};
    uint64_t timed_out = 0;
    uint64_t ended[LINK_END_CAUSES] = {};
    uint64_t dropped[QUEUE_DROP_CAUSES] = {};
    uint64_t lost[MESSAGE_LOSS_CAUSES] = {};
    uint64_t bytes_to_controller = 0;
    uint64_t bytes_from_controller = 0;
};

struct agent_status {
    std::string version;
    int64_t started_s = 0;  // wall clock
    int64_t now_s = 0;
    int64_t uptime_ms = 0;
    std::string device_path;
    const char *device_mode = "";  // "net_cdev" or "usb"
    bool device_open = false;
    uint64_t device_reopens = 0;
    int64_t last_heartbeat_s = 0;  // wall clock; 0: none sent yet
    int queued_messages = 0;
    int largest_link_queue = 0;
    bool capture_active = false;
    std::vector<link_view> links;
    counters_view counters;
};

// Called once at start-up: the version shown, and the start time.
void status_mark_start(const char *version);
// The status socket shows every link's far end; the service manager's line
// and the metrics need only counts, and once a second a getpeername for each
// of ten thousand idle links is the agent's whole idle cost.
enum class status_detail { COUNTS, ADDRESSES };
agent_status collect_status(status_detail detail);
