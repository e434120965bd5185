#include "tools/controller/controller.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ctl {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t OFFSET_TYPE = 0;
constexpr size_t OFFSET_PORT = 2;
constexpr size_t OFFSET_PROTOCOL = 4;
constexpr size_t OFFSET_RET_CODE = 6;
constexpr size_t OFFSET_PEER_ID = 8;
constexpr size_t OFFSET_LOCAL_ID = 12;
constexpr int LISTEN_BACKLOG = 256;
constexpr int MAX_POLL_WAIT_MS = 1000;
constexpr int THROTTLED_POLL_WAIT_MS = 1;

uint32_t load_u32(const uint8_t *p) {
    uint32_t v;
    memcpy(&v, p, sizeof(v));
    return v;
}

void store_u32(uint8_t *p, uint32_t v) {
    memcpy(p, &v, sizeof(v));
}

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

// A non-blocking connect to 127.0.0.1:port; -1 when it failed at once.
// *done tells whether it completed already.
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

// A UDP socket connected to 127.0.0.1:port, for a forward request's
// datagram and its reply; -1 on failure.
int open_datagram(uint16_t port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopback(port);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int ms_until(Clock::time_point t, Clock::time_point now) {
    if (t <= now) {
        return 0;
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - now).count() + 1;
    return static_cast<int>(std::min<int64_t>(ms, MAX_POLL_WAIT_MS));
}

}  // namespace

uint64_t checksum_update(uint64_t sum, const uint8_t *data, size_t n) {
    constexpr uint64_t PRIME = 0x100000001b3ULL;
    for (size_t i = 0; i < n; ++i) {
        sum = (sum ^ data[i]) * PRIME;
    }
    return sum;
}

uint32_t printable_id(uint32_t stored) {
    return ntohl(stored);
}

uint16_t header_port(const uint8_t *h) {
    return static_cast<uint16_t>((h[OFFSET_PORT] << 8) | h[OFFSET_PORT + 1]);
}
uint32_t header_peer_id(const uint8_t *h) {
    return load_u32(h + OFFSET_PEER_ID);
}
uint32_t header_local_id(const uint8_t *h) {
    return load_u32(h + OFFSET_LOCAL_ID);
}
void set_header_port(uint8_t *h, uint16_t port) {
    h[OFFSET_PORT] = static_cast<uint8_t>(port >> 8);
    h[OFFSET_PORT + 1] = static_cast<uint8_t>(port);
}
void set_header_peer_id(uint8_t *h, uint32_t id) {
    store_u32(h + OFFSET_PEER_ID, id);
}
void set_header_local_id(uint8_t *h, uint32_t id) {
    store_u32(h + OFFSET_LOCAL_ID, id);
}
void set_header_ret_code(uint8_t *h, uint16_t code) {
    memcpy(h + OFFSET_RET_CODE, &code, sizeof(code));
}

const char *link_kind_name(LinkKind kind) {
    switch (kind) {
        case LinkKind::AgentOpened:
            return "agent-opened";
        case LinkKind::ControllerOpened:
            return "controller-opened";
        case LinkKind::Forward:
            return "forward";
    }
    return "?";
}

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

Controller::Controller(emu::Device *device, Options options)
    : device_(device), options_(std::move(options)), inbox_(std::make_shared<Inbox>()) {}

Controller::~Controller() {
    stop();
}

size_t Controller::max_payload() const {
    size_t limit =
        device_->mode() == emu::Device::Mode::Usb ? USB_MESSAGE_LIMIT : NET_CDEV_MESSAGE_LIMIT;
    return limit - HEADER_SIZE;
}

