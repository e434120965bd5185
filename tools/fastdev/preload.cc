// LD_PRELOAD library of the fast device stand-in. An open of the device path
// (CDEV_FASTDEV_DEVICE) returns a SOCK_SEQPACKET connection to the
// controller's socket (CDEV_FASTDEV_SOCKET; a leading '@' names an abstract
// socket), and the calls the agent makes on that descriptor get the device's
// semantics:
// - "/dev/net_cdev": one write of up to 131072 bytes is one message (larger:
//   E2BIG); a read returns min(size, what is left of the current message), a
//   message stays current until a read returns less than asked (so a last
//   chunk that filled the buffer is followed by a read of 0); without a
//   current message a read blocks for the next; poll reports POLLIN while a
//   message is current.
// - "/dev/lcd1" (the path's last part is "lcd1"): each write is one 468-byte
//   packet node (other sizes: EINVAL); each read takes one unit, cut to the
//   size asked for.
// Every call on a device descriptor is counted, the _chk and 64-bit variants
// apart. dup2 and dup3 move a device to another number or close the one they
// replace, as the agent keeps its device in one number across reopens. Calls
// with no device meaning here (socket calls, positioned I/O, dup, select,
// epoll) are counted as "unemulated" and refused, so a non-zero
// count shows that the agent reached the device some other way. With
// CDEV_FASTDEV_COUNTS set, the counts are written to that file as one line
// of name=value whenever a device descriptor is closed, and at exit.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>

#include "tools/fastdev/device_calls.h"
#include "tools/fastdev/next_symbol.h"

using namespace fastdev;

namespace {

mode_t mode_arg(int flags, va_list ap) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

}  // namespace

