// What the controller's source files share: the header offsets, the inbox
// the emulator's hook fills, a link's state, and the socket helpers. Not for
// users of the controller, who include controller.h.
#ifndef CDEV_TOOLS_CONTROLLER_CONTROLLER_INTERNAL_H
#define CDEV_TOOLS_CONTROLLER_CONTROLLER_INTERNAL_H

#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

#include "tools/controller/controller.h"

namespace ctl {

using Clock = std::chrono::steady_clock;

constexpr size_t OFFSET_TYPE = 0;
constexpr size_t OFFSET_PORT = 2;
constexpr size_t OFFSET_PROTOCOL = 4;
constexpr size_t OFFSET_RET_CODE = 6;
constexpr size_t OFFSET_PEER_ID = 8;
constexpr size_t OFFSET_LOCAL_ID = 12;

// Messages the agent wrote, handed from the emulator's hook to the I/O
// thread. Shared with the hook, which may still run while stop() removes it.
struct Controller::Inbox {
    std::mutex mu;
    std::vector<std::vector<uint8_t>> messages;
    int wake_fd = -1;
    std::atomic<uint64_t> inits{0};
    std::atomic<uint64_t> heartbeats{0};
    std::atomic<uint64_t> ignored{0};

    ~Inbox() {
        if (wake_fd >= 0) {
            close(wake_fd);
        }
    }
    void wake() {
        uint64_t one = 1;
        if (write(wake_fd, &one, sizeof(one)) < 0) {
            // The counter cannot overflow in practice; a failed wake-up only
            // delays the thread until its next poll timeout.
        }
    }
};

struct Controller::Link {
    enum class State {
        Connecting,  // to the service
        Waiting,     // for the agent's answer to our request
        Open,
        Draining,  // the agent closed; writing what is left to the socket
    };
    LinkKind kind;
    State state = State::Connecting;
    int fd = -1;
    uint8_t header[HEADER_SIZE] = {};  // what messages to the agent on this link start with
    uint32_t peer_id = 0;
    uint32_t local_id = 0;
    std::vector<uint8_t> out;  // from the agent, not yet taken by the socket
    size_t out_done = 0;
    std::vector<uint8_t> reply;  // a forward request's answer so far
    Clock::time_point deadline = Clock::time_point::max();
    Clock::time_point forward_end;  // a forward request's reply is not awaited beyond it
    size_t record = 0;

    bool has_out() const { return out_done < out.size(); }
    bool is_datagram() const { return header[OFFSET_PROTOCOL] == PROTOCOL_UDP; }
};

// Shuts down both ways and closes; nothing for -1.
void close_socket(int fd);
void set_no_delay(int fd);
sockaddr_in loopback(uint16_t port);
// A non-blocking connect to 127.0.0.1:port; -1 when it failed at once.
// *done tells whether it completed already.
int start_connect(uint16_t port, bool *done);
// A UDP socket connected to 127.0.0.1:port, for a forward request's
// datagram and its reply; -1 on failure.
int open_datagram(uint16_t port);

}  // namespace ctl

#endif
