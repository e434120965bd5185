// The benchmark measures of cdev_probe, against a bench service reached
// directly, through a relay, or through the agent.
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <thread>

#include "tools/controller/probe.h"

namespace probe {
namespace {

constexpr size_t READ_BUFFER = 256 * 1024;
constexpr size_t PARALLEL_CHUNK = 32 * 1024;  // small: a thousand links at once
constexpr size_t ANSWER_SIZE = 32;            // what a link set-up waits for
constexpr size_t IDLE_CHECK = 32;             // bytes each way on an idle link afterwards
constexpr int IDLE_ANSWER_WAIT_S = 60;

struct Transfer {
    uint64_t bytes = 0;
    bool intact = false;
};

Transfer upload(int fd, uint64_t total, size_t chunk) {
    Bytes buf(chunk);
    if (!send_command(fd, CMD_SINK, total, static_cast<uint32_t>(chunk))) {
        return {};
    }
    for (uint64_t sent = 0; sent < total;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(chunk, total - sent));
        fill_pattern(buf.data(), n, sent);
        if (!send_all(fd, buf.data(), n)) {
            return {sent, false};
        }
        sent += n;
    }
    uint64_t answer[2] = {0, 0};
    if (!recv_all(fd, reinterpret_cast<uint8_t *>(answer), sizeof(answer))) {
        return {};
    }
    return {answer[0], answer[0] == total && answer[1] == 1};
}

Transfer download(int fd, uint64_t total, size_t chunk) {
    Bytes buf(std::max(chunk, READ_BUFFER));
    Transfer t;
    t.intact = send_command(fd, CMD_SEND, total, static_cast<uint32_t>(chunk));
    while (t.bytes < total) {
        ssize_t n = recv(fd, buf.data(), std::min<uint64_t>(buf.size(), total - t.bytes), 0);
        if (n <= 0) {
            break;
        }
        t.intact = t.intact && matches_pattern(buf.data(), static_cast<size_t>(n), t.bytes);
        t.bytes += static_cast<uint64_t>(n);
    }
    t.intact = t.intact && t.bytes == total;
    return t;
}

// p50, p99 and max of samples in microseconds.
void print_spread(std::vector<double> *us) {
    std::sort(us->begin(), us->end());
    auto at = [&](double q) {
        return (*us)[static_cast<size_t>(q * static_cast<double>(us->size() - 1))];
    };
    printf(" p50_us=%.0f p99_us=%.0f max_us=%.0f\n", at(0.50), at(0.99), us->back());
}

// A fresh link that can carry data: through the agent, connect and its
// 32-byte answer; otherwise connect and 32 bytes echoed by the service.
int set_up_link(const Target &t) {
    if (t.controller_port >= 0) {
        return open_link(t);
    }
    int fd = connect_to(t.port);
    Bytes out(ANSWER_SIZE);
    Bytes in(ANSWER_SIZE);
    fill_pattern(out.data(), out.size(), 0);
    if (fd >= 0 && (!send_command(fd, CMD_ECHO) || !send_all(fd, out.data(), out.size()) ||
                    !recv_all(fd, in.data(), in.size()) || in != out)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Bytes each way on every link at once (all sends, then all receives):
// the number of links that echoed them intact.
size_t echo_round(const std::vector<int> &fds, uint64_t seed) {
    Bytes out(IDLE_CHECK);
    Bytes in(IDLE_CHECK);
    for (size_t i = 0; i < fds.size(); ++i) {
        fill_pattern(out.data(), out.size(), seed + i);
        send_all(fds[i], out.data(), out.size());
    }
    size_t intact = 0;
    for (size_t i = 0; i < fds.size(); ++i) {
        fill_pattern(out.data(), out.size(), seed + i);
        intact += recv_all(fds[i], in.data(), in.size()) && in == out ? 1 : 0;
    }
    return intact;
}

}  // namespace

int bench_bulk(const Target &t, bool upload_way, uint64_t bytes, size_t chunk) {
    int fd = open_link(t);
    if (fd < 0) {
        return 1;
    }
    Clock::time_point start = Clock::now();
    Transfer r = upload_way ? upload(fd, bytes, chunk) : download(fd, bytes, chunk);
    double s = seconds_since(start);
    close(fd);
    printf("%s bytes=%" PRIu64 " chunk=%zu seconds=%.3f mb_per_s=%.1f intact=%d\n",
           upload_way ? "upload" : "download", r.bytes, chunk, s,
           static_cast<double>(r.bytes) / s / 1e6, r.intact);
    return r.intact ? 0 : 1;
}

int bench_latency(const Target &t, int rounds, size_t size) {
    int fd = open_link(t);
    if (fd < 0 || !send_command(fd, CMD_ECHO)) {
        return 1;
    }
    Bytes out(size);
    Bytes in(size);
    std::vector<double> us;
    for (int i = 0; i < rounds; ++i) {
        fill_pattern(out.data(), size, static_cast<uint64_t>(i));
        Clock::time_point start = Clock::now();
        if (!send_all(fd, out.data(), size) || !recv_all(fd, in.data(), size) || in != out) {
            fprintf(stderr, "round %d failed\n", i);
            close(fd);
            return 1;
        }
        us.push_back(seconds_since(start) * 1e6);
    }
    close(fd);
    printf("latency rounds=%d size=%zu", rounds, size);
    print_spread(&us);
    return 0;
}

// Every link carries `bytes` each way, one after the other; half of them
// start with the upload, so both directions are busy all along. Only intact
// transfers count, and a link whose first transfer failed stops there: what
// is left of it on the stream would be taken for the second one's answer.
int bench_parallel(const Target &t, int links, uint64_t bytes) {
    std::atomic<int> failed{0};
    std::atomic<uint64_t> carried{0};
    std::vector<double> setup_us(static_cast<size_t>(links));
    std::vector<std::thread> threads;
    Clock::time_point start = Clock::now();
    for (int i = 0; i < links; ++i) {
        threads.emplace_back([&, i] {
            Clock::time_point asked = Clock::now();
            int fd = open_link(t);
            setup_us[static_cast<size_t>(i)] = seconds_since(asked) * 1e6;
            Transfer a;
            Transfer b;
            if (fd >= 0) {
                bool up_first = i % 2 == 0;
                a = up_first ? upload(fd, bytes, PARALLEL_CHUNK)
                             : download(fd, bytes, PARALLEL_CHUNK);
                if (a.intact) {
                    b = up_first ? download(fd, bytes, PARALLEL_CHUNK)
                                 : upload(fd, bytes, PARALLEL_CHUNK);
                }
                close(fd);
            }
            carried += (a.intact ? a.bytes : 0) + (b.intact ? b.bytes : 0);
            failed += a.intact && b.intact ? 0 : 1;
        });
    }
    for (std::thread &th : threads) {
        th.join();
    }
    double s = seconds_since(start);
    printf("parallel links=%d failed=%d bytes=%" PRIu64 " seconds=%.3f mb_per_s=%.1f setup", links,
           failed.load(), carried.load(), s, static_cast<double>(carried.load()) / s / 1e6);
    print_spread(&setup_us);
    return failed == 0 ? 0 : 1;
}

int bench_setup(const Target &t, int count) {
    std::vector<double> us;
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        Clock::time_point start = Clock::now();
        int fd = set_up_link(t);
        if (fd < 0) {
            ++failed;
            continue;
        }
        us.push_back(seconds_since(start) * 1e6);
        close(fd);
    }
    if (us.empty()) {
        return 1;
    }
    printf("setup count=%d failed=%d", count, failed);
    print_spread(&us);
    return failed == 0 ? 0 : 1;
}

// Opens `links` links (each connect with its link request, then all the
// answers, then a first echo on each), holds them idle while watching a
// process, then checks that every one still echoes.
int bench_idle(const Target &t, int links, double hold_seconds, pid_t watch) {
    std::vector<int> fds;
    Clock::time_point start = Clock::now();
    for (int i = 0; i < links; ++i) {
        int fd = connect_to(t.port);
        if (fd < 0) {
            break;
        }
        timeval wait{IDLE_ANSWER_WAIT_S, 0};  // a thousand set-ups may take a while
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
        fds.push_back(fd);
        // At once: the agent drops a client whose request is late.
        if (t.controller_port >= 0) {
            send_link_request(fd, static_cast<uint16_t>(t.controller_port));
        }
    }
    Bytes response;
    for (int fd : fds) {
        if (t.controller_port < 0 || recv_link_response(fd, &response)) {
            send_command(fd, CMD_ECHO);
        }
    }
    size_t ready = echo_round(fds, 0);
    double setup_s = seconds_since(start);

    Usage before = usage_of(watch);
    Clock::time_point hold = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(hold_seconds));
    Usage after = usage_of(watch);
    double held = seconds_since(hold);

    size_t alive = echo_round(fds, fds.size());
    for (int fd : fds) {
        close(fd);
    }
    double cpu_pct = static_cast<double>(after.ticks - before.ticks) /
                     static_cast<double>(sysconf(_SC_CLK_TCK)) / held * 100.0;
    printf(
        "idle links=%d opened=%zu ready=%zu alive=%zu setup_s=%.2f held_s=%.1f cpu_pct=%.2f "
        "rss_mib=%.1f pss_mib=%.1f threads=%d\n",
        links, fds.size(), ready, alive, setup_s, held, cpu_pct, after.rss_kib / 1024.0,
        after.pss_kib / 1024.0, after.threads);
    return alive == static_cast<size_t>(links) ? 0 : 1;
}

}  // namespace probe
