// net_cdev framing: one write carries one whole message; a message is read
// back as a run of reads of up to 1024 bytes ended by a shorter one.
#pragma once

#include <sys/uio.h>

#include <cstdint>

struct common_io_buf;

int64_t write_cdev_iov(const struct iovec *entries, uint64_t count);
// The same with the send lock held by the caller; logs nothing.
int64_t write_cdev_iov_locked(const struct iovec *entries, uint64_t count);
int64_t write_cdev_buf(const void *buf, uint64_t len);
int64_t cdev_buf_recv_iov(int fd, common_io_buf *v);
int64_t cdev_read(int fd, void *buf, uint64_t len);
