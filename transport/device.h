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

// Written under the send lock, read by the reader thread without it. Once
// the device was open its number stays taken for good (by the device, or by
// a stand-in that reads nothing while the device is away), so a socket can
// never take it under a reader that loaded it.
extern std::atomic<int> g_cdev_fd;
// Bumped twice by every reopen, under the send lock: before the old device
// is let go and once the new one is in place (odd while a reopen runs). A
// reader that saw it change during a read cannot tell whose bytes it got.
extern std::atomic<uint32_t> g_cdev_generation;
// Set once the agent is stopping: nothing reopens the device any more.
extern std::atomic<bool> g_cdev_stopping;
// Set once a stopping agent has written its last CLOSEs: writers that take
// the send lock from then on write nothing.
extern std::atomic<bool> g_cdev_writes_over;
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
// Told after the device keeper reopened the device (set by the link layer:
// CLOSEs kept while it was away go out).
extern void (*g_device_back_func)();

bool setup_char_device(const char *path, int min_fd);
// Whether a device call failing with `err` calls for a reopen: any failure
// but an interruption, a full device, or a message the device cannot take.
bool cdev_failed(int err);
// Lets go of the device and opens it again in the same descriptor number,
// then pauses; nothing when stopping. The caller holds the send lock.
void reopen_cdev_locked();
// The same for a thread that met the failure on the device of `generation`:
// nothing is done when the device was reopened since. Takes the send lock.
void reopen_cdev(uint32_t generation);
// For the reader, which never waits for the send lock: asks the device
// keeper to reopen the device of `generation`, and returns at once.
void request_cdev_reopen(uint32_t generation);
// Waits up to `ms` until the device of `generation` has been reopened.
void wait_cdev_reopen(uint32_t generation, unsigned int ms);
// The device keeper's sleep (the heartbeat thread's): sleeps `ms`, and
// meanwhile reopens the device whenever the reader asks.
void cdev_keeper_sleep_ms(unsigned int ms);
// Lets go of the device at shutdown; its number stays taken.
void release_cdev();

// One read of the device (cdev_read), never while a reopen swaps the
// device: the bytes are the device's of *generation. A reopen waits for a
// read under way (up to a second); `unsure` when it could not wait and ran
// meanwhile, so whose bytes these are cannot be told.
struct cdev_read_result {
    int64_t n;
    int err;
    uint32_t generation;
    bool unsure;
};
cdev_read_result read_cdev_between_reopens(int fd, void *buf, uint64_t len);
// A header-only message (a request, an answer, a CLOSE): it goes ahead of
// data waiting for the send lock.
bool is_control_message(const struct iovec *entries, uint64_t count);
// Writes one whole message with the mode's writer; the caller holds the send
// lock (a stopping agent's last CLOSEs).
int64_t write_iov_locked(const struct iovec *entries, uint64_t count);
bool cdev_init_send_buf();
void cdev_free_send_buf();
