// Socket and pattern helpers of cdev_probe.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/controller/controller.h"
#include "tools/controller/probe.h"

namespace probe {
namespace {

// The pattern repeats with a prime period, so it never lines up with the
// sizes of writes and reads; the table holds one period plus the largest
// piece taken at once.
constexpr size_t PATTERN_PERIOD = 1048573;
constexpr size_t PATTERN_PIECE = 256 * 1024;
constexpr time_t STALL_LIMIT_S = 20;

// CDEV_PROBE_STALL_S overrides the limit: thousands of links sharing a slow
// device each move a few KiB a second, and a link that has sent its whole
// upload into socket buffers waits that long for the answer.
time_t stall_limit_s() {
    const char *text = getenv("CDEV_PROBE_STALL_S");
    long s = text != nullptr ? strtol(text, nullptr, 10) : 0;
    return s > 0 ? static_cast<time_t>(s) : STALL_LIMIT_S;
}

const uint8_t *pattern_table() {
    static const Bytes table = [] {
        Bytes t(PATTERN_PERIOD + PATTERN_PIECE);
        for (size_t i = 0; i < t.size(); ++i) {
            uint64_t x = (i % PATTERN_PERIOD) * 0x9E3779B97F4A7C15ULL;
            t[i] = static_cast<uint8_t>(x >> 56);
        }
        return t;
    }();
    return table.data();
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

}  // namespace

void fill_pattern(uint8_t *p, size_t n, uint64_t at) {
    while (n > 0) {
        size_t piece = std::min(n, PATTERN_PIECE);
        memcpy(p, pattern_table() + at % PATTERN_PERIOD, piece);
        p += piece;
        at += piece;
        n -= piece;
    }
}

bool matches_pattern(const uint8_t *p, size_t n, uint64_t at) {
    while (n > 0) {
        size_t piece = std::min(n, PATTERN_PIECE);
        if (memcmp(p, pattern_table() + at % PATTERN_PERIOD, piece) != 0) {
            return false;
        }
        p += piece;
        at += piece;
        n -= piece;
    }
    return true;
}

bool send_all(int fd, const uint8_t *p, size_t n) {
    while (n > 0) {
        ssize_t r = send(fd, p, n, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool recv_all(int fd, uint8_t *p, size_t n) {
    while (n > 0) {
        ssize_t r = recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool send_command(int fd, uint8_t command, uint64_t count, uint32_t chunk) {
    uint8_t bytes[COMMAND_SIZE];
    bytes[0] = command;
    memcpy(bytes + 1, &count, sizeof(count));
    memcpy(bytes + 1 + sizeof(count), &chunk, sizeof(chunk));
    return send_all(fd, bytes, command == CMD_ECHO ? 1 : sizeof(bytes));
}

int listen_on(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    sockaddr_in addr = loopback(port);
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
        bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 || listen(fd, 4096) != 0) {
        perror("listen");
        exit(1);
    }
    return fd;
}

int connect_to(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopback(port);
    // A link that stops moving fails the measure instead of holding it up.
    timeval stall{stall_limit_s(), 0};
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &stall, sizeof(stall)) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &stall, sizeof(stall)) != 0 ||
        connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        fprintf(stderr, "connect to 127.0.0.1:%u: %s\n", port, strerror(errno));
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return fd;
}

bool send_link_request(int fd, uint16_t controller_port) {
    uint8_t request[ctl::HEADER_SIZE] = {};
    request[0] = ctl::TYPE_REQUEST;
    request[1] = 1;  // from the host
    ctl::set_header_port(request, controller_port);
    return send_all(fd, request, sizeof(request));
}

bool recv_link_response(int fd, Bytes *response) {
    response->assign(ctl::HEADER_SIZE, 0);
    if (!recv_all(fd, response->data(), response->size()) || (*response)[0] != ctl::TYPE_RESPONSE) {
        fprintf(stderr, "the agent refused a link\n");
        return false;
    }
    return true;
}

bool request_link(int fd, uint16_t controller_port, Bytes *response) {
    return send_link_request(fd, controller_port) && recv_link_response(fd, response);
}

int open_link(const Target &t, Bytes *response) {
    int fd = connect_to(t.port);
    if (fd < 0 || t.controller_port < 0) {
        return fd;
    }
    Bytes ignored;
    if (!request_link(fd, static_cast<uint16_t>(t.controller_port),
                      response != nullptr ? response : &ignored)) {
        close(fd);
        return -1;
    }
    return fd;
}

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

}  // namespace probe
