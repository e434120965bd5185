// The io vector: 128 scatter/gather entries over BUFSIZE-byte slices. Every
// message of a link lives in one; slice 0 starts with the message header. The
// record's address is the address of its entry array, so it can be handed to
// sendmsg and to the device writers as it is.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

constexpr uint64_t IOV_ARRAY_SIZE = 128;
constexpr uint64_t IOV_MAX_ALLOC = IOV_ARRAY_SIZE - 1;

// Slice size: 450 in USB mode (the default), 1024 in net_cdev mode. Fixed by
// setup_char_device before any io vector exists.
extern int BUFSIZE;

struct common_io_buf {
    struct iovec iov[IOV_ARRAY_SIZE];
    uint64_t iov_cnt;
    int64_t total_len;
    // Payload bytes of the message a client has taken already (a message
    // handed over part way).
    uint64_t sent_len;
};

static_assert(offsetof(common_io_buf, iov) == 0, "the record is its entry array");

// Io vectors and their slices are recycled, so the messages of a steady flow
// cost the allocator nothing; what the recycling keeps is bounded.
common_io_buf *alloc_common_io_buf(uint64_t count);
void free_iov(common_io_buf *v, uint64_t count);
// Gives back every slice and the record itself.
void release_common_io_buf(common_io_buf *v);
// A BUFSIZE-byte slice for an entry that has none: a recycled one (holding
// old bytes), or a new one zeroed; null when memory is out.
void *alloc_slice();
// Gives back the slices of v from entry `keep` on (a link gone idle after a
// burst holds one slice, not a whole message's worth).
void release_slices_from(common_io_buf *v, uint64_t keep);
void iov_reset(common_io_buf *v, uint64_t count, uint64_t length);
void *iov_reserve_buf(common_io_buf *v, int n);
void *iov_restore_buf(common_io_buf *v, int n);
