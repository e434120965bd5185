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
int g_connect_mode = CONNECT_MODE_USB;
write_iov_func g_write_iov_func = write_iov_to_usb;
read_iov_func g_read_iov_func = read_iov_from_usb;
std::atomic<uint8_t> g_record_log{1};
std::atomic<uint8_t *> g_send_buf{nullptr};
void (*g_lost_message_func)(const common_io_buf *partial) = nullptr;

namespace {

constexpr int64_t SEND_BUF_FREE_WAIT_MS = 1000;
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

}  // namespace

bool setup_char_device(const char *path, int min_fd) {
    size_t path_len = path == nullptr ? 0 : strlen(path);
    if (path != nullptr && is_device_path(path, path_len, NET_CDEV_PATH)) {
        select_net_cdev_mode();
    } else if (path == nullptr || !is_device_path(path, path_len, USB_CDEV_PATH)) {
        LOG(LOG_ERROR, "Failed to open %s, error code: %d\n", path == nullptr ? "" : path, errno);
        return false;
    }

    int fd = open(path, O_RDWR | O_EXCL | O_APPEND);
    int open_errno = errno;
    g_cdev_fd.store(fd);
    if (fd >= min_fd) {
        if (g_connect_mode == CONNECT_MODE_NET_CDEV && !cdev_init_send_buf()) {
            LOG(LOG_ERROR, "Failed to init send buf\n");
            return false;
        }
        g_record_log.store(1);
        LOG(LOG_INFO, "Open %s successfully, fd: %d\n", path, g_cdev_fd.load());
        return true;
    }
    if (g_record_log.load() != 0) {
        LOG(LOG_ERROR, "Failed to open %s, error code: %d\n", path, open_errno);
    }
    g_record_log.store(0);
    return false;
}

void report_lost_message(const common_io_buf *partial) {
    bool header_read =
        partial->iov[0].iov_base != nullptr && partial->iov[0].iov_len >= MSG_HEADER_SIZE;
    if (header_read && g_lost_message_func != nullptr) {
        g_lost_message_func(partial);
    }
}

bool cdev_gone(int err) {
    return err == EBADF || err == ENODEV || err == ENOENT;
}

void reopen_cdev_locked() {
    int fd = g_cdev_fd.load();
    if (fd >= 0) {
        close(fd);
        g_cdev_fd.store(-1);
    }
    // The mode never changes, so neither does the path.
    setup_char_device(g_connect_mode == CONNECT_MODE_NET_CDEV ? NET_CDEV_PATH : USB_CDEV_PATH, 0);
    ++g_cdev_generation;
    msleep(REOPEN_PAUSE_MS);
}

void reopen_cdev(uint32_t generation) {
    send_lock_guard lock;
    if (g_cdev_generation.load() == generation) {
        reopen_cdev_locked();
    }
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
    if (!send_lock_acquire_until(monotonic_ms() + SEND_BUF_FREE_WAIT_MS)) {
        return;
    }
    uint8_t *buf = g_send_buf.exchange(nullptr);
    send_lock_release();
    free(buf);
}
