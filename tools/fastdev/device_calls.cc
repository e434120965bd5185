// The device calls of the fast stand-in's preloaded library. See
// device_calls.h.
#include "tools/fastdev/device_calls.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "tools/fastdev/next_symbol.h"

namespace fastdev {

// One open device. Only net_cdev mode keeps a current message.
struct DeviceFd {
    std::atomic<int> fd{-1};
    bool usb = false;
    std::mutex read_mu;  // one reader at a time walks the current message
    uint8_t *msg = nullptr;
    size_t len = 0;
    size_t off = 0;
    std::atomic<bool> current{false};
};

namespace {

constexpr size_t NET_CDEV_MAX_MESSAGE = 131072;
constexpr size_t PACKET_NODE_SIZE = 468;
constexpr int MAX_DEVICES = 8;  // open at once; the agent holds one

constexpr const char *CALL_NAMES[CALL_COUNT] = {
    "open",         "open64", "openat",      "openat64", "__open_2", "__open64_2", "__openat_2",
    "__openat64_2", "read",   "__read_chk",  "readv",    "write",    "writev",     "poll",
    "__poll_chk",   "ppoll",  "__ppoll_chk", "close",    "dup2",     "dup3",       "pread",
    "pread64",      "pwrite", "pwrite64",    "recv",     "recvfrom", "recvmsg",    "send",
    "sendto",       "sendmsg", "dup",        "select",   "epoll_ctl"};

std::atomic<uint64_t> g_calls[CALL_COUNT];
std::atomic<uint64_t> g_bytes_read{0};
std::atomic<uint64_t> g_bytes_written{0};
std::atomic<uint64_t> g_messages_written{0};
std::atomic<bool> g_ever_opened{false};
DeviceFd g_devices[MAX_DEVICES];

// The counts as one line of name=value in CDEV_FASTDEV_COUNTS, if set.
void write_counts() {
    const char *path = getenv("CDEV_FASTDEV_COUNTS");
    if (path == nullptr || !g_ever_opened) {
        return;
    }
    char line[2048];
    size_t used = 0;
    uint64_t unemulated = 0;
    for (int c = 0; c < CALL_COUNT; ++c) {
        uint64_t n = g_calls[c].load();
        unemulated += c >= FIRST_UNEMULATED ? n : 0;
        used += static_cast<size_t>(snprintf(line + used, sizeof(line) - used, "%s=%llu ",
                                             CALL_NAMES[c], static_cast<unsigned long long>(n)));
    }
    snprintf(line + used, sizeof(line) - used,
             "unemulated=%llu messages_written=%llu bytes_written=%llu bytes_read=%llu\n",
             static_cast<unsigned long long>(unemulated),
             static_cast<unsigned long long>(g_messages_written.load()),
             static_cast<unsigned long long>(g_bytes_written.load()),
             static_cast<unsigned long long>(g_bytes_read.load()));
    int fd = NEXT(open)(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        if (NEXT(write)(fd, line, strlen(line)) < 0) {
            // Nothing to report it to.
        }
        NEXT(close)(fd);
    }
}

// A process that ends without closing the device (exit, not _exit).
__attribute__((destructor)) void write_counts_at_exit() {
    write_counts();
}

// A connection to the controller; -1 with ENOENT when there is none, as for
// a device that is not there.
int connect_controller(int flags) {
    const char *name = getenv("CDEV_FASTDEV_SOCKET");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (name == nullptr || name[0] == '\0' || strlen(name) >= sizeof(addr.sun_path)) {
        errno = ENOENT;
        return -1;
    }
    memcpy(addr.sun_path, name, strlen(name));
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + strlen(name));
    if (name[0] == '@') {
        addr.sun_path[0] = '\0';  // abstract namespace
    } else {
        ++len;
    }
    int type = SOCK_SEQPACKET | ((flags & O_CLOEXEC) != 0 ? SOCK_CLOEXEC : 0);
    int fd = socket(AF_UNIX, type, 0);
    if (fd < 0) {
        return -1;
    }
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0) {
        NEXT(close)(fd);
        errno = ENOENT;
        return -1;
    }
    if ((flags & O_NONBLOCK) != 0) {
        fcntl(fd, F_SETFL, O_NONBLOCK);
    }
    return fd;
}

// The controller went away: the device is gone.
ssize_t device_gone() {
    errno = ENODEV;
    return -1;
}

}  // namespace

DeviceFd *device_of(int fd) {
    if (fd < 0) {
        return nullptr;
    }
    for (DeviceFd &d : g_devices) {
        if (d.fd.load(std::memory_order_acquire) == fd) {
            return &d;
        }
    }
    return nullptr;
}

void count(Call c) {
    g_calls[c].fetch_add(1, std::memory_order_relaxed);
}

int refuse(Call c, int err) {
    count(c);
    errno = err;
    return -1;
}

