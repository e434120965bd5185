// The socket side of the fast device stand-in. See fast_device.h.
#include "tools/fastdev/fast_device.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace fastdev {
namespace {

constexpr size_t NET_CDEV_MAX_MESSAGE = 131072;
constexpr int LISTEN_BACKLOG = 16;
// Messages taken from one connection before the others get their turn.
constexpr int RECEIVE_BATCH = 64;

bool fill_address(const std::string &path, sockaddr_un *addr, socklen_t *len) {
    if (path.empty() || path.size() >= sizeof(addr->sun_path)) {
        return false;
    }
    *addr = {};
    addr->sun_family = AF_UNIX;
    memcpy(addr->sun_path, path.data(), path.size());
    *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
    if (path[0] == '@') {
        addr->sun_path[0] = '\0';
    } else {
        ++*len;
    }
    return true;
}

}  // namespace

FastDevice::FastDevice(Mode mode) : mode_(mode) {}

FastDevice::~FastDevice() {
    stop();
}

bool FastDevice::start(const std::string &socket_path) {
    sockaddr_un addr;
    socklen_t len;
    if (thread_.joinable() || !fill_address(socket_path, &addr, &len)) {
        return false;
    }
    if (socket_path[0] != '@') {
        unlink(socket_path.c_str());
    }
    listen_fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (listen_fd_ < 0 || wake_fd_ < 0 ||
        bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
        listen(listen_fd_, LISTEN_BACKLOG) != 0) {
        int err = errno;
        stop();
        errno = err;
        return false;
    }
    path_ = socket_path;
    if (path_[0] != '@') {
        chmod(path_.c_str(), 0666);  // an agent that gave up root may reopen
    }
    recv_buf_.resize(NET_CDEV_MAX_MESSAGE);
    stopping_ = false;
    thread_ = std::thread([this] { loop(); });
    return true;
}

void FastDevice::stop() {
    if (thread_.joinable()) {
        stopping_ = true;
        wake();
        thread_.join();
    }
    for (Connection &c : connections_) {
        close(c.fd);
    }
    connections_.clear();
    {
        std::lock_guard lock(mu_);
        current_ = -1;
    }
    for (int *fd : {&listen_fd_, &wake_fd_}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
    if (!path_.empty() && path_[0] != '@') {
        unlink(path_.c_str());
    }
    path_.clear();
}

void FastDevice::wake() {
    uint64_t one = 1;
    if (wake_fd_ >= 0 && write(wake_fd_, &one, sizeof(one)) < 0) {
        // Already signalled: the counter is non-zero.
    }
}

void FastDevice::inject(const std::vector<uint8_t> &msg) {
    std::lock_guard lock(mu_);
    if (mode_ == Mode::NetCdev) {
        // The common case sends at once, without a copy.
        if (msg.empty() || (out_.empty() && send_locked(msg))) {
            return;
        }
        out_.push_back(msg);
    } else {
        for (const std::vector<uint8_t> &node : emu::cut_message(msg)) {
            out_.push_back(emu::frame_unit(node));
        }
        flush_locked();
    }
    if (!out_.empty()) {
        wake();  // the thread waits for room in the socket
    }
}

size_t FastDevice::pending_for_agent() const {
    std::lock_guard lock(mu_);
    return out_.size();
}

void FastDevice::set_message_hook(MessageHook hook) {
    std::lock_guard lock(mu_);
    hook_ = std::move(hook);
}

// One unit into the socket without waiting; false when it has no room (or
// no agent is connected).
bool FastDevice::send_locked(const std::vector<uint8_t> &unit) {
    if (current_ < 0) {
        return false;
    }
    ssize_t n = send(current_, unit.data(), unit.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) {
        return false;  // full; a broken connection shows on the thread's next receive
    }
    bytes_to_agent_ += static_cast<uint64_t>(n);
    return true;
}

void FastDevice::flush_locked() {
    while (!out_.empty() && send_locked(out_.front())) {
        out_.pop_front();
    }
}

void FastDevice::deliver(std::vector<uint8_t> msg) {
    ++messages_from_agent_;
    MessageHook hook;
    {
        std::lock_guard lock(mu_);
        hook = hook_;
    }
    if (hook) {
        hook(msg);
    }
}

void FastDevice::accept_connection() {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        return;
    }
    connections_.push_back({fd, {}});
    std::lock_guard lock(mu_);
    current_ = fd;
    flush_locked();
}

bool FastDevice::receive(Connection *c) {
    for (int i = 0; i < RECEIVE_BATCH; ++i) {
        ssize_t n = recv(c->fd, recv_buf_.data(), recv_buf_.size(), MSG_DONTWAIT);
        if (n < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        }
        if (n == 0) {
            return false;  // the library never sends an empty message
        }
        bytes_from_agent_ += static_cast<uint64_t>(n);
        if (mode_ == Mode::NetCdev) {
            deliver(std::vector<uint8_t>(recv_buf_.begin(), recv_buf_.begin() + n));
            continue;
        }
        emu::Reassembler::Result r = c->reassembler.add(recv_buf_.data(), static_cast<size_t>(n));
        if (r == emu::Reassembler::Result::COMPLETE) {
            deliver(c->reassembler.take());
        } else if (r == emu::Reassembler::Result::REFUSED) {
            ++refused_units_;
        }
    }
    return true;
}

void FastDevice::loop() {
    std::vector<pollfd> fds;
    while (!stopping_) {
        bool want_out;
        int current;
        {
            std::lock_guard lock(mu_);
            want_out = !out_.empty();
            current = current_;
        }
        fds.assign({{wake_fd_, POLLIN, 0}, {listen_fd_, POLLIN, 0}});
        for (const Connection &c : connections_) {
            short events = POLLIN;
            if (c.fd == current && want_out) {
                events |= POLLOUT;
            }
            fds.push_back({c.fd, events, 0});
        }
        if (poll(fds.data(), fds.size(), -1) < 0) {
            continue;  // EINTR
        }
        if (fds[0].revents != 0) {
            uint64_t count;
            if (read(wake_fd_, &count, sizeof(count)) < 0) {
                // Drained by an earlier pass.
            }
        }
        if (fds[1].revents != 0) {
            accept_connection();
        }
        // Walked backwards so that a closed connection can be erased in place;
        // fds[2 + i] belongs to connections_[i] until then.
        for (size_t i = fds.size() - 2; i-- > 0;) {
            short revents = fds[2 + i].revents;
            Connection &c = connections_[i];
            if ((revents & POLLOUT) != 0) {
                std::lock_guard lock(mu_);
                flush_locked();
            }
            if ((revents & (POLLIN | POLLHUP | POLLERR)) == 0 || receive(&c)) {
                continue;
            }
            {
                std::lock_guard lock(mu_);
                if (current_ == c.fd) {
                    current_ = -1;
                }
            }
            close(c.fd);
            connections_.erase(connections_.begin() + static_cast<ptrdiff_t>(i));
        }
    }
}

}  // namespace fastdev
