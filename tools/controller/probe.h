// The parts of cdev_probe (probe.cc): the services it plays, the benchmark
// measures, and the socket and pattern helpers they share.
#ifndef CDEV_TOOLS_CONTROLLER_PROBE_H
#define CDEV_TOOLS_CONTROLLER_PROBE_H

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace probe {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// Bench-service commands, the first byte of each request on a connection:
// 'E' echoes until the close; 'S' + 8-byte count + 4-byte chunk sinks that
// many bytes, compares them with the pattern and answers 16 bytes (count,
// 1 when intact); 'D' + count + chunk sends that many pattern bytes in
// writes of chunk bytes. 'S' and 'D' may follow each other on one link.
constexpr uint8_t CMD_ECHO = 'E';
constexpr uint8_t CMD_SINK = 'S';
constexpr uint8_t CMD_SEND = 'D';
constexpr size_t COMMAND_SIZE = 13;
constexpr size_t SINK_ANSWER_SIZE = 16;

// probe_io.cc
// The bytes at offset `at` of every transfer: a fixed pseudo-random
// sequence, so the receiver can check each byte.
void fill_pattern(uint8_t *p, size_t n, uint64_t at);
bool matches_pattern(const uint8_t *p, size_t n, uint64_t at);
bool send_all(int fd, const uint8_t *p, size_t n);
bool recv_all(int fd, uint8_t *p, size_t n);
bool send_command(int fd, uint8_t command, uint64_t count = 0, uint32_t chunk = 0);
// Listens on 127.0.0.1:port, or exits.
int listen_on(uint16_t port);
// A connected TCP socket to 127.0.0.1:port with TCP_NODELAY, whose sends and
// receives fail after 20 s without progress; -1 on failure (reason on stderr).
int connect_to(uint16_t port);
// Asks the agent on fd for a link to controller port P; false when it
// refused (reason on stderr). The 32-byte response goes to *response.
bool request_link(int fd, uint16_t controller_port, Bytes *response);
// The two halves of request_link.
bool send_link_request(int fd, uint16_t controller_port);
bool recv_link_response(int fd, Bytes *response);
double seconds_since(Clock::time_point t);

// Where a bench client connects: 127.0.0.1:port, through the agent when
// controller_port >= 0 (its link request first).
struct Target {
    uint16_t port = 0;
    int controller_port = -1;
};
// connect_to plus request_link when the target asks for it; -1 on failure.
int open_link(const Target &t, Bytes *response = nullptr);

// probe_servers.cc
[[noreturn]] void serve_echo(uint16_t port);
[[noreturn]] void serve_bench(uint16_t port);
int talk(const Target &t, const std::string &text, size_t total);

// probe_bench.cc: each prints one line of key=value figures; status 0 when
// every byte arrived intact.
int bench_bulk(const Target &t, bool upload, uint64_t bytes, size_t chunk);
int bench_latency(const Target &t, int rounds, size_t size);
int bench_parallel(const Target &t, int links, uint64_t bytes);
int bench_setup(const Target &t, int count);
int bench_idle(const Target &t, int links, double hold_seconds, pid_t watch);

// probe_watch.cc: CPU ticks and memory of a process and its children.
struct Usage {
    uint64_t ticks = 0;  // user + system, the children's included
    uint64_t rss_kib = 0;
    uint64_t pss_kib = 0;
    int threads = 0;
};
Usage usage_of(pid_t pid);

}  // namespace probe

#endif
