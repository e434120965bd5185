// The character device: opening it, choosing the transport mode from its
// path, the transport interface every other module writes and reads through,
// the net_cdev send buffer and the send lock.
#pragma once

#include <pthread.h>
#include <sys/uio.h>

#include <atomic>
#include <cstdint>

#include "transport/send_lock.h"

struct common_io_buf;

constexpr char NET_CDEV_PATH[] = "/dev/net_cdev";
constexpr char USB_CDEV_PATH[] = "/dev/lcd1";
constexpr uint64_t SEND_BUF_SIZE = 0x20000;
constexpr int NET_CDEV_BUFSIZE = 1024;

constexpr int CONNECT_MODE_NET_CDEV = 0;
constexpr int CONNECT_MODE_USB = 1;

using write_iov_func = int64_t (*)(const struct iovec *entries, uint64_t count);
using read_iov_func = int64_t (*)(int fd, common_io_buf *v);

// Written under the send lock, read by the reader thread without it.
extern std::atomic<int> g_cdev_fd;
// Bumped by every reopen, under the send lock: a reader that began on the
// old descriptor notices, whatever number the new one has.
extern std::atomic<uint32_t> g_cdev_generation;
extern int g_connect_mode;
extern write_iov_func g_write_iov_func;
extern read_iov_func g_read_iov_func;
extern std::atomic<uint8_t> g_record_log;
// Freed at shutdown while writers may still run: read and swapped atomically.
extern std::atomic<uint8_t *> g_send_buf;

// Told of a message the reader lost part way (the device failed, was
// reopened, or a message overran), with the part read so far: the link it
// belongs to ends rather than carry on with a hole. Set by the link layer;
// null: nobody is told.
extern void (*g_lost_message_func)(const common_io_buf *partial);
// Passes a partial message to g_lost_message_func when its header was read.
void report_lost_message(const common_io_buf *partial);

bool setup_char_device(const char *path, int min_fd);
// Whether a device call failing with `err` means the device went away.
bool cdev_gone(int err);
// Closes what is left of the device and opens it again, then pauses; the
// caller holds the send lock.
void reopen_cdev_locked();
// The same for a thread that met the failure on the device of `generation`:
// nothing is done when the device was reopened since. Takes the send lock.
void reopen_cdev(uint32_t generation);
bool cdev_init_send_buf();
void cdev_free_send_buf();
