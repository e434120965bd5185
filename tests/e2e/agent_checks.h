// Checks shared by the end-to-end tests of the agent on the emulated device:
// what the agent holds (sockets, threads), silence on the device, a clean
// stop without sanitizer reports, and per-link test data.
#ifndef CDEV_TESTS_E2E_AGENT_CHECKS_H
#define CDEV_TESTS_E2E_AGENT_CHECKS_H

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/e2e/harness.h"

namespace e2e {

// Sockets and threads a process holds, from /proc.
struct Holdings {
    size_t sockets = 0, threads = 0;
    bool operator==(const Holdings &) const = default;
};

inline Holdings holdings_of(pid_t pid) {
    namespace fs = std::filesystem;
    const fs::path base = "/proc/" + std::to_string(pid);
    Holdings h;
    std::error_code ec;
    for (const auto &fd : fs::directory_iterator(base / "fd", ec)) {
        h.sockets += fs::read_symlink(fd.path(), ec).string().rfind("socket:", 0) == 0;
    }
    for (const auto &task : fs::directory_iterator(base / "task", ec)) {
        h.threads += task.is_directory(ec);
    }
    return h;
}

// The agent's holdings once it is idle: two readings 100 ms apart agree.
inline Holdings settled_holdings(pid_t pid) {
    Holdings prev, now = holdings_of(pid);
    for (int i = 0; i < 50 && !(i > 0 && now == prev); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        prev = std::exchange(now, holdings_of(pid));
    }
    return now;
}

// Expects the agent's sockets and threads to reach `want` within `timeout`.
inline void expect_holdings(AgentOnEmulator &a, const Holdings &want,
                            std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    Holdings now = holdings_of(a.agent.pid());
    while (!(now == want) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        now = holdings_of(a.agent.pid());
    }
    EXPECT_EQ(now.sockets, want.sockets) << "sockets";
    EXPECT_EQ(now.threads, want.threads) << "threads";
}

// Expects the agent to write nothing but keepalives to the device for `quiet`.
inline void expect_device_quiet(AgentOnEmulator &a, std::chrono::milliseconds quiet) {
    std::vector<uint8_t> msg;
    EXPECT_FALSE(a.next_message(&msg, quiet)) << "the agent sent a message of type " << int(msg[0]);
}

// Ends a test: SIGTERM, exit status 0, no sanitizer report.
inline void stop_agent_cleanly(AgentOnEmulator &a) {
    if (a.agent.running()) {
        a.agent.send_signal(SIGTERM);
        EXPECT_EQ(a.agent.wait_exit(std::chrono::seconds(20)), 0) << a.agent.stderr_text();
    }
    const std::string err = a.agent.stderr_text();
    for (const char *marker : {"ERROR: AddressSanitizer", "WARNING: ThreadSanitizer",
                               "ERROR: LeakSanitizer", "runtime error:"}) {
        EXPECT_EQ(err.find(marker), std::string::npos) << marker << " in the agent's stderr:\n"
                                                       << err;
    }
}

using Mode = emu::DeviceEmulator::Mode;

// The largest message a link carries: 128 slices of 1024 bytes on net_cdev
// (131072), of 450 bytes on the USB device.
inline size_t max_payload(const AgentOnEmulator &a) {
    return (a.emu.mode() == Mode::Usb ? 128 * 450 : 131072) - WIRE_HEADER_SIZE;
}

// A test on a started agent whose init message was taken, once per device
// mode; the agent must end with status 0 and no sanitizer report.
class StartedAgent : public ::testing::TestWithParam<Mode> {
  protected:
    // `options`: the agent's leading options.
    explicit StartedAgent(std::vector<std::string> options = {}) : a{GetParam(), with(options)} {}
    explicit StartedAgent(AgentOptions options) : a{GetParam(), std::move(options)} {}
    static AgentOptions with(std::vector<std::string> options) {
        AgentOptions o;
        o.options = std::move(options);
        return o;
    }
    // Starts the agent and takes its init message, a bare header, off the device.
    void SetUp() override {
        Bytes init, want(32, 0);
        want[0] = 5;  // type init, from the agent
        want[1] = 1;
        ASSERT_TRUE(a.start() && a.next_message(&init, std::chrono::seconds(10), false));
        EXPECT_EQ(init, want) << a.agent.log();
    }
    void TearDown() override { stop_agent_cleanly(a); }
    AgentOnEmulator a;
};

inline std::string mode_name(const ::testing::TestParamInfo<Mode> &info) {
    return info.param == Mode::Usb ? "Usb" : "NetCdev";
}

#define IN_BOTH_DEVICE_MODES(Suite) \
    INSTANTIATE_TEST_SUITE_P(Modes, Suite, ::testing::Values(Mode::NetCdev, Mode::Usb), mode_name)

// Deterministic bytes distinct per stream, addressable by offset, so that a
// receiver can check any piece it gets without keeping the whole stream.
inline uint64_t mix64(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

inline void fill_stream(uint32_t stream, uint64_t offset, uint8_t *out, size_t n) {
    size_t i = 0;
    while (i < n) {
        uint64_t pos = offset + i;
        uint64_t word = mix64((static_cast<uint64_t>(stream) << 40) ^ (pos >> 3));
        size_t skip = pos & 7, take = std::min<size_t>(8 - skip, n - i);
        // Whole words as one copy: sanitizers check a copy once, not per byte.
        memcpy(out + i, reinterpret_cast<const uint8_t *>(&word) + skip, take);
        i += take;
    }
}

inline std::vector<uint8_t> stream_bytes(uint32_t stream, size_t n, uint64_t offset = 0) {
    std::vector<uint8_t> v(n);
    fill_stream(stream, offset, v.data(), n);
    return v;
}

// FNV-1a, 64 bits, over the bytes of a vector.
inline uint64_t fnv1a(const std::vector<uint8_t> &v) {
    uint64_t h = 0xCBF29CE484222325ull;
    for (uint8_t b : v) {
        h = (h ^ b) * 0x100000001B3ull;
    }
    return h;
}

// A client's request for a link to controller port `port`: type 0, from the
// host, the port in network order, the rest zero.
inline std::vector<uint8_t> client_request(uint16_t port) {
    std::vector<uint8_t> m(WIRE_HEADER_SIZE, 0);
    m[1] = 1;
    m[2] = static_cast<uint8_t>(port >> 8);
    m[3] = static_cast<uint8_t>(port);
    return m;
}

// `up` from the local socket `fd` to the controller and `down` the other
// way at the same time: every message the agent writes must carry
// `up_header`; `down` goes in the largest messages under `down_header`.
// Every byte is checked both ways.
inline void exchange_data(AgentOnEmulator &a, int fd, const std::vector<uint8_t> &up_header,
                          const std::vector<uint8_t> &down_header, const std::vector<uint8_t> &up,
                          const std::vector<uint8_t> &down) {
    std::thread sender([&] { EXPECT_TRUE(send_all(fd, up)); });
    std::vector<uint8_t> got_down, got_up, msg;
    std::thread receiver(
        [&] { EXPECT_TRUE(recv_exact(fd, down.size(), &got_down, std::chrono::seconds(60))); });
    for (size_t at = 0; at < down.size(); at += max_payload(a)) {
        std::vector<uint8_t> m = down_header;
        m.insert(m.end(), down.begin() + at,
                 down.begin() + std::min(down.size(), at + max_payload(a)));
        a.emu.inject(m);
    }
    while (got_up.size() < up.size() && a.next_message(&msg, std::chrono::seconds(30))) {
        if (msg.size() <= WIRE_HEADER_SIZE ||
            !std::equal(up_header.begin(), up_header.end(), msg.begin())) {
            ADD_FAILURE() << "a message of " << msg.size() << " bytes, type " << int(msg[0])
                          << ", not data under the link's header";
            break;
        }
        got_up.insert(got_up.end(), msg.begin() + WIRE_HEADER_SIZE, msg.end());
    }
    sender.join();
    receiver.join();
    EXPECT_EQ(got_up.size(), up.size());
    EXPECT_EQ(fnv1a(got_up), fnv1a(up));
    EXPECT_EQ(got_down.size(), down.size());
    EXPECT_EQ(fnv1a(got_down), fnv1a(down));
}

}  // namespace e2e

#endif
