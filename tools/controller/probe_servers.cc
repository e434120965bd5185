// The services cdev_probe plays (echo and bench) and its talk client.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <thread>

#include "tools/controller/controller.h"
#include "tools/controller/probe.h"

namespace probe {
namespace {

constexpr size_t ECHO_BUFFER = 64 * 1024;
constexpr size_t MAX_CHUNK = 1024 * 1024;

void echo_connection(int fd) {
    Bytes buf(ECHO_BUFFER);
    while (true) {
        ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0 || !send_all(fd, buf.data(), static_cast<size_t>(n))) {
            break;
        }
    }
    close(fd);
}

bool sink(int fd, uint64_t total, Bytes *buf) {
    uint64_t got = 0;
    bool intact = true;
    while (got < total) {
        ssize_t n = recv(fd, buf->data(), std::min<uint64_t>(buf->size(), total - got), 0);
        if (n <= 0) {
            break;
        }
        intact = intact && matches_pattern(buf->data(), static_cast<size_t>(n), got);
        got += static_cast<uint64_t>(n);
    }
    uint64_t answer[2] = {got, intact && got == total ? 1u : 0u};
    return got == total && send_all(fd, reinterpret_cast<uint8_t *>(answer), sizeof(answer));
}

bool send_pattern(int fd, uint64_t total, Bytes *buf) {
    for (uint64_t sent = 0; sent < total;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(buf->size(), total - sent));
        fill_pattern(buf->data(), n, sent);
        if (!send_all(fd, buf->data(), n)) {
            return false;
        }
        sent += n;
    }
    return true;
}

// Commands until the client closes; see probe.h.
void bench_connection(int fd) {
    uint8_t command[COMMAND_SIZE];
    bool ok = true;
    while (ok && recv_all(fd, command, 1)) {
        if (command[0] == CMD_ECHO) {
            echo_connection(fd);
            return;
        }
        uint64_t total;
        uint32_t chunk;
        if (!recv_all(fd, command + 1, COMMAND_SIZE - 1)) {
            break;
        }
        memcpy(&total, command + 1, sizeof(total));
        memcpy(&chunk, command + 1 + sizeof(total), sizeof(chunk));
        Bytes buf(std::clamp<size_t>(chunk, 1, MAX_CHUNK));
        ok = command[0] == CMD_SINK   ? sink(fd, total, &buf)
             : command[0] == CMD_SEND ? send_pattern(fd, total, &buf)
                                      : false;
    }
    close(fd);
}

[[noreturn]] void serve(uint16_t port, void (*handle)(int)) {
    int lfd = listen_on(port);
    while (true) {
        int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        std::thread(handle, fd).detach();
    }
}

}  // namespace

void serve_echo(uint16_t port) {
    serve(port, echo_connection);
}

void serve_bench(uint16_t port) {
    serve(port, bench_connection);
}

int talk(const Target &t, const std::string &text, size_t total) {
    Bytes response;
    int fd = open_link(t, &response);
    if (fd < 0) {
        return 1;
    }
    if (t.controller_port >= 0) {
        printf("response from the controller: type %u, link 0x%08x/0x%08x\n", response[0],
               ctl::printable_id(ctl::header_local_id(response.data())),
               ctl::printable_id(ctl::header_peer_id(response.data())));
    }
    Bytes data(std::max(total, text.size()));
    memcpy(data.data(), text.data(), text.size());
    fill_pattern(data.data() + text.size(), data.size() - text.size(), 0);
    Bytes echo(data.size());
    // The echo is read while sending, so neither side's buffers fill up.
    std::atomic<bool> got_all{false};
    std::thread reader([&] { got_all = recv_all(fd, echo.data(), echo.size()); });
    bool sent = send_all(fd, data.data(), data.size());
    reader.join();
    close(fd);
    uint64_t sum_sent = ctl::checksum_update(ctl::CHECKSUM_START, data.data(), data.size());
    uint64_t sum_back = ctl::checksum_update(ctl::CHECKSUM_START, echo.data(), echo.size());
    printf("sent     %zu bytes, checksum %016" PRIx64 "\n", data.size(), sum_sent);
    printf("received %zu bytes, checksum %016" PRIx64 " %s\n", got_all ? echo.size() : size_t{0},
           sum_back, sent && got_all && sum_back == sum_sent ? "(same)" : "(DIFFERENT)");
    printf("first line back: %.*s\n", static_cast<int>(std::min(text.size(), echo.size())),
           echo.data());
    return sent && got_all && echo == data ? 0 : 1;
}

}  // namespace probe
