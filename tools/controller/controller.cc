// The controller's lifecycle: the listening ports, the emulator's message
// hook, the I/O thread and its poll loop; the counters. See controller.h.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tools/controller/controller_internal.h"

namespace ctl {

namespace {

constexpr int LISTEN_BACKLOG = 256;
constexpr int MAX_POLL_WAIT_MS = 1000;
constexpr int THROTTLED_POLL_WAIT_MS = 1;

int ms_until(Clock::time_point t, Clock::time_point now) {
    if (t <= now) {
        return 0;
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - now).count() + 1;
    return static_cast<int>(std::min<int64_t>(ms, MAX_POLL_WAIT_MS));
}

}  // namespace

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
        // Each pass starts with the first link the last pass had no budget
        // for, so that none starves while the budget is short: moving on by
        // one link a pass left a link thousands of passes from its turn.
        size_t start = order.empty() ? 0 : round_ % order.size();
        std::rotate(order.begin(), order.begin() + static_cast<ptrdiff_t>(start), order.end());
        round_ = budget == 0 ? start : start + 1;
        bool budget_ran_out = false;
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
                    if (!budget_ran_out) {
                        budget_ran_out = true;
                        round_ = start + i;
                    }
                    continue;
                }
                --budget;
            }
            read_service(link);
        }
    }
}

}  // namespace ctl
