// The controller's side of the local sockets: connects to services, clients
// accepted on the listening ports, the writes and reads that carry a link's
// data, forward requests' replies, and the deadlines.
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tools/controller/controller_internal.h"

namespace ctl {

void close_socket(int fd) {
    if (fd >= 0) {
        shutdown(fd, SHUT_RDWR);
        close(fd);
    }
}

void set_no_delay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

int start_connect(uint16_t port, bool *done) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    set_no_delay(fd);
    sockaddr_in addr = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0) {
        *done = true;
        return fd;
    }
    if (errno == EINPROGRESS) {
        *done = false;
        return fd;
    }
    close(fd);
    return -1;
}

int open_datagram(uint16_t port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopback(port);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void Controller::connected(Link *link) {
    int err = 0;
    socklen_t len = sizeof(err);
    if (getsockopt(link->fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
        err = errno;
    }
    if (err != 0) {
        send_header(link->header, TYPE_CLOSE, link->kind == LinkKind::Forward ? 0 : RET_REFUSED);
        remove(link, std::string("connect failed: ") + strerror(err));
        return;
    }
    link->state = Link::State::Open;
    if (link->kind == LinkKind::Forward) {
        link->forward_end = Clock::now() + options_.forward_wait;
        link->deadline = link->forward_end;
        if (!flush(link)) {
            finish_forward(link);
        }
        return;
    }
    link->deadline = Clock::time_point::max();
    send_header(link->header, TYPE_RESPONSE);
}

void Controller::accept_clients(int listen_fd, uint16_t host_port, uint16_t listen_port) {
    while (true) {
        int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;  // EAGAIN, or an error the next poll reports again
        }
        set_no_delay(fd);
        Link *link = new_link(LinkKind::ControllerOpened, fd, host_port, listen_port);
        link->state = Link::State::Waiting;
        link->deadline = Clock::now() + options_.request_timeout;
        link->header[OFFSET_TYPE] = TYPE_REQUEST;
        link->header[OFFSET_PROTOCOL] = PROTOCOL_TCP;
        set_header_port(link->header, host_port);
        set_header_peer_id(link->header, link->peer_id);
        send_header(link->header, TYPE_REQUEST);
    }
}

// Writes what the agent sent and the socket has not taken yet; false when
// the socket failed.
bool Controller::flush(Link *link) {
    while (link->has_out()) {
        ssize_t r = send(link->fd, link->out.data() + link->out_done,
                         link->out.size() - link->out_done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        }
        link->out_done += static_cast<size_t>(r);
    }
    link->out.clear();
    link->out_done = 0;
    return true;
}

// One read from the socket: a data message to the agent, or, for a forward
// request, more of its reply.
void Controller::read_service(Link *link) {
    uint8_t *payload = read_buf_.data() + HEADER_SIZE;
    size_t room = max_payload();
    if (link->kind == LinkKind::Forward) {
        room -= link->reply.size();
    }
    ssize_t n = recv(link->fd, payload, room, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return;
    }
    if (link->kind == LinkKind::Forward) {
        if (n > 0) {
            link->reply.insert(link->reply.end(), payload, payload + n);
            link->deadline = std::min(link->forward_end, Clock::now() + options_.forward_quiet);
        }
        if (n <= 0 || link->reply.size() == max_payload() || link->is_datagram()) {
            finish_forward(link);
        }
        return;
    }
    if (n <= 0) {
        send_header(link->header, TYPE_CLOSE);
        const char *side = link->kind == LinkKind::ControllerOpened ? "client" : "service";
        remove(link, std::string("closed by the ") + side);
        return;
    }
    memcpy(read_buf_.data(), link->header, HEADER_SIZE);
    read_buf_[OFFSET_TYPE] = TYPE_FORWARD;
    update_record(*link, true, payload, static_cast<size_t>(n));
    std::vector<uint8_t> msg(read_buf_.begin(),
                             read_buf_.begin() + static_cast<ptrdiff_t>(HEADER_SIZE + n));
    device_->inject(msg);
}

void Controller::finish_forward(Link *link) {
    if (link->reply.empty()) {
        // A datagram without a reply is answered with nothing at all.
        if (!link->is_datagram()) {
            send_header(link->header, TYPE_CLOSE);
        }
        remove(link, "no reply");
        return;
    }
    std::vector<uint8_t> msg(HEADER_SIZE + link->reply.size());
    std::copy(link->header, link->header + HEADER_SIZE, msg.begin());
    msg[OFFSET_TYPE] = TYPE_FORWARD;
    std::copy(link->reply.begin(), link->reply.end(), msg.begin() + HEADER_SIZE);
    update_record(*link, true, link->reply.data(), link->reply.size());
    device_->inject(msg);
    remove(link, "answered");
}

void Controller::expire() {
    Clock::time_point now = Clock::now();
    std::vector<Link *> due;
    for (auto &[peer, link] : links_) {
        if (link->deadline <= now) {
            due.push_back(link.get());
        }
    }
    for (Link *link : due) {
        if (link->kind == LinkKind::Forward && link->state == Link::State::Open) {
            finish_forward(link);
        } else if (link->state == Link::State::Connecting) {
            send_header(link->header, TYPE_CLOSE,
                        link->kind == LinkKind::Forward ? 0 : RET_REFUSED);
            remove(link, "connect timed out");
        } else {
            remove(link, "no answer from the agent");
        }
    }
}

}  // namespace ctl
