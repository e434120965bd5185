// The device reader thread. See reader.h.
#include "link/reader.h"

#include <atomic>
#include <cerrno>

#include "common/iov.h"
#include "common/link_stats.h"
#include "common/msg_header.h"
#include "common/progress.h"
#include "frame/log.h"
#include "frame/util.h"
#include "link/close_notice.h"
#include "link/recv_queue.h"
#include "socket/stream_io.h"
#include "transport/capture.h"
#include "transport/device.h"

namespace {

// The wait for the device is bounded, so that a descriptor replaced by a
// writer's reopen is never waited on for good.
constexpr int DEVICE_WAIT_MS = 1000;
// While the device is away the reader asks for it this often.
constexpr unsigned int REOPEN_RETRY_MS = 100;
// After a failed read the reader waits this long at most for the reopen,
// so that it never reads on in the old device's place.
constexpr unsigned int REOPEN_WAIT_MS = 1000;

}  // namespace

read_result read_one_message(int fd, common_io_buf **held) {
    if (poll_one_fd(fd, DEVICE_WAIT_MS) == 0) {
        return read_result::IDLE;
    }
    if (*held == nullptr) {
        *held = alloc_common_io_buf(1);
        if (*held == nullptr) {
            return read_result::NOTHING;
        }
    } else {
        iov_reset(*held, IOV_ARRAY_SIZE, BUFSIZE);
        (*held)->sent_len = 0;
    }
    common_io_buf *v = *held;
    int64_t n = g_read_iov_func(fd, v);
    if (n < 0) {
        return read_result::FAILED;
    }
    if (n == 0) {
        return read_result::NOTHING;
    }
    LOG_AS("read_thread", LOG_INFO, "fd %d received %ld bytes, iov_cnt: %lu.\n", fd, v->total_len,
           v->iov_cnt);
    capture_message(CAPTURE_FROM_CONTROLLER, v->iov, v->iov_cnt);
    if (n < static_cast<int64_t>(MSG_HEADER_SIZE)) {
        LOG_AS("read_thread", LOG_ERROR, "Drop too short message, length: %lu.\n", n);
        tally(g_link_counters.lost[LOST_TOO_SHORT]);
        return read_result::MESSAGE;
    }
    // A message the queue cannot take is dropped, and one its client took at
    // once is done: the vector is reused.
    if (enqueue_msg(v) == 0) {
        *held = nullptr;
    }
    return read_result::MESSAGE;
}

void read_thread_pass(const std::atomic<int> *fd_var, common_io_buf **held) {
    // The generation first: a reopen between the two loads then costs one
    // more pass, never a needless reopen of the fresh device.
    uint32_t generation = g_cdev_generation.load();
    int fd = fd_var->load();
    // The reader never writes nor waits for the send lock: the device keeper
    // reopens a device that is away or failed.
    if (fd < 0) {
        request_cdev_reopen(generation);
        msleep(REOPEN_RETRY_MS);
        return;
    }
    read_result r = read_one_message(fd, held);
    if (r == read_result::FAILED && cdev_failed(errno)) {
        request_cdev_reopen(generation);
        wait_cdev_reopen(generation, REOPEN_WAIT_MS);
    } else if (r == read_result::FAILED || r == read_result::NOTHING) {
        // A device that answers with nothing must not spin the reader.
        msleep(SLEEP_TIME);
    }
}

void *read_thread(void *fd_address) {
    pthread_detach(pthread_self());
    auto *fd_var = static_cast<std::atomic<int> *>(fd_address);
    common_io_buf *held = nullptr;
    g_lost_message_func = queue_lose_message;
    g_device_back_func = retry_deferred_closes;
    for (;;) {
        mark_progress(g_progress.reader_ms);
        read_thread_pass(fd_var, &held);
    }
    return nullptr;
}
