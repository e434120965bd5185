// Opening the character device and fixing the transport mode. See device.h.
#include "transport/device.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/iov.h"
#include "common/msg_header.h"
#include "frame/log.h"
#include "frame/util.h"
#include "transport/net_cdev.h"
#include "transport/usb.h"

std::atomic<int> g_cdev_fd{-1};
std::atomic<uint32_t> g_cdev_generation{0};
std::atomic<bool> g_cdev_stopping{false};
std::atomic<bool> g_cdev_writes_over{false};
int g_connect_mode = CONNECT_MODE_USB;
write_iov_func g_write_iov_func = write_iov_to_usb;
read_iov_func g_read_iov_func = read_iov_from_usb;
std::atomic<uint8_t> g_record_log{1};
std::atomic<uint8_t *> g_send_buf{nullptr};
void (*g_lost_message_func)(const common_io_buf *partial) = nullptr;
void (*g_device_back_func)() = nullptr;

namespace {

constexpr int64_t SEND_BUF_FREE_WAIT_MS = 1000;
// A stopping agent has waited for the send lock already.
constexpr int64_t SEND_BUF_FREE_WAIT_STOPPING_MS = 300;
constexpr unsigned int REOPEN_PAUSE_MS = 50;

// Both the length and the substring must match, so a path that merely
// contains a device path (/dev/lcd10, /dev/net_cdev/) is refused.
bool is_device_path(const char *path, size_t path_len, const char *device) {
    return path_len == strlen(device) && strstr(path, device) != nullptr;
}

void select_net_cdev_mode() {
    BUFSIZE = NET_CDEV_BUFSIZE;
    g_connect_mode = CONNECT_MODE_NET_CDEV;
    g_write_iov_func = write_cdev_iov;
    g_read_iov_func = cdev_buf_recv_iov;
}

const char *mode_path() {
    return g_connect_mode == CONNECT_MODE_NET_CDEV ? NET_CDEV_PATH : USB_CDEV_PATH;
}

// The device's descriptor number, kept taken for good once the device was
// opened; changed under the send lock only.
int cdev_slot = -1;
// What the number holds while the device is away: the read end of a pipe
// without a writer, so reads find nothing and writes fail.
int stand_in_fd = -1;

int stand_in() {
    if (stand_in_fd < 0) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) == 0) {
            close(ends[1]);
            stand_in_fd = ends[0];
        }
    }
    return stand_in_fd;
}

// Lets go of the device in `slot` while keeping the number taken.
void vacate(int slot) {
    if (dup3(stand_in(), slot, 0) < 0) {
        close(slot);  // no stand-in: the old way, the number is free for a moment
    }
}

// Opens the device at `path` (mode already chosen): the descriptor or -1,
// logged as the start-up's open is.
int open_cdev(const char *path, int min_fd) {
    int fd = open(path, O_RDWR | O_EXCL | O_APPEND);
    int open_errno = errno;
    if (fd >= min_fd) {
        if (g_connect_mode == CONNECT_MODE_NET_CDEV && !cdev_init_send_buf()) {
            LOG_AS("setup_char_device", LOG_ERROR, "Failed to init send buf\n");
            close(fd);
            return -1;
        }
        g_record_log.store(1);
        LOG_AS("setup_char_device", LOG_INFO, "Open %s successfully, fd: %d\n", path, fd);
        return fd;
    }
    if (g_record_log.load() != 0) {
        LOG_AS("setup_char_device", LOG_ERROR, "Failed to open %s, error code: %d\n", path,
               open_errno);
    }
    g_record_log.store(0);
    return -1;
}

// Held around each read of the device and by a reopen while it swaps the
// device, so that a read comes whole from one device or the other.
pthread_mutex_t read_mutex = PTHREAD_MUTEX_INITIALIZER;
constexpr int64_t REOPEN_READ_WAIT_MS = 1000;

struct read_lock {
    read_lock() { pthread_mutex_lock(&read_mutex); }
    ~read_lock() { pthread_mutex_unlock(&read_mutex); }
    read_lock(const read_lock &) = delete;
    read_lock &operator=(const read_lock &) = delete;
};

// The device keeper's state: a reopen the reader asked for.
pthread_mutex_t keeper_mutex = PTHREAD_MUTEX_INITIALIZER;
// Signalled when the reader asks for a reopen.
monotonic_cond keeper_cond;
// Signalled when a reopen the reader asked for is over.
monotonic_cond reopen_done;
bool reopen_asked = false;
uint32_t reopen_generation = 0;

// Unlocks on every way out, cancellation included.
struct keeper_lock {
    keeper_lock() { pthread_mutex_lock(&keeper_mutex); }
    ~keeper_lock() { pthread_mutex_unlock(&keeper_mutex); }
    keeper_lock(const keeper_lock &) = delete;
    keeper_lock &operator=(const keeper_lock &) = delete;
};

}  // namespace

bool setup_char_device(const char *path, int min_fd) {
    size_t path_len = path == nullptr ? 0 : strlen(path);
    if (path != nullptr && is_device_path(path, path_len, NET_CDEV_PATH)) {
        select_net_cdev_mode();
    } else if (path == nullptr || !is_device_path(path, path_len, USB_CDEV_PATH)) {
        LOG(LOG_ERROR, "Failed to open %s, error code: %d\n", path == nullptr ? "" : path, errno);
        return false;
    }
    int fd = open_cdev(path, min_fd);
    cdev_slot = fd;
    g_cdev_fd.store(fd);
    return fd >= 0;
}