extern "C" {

#define OPEN_ENTRY(name, call, params, args)       \
    int name params {                              \
        int r = open_if_device(call, path, flags); \
        if (r != NOT_OURS) {                       \
            return r;                              \
        }                                          \
        va_list ap;                                \
        va_start(ap, flags);                       \
        mode_t mode = mode_arg(flags, ap);         \
        va_end(ap);                                \
        return NEXT_AS(int(*) params, name) args;  \
    }
OPEN_ENTRY(open, OPEN, (const char *path, int flags, ...), (path, flags, mode))
OPEN_ENTRY(open64, OPEN64, (const char *path, int flags, ...), (path, flags, mode))
OPEN_ENTRY(openat, OPENAT, (int dirfd, const char *path, int flags, ...),
           (dirfd, path, flags, mode))
OPEN_ENTRY(openat64, OPENAT64, (int dirfd, const char *path, int flags, ...),
           (dirfd, path, flags, mode))

// The fortified opens take no mode.
#define OPEN_CHK_ENTRY(name, call, params, args)                      \
    int name params {                                                 \
        int r = open_if_device(call, path, flags);                    \
        return r != NOT_OURS ? r : NEXT_AS(int(*) params, name) args; \
    }
OPEN_CHK_ENTRY(__open_2, OPEN_2, (const char *path, int flags), (path, flags))
OPEN_CHK_ENTRY(__open64_2, OPEN64_2, (const char *path, int flags), (path, flags))
OPEN_CHK_ENTRY(__openat_2, OPENAT_2, (int dirfd, const char *path, int flags), (dirfd, path, flags))
OPEN_CHK_ENTRY(__openat64_2, OPENAT64_2, (int dirfd, const char *path, int flags),
               (dirfd, path, flags))

ssize_t read(int fd, void *buf, size_t size) {
    DeviceFd *d = device_of(fd);
    if (d == nullptr) {
        return NEXT(read)(fd, buf, size);
    }
    count(READ);
    return read_device(d, buf, size);
}

ssize_t __read_chk(int fd, void *buf, size_t size, size_t buflen) {
    if (size > buflen) {
        abort();  // what glibc's check does
    }
    DeviceFd *d = device_of(fd);
    if (d == nullptr) {
        return NEXT(read)(fd, buf, size);
    }
    count(READ_CHK);
    return read_device(d, buf, size);
}

ssize_t write(int fd, const void *buf, size_t size) {
    DeviceFd *d = device_of(fd);
    if (d == nullptr) {
        return NEXT(write)(fd, buf, size);
    }
    count(WRITE);
    return write_device(d, buf, size);
}

ssize_t readv(int fd, const iovec *iov, int cnt) {
    DeviceFd *d = device_of(fd);
    if (d == nullptr) {
        return NEXT(readv)(fd, iov, cnt);
    }
    count(READV);
    return vector_device(d, iov, cnt, true);
}

ssize_t writev(int fd, const iovec *iov, int cnt) {
    DeviceFd *d = device_of(fd);
    if (d == nullptr) {
        return NEXT(writev)(fd, iov, cnt);
    }
    count(WRITEV);
    return vector_device(d, iov, cnt, false);
}

// glibc declares the array of poll and ppoll write-only, though its events
// are read.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
int poll(pollfd *fds, nfds_t n, int timeout) {
    bool now;
    if (!polls_device(POLL, fds, n, &now)) {
        return NEXT(poll)(fds, n, timeout);
    }
    return add_current(fds, n, NEXT(poll)(fds, n, now ? 0 : timeout));
}

int __poll_chk(pollfd *fds, nfds_t n, int timeout, size_t fdslen) {
    if (fdslen / sizeof(*fds) < n) {
        abort();
    }
    bool now;
    if (!polls_device(POLL_CHK, fds, n, &now)) {
        return NEXT(poll)(fds, n, timeout);
    }
    return add_current(fds, n, NEXT(poll)(fds, n, now ? 0 : timeout));
}

int ppoll(pollfd *fds, nfds_t n, const timespec *timeout, const sigset_t *mask) {
    static const timespec zero{};
    bool now;
    if (!polls_device(PPOLL, fds, n, &now)) {
        return NEXT(ppoll)(fds, n, timeout, mask);
    }
    return add_current(fds, n, NEXT(ppoll)(fds, n, now ? &zero : timeout, mask));
}

int __ppoll_chk(pollfd *fds, nfds_t n, const timespec *timeout, const sigset_t *mask,
                size_t fdslen) {
    static const timespec zero{};
    if (fdslen / sizeof(*fds) < n) {
        abort();
    }
    bool now;
    if (!polls_device(PPOLL_CHK, fds, n, &now)) {
        return NEXT(ppoll)(fds, n, timeout, mask);
    }
    return add_current(fds, n, NEXT(ppoll)(fds, n, now ? &zero : timeout, mask));
}

#pragma GCC diagnostic pop

int close(int fd) {
    DeviceFd *d = device_of(fd);
    return d == nullptr ? NEXT(close)(fd) : close_device(d);
}

// The agent keeps its device in one number across reopens.
int dup2(int fd, int to) {
    return fd == to ? NEXT(dup2)(fd, to) : dup_over(DUP2, fd, to, 0);
}

int dup3(int fd, int to, int flags) {
    return dup_over(DUP3, fd, to, flags);
}

// No device meaning: counted and refused as a character device refuses them.
#define REFUSED(ret, name, call, err, params, args) \
    ret name params {                               \
        if (device_of(fd) != nullptr) {             \
            return refuse(call, err);               \
        }                                           \
        return NEXT(name) args;                     \
    }
REFUSED(ssize_t, pread, PREAD, ESPIPE, (int fd, void *b, size_t n, off_t o), (fd, b, n, o))
REFUSED(ssize_t, pread64, PREAD64, ESPIPE, (int fd, void *b, size_t n, off64_t o), (fd, b, n, o))
REFUSED(ssize_t, pwrite, PWRITE, ESPIPE, (int fd, const void *b, size_t n, off_t o), (fd, b, n, o))
REFUSED(ssize_t, pwrite64, PWRITE64, ESPIPE, (int fd, const void *b, size_t n, off64_t o),
        (fd, b, n, o))
REFUSED(ssize_t, recv, RECV, ENOTSOCK, (int fd, void *b, size_t n, int f), (fd, b, n, f))
REFUSED(ssize_t, recvfrom, RECVFROM, ENOTSOCK,
        (int fd, void *b, size_t n, int f, sockaddr *a, socklen_t *l), (fd, b, n, f, a, l))
REFUSED(ssize_t, recvmsg, RECVMSG, ENOTSOCK, (int fd, msghdr *m, int f), (fd, m, f))
REFUSED(ssize_t, send, SEND, ENOTSOCK, (int fd, const void *b, size_t n, int f), (fd, b, n, f))
REFUSED(ssize_t, sendto, SENDTO, ENOTSOCK,
        (int fd, const void *b, size_t n, int f, const sockaddr *a, socklen_t l),
        (fd, b, n, f, a, l))
REFUSED(ssize_t, sendmsg, SENDMSG, ENOTSOCK, (int fd, const msghdr *m, int f), (fd, m, f))
REFUSED(int, dup, DUP, EINVAL, (int fd), (fd))

REFUSED(int, epoll_ctl, EPOLL_CTL, EPERM, (int ep, int op, int fd, epoll_event *e), (ep, op, fd, e))

int select(int n, fd_set *r, fd_set *w, fd_set *e, timeval *t) {
    if (selects_device(n, r, w, e)) {
        return refuse(SELECT, EINVAL);
    }
    return NEXT(select)(n, r, w, e, t);
}

}  // extern "C"
