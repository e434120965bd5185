// The UDP relay: every datagram becomes a one-shot forward request, on a
// thread of its own, and the single reply goes back to the datagram's
// sender. Requests in flight overlap freely.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "client/agent_connect.h"
#include "client/exit_status.h"
#include "client/link_cap.h"
#include "client/link_report.h"
#include "client/link_request.h"
#include "client/local_socket.h"
#include "client/modes.h"
#include "client/stop_signal.h"
#include "client/workers.h"

namespace {

constexpr int REAP_INTERVAL_MS = 1000;
constexpr size_t MAX_DATAGRAM = 65536;
// The agent reads a forward request's payload once, into at most 128 slices
// of 450 bytes less the header in USB mode; a larger datagram would be cut.
constexpr size_t MAX_FORWARD_PAYLOAD = 128 * 450 - MSG_HEADER_SIZE;
// Room for the whole request in the socket, so one send queues all of it
// before the agent reads.
constexpr int REQUEST_SEND_BUFFER = 256 * 1024;

struct Datagram {
    std::vector<uint8_t> payload;
    sockaddr_storage sender{};
    socklen_t sender_len = 0;
};

// One request through the agent; the report's ending and whether it failed.
bool forward_one(const ConnectOptions &options, const Datagram &d, int stop_fd, LinkReport *report,
                 std::vector<uint8_t> *reply) {
    AgentConnection agent = connect_agent(options);
    if (agent.fd < 0) {
        report->end = agent.error;
        return true;
    }
    report->agent_port = agent.port;
    setsockopt(agent.fd, SOL_SOCKET, SO_SNDBUF, &REQUEST_SEND_BUFFER, sizeof(REQUEST_SEND_BUFFER));
    std::vector<uint8_t> request =
        forward_request(options.controller_port, d.payload.data(), d.payload.size());
    LinkAnswer answer;
    if (send_whole(agent.fd, request.data(), request.size(), &answer.error)) {
        report->bytes_out = d.payload.size();
        answer = await_reply(agent.fd, options.answer_wait, stop_fd);
    } else {
        answer.status = STATUS_IO_ERROR;
    }
    close_socket(agent.fd);
    if (answer.closed_early && !agent_still_there(agent)) {
        agent_went_away(&answer);
    }
    if (answer.status != STATUS_OK || answer.stopped) {
        report->end = answer.error;
        return answer.status != STATUS_OK;
    }
    *reply = std::move(answer.reply);
    report->end = reply->empty() ? "no reply" : "answered";
    return false;
}

void serve_datagram(const ConnectOptions &options, int udp_fd, const Datagram &d, int stop_fd) {
    LinkReport report;
    report.kind = "request";
    report.from = address_text(d.sender);
    report.controller_port = options.controller_port;
    std::vector<uint8_t> reply;
    bool failed = forward_one(options, d, stop_fd, &report, &reply);
    if (!reply.empty()) {
        if (sendto(udp_fd, reply.data(), reply.size(), 0,
                   reinterpret_cast<const sockaddr *>(&d.sender), d.sender_len) < 0) {
            report.end = std::string("sending the reply: ") + strerror(errno);
            failed = true;
        } else {
            report.bytes_in = reply.size();
        }
    }
    print_report(report, failed, options.verbose);
}

// Takes every waiting datagram and starts its request.
void receive_datagrams(const ConnectOptions &options, int udp_fd, int stop_fd, Workers *workers,
                       LinkCap *cap, std::vector<uint8_t> *buf) {
    while (true) {
        Datagram d;
        d.sender_len = sizeof(d.sender);
        ssize_t n = recvfrom(udp_fd, buf->data(), buf->size(), MSG_TRUNC,
                             reinterpret_cast<sockaddr *>(&d.sender), &d.sender_len);
        if (n < 0) {
            return;  // EAGAIN, or an error of a past reply that leaves the socket usable
        }
        std::string from = address_text(d.sender);
        if (static_cast<size_t>(n) > MAX_FORWARD_PAYLOAD) {
            print_note("datagram of " + std::to_string(n) + " bytes from " + from +
                       " dropped: a one-shot request carries at most " +
                       std::to_string(MAX_FORWARD_PAYLOAD));
            continue;
        }
        workers->reap();
        if (!admit(cap, workers->size())) {
            continue;
        }
        d.payload.assign(buf->begin(), buf->begin() + n);
        if (!workers->start([&options, udp_fd, d = std::move(d), stop_fd] {
                serve_datagram(options, udp_fd, d, stop_fd);
            })) {
            print_note("datagram from " + from + " dropped: no thread for the request");
        }
    }
}

}  // namespace

int run_udp_relay(const ConnectOptions &options) {
    std::string error;
    int udp_fd = bind_local(options.local_address, options.local_port, SOCK_DGRAM, &error);
    if (udp_fd < 0) {
        print_note(error);
        return udp_fd == BAD_LOCAL_ADDRESS ? STATUS_USAGE : STATUS_IO_ERROR;
    }
    int stop_fd = install_stop_signals();
    if (stop_fd < 0) {
        print_note(std::string("signal set-up: ") + strerror(errno));
        close(udp_fd);
        return STATUS_IO_ERROR;
    }
    if (options.verbose) {
        print_note("relaying datagrams on " + options.local_address + ":" +
                   std::to_string(options.local_port) + " to controller port " +
                   std::to_string(options.controller_port));
    }
    Workers workers;
    LinkCap cap{options.max_links, "requests", "dropped", "datagrams"};
    std::vector<uint8_t> buf(MAX_DATAGRAM);
    while (true) {
        pollfd fds[2] = {{stop_fd, POLLIN, 0}, {udp_fd, POLLIN, 0}};
        int n = poll(fds, 2, REAP_INTERVAL_MS);
        if (n > 0 && fds[0].revents != 0) {
            break;
        }
        if (n > 0 && fds[1].revents != 0) {
            receive_datagrams(options, udp_fd, stop_fd, &workers, &cap, &buf);
        }
        workers.reap();
        note_room(&cap, workers.size());
    }
    workers.join_all();
    note_room(&cap, 0);
    close(udp_fd);
    return STATUS_OK;
}
