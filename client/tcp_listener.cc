// The TCP listener: every accepted client gets its own stream link, on a
// thread of its own, until SIGINT, SIGTERM or SIGHUP closes them all.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "client/agent_connect.h"
#include "client/exit_status.h"
#include "client/link_cap.h"
#include "client/link_report.h"
#include "client/local_socket.h"
#include "client/modes.h"
#include "client/stop_signal.h"
#include "client/workers.h"

namespace {

// Finished link threads are joined at least this often.
constexpr int REAP_INTERVAL_MS = 1000;
// After a failed accept (out of descriptors, say) the next waits this long.
constexpr int ACCEPT_RETRY_MS = 100;

// Closes with a reset: the peer cannot take it for a normal end.
void reset_socket(int fd) {
    linger reset = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    close(fd);
}

void serve_client(const ConnectOptions &options, int fd, const std::string &from, int stop_fd) {
    StreamSide side;
    side.from = from;
    side.in = fd;
    side.out = fd;
    side.stop_fd = stop_fd;
    // Without -q the client's end of stream ends its link.
    side.linger = options.linger.value_or(std::chrono::milliseconds(0));
    side.input_end = "closed by the client";
    int status = run_stream_link(options, side);
    // The client learns the end as the agent tells it: a clean close for a
    // normal end or a refusal, a reset where something was lost.
    if (status == STATUS_OK || status == STATUS_REFUSED) {
        close_socket(fd);
    } else {
        reset_socket(fd);
    }
}

// Accepts every waiting client; false after an accept failure worth a pause.
bool accept_clients(const ConnectOptions &options, int listen_fd, int stop_fd, Workers *workers,
                    LinkCap *cap) {
    while (true) {
        sockaddr_storage peer{};
        socklen_t len = sizeof(peer);
        int fd = accept4(listen_fd, reinterpret_cast<sockaddr *>(&peer), &len,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EAGAIN || errno == EINTR || errno == ECONNABORTED) {
                return true;
            }
            print_note(std::string("accepting a client: ") + strerror(errno));
            return false;
        }
        workers->reap();
        if (!admit(cap, workers->size())) {
            reset_socket(fd);  // not an empty answer
            continue;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        std::string from = address_text(peer);
        if (!workers->start(
                [&options, fd, from, stop_fd] { serve_client(options, fd, from, stop_fd); })) {
            print_note(from + ": no thread for the link");
            close_socket(fd);
        }
    }
}

}  // namespace

int run_tcp_listener(const ConnectOptions &options) {
    std::string error;
    int listen_fd = bind_local(options.local_address, options.local_port, SOCK_STREAM, &error);
    if (listen_fd < 0) {
        print_note(error);
        return listen_fd == BAD_LOCAL_ADDRESS ? STATUS_USAGE : STATUS_IO_ERROR;
    }
    int stop_fd = install_stop_signals();
    if (stop_fd < 0) {
        print_note(std::string("signal set-up: ") + strerror(errno));
        close(listen_fd);
        return STATUS_IO_ERROR;
    }
    if (options.verbose) {
        print_note("listening on " + options.local_address + ":" +
                   std::to_string(options.local_port) + " for controller port " +
                   std::to_string(options.controller_port));
    }
    Workers workers;
    LinkCap cap{options.max_links, "links", "refused", "clients"};
    int pause_ms = 0;
    while (true) {
        pollfd fds[2] = {{stop_fd, POLLIN, 0}, {listen_fd, POLLIN, 0}};
        int n = poll(fds, pause_ms > 0 ? 1 : 2, pause_ms > 0 ? pause_ms : REAP_INTERVAL_MS);
        pause_ms = 0;
        if (n > 0 && fds[0].revents != 0) {
            break;
        }
        if (n > 0 && fds[1].revents != 0 &&
            !accept_clients(options, listen_fd, stop_fd, &workers, &cap)) {
            pause_ms = ACCEPT_RETRY_MS;
        }
        workers.reap();
        note_room(&cap, workers.size());
    }
    close(listen_fd);
    workers.join_all();
    note_room(&cap, 0);
    return STATUS_OK;
}