bool Controller::start(std::string *error) {
    if (started_) {
        return true;
    }
    inbox_->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (inbox_->wake_fd < 0) {
        *error = std::string("eventfd: ") + strerror(errno);
        return false;
    }
    for (const auto &listen_map : options_.listens) {
        uint16_t listen_port = listen_map.first;
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        int one = 1;
        sockaddr_in addr = loopback(listen_port);
        socklen_t len = sizeof(addr);
        if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
            bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
            listen(fd, LISTEN_BACKLOG) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
            *error = "cannot listen on 127.0.0.1:" + std::to_string(listen_port) + ": " +
                     strerror(errno);
            if (fd >= 0) {
                close(fd);
            }
            for (int open_fd : listen_fds_) {
                close(open_fd);
            }
            listen_fds_.clear();
            listen_ports_.clear();
            return false;
        }
        listen_fds_.push_back(fd);
        listen_ports_.push_back(ntohs(addr.sin_port));
    }
    read_buf_.resize(HEADER_SIZE + max_payload());
    std::shared_ptr<Inbox> inbox = inbox_;
    device_->set_message_hook([inbox, observe = options_.observe](const std::vector<uint8_t> &msg) {
        if (observe) {
            observe(msg);
        }
        if (msg.size() >= HEADER_SIZE && msg[OFFSET_TYPE] == TYPE_HEARTBEAT) {
            ++inbox->heartbeats;
            return true;
        }
        if (msg.size() >= HEADER_SIZE && msg[OFFSET_TYPE] == TYPE_INIT) {
            ++inbox->inits;
            return true;
        }
        bool was_empty;
        {
            std::lock_guard lock(inbox->mu);
            was_empty = inbox->messages.empty();
            inbox->messages.push_back(msg);
        }
        if (was_empty) {
            inbox->wake();
        }
        return true;
    });
    started_ = true;
    thread_ = std::thread([this] { loop(); });
    return true;
}

void Controller::stop() {
    if (!started_) {
        return;
    }
    device_->set_message_hook(nullptr);
    stopping_ = true;
    inbox_->wake();
    thread_.join();
    while (!links_.empty()) {
        remove(links_.begin()->second.get(), "controller stopped");
    }
    for (int fd : listen_fds_) {
        close(fd);
    }
    listen_fds_.clear();
    started_ = false;
}

bool Controller::send_udp(uint16_t host_port, const std::vector<uint8_t> &payload) {
    if (payload.size() > max_payload()) {
        return false;
    }
    std::vector<uint8_t> msg(HEADER_SIZE + payload.size());
    msg[OFFSET_TYPE] = TYPE_FORWARD;
    msg[OFFSET_PROTOCOL] = PROTOCOL_UDP;
    set_header_port(msg.data(), host_port);
    std::copy(payload.begin(), payload.end(), msg.begin() + HEADER_SIZE);
    device_->inject(msg);
    return true;
}

uint64_t Controller::init_count() const {
    return inbox_->inits;
}
uint64_t Controller::heartbeat_count() const {
    return inbox_->heartbeats;
}
uint64_t Controller::ignored_messages() const {
    return inbox_->ignored;
}

std::vector<LinkRecord> Controller::links() const {
    std::lock_guard lock(records_mu_);
    return records_;
}

size_t Controller::open_links() const {
    std::lock_guard lock(records_mu_);
    return open_links_;
}

Controller::Link *Controller::new_link(LinkKind kind, int fd, uint16_t port, uint16_t socket_port) {
    auto link = std::make_unique<Link>();
    link->kind = kind;
    link->fd = fd;
    link->peer_id = next_peer_id_++;
    if (next_peer_id_ == 0) {
        next_peer_id_ = 1;
    }
    LinkRecord record;
    record.kind = kind;
    record.port = port;
    record.socket_port = socket_port;
    record.peer_id = link->peer_id;
    {
        std::lock_guard lock(records_mu_);
        link->record = records_.size();
        records_.push_back(record);
        ++open_links_;
    }
    Link *raw = link.get();
    links_[raw->peer_id] = std::move(link);
    return raw;
}

Controller::Link *Controller::find_by_local(uint32_t local_id) {
    auto it = peer_by_local_.find(local_id);
    return it == peer_by_local_.end() ? nullptr : find_by_peer(it->second);
}

Controller::Link *Controller::find_by_peer(uint32_t peer_id) {
    auto it = links_.find(peer_id);
    return it == links_.end() ? nullptr : it->second.get();
}

void Controller::update_record(const Link &link, bool to_agent, const uint8_t *data, size_t n) {
    std::lock_guard lock(records_mu_);
    LinkRecord &r = records_[link.record];
    r.local_id = link.local_id;
    if (to_agent) {
        r.bytes_to_agent += n;
        r.sum_to_agent = checksum_update(r.sum_to_agent, data, n);
    } else {
        r.bytes_from_agent += n;
        r.sum_from_agent = checksum_update(r.sum_from_agent, data, n);
    }
}

void Controller::note_local_id(const Link &link) {
    std::lock_guard lock(records_mu_);
    records_[link.record].local_id = link.local_id;
}

