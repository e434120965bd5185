// cdev_probe: the small client and services the demo and the benchmark
// script drive tunnels with.
//   cdev_probe echo-server <port>
//       echoes every connection on 127.0.0.1:<port> until killed
//   cdev_probe bench-server <port>
//       per connection, a first byte 'E' echoes, 'S' + 8-byte length sinks
//       that many bytes and answers with 16 bytes (count, checksum), 'D' +
//       8-byte length sends that many bytes
//   cdev_probe talk <port> [--header P] <text> <bytes>
//       connects to 127.0.0.1:<port> (through the agent with --header: the
//       32-byte request for controller port P first, the 32-byte response
//       back), sends <text> and pattern bytes up to <bytes> in all, reads the
//       echo, prints bytes and checksums each way; status 0 when they match
//   cdev_probe bench <port> [--header P] upload|download <bytes>
//   cdev_probe bench <port> [--header P] latency <rounds> <size>
//   cdev_probe bench <port> [--header P] parallel <links> <bytes>
//       against a bench-server; prints one line of key=value figures
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tools/controller/controller.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr size_t CHUNK = 256 * 1024;

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// Deterministic bytes for offset `at` of a transfer.
void fill_pattern(uint8_t *p, size_t n, uint64_t at) {
    for (size_t i = 0; i < n; ++i) {
        uint64_t x = (at + i) * 0x9E3779B97F4A7C15ULL;
        p[i] = static_cast<uint8_t>(x >> 56);
    }
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

int listen_on(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
        bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 || listen(fd, 512) != 0) {
        perror("listen");
        exit(1);
    }
    return fd;
}

// Connects to 127.0.0.1:port; with a controller port, asks the agent for a
// link first. -1 on failure (reason on stderr).
int open_link(uint16_t port, int controller_port, Bytes *response) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        fprintf(stderr, "connect to 127.0.0.1:%u: %s\n", port, strerror(errno));
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (controller_port < 0) {
        return fd;
    }
    uint8_t request[ctl::HEADER_SIZE] = {};
    request[0] = ctl::TYPE_REQUEST;
    request[1] = 1;  // from the host
    ctl::set_header_port(request, static_cast<uint16_t>(controller_port));
    response->assign(ctl::HEADER_SIZE, 0);
    if (!send_all(fd, request, sizeof(request)) ||
        !recv_all(fd, response->data(), response->size()) || (*response)[0] != ctl::TYPE_RESPONSE) {
        fprintf(stderr, "the agent refused the link to controller port %d\n", controller_port);
        close(fd);
        return -1;
    }
    return fd;
}

void echo_connection(int fd) {
    std::vector<uint8_t> buf(CHUNK);
    while (true) {
        ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0 || !send_all(fd, buf.data(), static_cast<size_t>(n))) {
            break;
        }
    }
    close(fd);
}

void bench_connection(int fd) {
    uint8_t command[9];
    if (!recv_all(fd, command, 1)) {
        close(fd);
        return;
    }
    if (command[0] == 'E') {
        echo_connection(fd);
        return;
    }
    uint64_t total = 0;
    if (!recv_all(fd, command + 1, 8)) {
        close(fd);
        return;
    }
    memcpy(&total, command + 1, 8);
    std::vector<uint8_t> buf(CHUNK);
    if (command[0] == 'S') {
        uint64_t got = 0;
        uint64_t sum = ctl::CHECKSUM_START;
        while (got < total) {
            ssize_t n = recv(fd, buf.data(), std::min<uint64_t>(buf.size(), total - got), 0);
            if (n <= 0) {
                break;
            }
            sum = ctl::checksum_update(sum, buf.data(), static_cast<size_t>(n));
            got += static_cast<uint64_t>(n);
        }
        uint64_t answer[2] = {got, sum};
        send_all(fd, reinterpret_cast<uint8_t *>(answer), sizeof(answer));
    } else if (command[0] == 'D') {
        for (uint64_t sent = 0; sent < total;) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), total - sent));
            fill_pattern(buf.data(), n, sent);
            if (!send_all(fd, buf.data(), n)) {
                break;
            }
            sent += n;
        }
        recv(fd, buf.data(), 1, 0);  // the client closes when it has everything
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

int talk(uint16_t port, int controller_port, const std::string &text, size_t total) {
    Bytes response;
    int fd = open_link(port, controller_port, &response);
    if (fd < 0) {
        return 1;
    }
    if (controller_port >= 0) {
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

bool send_command(int fd, char command, uint64_t value) {
    uint8_t bytes[9];
    bytes[0] = static_cast<uint8_t>(command);
    memcpy(bytes + 1, &value, 8);
    return send_all(fd, bytes, command == 'E' ? 1 : sizeof(bytes));
}

struct Transfer {
    uint64_t bytes = 0;
    bool intact = false;
};

// Sends `total` pattern bytes to a sink and checks its count and checksum.
Transfer upload(int fd, uint64_t total) {
    std::vector<uint8_t> buf(CHUNK);
    uint64_t sum = ctl::CHECKSUM_START;
    if (!send_command(fd, 'S', total)) {
        return {};
    }
    for (uint64_t sent = 0; sent < total;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), total - sent));
        fill_pattern(buf.data(), n, sent);
        sum = ctl::checksum_update(sum, buf.data(), n);
        if (!send_all(fd, buf.data(), n)) {
            return {};
        }
        sent += n;
    }
    uint64_t answer[2] = {0, 0};
    if (!recv_all(fd, reinterpret_cast<uint8_t *>(answer), sizeof(answer))) {
        return {};
    }
    return {answer[0], answer[0] == total && answer[1] == sum};
}