int open_if_device(Call c, const char *path, int flags) {
    const char *device = getenv("CDEV_FASTDEV_DEVICE");
    if (path == nullptr || device == nullptr || strcmp(path, device) != 0) {
        return NOT_OURS;
    }
    count(c);
    const char *last = strrchr(path, '/');
    bool usb = strcmp(last == nullptr ? path : last + 1, "lcd1") == 0;
    int fd = connect_controller(flags);
    if (fd < 0) {
        return -1;
    }
    for (DeviceFd &d : g_devices) {
        // A slot whose reader is still inside a read of its closed
        // descriptor stays taken.
        if (d.fd.load() != -1 || !d.read_mu.try_lock()) {
            continue;
        }
        if (d.msg == nullptr && !usb) {
            d.msg = static_cast<uint8_t *>(malloc(NET_CDEV_MAX_MESSAGE));
        }
        d.usb = usb;
        d.len = d.off = 0;
        d.current = false;
        d.read_mu.unlock();
        if (!usb && d.msg == nullptr) {
            break;
        }
        g_ever_opened = true;
        d.fd.store(fd, std::memory_order_release);
        return fd;
    }
    NEXT(close)(fd);
    errno = ENOMEM;
    return -1;
}

ssize_t read_device(DeviceFd *d, void *buf, size_t size) {
    if (size == 0) {
        return 0;
    }
    if (d->usb) {
        ssize_t n = NEXT(recv)(d->fd, buf, size, 0);  // the rest of the unit is dropped
        if (n == 0) {
            return device_gone();
        }
        g_bytes_read += n > 0 ? static_cast<uint64_t>(n) : 0;
        return n;
    }
    std::lock_guard lock(d->read_mu);
    if (!d->current) {
        ssize_t n = NEXT(recv)(d->fd, d->msg, NET_CDEV_MAX_MESSAGE, 0);
        if (n <= 0) {
            return n == 0 ? device_gone() : -1;
        }
        d->len = static_cast<size_t>(n);
        d->off = 0;
        d->current = true;
    }
    size_t n = std::min(size, d->len - d->off);
    memcpy(buf, d->msg + d->off, n);
    d->off += n;
    if (n < size) {
        d->current = false;
    }
    g_bytes_read += n;
    return static_cast<ssize_t>(n);
}

ssize_t write_device(DeviceFd *d, const void *buf, size_t size) {
    if (d->usb ? size != PACKET_NODE_SIZE : size > NET_CDEV_MAX_MESSAGE) {
        errno = d->usb ? EINVAL : E2BIG;
        return -1;
    }
    if (size == 0) {
        return 0;  // an empty message would read as the end of the connection
    }
    ssize_t n = NEXT(send)(d->fd, buf, size, MSG_NOSIGNAL);
    if (n < 0 && (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN)) {
        return device_gone();
    }
    if (n > 0) {
        g_bytes_written += static_cast<uint64_t>(n);
        ++g_messages_written;
    }
    return n;
}

ssize_t vector_device(DeviceFd *d, const iovec *iov, int cnt, bool reading) {
    ssize_t total = 0;
    for (int i = 0; i < cnt; ++i) {
        ssize_t n = reading ? read_device(d, iov[i].iov_base, iov[i].iov_len)
                            : write_device(d, iov[i].iov_base, iov[i].iov_len);
        if (n < 0) {
            return total > 0 ? total : n;
        }
        total += n;
        if (static_cast<size_t>(n) < iov[i].iov_len) {
            break;
        }
    }
    return total;
}

bool polls_device(Call c, const pollfd *fds, nfds_t n, bool *ready_now) {
    bool any = false;
    *ready_now = false;
    for (nfds_t i = 0; i < n; ++i) {
        DeviceFd *d = device_of(fds[i].fd);
        any = any || d != nullptr;
        *ready_now = *ready_now || (d != nullptr && d->current && (fds[i].events & POLLIN) != 0);
    }
    if (any) {
        count(c);
    }
    return any;
}

int add_current(pollfd *fds, nfds_t n, int waited) {
    if (waited < 0) {
        return waited;
    }
    int ready = 0;
    for (nfds_t i = 0; i < n; ++i) {
        DeviceFd *d = device_of(fds[i].fd);
        if (d != nullptr && d->current) {
            fds[i].revents |= static_cast<short>(fds[i].events & (POLLIN | POLLRDNORM));
        }
        ready += fds[i].revents != 0 ? 1 : 0;
    }
    return ready;
}

bool selects_device(int n, const fd_set *r, const fd_set *w, const fd_set *e) {
    for (DeviceFd &d : g_devices) {
        int fd = d.fd.load();
        if (fd >= 0 && fd < n &&
            ((r != nullptr && FD_ISSET(fd, r)) || (w != nullptr && FD_ISSET(fd, w)) ||
             (e != nullptr && FD_ISSET(fd, e)))) {
            return true;
        }
    }
    return false;
}

int close_device(DeviceFd *d) {
    count(CLOSE);
    // Out of the table before the number can be handed out again.
    int fd = d->fd.exchange(-1, std::memory_order_acq_rel);
    d->current = false;
    int r = NEXT(close)(fd);
    write_counts();
    return r;
}

int dup_over(Call c, int fd, int to, int flags) {
    DeviceFd *moving = device_of(fd);
    DeviceFd *replaced = device_of(to);
    if (moving == nullptr && replaced == nullptr) {
        return NEXT_AS(int (*)(int, int, int), dup3)(fd, to, flags);
    }
    count(c);
    if (replaced != nullptr && replaced != moving) {
        replaced->fd.store(-1, std::memory_order_release);
        replaced->current = false;
    }
    int r = NEXT_AS(int (*)(int, int, int), dup3)(fd, to, flags);
    if (r >= 0 && moving != nullptr) {
        moving->fd.store(to, std::memory_order_release);  // the old number is closed next
    }
    if (replaced != nullptr) {
        write_counts();
    }
    return r;
}

}  // namespace fastdev
