// net_cdev framing: a message goes to the device in one write and comes back
// as 1024-byte reads ended by a shorter one. See net_cdev.h.
#include "transport/net_cdev.h"

#include <unistd.h>

#include <cerrno>

#include "bounded/securec.h"
#include "common/iov.h"
#include "frame/log.h"
#include "socket/stream_io.h"
#include "transport/device.h"

namespace {

constexpr int64_t CDEV_ERR_NOT_SENT = -1;
constexpr int64_t CDEV_ERR_TOO_LARGE = -E2BIG;
constexpr int64_t CDEV_ERR_NO_BUFFER = -ENOMEM;

// One write of `len` bytes to the device, or -1 when it is not open. The
// caller holds the send lock.
int64_t write_whole(const void *buf, uint64_t len) {
    int fd = g_cdev_fd.load();
    if (fd < 0) {
        return CDEV_ERR_NOT_SENT;
    }
    return write(fd, buf, len);
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
    return write_whole(send_buf, total);
}

}  // namespace

int64_t write_cdev_iov(const struct iovec *entries, uint64_t count) {
    if (g_send_buf.load() == nullptr) {
        return CDEV_ERR_NO_BUFFER;
    }
    uint64_t too_large = 0;
    int copy_ret = EOK;
    int64_t result;
    {
        send_lock_guard lock;
        result = gather_and_write(entries, count, &too_large, &copy_ret);
    }
    if (result == CDEV_ERR_TOO_LARGE) {
        LOG(LOG_ERROR, "too large message, current size is %ld\n", static_cast<long>(too_large));
        return result;
    }
    if (copy_ret != EOK) {
        LOG(LOG_ERROR, "Failed to copy memory, ret: %d, cnt: %lu\n", copy_ret,
            static_cast<unsigned long>(count));
        return result;
    }
    LOG(LOG_INFO, "CDEV send %ld bytes\n", static_cast<long>(result));
    return result;
}

int64_t write_cdev_buf(const void *buf, uint64_t len) {
    int64_t result;
    {
        send_lock_guard lock;
        result = write_whole(buf, len);
    }
    LOG(LOG_INFO, "CDEV send %ld bytes\n", static_cast<long>(result));
    return result;
}

int64_t cdev_buf_recv_iov(int fd, common_io_buf *v) {
    v->iov_cnt = IOV_ARRAY_SIZE;
    int64_t result = fd_read_all_data(fd, cdev_read, v, &v->iov_cnt);
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