void report_lost_message(const common_io_buf *partial) {
    bool header_read =
        partial->iov[0].iov_base != nullptr && partial->iov[0].iov_len >= MSG_HEADER_SIZE;
    if (header_read && g_lost_message_func != nullptr) {
        g_lost_message_func(partial);
    }
}

bool cdev_failed(int err) {
    return err != 0 && err != EINTR && err != EAGAIN && err != EWOULDBLOCK && err != E2BIG &&
           err != EMSGSIZE;
}

void reopen_cdev_locked() {
    if (g_cdev_stopping.load()) {
        return;
    }
    // A read under way ends first; one that does not within the wait is
    // told by the counter, which moves before the old device is let go and
    // again once the new one is in place.
    struct timespec wait;
    clock_gettime(CLOCK_REALTIME, &wait);
    timespec_add_ms(&wait, REOPEN_READ_WAIT_MS);
    bool reads_held = pthread_mutex_timedlock(&read_mutex, &wait) == 0;
    ++g_cdev_generation;
    int slot = g_cdev_fd.exchange(-1);
    if (slot < 0) {
        slot = cdev_slot;
    }
    if (slot >= 0) {
        vacate(slot);
    }
    // The mode never changes, so neither does the path.
    int fd = open_cdev(mode_path(), 0);
    if (fd >= 0 && slot >= 0 && fd != slot) {
        if (dup3(fd, slot, 0) >= 0) {
            close(fd);
            fd = slot;
        }
    }
    if (fd >= 0) {
        cdev_slot = fd;
    }
    g_cdev_fd.store(fd);
    ++g_cdev_generation;
    if (reads_held) {
        pthread_mutex_unlock(&read_mutex);
    }
    msleep(REOPEN_PAUSE_MS);
}

void reopen_cdev(uint32_t generation) {
    send_lock_guard lock;
    if (g_cdev_generation.load() == generation) {
        reopen_cdev_locked();
    }
}

void request_cdev_reopen(uint32_t generation) {
    keeper_lock lock;
    reopen_asked = true;
    reopen_generation = generation;
    pthread_cond_signal(&keeper_cond.cond);
}

void cdev_keeper_sleep_ms(unsigned int ms) {
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    timespec_add_ms(&deadline, ms);
    for (;;) {
        uint32_t generation = 0;
        {
            keeper_lock lock;
            while (!reopen_asked) {
                if (pthread_cond_timedwait(&keeper_cond.cond, &keeper_mutex, &deadline) ==
                    ETIMEDOUT) {
                    return;
                }
            }
            reopen_asked = false;
            generation = reopen_generation;
        }
        reopen_cdev(generation);
        {
            keeper_lock lock;
            pthread_cond_broadcast(&reopen_done.cond);
        }
        if (g_cdev_fd.load() >= 0 && g_device_back_func != nullptr) {
            g_device_back_func();
        }
    }
}

void wait_cdev_reopen(uint32_t generation, unsigned int ms) {
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    timespec_add_ms(&deadline, ms);
    keeper_lock lock;
    while (g_cdev_generation.load() == generation &&
           pthread_cond_timedwait(&reopen_done.cond, &keeper_mutex, &deadline) != ETIMEDOUT) {
    }
}

cdev_read_result read_cdev_between_reopens(int fd, void *buf, uint64_t len) {
    read_lock lock;
    uint32_t before = g_cdev_generation.load();
    int64_t n;
    do {
        n = cdev_read(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    int err = errno;
    uint32_t after = g_cdev_generation.load();
    errno = err;
    return {n, err, after, before != after || (before & 1U) != 0};
}

void release_cdev() {
    int fd = g_cdev_fd.exchange(-1);
    if (fd >= 0) {
        vacate(fd);
    }
}

bool is_control_message(const struct iovec *entries, uint64_t count) {
    return count == 1 && entries[0].iov_len == MSG_HEADER_SIZE;
}

int64_t write_iov_locked(const struct iovec *entries, uint64_t count) {
    return g_connect_mode == CONNECT_MODE_NET_CDEV ? write_cdev_iov_locked(entries, count)
                                                   : write_iov_to_usb_locked(entries, count);
}

bool cdev_init_send_buf() {
    // A second open keeps the buffer it already has rather than leaking it.
    if (g_send_buf.load() == nullptr) {
        g_send_buf = static_cast<uint8_t *>(malloc(SEND_BUF_SIZE));
    }
    return g_send_buf.load() != nullptr;
}

void cdev_free_send_buf() {
    // Forwarding threads keep writing until the process ends, so the buffer
    // is taken away under the send lock. A writer stuck on the device keeps
    // the lock; then the buffer is left to the ending process rather than
    // freed under the writer's feet.
    int64_t wait_ms =
        g_cdev_stopping.load() ? SEND_BUF_FREE_WAIT_STOPPING_MS : SEND_BUF_FREE_WAIT_MS;
    if (!send_lock_acquire_until(monotonic_ms() + wait_ms)) {
        return;
    }
    uint8_t *buf = g_send_buf.exchange(nullptr);
    send_lock_release();
    free(buf);
}
