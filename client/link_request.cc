// Link requests and the waits for the controller's answer.
#include "client/link_request.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "client/exit_status.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t REPLY_CHUNK = 64 * 1024;

enum class Wait { Readable, TimedOut, Stopped, Failed };

Wait wait_readable(int fd, Clock::time_point deadline, int stop_fd) {
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return Wait::TimedOut;
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        int n = poll(fds, stop_fd >= 0 ? 2 : 1, static_cast<int>(left.count()) + 1);
        if (n < 0 && errno != EINTR) {
            return Wait::Failed;
        }
        if (n > 0) {
            return stop_fd >= 0 && fds[1].revents != 0 ? Wait::Stopped : Wait::Readable;
        }
    }
}

std::string seconds_text(Clock::duration d) {
    char text[32];
    snprintf(text, sizeof(text), "%g s", std::chrono::duration<double>(d).count());
    return text;
}

// Fills in *a when the wait ended without anything to read; false when
// there is something.
bool wait_ended(Wait w, std::chrono::milliseconds wait, LinkAnswer *a) {
    switch (w) {
        case Wait::Readable:
            return false;
        case Wait::Stopped:
            a->stopped = true;
            a->status = STATUS_OK;
            a->error = "stopped";
            break;
        case Wait::TimedOut:
            a->status = STATUS_NO_ANSWER;
            a->error = "no answer from the controller within " + seconds_text(wait) +
                       " (it is slow or not answering, or the device is away)";
            break;
        case Wait::Failed:
            a->status = STATUS_IO_ERROR;
            a->error = std::string("poll: ") + strerror(errno);
            break;
    }
    return true;
}

constexpr const char *NOBODY_ANSWERED =
    "no answer: the agent reset the request before the controller answered (the device is "
    "away, or the controller is not running)";

enum class Received { Data, Nothing, Closed, Reset, Failed };

// One receive; *a is filled in on a reset or a failure.
Received receive(int fd, uint8_t *buf, size_t n, ssize_t *got, LinkAnswer *a) {
    *got = recv(fd, buf, n, 0);
    if (*got > 0) {
        return Received::Data;
    }
    if (*got == 0) {
        return Received::Closed;
    }
    int err = errno;
    if (err == EAGAIN || err == EINTR) {
        return Received::Nothing;
    }
    a->status = STATUS_IO_ERROR;
    a->error = std::string("reading from the agent: ") + strerror(err);
    return err == ECONNRESET ? Received::Reset : Received::Failed;
}

}  // namespace

msg_header link_request(uint16_t port) {
    msg_header h{};
    h.type = MSG_TYPE_REQUEST;
    h.source = MSG_SOURCE_HOST;
    h.port = htons(port);
    h.protocol = MSG_PROTOCOL_TCP;
    return h;
}

std::vector<uint8_t> forward_request(uint16_t port, const uint8_t *payload, size_t n) {
    msg_header h = link_request(port);
    h.type = MSG_TYPE_FORWARD;
    h.protocol = MSG_PROTOCOL_UDP;
    std::vector<uint8_t> message(MSG_HEADER_SIZE + n);
    memcpy(message.data(), &h, MSG_HEADER_SIZE);
    std::copy(payload, payload + n, message.begin() + MSG_HEADER_SIZE);
    return message;
}

bool send_whole(int fd, const void *data, size_t n, std::string *error) {
    const char *p = static_cast<const char *>(data);
    while (n > 0) {
        ssize_t sent = send(fd, p, n, MSG_NOSIGNAL);
        if (sent < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd out = {fd, POLLOUT, 0};
            poll(&out, 1, -1);
            continue;
        }
        if (sent < 0) {
            *error = std::string("sending to the agent: ") + strerror(errno);
            return false;
        }
        p += sent;
        n -= static_cast<size_t>(sent);
    }
    return true;
}

LinkAnswer await_answer(int fd, std::chrono::milliseconds wait, int stop_fd) {
    LinkAnswer a;
    Clock::time_point deadline = Clock::now() + wait;
    auto *bytes = reinterpret_cast<uint8_t *>(&a.header);
    size_t got = 0;
    while (got < MSG_HEADER_SIZE) {
        ssize_t n = 0;
        if (wait_ended(wait_readable(fd, deadline, stop_fd), wait, &a)) {
            return a;
        }
        switch (receive(fd, bytes + got, MSG_HEADER_SIZE - got, &n, &a)) {
            case Received::Data:
                got += static_cast<size_t>(n);
                break;
            case Received::Nothing:
                break;
            case Received::Closed:
                a.status = STATUS_REFUSED;
                a.closed_early = true;
                a.error = "the controller refused the link (" +
                          (got == 0 ? std::string("the agent closed without an answer")
                                    : "an answer of " + std::to_string(got) + " bytes") +
                          ")";
                return a;
            case Received::Reset:
                a.status = STATUS_NO_ANSWER;
                a.error = NOBODY_ANSWERED;
                return a;
            case Received::Failed:
                return a;
        }
    }
    if (a.header.type != MSG_TYPE_RESPONSE) {
        a.status = STATUS_REFUSED;
        a.error = "the controller refused the link (an answer of type " +
                  std::to_string(a.header.type) + ")";
        return a;
    }
    a.status = STATUS_OK;
    return a;
}

LinkAnswer await_reply(int fd, std::chrono::milliseconds wait, int stop_fd) {
    LinkAnswer a;
    Clock::time_point deadline = Clock::now() + wait;
    uint8_t buf[REPLY_CHUNK];
    while (true) {
        ssize_t n = 0;
        if (wait_ended(wait_readable(fd, deadline, stop_fd), wait, &a)) {
            return a;
        }
        switch (receive(fd, buf, sizeof(buf), &n, &a)) {
            case Received::Data:
                a.reply.insert(a.reply.end(), buf, buf + n);
                break;
            case Received::Nothing:
                break;
            case Received::Closed:
                a.status = STATUS_OK;
                a.closed_early = a.reply.empty();
                return a;
            case Received::Reset:
                // Part of a reply is no reply: nothing goes back to the sender.
                a.status = a.reply.empty() ? STATUS_NO_ANSWER : STATUS_IO_ERROR;
                a.error = a.reply.empty() ? NOBODY_ANSWERED
                                          : "the reply was cut: the agent reset the request";
                a.reply.clear();
                return a;
            case Received::Failed:
                a.reply.clear();
                return a;
        }
    }
}

void agent_went_away(LinkAnswer *a) {
    a->status = STATUS_NO_ANSWER;
    a->error = "no answer: the agent went away before the controller answered";
}