void Controller::remove(Link *link, const std::string &end) {
    close_socket(link->fd);
    auto local = peer_by_local_.find(link->local_id);
    if (local != peer_by_local_.end() && local->second == link->peer_id) {
        peer_by_local_.erase(local);
    }
    {
        std::lock_guard lock(records_mu_);
        LinkRecord &r = records_[link->record];
        r.local_id = link->local_id;
        r.open = false;
        r.end = end;
        --open_links_;
    }
    links_.erase(link->peer_id);
}

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

void Controller::loop() {
    // The emulator counts packet nodes in USB mode; a full message is 128 of them.
    const size_t units_per_message =
        device_->mode() == emu::Device::Mode::Usb ? USB_MESSAGE_LIMIT / USB_SLICE_SIZE : 1;
    std::vector<std::vector<uint8_t>> batch;
    std::vector<pollfd> fds;
    std::vector<Link *> order;
    while (!stopping_) {
        {
            std::lock_guard lock(inbox_->mu);
            batch.swap(inbox_->messages);
        }
        for (const std::vector<uint8_t> &msg : batch) {
            process(msg);
        }
        batch.clear();
        expire();

        size_t pending = device_->pending_for_agent() / units_per_message;
        size_t budget =
            pending < options_.max_pending_to_agent ? options_.max_pending_to_agent - pending : 0;
        Clock::time_point now = Clock::now();
        int timeout = budget == 0 ? THROTTLED_POLL_WAIT_MS : MAX_POLL_WAIT_MS;
        order.clear();
        for (auto &[peer, link] : links_) {
            order.push_back(link.get());
        }
        // A different link reads first on each pass, so that none starves
        // while the budget is short.
        if (!order.empty()) {
            std::rotate(order.begin(),
                        order.begin() + static_cast<ptrdiff_t>(round_++ % order.size()),
                        order.end());
        }
        fds.clear();
        fds.push_back({inbox_->wake_fd, POLLIN, 0});
        for (int fd : listen_fds_) {
            fds.push_back({fd, POLLIN, 0});
        }
        for (Link *link : order) {
            short events = 0;
            if (link->state == Link::State::Connecting) {
                events = POLLOUT;
            } else if (link->state == Link::State::Open) {
                if (budget > 0 || link->kind == LinkKind::Forward) {
                    events |= POLLIN;
                }
                if (link->has_out()) {
                    events |= POLLOUT;
                }
            } else if (link->state == Link::State::Draining) {
                events = POLLOUT;
            }
            fds.push_back({events != 0 ? link->fd : -1, events, 0});
            if (link->deadline != Clock::time_point::max()) {
                timeout = std::min(timeout, ms_until(link->deadline, now));
            }
        }
        if (poll(fds.data(), fds.size(), timeout) < 0) {
            continue;  // EINTR; anything else shows again on the next pass
        }
        if (fds[0].revents != 0) {
            uint64_t count;
            if (read(inbox_->wake_fd, &count, sizeof(count)) < 0) {
                // EAGAIN: another pass drained it.
            }
        }
        for (size_t i = 0; i < listen_fds_.size(); ++i) {
            if (fds[1 + i].revents != 0) {
                accept_clients(listen_fds_[i], options_.listens[i].second, listen_ports_[i]);
            }
        }
        size_t first = 1 + listen_fds_.size();
        for (size_t i = 0; i < order.size(); ++i) {
            short revents = fds[first + i].revents;
            Link *link = order[i];
            if (revents == 0) {
                continue;
            }
            if (link->state == Link::State::Connecting) {
                connected(link);
                continue;
            }
            if (!flush(link)) {
                std::string end = std::string("socket write failed: ") + strerror(errno);
                if (link->kind == LinkKind::Forward) {
                    finish_forward(link);
                } else {
                    if (link->state == Link::State::Open) {
                        send_header(link->header, TYPE_CLOSE);
                    }
                    remove(link, end);
                }
                continue;
            }
            if (link->state == Link::State::Draining) {
                if (!link->has_out()) {
                    remove(link, "closed by the agent");
                }
                continue;
            }
            if ((revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            if (link->kind != LinkKind::Forward) {
                if (budget == 0) {
                    continue;
                }
                --budget;
            }
            read_service(link);
        }
    }
}

}  // namespace ctl
