// The controller's side of what the agent writes: requests for links,
// answers to the controller's own requests, data, closes and one-shot forward
// requests.
#include <cstring>

#include "tools/controller/controller_internal.h"

namespace ctl {

void Controller::send_header(const uint8_t *header, uint8_t type, uint16_t ret_code) {
    std::vector<uint8_t> msg(header, header + HEADER_SIZE);
    msg[OFFSET_TYPE] = type;
    if (ret_code != 0) {
        set_header_ret_code(msg.data(), ret_code);
    }
    device_->inject(msg);
}

void Controller::process(const std::vector<uint8_t> &msg) {
    if (msg.size() < HEADER_SIZE) {
        ++inbox_->ignored;
        return;
    }
    const uint8_t *h = msg.data();
    uint32_t local_id = header_local_id(h);
    Link *link = local_id == 0 ? nullptr : find_by_local(local_id);
    switch (h[OFFSET_TYPE]) {
        case TYPE_REQUEST:
            if (local_id == 0) {
                break;
            }
            if (h[OFFSET_PROTOCOL] == PROTOCOL_TCP) {
                open_agent_link(h);
            } else {
                // A one-shot request without data: there is nothing to carry.
                send_header(h, TYPE_CLOSE, RET_REFUSED);
            }
            return;
        case TYPE_RESPONSE:
            agent_answer(h);
            return;
        case TYPE_CLOSE:
            if (local_id == 0) {
                agent_answer(h);
                return;
            }
            if (link != nullptr) {
                agent_close(link);
                return;
            }
            break;
        case TYPE_FORWARD:
            if (link != nullptr) {
                agent_data(link, h + HEADER_SIZE, msg.size() - HEADER_SIZE);
                return;
            }
            if (local_id != 0 && h[OFFSET_PROTOCOL] != PROTOCOL_TCP) {
                start_forward(msg);
                return;
            }
            break;
        default:
            break;
    }
    ++inbox_->ignored;
}

void Controller::open_agent_link(const uint8_t *request) {
    uint16_t port = header_port(request);
    auto mapped = options_.port_map.find(port);
    uint16_t service_port = mapped == options_.port_map.end() ? 0 : mapped->second;
    Link *link = new_link(LinkKind::AgentOpened, -1, port, service_port);
    memcpy(link->header, request, HEADER_SIZE);
    set_header_peer_id(link->header, link->peer_id);
    link->local_id = header_local_id(request);
    peer_by_local_[link->local_id] = link->peer_id;
    note_local_id(*link);
    if (service_port == 0) {
        send_header(link->header, TYPE_CLOSE, RET_REFUSED);
        remove(link, "port not mapped");
        return;
    }
    bool done = false;
    link->fd = start_connect(service_port, &done);
    if (link->fd < 0) {
        send_header(link->header, TYPE_CLOSE, RET_REFUSED);
        remove(link, "connect failed");
        return;
    }
    link->deadline = Clock::now() + options_.connect_timeout;
    if (done) {
        connected(link);
    }
}

void Controller::start_forward(const std::vector<uint8_t> &msg) {
    uint16_t port = header_port(msg.data());
    auto mapped = options_.port_map.find(port);
    uint16_t service_port = mapped == options_.port_map.end() ? 0 : mapped->second;
    Link *link = new_link(LinkKind::Forward, -1, port, service_port);
    memcpy(link->header, msg.data(), HEADER_SIZE);
    set_header_peer_id(link->header, link->peer_id);
    link->local_id = header_local_id(msg.data());
    note_local_id(*link);
    link->out.assign(msg.begin() + HEADER_SIZE, msg.end());
    update_record(*link, false, link->out.data(), link->out.size());
    // A datagram's socket is ready at once; a TCP service may still be connecting.
    bool done = link->is_datagram();
    link->fd = service_port == 0 ? -1
               : done            ? open_datagram(service_port)
                                 : start_connect(service_port, &done);
    if (link->fd < 0) {
        send_header(link->header, TYPE_CLOSE);
        remove(link, service_port == 0 ? "port not mapped" : "connect failed");
        return;
    }
    link->deadline = Clock::now() + options_.connect_timeout;
    if (done) {
        connected(link);
    }
}

void Controller::agent_data(Link *link, const uint8_t *payload, size_t n) {
    update_record(*link, false, payload, n);
    if (link->state != Link::State::Open || n == 0) {
        return;
    }
    size_t sent = 0;
    if (!link->has_out()) {
        ssize_t r = send(link->fd, payload, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            std::string end = std::string("socket write failed: ") + strerror(errno);
            send_header(link->header, TYPE_CLOSE);
            remove(link, end);
            return;
        }
        sent = r > 0 ? static_cast<size_t>(r) : 0;
        link->out.clear();
        link->out_done = 0;
    }
    link->out.insert(link->out.end(), payload + sent, payload + n);
}

void Controller::agent_close(Link *link) {
    peer_by_local_.erase(link->local_id);
    if (link->state == Link::State::Open && link->has_out()) {
        link->state = Link::State::Draining;
        return;
    }
    remove(link, "closed by the agent");
}

// The agent's answer to a request of ours: type 1 with its fresh id, or
// type 2 (local id 0) when it could not reach the host port.
void Controller::agent_answer(const uint8_t *answer) {
    uint32_t local_id = header_local_id(answer);
    Link *link = find_by_peer(header_peer_id(answer));
    bool waiting = link != nullptr && link->kind == LinkKind::ControllerOpened &&
                   link->state == Link::State::Waiting;
    if (!waiting) {
        ++inbox_->ignored;
        // A late acceptance would leave the agent holding a link nobody uses.
        if (answer[OFFSET_TYPE] == TYPE_RESPONSE && local_id != 0 &&
            find_by_local(local_id) == nullptr) {
            send_header(answer, TYPE_CLOSE);
        }
        return;
    }
    if (answer[OFFSET_TYPE] != TYPE_RESPONSE || local_id == 0) {
        remove(link, "refused by the agent");
        return;
    }
    memcpy(link->header, answer, HEADER_SIZE);
    link->local_id = local_id;
    link->state = Link::State::Open;
    link->deadline = Clock::time_point::max();
    peer_by_local_[local_id] = link->peer_id;
    note_local_id(*link);
}

}  // namespace ctl