// Asks for `total` pattern bytes and checks every one of them.
Transfer download(int fd, uint64_t total) {
    std::vector<uint8_t> buf(CHUNK);
    std::vector<uint8_t> expect(CHUNK);
    Transfer t;
    t.intact = send_command(fd, 'D', total);
    while (t.bytes < total) {
        ssize_t n = recv(fd, buf.data(), std::min<uint64_t>(buf.size(), total - t.bytes), 0);
        if (n <= 0) {
            break;
        }
        fill_pattern(expect.data(), static_cast<size_t>(n), t.bytes);
        t.intact = t.intact && memcmp(buf.data(), expect.data(), static_cast<size_t>(n)) == 0;
        t.bytes += static_cast<uint64_t>(n);
    }
    t.intact = t.intact && t.bytes == total;
    return t;
}

int report(const char *what, Transfer t, Clock::time_point start) {
    double s = seconds_since(start);
    printf("%s bytes=%" PRIu64 " seconds=%.3f mb_per_s=%.1f intact=%d\n", what, t.bytes, s,
           static_cast<double>(t.bytes) / s / 1e6, t.intact);
    return t.intact ? 0 : 1;
}

int bench_latency(int fd, int rounds, size_t size) {
    send_command(fd, 'E', 0);
    std::vector<uint8_t> out(size);
    std::vector<uint8_t> in(size);
    std::vector<double> us;
    us.reserve(static_cast<size_t>(rounds));
    for (int i = 0; i < rounds; ++i) {
        fill_pattern(out.data(), size, static_cast<uint64_t>(i));
        Clock::time_point start = Clock::now();
        if (!send_all(fd, out.data(), size) || !recv_all(fd, in.data(), size) || in != out) {
            fprintf(stderr, "round %d failed\n", i);
            return 1;
        }
        us.push_back(seconds_since(start) * 1e6);
    }
    std::sort(us.begin(), us.end());
    auto at = [&](double q) {
        return us[static_cast<size_t>(q * static_cast<double>(us.size() - 1))];
    };
    printf("latency rounds=%d size=%zu p50_us=%.0f p99_us=%.0f max_us=%.0f\n", rounds, size,
           at(0.50), at(0.99), us.back());
    return 0;
}

// Many links at once: half of them upload `bytes`, the other half download.
int bench_parallel(uint16_t port, int controller_port, int links, uint64_t bytes) {
    std::atomic<int> failed{0};
    std::atomic<uint64_t> carried{0};
    std::vector<std::thread> threads;
    Clock::time_point start = Clock::now();
    for (int i = 0; i < links; ++i) {
        threads.emplace_back([&, i] {
            Bytes response;
            int fd = open_link(port, controller_port, &response);
            Transfer t;
            if (fd >= 0) {
                t = i % 2 == 0 ? upload(fd, bytes) : download(fd, bytes);
                close(fd);
            }
            carried += t.bytes;
            failed += t.intact ? 0 : 1;
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    double s = seconds_since(start);
    printf("parallel links=%d failed=%d bytes=%" PRIu64 " seconds=%.3f mb_per_s=%.1f\n", links,
           failed.load(), carried.load(), s, static_cast<double>(carried.load()) / s / 1e6);
    return failed == 0 ? 0 : 1;
}

int usage() {
    fprintf(stderr,
            "usage: cdev_probe echo-server <port>\n"
            "       cdev_probe bench-server <port>\n"
            "       cdev_probe talk <port> [--header P] <text> <bytes>\n"
            "       cdev_probe bench <port> [--header P] upload|download <bytes>\n"
            "       cdev_probe bench <port> [--header P] latency <rounds> <size>\n"
            "       cdev_probe bench <port> [--header P] parallel <links> <bytes>\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() < 2) {
        return usage();
    }
    uint16_t port = static_cast<uint16_t>(atoi(args[1].c_str()));
    if (args[0] == "echo-server") {
        serve(port, echo_connection);
    }
    if (args[0] == "bench-server") {
        serve(port, bench_connection);
    }
    int controller_port = -1;
    size_t next = 2;
    if (args.size() > next + 1 && args[next] == "--header") {
        controller_port = atoi(args[next + 1].c_str());
        next += 2;
    }
    if (args[0] == "talk" && args.size() == next + 2) {
        return talk(port, controller_port, args[next],
                    strtoull(args[next + 1].c_str(), nullptr, 0));
    }
    if (args[0] != "bench" || args.size() < next + 2) {
        return usage();
    }
    const std::string &what = args[next];
    uint64_t value = strtoull(args[next + 1].c_str(), nullptr, 0);
    if (what == "parallel" && args.size() == next + 3) {
        return bench_parallel(port, controller_port, static_cast<int>(value),
                              strtoull(args[next + 2].c_str(), nullptr, 0));
    }
    Bytes response;
    int fd = open_link(port, controller_port, &response);
    if (fd < 0) {
        return 1;
    }
    int status = 2;
    Clock::time_point start = Clock::now();
    if (what == "upload") {
        status = report("upload", upload(fd, value), start);
    } else if (what == "download") {
        status = report("download", download(fd, value), start);
    } else if (what == "latency" && args.size() == next + 3) {
        status = bench_latency(fd, static_cast<int>(value),
                               strtoull(args[next + 2].c_str(), nullptr, 0));
    } else {
        usage();
    }
    close(fd);
    return status;
}
