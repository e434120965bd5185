// net_cdev framing: a message goes to the device in one write and comes back
// as 1024-byte reads ended by a shorter one. See net_cdev.h.
#include "transport/net_cdev.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bounded/securec.h"
#include "common/iov.h"
#include "frame/log.h"
#include "frame/util.h"
#include "transport/capture.h"
#include "transport/device.h"

namespace {

constexpr int64_t CDEV_ERR_NOT_SENT = -1;
constexpr int64_t CDEV_ERR_TOO_LARGE = -E2BIG;
constexpr int64_t CDEV_ERR_NO_BUFFER = -ENOMEM;
// A device that went away gets as many chances as a USB packet node.
constexpr int WRITE_ATTEMPTS = 11;
constexpr unsigned int RETRY_PAUSE_MS = 10;
constexpr int64_t MAX_MESSAGE = SEND_BUF_SIZE;

// One write of `len` bytes, or -1 (errno set) when the device is not open.
// The caller holds the send lock.
int64_t write_once(const void *buf, uint64_t len) {
    int fd = g_cdev_fd.load();
    if (fd < 0) {
        errno = EBADF;
        return CDEV_ERR_NOT_SENT;
    }
    return write(fd, buf, len);
}

// A write that the device failed is tried again on the reopened device, so
// that links survive a short outage. The caller holds the send lock.
int64_t write_whole(const void *buf, uint64_t len) {
    int64_t result = CDEV_ERR_NOT_SENT;
    for (int attempt = 0; attempt < WRITE_ATTEMPTS; ++attempt) {
        result = write_once(buf, len);
        int err = errno;
        if (result >= 0 || !cdev_failed(err) || g_cdev_stopping.load()) {
            return result;
        }
        reopen_cdev_locked();
        msleep(RETRY_PAUSE_MS);
        errno = err;
    }
    return result;
}

// Gathers the entries into the send buffer and writes them; the caller holds
// the send lock. Failures that must be logged after the lock is released are
// reported through `too_large` and `copy_ret`.
int64_t gather_and_write(const struct iovec *entries, uint64_t count, uint64_t *too_large,
                         int *copy_ret) {
    // Looked at again under the lock: shutdown may have freed it meanwhile.
    uint8_t *send_buf = g_send_buf.load();
    if (send_buf == nullptr) {
        return CDEV_ERR_NO_BUFFER;
    }
    uint64_t total = 0;
    for (uint64_t i = 0; i < count; i++) {
        uint64_t len = entries[i].iov_len;
        if (len > SEND_BUF_SIZE - total) {
            *too_large = total + len;
            return CDEV_ERR_TOO_LARGE;
        }
        if (i > 0 && total == SEND_BUF_SIZE) {
            break;  // the buffer is full and this entry is empty
        }
        if (len > 0) {
            int ret = memcpy_s(send_buf + total, SEND_BUF_SIZE - total, entries[i].iov_base, len);
            if (ret != EOK) {
                *copy_ret = ret;
                return CDEV_ERR_NOT_SENT;
            }
        }
        total += len;
    }
    capture_buffer(CAPTURE_TO_CONTROLLER, send_buf, total);
    return write_whole(send_buf, total);
}

using device_read = cdev_read_result;

// The reader's state between messages. Used by the reader only.
// - After a read failed inside a message, or a message ran past 131072
//   bytes, the rest of that message is still on the device and must not be
//   taken for a new one: it is skipped, but only on that same device; a
//   reopened device starts at a message boundary.
// - A read that turned out to open the next message (the device was
//   reopened while a message was under way) is carried over to it.
bool skipping = false;
uint32_t skip_generation = 0;
uint8_t skip_buf[NET_CDEV_BUFSIZE];
struct {
    bool held = false;
    uint8_t bytes[NET_CDEV_BUFSIZE];
    device_read read;
} carried;
log_repeat read_failures;

device_read read_device(int fd, void *buf, uint64_t len) {
    return read_cdev_between_reopens(fd, buf, len);
}

// The first read of a message: the one carried over, or a new one.
device_read first_read(int fd, struct iovec *entry) {
    if (!carried.held) {
        return read_device(fd, entry->iov_base, entry->iov_len);
    }
    carried.held = false;
    memcpy(entry->iov_base, carried.bytes, static_cast<size_t>(carried.read.n));
    return carried.read;
}

// Keeps a read of the reopened device for the next message.
void carry(const void *bytes, const device_read &r) {
    memcpy(carried.bytes, bytes, static_cast<size_t>(r.n));
    carried.read = r;
    carried.held = true;
}

// The message in v, read from the device of `generation`, was lost part way;
// the rest of it is skipped.
void lose_message(const common_io_buf *v, uint32_t generation) {
    report_lost_message(v);
    skipping = true;
    skip_generation = generation;
}

// Reads up to the device's end of the current message. False on a failure;
// the skip goes on with the next call.
bool skip_rest_of_message(int fd) {
    int64_t skipped = 0;
    while (skipping && skip_generation == g_cdev_generation.load()) {
        device_read r = read_device(fd, skip_buf, sizeof(skip_buf));
        if (r.n < 0) {
            return false;
        }
        if (r.unsure || r.generation != skip_generation) {
            if (!r.unsure) {
                carry(skip_buf, r);
            }
            break;
        }
        skipped += r.n;
        if (r.n < static_cast<int64_t>(sizeof(skip_buf))) {
            LOG_AS("cdev_buf_recv_iov", LOG_ERROR,
                   "Skipped %ld bytes to the end of a broken message\n",
                   static_cast<long>(skipped));
            break;
        }
    }
    skipping = false;
    return true;
}

bool add_slice(struct iovec *entry) {
    void *slice = alloc_slice();
    if (slice == nullptr) {
        LOG_AS("cdev_buf_recv_iov", LOG_ERROR, "Failed to malloc more data.\n");
        return false;
    }
    entry->iov_base = slice;
    entry->iov_len = static_cast<size_t>(BUFSIZE);
    return true;
}

void note_read_failure(int fd, int err) {
    if (log_repeat_first(&read_failures, "cdev_buf_recv_iov")) {
        LOG_AS("cdev_buf_recv_iov", LOG_ERROR, "ERROR reading from peer %d, error code: %d\n", fd,
               err);
    }
    errno = err;
}

// A message under way met a reopen of the device: it is lost.
int64_t drop_for_reopen(const common_io_buf *v, int64_t total) {
    LOG_AS("cdev_buf_recv_iov", LOG_ERROR,
           "Drop %ld bytes of a message read before the device was reopened\n",
           static_cast<long>(total));
    report_lost_message(v);
    return 0;
}

// After 128 full slices the device ends the message with a short read (0 for
// a message of exactly 131072 bytes). Anything more makes it too long.
int64_t end_of_full_message(int fd, const common_io_buf *v, int64_t total, uint32_t generation) {
    device_read r = read_device(fd, skip_buf, sizeof(skip_buf));
    if (r.n <= 0 || r.unsure) {
        return total;
    }
    if (r.generation != generation) {
        carry(skip_buf, r);
        return total;
    }
    LOG_AS("cdev_buf_recv_iov", LOG_ERROR, "Drop too long message, length: more than %ld.\n",
           static_cast<long>(MAX_MESSAGE));
    report_lost_message(v);
    skipping = r.n == static_cast<int64_t>(sizeof(skip_buf));
    skip_generation = generation;
    return 0;
}

// One message into v's slices, one read per slice; see cdev_buf_recv_iov.
int64_t read_message(int fd, common_io_buf *v) {
    int64_t total = 0;
    uint32_t generation = 0;
    for (uint64_t i = 0; i < IOV_ARRAY_SIZE; ++i) {
        struct iovec &entry = v->iov[i];
        if (entry.iov_base == nullptr && !add_slice(&entry)) {
            return -1;
        }
        device_read r =
            i == 0 ? first_read(fd, &entry) : read_device(fd, entry.iov_base, entry.iov_len);
        if (r.n < 0) {
            // Failed after full slices: the message goes on on the device.
            if (i > 0) {
                lose_message(v, generation);
            }
            note_read_failure(fd, r.err);
            return -1;
        }
        log_repeat_end(&read_failures, "cdev_buf_recv_iov");
        if (r.unsure) {
            // Whose bytes these are cannot be told: they go, with the message.
            return i > 0 ? drop_for_reopen(v, total) : 0;
        }
        if (i == 0) {
            generation = r.generation;
        } else if (r.generation != generation) {
            // The new device's first bytes: they open the next message.
            carry(entry.iov_base, r);
            return drop_for_reopen(v, total);
        }
        total += r.n;
        if (r.n < static_cast<int64_t>(entry.iov_len)) {
            entry.iov_len = static_cast<size_t>(r.n);
            v->iov_cnt = i + 1;
            return total;
        }
    }
    v->iov_cnt = IOV_ARRAY_SIZE;
    return end_of_full_message(fd, v, total, generation);
}

}  // namespace

