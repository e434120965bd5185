// Helpers for the link layer's tests: a device that records every message
// written to it, and message builders that play the controller.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/conn_node.h"
#include "common/iov.h"
#include "common/msg_header.h"
#include "link/recv_queue.h"
#include "tests/test_support.h"
#include "transport/device.h"

namespace test_support {

// The device as the tests see it: every message written, in order.
struct recorded_device {
    std::mutex mu;
    std::vector<std::string> messages;
};

inline recorded_device &device() {
    static recorded_device d;
    return d;
}

inline int64_t record_write(const struct iovec *entries, uint64_t count) {
    std::string msg;
    for (uint64_t i = 0; i < count; ++i) {
        msg.append(static_cast<const char *>(entries[i].iov_base), entries[i].iov_len);
    }
    std::lock_guard<std::mutex> lock(device().mu);
    device().messages.push_back(msg);
    return static_cast<int64_t>(msg.size());
}

inline int64_t failing_write(const struct iovec *, uint64_t) {
    errno = EIO;
    return -1;
}

inline std::vector<std::string> written() {
    std::lock_guard<std::mutex> lock(device().mu);
    return device().messages;
}

inline void clear_written() {
    std::lock_guard<std::mutex> lock(device().mu);
    device().messages.clear();
}

inline msg_header make_header(uint8_t type, uint8_t protocol, uint16_t port, uint32_t local,
                              uint32_t peer) {
    msg_header h;
    memset(&h, 0, sizeof(h));
    h.type = type;
    h.protocol = protocol;
    h.port = htons(port);
    h.local_link_id = local;
    h.peer_link_id = peer;
    for (size_t i = 0; i < sizeof(h.reserved2); ++i) {
        h.reserved2[i] = static_cast<uint8_t>(0xA0 + i);
    }
    return h;
}

inline std::string wire(const msg_header &h) {
    return std::string(reinterpret_cast<const char *>(&h), sizeof(h));
}

inline msg_header header_of(const std::string &bytes) {
    msg_header h;
    memcpy(&h, bytes.data(), sizeof(h));
    return h;
}

// A message as the device reader delivers it: header and payload spread
// over BUFSIZE-byte slices.
inline common_io_buf *make_msg(const msg_header &h, const std::string &payload = "") {
    std::string bytes = wire(h) + payload;
    common_io_buf *v = alloc_common_io_buf(1);
    size_t off = 0;
    uint64_t i = 0;
    while (off < bytes.size()) {
        if (v->iov[i].iov_base == nullptr) {
            v->iov[i].iov_base = calloc(1, BUFSIZE);
        }
        size_t n = std::min(bytes.size() - off, static_cast<size_t>(BUFSIZE));
        memcpy(v->iov[i].iov_base, bytes.data() + off, n);
        v->iov[i].iov_len = n;
        off += n;
        ++i;
    }
    v->iov_cnt = i;
    v->total_len = static_cast<int64_t>(bytes.size());
    return v;
}

// Plays the controller: the message waits in the receive queue.
inline void queue_msg(const msg_header &h, const std::string &payload = "") {
    common_io_buf *v = make_msg(h, payload);
    if (enqueue_msg(v) != 0) {
        release_common_io_buf(v);  // no room: the message is the caller's
    }
}

// Frees every queued message (one collector pass far in the future).
inline void drain_queue() {
    garbage_collector_pass(g_queue_clock() + 100 * MSG_TIMEOUT);
}

// Base of the link tests: 1024-byte slices, the recording device, an empty
// forward list and a scratch log; afterwards the receive queue is emptied
// and the device write put back.
class link_test : public ::testing::Test {
  protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        BUFSIZE = 1024;
        saved_write_ = g_write_iov_func;
        g_write_iov_func = record_write;
        clear_written();
        init_list(&g_forward_list);
    }
    void TearDown() override {
        drain_queue();
        g_write_iov_func = saved_write_;
    }
    // True when every link has ended and freed its node within the time.
    static bool links_gone() {
        return wait_until([] { return get_list_head(&g_forward_list) == nullptr; });
    }

    scratch_log log_;
    write_iov_func saved_write_ = nullptr;
};

}  // namespace test_support
