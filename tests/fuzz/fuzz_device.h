// What the fuzz targets of the link layer share: a device that records what
// the agent writes, messages as the device reader delivers them, and a
// receive queue emptied between inputs.
#pragma once

#include <sys/uio.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/iov.h"
#include "common/msg_header.h"
#include "link/recv_queue.h"
#include "transport/device.h"

namespace fuzz {

inline std::vector<std::string> &written() {
    static std::vector<std::string> messages;
    return messages;
}

// From now on the agent's writes to the device land in an empty written().
inline void record_writes() {
    g_write_iov_func = [](const struct iovec *entries, uint64_t count) {
        std::string msg;
        for (uint64_t i = 0; i < count; ++i)
            msg.append(static_cast<const char *>(entries[i].iov_base), entries[i].iov_len);
        written().push_back(msg);
        return static_cast<int64_t>(msg.size());
    };
    written().clear();
}

// The header and payload in BUFSIZE-byte slices; slice 0 holds `first` bytes
// when that is smaller (a header split over slices is malformed).
inline common_io_buf *device_message(const msg_header &h, const std::vector<uint8_t> &payload,
                                     size_t first = SIZE_MAX) {
    std::string bytes(reinterpret_cast<const char *>(&h), sizeof(h));
    bytes.append(payload.begin(), payload.end());
    common_io_buf *v = alloc_common_io_buf(0);
    size_t off = 0;
    uint64_t i = 0;
    for (const size_t slice = BUFSIZE; off < bytes.size() && i < IOV_ARRAY_SIZE; ++i) {
        const size_t n = std::min(bytes.size() - off, i ? slice : std::min(first, slice));
        v->iov[i].iov_base = calloc(1, BUFSIZE);
        memcpy(v->iov[i].iov_base, bytes.data() + off, n);
        v->iov[i].iov_len = n;
        off += n;
    }
    v->iov_cnt = i;
    v->total_len = static_cast<int64_t>(off);
    return v;
}

// Frees everything still queued and forgets every id.
inline void empty_queue() {
    while (common_io_buf *v = read_cdev_iov(0)) release_common_io_buf(v);
    garbage_collector_pass(g_queue_clock() + 100 * MSG_TIMEOUT);
}

}  // namespace fuzz
