// The client's side of opening a link through the agent: the 32-byte request
// and the wait for the controller's answer, either the response that opens
// a stream link or the single reply to a one-shot forward request.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "common/msg_header.h"

// The client request for a stream link to controller port `port`.
msg_header link_request(uint16_t port);
// A one-shot forward request: header and payload, to be sent in one piece
// because the agent reads the payload once, right after the header.
std::vector<uint8_t> forward_request(uint16_t port, const uint8_t *payload, size_t n);

// Sends all n bytes on a non-blocking socket; false with *error.
bool send_whole(int fd, const void *data, size_t n, std::string *error);

// How the agent ends a link tells what happened: before the answer, a
// clean close is the controller's refusal and a reset means no controller
// answered (the device is away, or the controller is not running); after
// it, a reset means the link was cut.
struct LinkAnswer {
    int status = 0;              // STATUS_OK, STATUS_REFUSED, STATUS_NO_ANSWER or STATUS_IO_ERROR
    bool stopped = false;        // stop_fd became readable first
    bool closed_early = false;   // a clean close before any answer: also if the agent stopped
    msg_header header{};         // await_answer: the controller's response
    std::vector<uint8_t> reply;  // await_reply: what the agent wrote before closing
    std::string error;
};

// Reads the controller's 32-byte type-1 response, and not a byte more.
LinkAnswer await_answer(int fd, std::chrono::milliseconds wait, int stop_fd);
// Reads everything the agent writes until it closes the connection.
LinkAnswer await_reply(int fd, std::chrono::milliseconds wait, int stop_fd);

// For a clean close before any answer while the agent is gone: the agent
// stopped, the controller did not refuse.
void agent_went_away(LinkAnswer *a);
