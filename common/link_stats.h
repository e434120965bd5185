// Tallies of the agent's links and messages since start, for the status
// socket and the metrics file. Each is a relaxed atomic counter: the threads
// that see an event add to it, readers take each value on its own.
#pragma once

#include <atomic>
#include <cstdint>

// Who asked for a link: a local client, or the controller.
enum link_opener : uint8_t { OPENED_BY_CLIENT, OPENED_BY_CONTROLLER, LINK_OPENERS };

// How an established link ended. The local side is the client of a link a
// client opened, the local service of one the controller opened.
enum link_end_cause : uint8_t {
    END_LOCAL_CLOSED,
    END_CONTROLLER_CLOSED,
    END_LOCAL_SEND_FAILED,
    END_QUEUE_DROPPED,
    END_DEVICE_WRITE_FAILED,
    LINK_END_CAUSES
};

// Why the receive queue ended a link.
enum queue_drop_cause : uint8_t {
    DROP_STALLED_CLIENT,
    DROP_NO_ROOM,
    DROP_LOST_ON_DEVICE,
    DROP_AGED,
    QUEUE_DROP_CAUSES
};

// Why a message from the controller never reached its link.
enum message_loss_cause : uint8_t {
    LOST_FOR_ENDED_LINK,
    LOST_UNCLAIMED,
    LOST_OVER_REQUEST_SHARE,
    LOST_ON_DEVICE,
    LOST_WITH_DROPPED_LINK,
    LOST_AGED,
    LOST_TOO_SHORT,
    MESSAGE_LOSS_CAUSES
};

// Names as the status and the metrics' labels show them, by enum value.
constexpr const char *LINK_OPENER_NAMES[LINK_OPENERS] = {"client", "controller"};
constexpr const char *LINK_END_NAMES[LINK_END_CAUSES] = {"local_closed", "controller_closed",
                                                         "local_send_failed", "queue_dropped",
                                                         "device_write_failed"};
constexpr const char *QUEUE_DROP_NAMES[QUEUE_DROP_CAUSES] = {"stalled_client", "no_room",
                                                             "lost_on_device", "aged"};
constexpr const char *MESSAGE_LOSS_NAMES[MESSAGE_LOSS_CAUSES] = {
    "ended_link",        "unclaimed", "over_request_share", "on_device",
    "with_dropped_link", "aged",      "too_short"};

struct link_counters {
    std::atomic<uint64_t> opened[LINK_OPENERS];
    std::atomic<uint64_t> refused[LINK_OPENERS];
    std::atomic<uint64_t> timed_out;  // client handshakes without an answer
    std::atomic<uint64_t> ended[LINK_END_CAUSES];
    std::atomic<uint64_t> dropped[QUEUE_DROP_CAUSES];
    std::atomic<uint64_t> lost[MESSAGE_LOSS_CAUSES];
    // Payload bytes of links, each way.
    std::atomic<uint64_t> bytes_to_controller;
    std::atomic<uint64_t> bytes_from_controller;
};

extern link_counters g_link_counters;

inline void tally(std::atomic<uint64_t> &counter, uint64_t n = 1) {
    counter.fetch_add(n, std::memory_order_relaxed);
}

inline uint64_t tally_of(const std::atomic<uint64_t> &counter) {
    return counter.load(std::memory_order_relaxed);
}
