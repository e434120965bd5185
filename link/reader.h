// The device reader: the only thread that reads the device. It queues every
// message it reads (recv_queue.h) and brings back a device that went away.
#pragma once

#include <atomic>

struct common_io_buf;

// Outcome of one pass of the reader.
enum class read_result {
    MESSAGE,  // a message was read (and queued, or dropped by the queue's rules)
    IDLE,     // the device had nothing within the wait
    NOTHING,  // the read gave nothing usable
    FAILED,   // the read failed: errno tells why
};

void *read_thread(void *fd_address);
// One turn of the reader's loop: a message read and queued, or a device that
// failed handed to the device keeper. Never waits for the send lock.
void read_thread_pass(const std::atomic<int> *fd_var, common_io_buf **held);
// One pass of the reader on descriptor `fd`. `held` is the io vector the
// reader keeps between passes (null when the queue took the last one).
read_result read_one_message(int fd, common_io_buf **held);
