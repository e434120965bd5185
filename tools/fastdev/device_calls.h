// The device's semantics on the descriptors the preloaded library hands out
// for the device path (see preload.cc), and the count of every call made on
// them. A descriptor is a SOCK_SEQPACKET connection to the controller.
#ifndef CDEV_TOOLS_FASTDEV_DEVICE_CALLS_H
#define CDEV_TOOLS_FASTDEV_DEVICE_CALLS_H

#include <poll.h>
#include <sys/select.h>
#include <sys/types.h>
#include <sys/uio.h>

namespace fastdev {

// Counted calls on device descriptors. The unemulated ones come last.
// clang-format off
enum Call {
    OPEN, OPEN64, OPENAT, OPENAT64, OPEN_2, OPEN64_2, OPENAT_2, OPENAT64_2,
    READ, READ_CHK, READV, WRITE, WRITEV, POLL, POLL_CHK, PPOLL, PPOLL_CHK, CLOSE, DUP2, DUP3,
    FIRST_UNEMULATED,
    PREAD = FIRST_UNEMULATED, PREAD64, PWRITE, PWRITE64, RECV, RECVFROM, RECVMSG, SEND, SENDTO,
    SENDMSG, DUP, SELECT, EPOLL_CTL,
    CALL_COUNT
};
// clang-format on

struct DeviceFd;

// The open device behind fd, or null.
DeviceFd *device_of(int fd);
void count(Call c);
// Counts the call and fails it with err.
int refuse(Call c, int err);

// Result of open_if_device for a path that is not the device's.
constexpr int NOT_OURS = -2;
// For the device path (CDEV_FASTDEV_DEVICE): counts the call and connects to
// the controller (CDEV_FASTDEV_SOCKET); -1 with ENOENT when it is not there.
int open_if_device(Call c, const char *path, int flags);

ssize_t read_device(DeviceFd *d, void *buf, size_t size);
ssize_t write_device(DeviceFd *d, const void *buf, size_t size);
// As the kernel runs a vector on a device with plain read and write: one
// call per entry, ending at the first short one.
ssize_t vector_device(DeviceFd *d, const iovec *iov, int cnt, bool reading);

// Poll in two steps. True when a device is among the entries (the call is
// counted then); *ready_now when one has a current message, so the wait
// must not block.
bool polls_device(Call c, const pollfd *fds, nfds_t n, bool *ready_now);
// After the wait: devices with a current message are readable whatever their
// socket says. Returns the number of entries with events.
int add_current(pollfd *fds, nfds_t n, int waited);
// True when a device descriptor is in one of the sets.
bool selects_device(int n, const fd_set *r, const fd_set *w, const fd_set *e);

int close_device(DeviceFd *d);
// dup2/dup3 as the agent uses them to keep its device in one number: a
// device moved to `to` keeps its state there; a device whose number gets
// another descriptor is closed.
int dup_over(Call c, int fd, int to, int flags);

}  // namespace fastdev

#endif
