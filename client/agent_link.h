// Opening a link through the agent: the connection to the agent on
// 127.0.0.1 (looking for an agent that moved to another port), the 32-byte
// request, and the wait for the controller's answer, either the response
// that opens a stream link or the single reply to a one-shot request.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "common/msg_header.h"

// An agent process found by its name, cdev.<port>.
struct RunningAgent {
    pid_t pid = 0;
    uint16_t port = 0;
};
std::vector<RunningAgent> find_running_agents();

struct AgentConnection {
    int fd = -1;  // non-blocking, no-delay; -1 when no agent was reached
    uint16_t port = 0;
    std::string error;  // why no agent was reached
    std::string note;   // set when an agent was found on another port
};

// Connects to the agent on `port`; unless the port was chosen by the user,
// tries the ports of running agents next.
AgentConnection connect_agent(uint16_t port, bool port_chosen);

// The client request for a stream link to controller port `port`.
msg_header link_request(uint16_t port);
// A one-shot forward request: header and payload, to be sent in one piece
// because the agent reads the payload once, right after the header.
std::vector<uint8_t> forward_request(uint16_t port, const uint8_t *payload, size_t n);

// Sends all n bytes on a non-blocking socket; false with *error.
bool send_whole(int fd, const void *data, size_t n, std::string *error);

struct LinkAnswer {
    int status = 0;              // STATUS_OK, STATUS_REFUSED, STATUS_NO_ANSWER or STATUS_IO_ERROR
    bool stopped = false;        // stop_fd became readable first
    msg_header header{};         // the controller's response when status is STATUS_OK
    std::vector<uint8_t> reply;  // await_reply: what the agent wrote before closing
    std::string error;
};

// Reads the controller's 32-byte type-1 response, and not a byte more.
LinkAnswer await_answer(int fd, std::chrono::milliseconds wait, int stop_fd);
// Reads everything the agent writes until it closes the connection.
LinkAnswer await_reply(int fd, std::chrono::milliseconds wait, int stop_fd);

// Shuts a socket down both ways and closes it (the agent then sends the
// link's CLOSE to the controller).
void close_socket(int fd);
