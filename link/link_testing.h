// Helpers for the link layer's tests: a device that records every message
// written to it, message builders, loopback sockets and a private log
// directory. Header-only; used by test programs, never by the agent.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/iov.h"
#include "common/msg_header.h"
#include "frame/log.h"
#include "link/recv_queue.h"

namespace link_testing {

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
    enqueue_msg(&g_p_recv_msg_list, make_msg(h, payload));
}

// Frees every queued message (one collector pass far in the future).
inline void drain_queue() {
    garbage_collector_pass(g_queue_clock() + 100 * MSG_TIMEOUT);
}

inline bool wait_until(const std::function<bool()> &cond, int timeout_ms = 3000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A socket bound to 127.0.0.1 on a free port; listening when it is TCP.
inline int bound_socket(int type, uint16_t *port) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    *port = ntohs(addr.sin_port);
    if (type == SOCK_STREAM) {
        listen(fd, 5);
    }
    return fd;
}

inline int connect_loopback(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
    return fd;
}

// A connected loopback TCP pair: {client, agent side}.
inline std::pair<int, int> tcp_pair() {
    uint16_t port = 0;
    int lfd = bound_socket(SOCK_STREAM, &port);
    int client = connect_loopback(port);
    int agent = accept(lfd, nullptr, nullptr);
    close(lfd);
    return {client, agent};
}

// Reads until `n` bytes arrived, the peer closed, or the time ran out.
inline std::string recv_bytes(int fd, size_t n, int timeout_ms = 3000) {
    std::string out;
    char buf[4096];
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) {
            break;
        }
        ssize_t r = recv(fd, buf, std::min(sizeof(buf), n - out.size()), 0);
        if (r <= 0) {
            break;
        }
        out.append(buf, static_cast<size_t>(r));
    }
    return out;
}

// True when the peer has closed the connection within the time.
inline bool peer_closed(int fd, int timeout_ms = 3000) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) {
        return false;
    }
    char c;
    return recv(fd, &c, 1, MSG_DONTWAIT) == 0;
}

inline size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
        ++n;
    }
    return n;
}

// The log of this test program in a fresh directory, at level 0.
class log_dir {
  public:
    log_dir() {
        old_cwd_ = std::filesystem::current_path();
        char tmpl[] = "/tmp/link_test.XXXXXX";
        dir_ = mkdtemp(tmpl);
        std::filesystem::create_directory(dir_ / "log");
        std::filesystem::current_path(dir_);
        setenv("DEBUG_NETWORK", "", 1);
        init_log(LOG_ERROR);
    }
    ~log_dir() {
        close_log();
        std::filesystem::current_path(old_cwd_);
        std::filesystem::remove_all(dir_);
    }
    log_dir(const log_dir &) = delete;
    log_dir &operator=(const log_dir &) = delete;

    std::string text() const {
        std::string out;
        for (const auto &f : std::filesystem::directory_iterator(dir_ / "log")) {
            std::ifstream in(f.path());
            std::stringstream ss;
            ss << in.rdbuf();
            out += ss.str();
        }
        return out;
    }

  private:
    std::filesystem::path old_cwd_;
    std::filesystem::path dir_;
};

}  // namespace link_testing