int64_t write_cdev_iov_locked(const struct iovec *entries, uint64_t count) {
    uint64_t too_large = 0;
    int copy_ret = EOK;
    return gather_and_write(entries, count, &too_large, &copy_ret);
}

namespace {

// One message for the send lock to write, with what must be logged after.
struct cdev_write {
    const struct iovec *entries;
    uint64_t count;
    uint64_t too_large = 0;
    int copy_ret = EOK;
};

int64_t write_under_send_lock(void *arg) {
    auto *w = static_cast<cdev_write *>(arg);
    if (g_cdev_writes_over.load()) {
        errno = ESHUTDOWN;
        return CDEV_ERR_NOT_SENT;
    }
    return gather_and_write(w->entries, w->count, &w->too_large, &w->copy_ret);
}

}  // namespace

int64_t write_cdev_iov(const struct iovec *entries, uint64_t count) {
    if (g_send_buf.load() == nullptr) {
        return CDEV_ERR_NO_BUFFER;
    }
    cdev_write w{entries, count};
    int64_t result = send_lock_run(write_under_send_lock, &w, is_control_message(entries, count));
    if (result == CDEV_ERR_TOO_LARGE) {
        LOG(LOG_ERROR, "too large message, current size is %ld\n", static_cast<long>(w.too_large));
        return result;
    }
    if (w.copy_ret != EOK) {
        LOG(LOG_ERROR, "Failed to copy memory, ret: %d, cnt: %lu\n", w.copy_ret,
            static_cast<unsigned long>(count));
        return result;
    }
    LOG(LOG_INFO, "CDEV send %ld bytes\n", static_cast<long>(result));
    return result;
}

int64_t write_cdev_buf(const void *buf, uint64_t len) {
    int64_t result = CDEV_ERR_NOT_SENT;
    {
        send_lock_guard lock;
        if (!g_cdev_writes_over.load()) {
            capture_buffer(CAPTURE_TO_CONTROLLER, buf, len);
            result = write_once(buf, len);
            // One attempt, but a device that failed is reopened for the next.
            if (result < 0 && cdev_failed(errno)) {
                reopen_cdev_locked();
            }
        } else {
            errno = ESHUTDOWN;
        }
    }
    LOG(LOG_INFO, "CDEV send %ld bytes\n", static_cast<long>(result));
    return result;
}

int64_t cdev_buf_recv_iov(int fd, common_io_buf *v) {
    int64_t result = -1;
    v->iov_cnt = IOV_ARRAY_SIZE;
    if (skip_rest_of_message(fd)) {
        result = read_message(fd, v);
    }
    v->total_len = result;
    return result;
}

int64_t cdev_read(int fd, void *buf, uint64_t len) {
    if (fd < 0) {
        // Callers tell the end of a message from a failure by errno.
        errno = EBADF;
        return -1;
    }
    return read(fd, buf, len);
}
