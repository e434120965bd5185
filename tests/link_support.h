// Helpers for the link and transport tests: the level a log line is written
// at, a device that records every message written to it, and messages as the
// controller sends them.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/conn_node.h"
#include "common/iov.h"
#include "common/msg_header.h"
#include "frame/log.h"
#include "link/recv_queue.h"
#include "tests/test_support.h"
#include "transport/device.h"

namespace test_support {

// Opens the log again, leaving out the lines below `level`.
inline void log_at(int level) {
    close_log();
    unsetenv("DEBUG_NETWORK");
    init_log(level);
}

// The level `line` is written at: the highest threshold at which `act` still
// writes it (-1: none). `act` runs once per threshold tried; the log is left
// open at every level.
inline int level_of(const std::string &line, const std::function<void()> &act) {
    int found = -1;
    for (int level = 2; level >= 0 && found < 0; --level) {
        log_at(level);
        size_t start = log_text().size();
        act();
        found = count_of(log_text().substr(start), line) > 0 ? level : -1;
    }
    log_at(0);
    return found;
}

// The bytes of the vector's filled slices, in order.
inline std::string as_string(const common_io_buf *v) {
    std::vector<uint8_t> b = gathered(v);
    return {b.begin(), b.end()};
}

inline std::mutex g_written_mu;
inline std::vector<std::string> g_written;  // every message written to the device

inline int64_t record_write(const struct iovec *entries, uint64_t count) {
    std::string msg;
    for (uint64_t i = 0; i < count; ++i) {
        msg.append(static_cast<const char *>(entries[i].iov_base), entries[i].iov_len);
    }
    std::lock_guard<std::mutex> lock(g_written_mu);
    g_written.push_back(msg);
    return static_cast<int64_t>(msg.size());
}

inline std::vector<std::string> written() {
    std::lock_guard<std::mutex> lock(g_written_mu);
    return g_written;
}

// Recognisable reserved bytes: any header byte the agent changes shows.
inline std::string header(uint8_t type, uint8_t protocol, uint16_t port, uint32_t local,
                          uint32_t peer, uint8_t source = 0) {
    msg_header h{type, source, htons(port), protocol, 0, 0, peer, local, {}};
    for (size_t i = 0; i < sizeof(h.reserved2); ++i) h.reserved2[i] = 0xA0 + i;
    return std::string(reinterpret_cast<const char *>(&h), sizeof(h));
}

// A message as the device reader delivers it: in BUFSIZE-byte slices.
inline common_io_buf *make_msg(const std::string &bytes) {
    common_io_buf *v = alloc_common_io_buf(0);
    uint64_t i = 0;
    for (size_t off = 0; off < bytes.size(); off += BUFSIZE, ++i) {
        v->iov[i].iov_len = std::min(bytes.size() - off, static_cast<size_t>(BUFSIZE));
        v->iov[i].iov_base = calloc(1, BUFSIZE);
        memcpy(v->iov[i].iov_base, bytes.data() + off, v->iov[i].iov_len);
    }
    v->iov_cnt = i;
    v->total_len = static_cast<int64_t>(bytes.size());
    return v;
}

// Plays the controller: the message waits in the receive queue.
inline void queue_msg(const std::string &bytes) {
    common_io_buf *v = make_msg(bytes);
    if (enqueue_msg(v) != 0) release_common_io_buf(v);  // no room: still ours
}

// Base of the link tests: 1024-byte slices, the recording device, an empty
// forward list and a scratch log; afterwards the queue is emptied (by a
// collector pass far in the future) and the device write put back.
class link_test : public ::testing::Test {
  protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        BUFSIZE = 1024;
        g_write_iov_func = record_write;
        g_written.clear();
        init_list(&g_forward_list);
    }
    void TearDown() override {
        garbage_collector_pass(g_queue_clock() + 100000);
        g_write_iov_func = saved_write_;
    }

    scratch_log log_;
    write_iov_func saved_write_ = g_write_iov_func;
};

}  // namespace test_support
