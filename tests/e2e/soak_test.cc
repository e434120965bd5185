// A soak in both device modes: 200 tunnels of random sizes, ended at random by
// the client or the controller, while the device vanishes and comes back, one
// client stops reading and 50 clients send nothing. Afterwards every surviving
// link carried its bytes intact, every link ended on both sides, the receive
// queue is empty and the agent holds what it held before.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "tests/e2e/agent_checks.h"
#include "tests/e2e/harness.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr size_t LINKS = 200;
constexpr size_t SILENT_CLIENTS = 50;
// Enough that the echo of a client that does not read outgrows the sockets'
// buffers (up to 4 MiB sent, 6 MiB received unread) and the link's share of the
// receive queue (128 messages of up to 128 KiB, or 56 KiB in USB mode).
constexpr size_t STALLED_STREAM = 32 << 20, STALLED_STREAM_USB = 20 << 20;
constexpr uint16_t FIRST_PORT = 20000;
constexpr uint32_t PEER_BASE = 0x5E000000;

bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds timeout,
                std::chrono::milliseconds step = 50ms) {
    for (auto due = Clock::now() + timeout; !done() && Clock::now() < due;) {
        std::this_thread::sleep_for(step);
    }
    return done();
}

// The controller: accepts every request (peer id from its port), echoes
// every data message on its link, and ends some links itself once it has
// echoed a set number of bytes.
struct EchoController {
    struct Link {
        uint16_t port;
        size_t echoed = 0;
        bool agent_closed = false, controller_closed = false;
    };
    emu::DeviceEmulator *emu = nullptr;
    mutable std::mutex mu;
    std::map<uint32_t, Link> links;
    std::map<uint16_t, size_t> close_after;
    std::vector<std::string> faults;
    std::atomic<size_t> keepalives{0};

    bool on_message(const Bytes &m) {  // true: the message is taken
        std::lock_guard lock(mu);
        if (m.size() < WIRE_HEADER_SIZE) {
            return fault("short message");
        }
        const uint16_t port = static_cast<uint16_t>((m[2] << 8) | m[3]);
        Bytes header(m.begin(), m.begin() + WIRE_HEADER_SIZE);
        auto it = links.find(get32(m, 12));
        if (m[0] == 0) {
            header[0] = 1;
            put32(&header, 8, PEER_BASE + port);
            emu->inject(header);
            return links.emplace(get32(m, 12), Link{port}).second || fault("link id issued twice");
        }
        if (m[0] == 4 || m[0] == 5) {
            ++keepalives;
            return true;
        }
        if (m[0] != 2 && m[0] != 3) {
            return fault("unexpected type " + std::to_string(m[0]));
        }
        if (it == links.end() || get32(m, 8) != PEER_BASE + port || it->second.port != port) {
            return fault("message of type " + std::to_string(m[0]) + " with foreign ids");
        }
        Link &link = it->second;
        link.agent_closed |= m[0] == 2;
        if (m[0] == 3 && !link.controller_closed) {
            emu->inject(m);
            link.echoed += m.size() - WIRE_HEADER_SIZE;
            auto limit = close_after.find(port);
            if (limit != close_after.end() && link.echoed >= limit->second) {
                header[0] = 2;
                emu->inject(header);
                link.controller_closed = true;
            }
        }
        return true;
    }
    bool fault(const std::string &what) {
        if (faults.size() < 20) {
            faults.push_back(what);
        }
        return true;
    }
    // Links that the controller holds open although the agent has ended
    // nothing for them, and the total of links.
    std::pair<size_t, size_t> half_open() const {
        std::lock_guard lock(mu);
        size_t open = 0;
        for (const auto &[id, l] : links) {
            open += !l.agent_closed && !l.controller_closed;
        }
        return {open, links.size()};
    }
};

// One local client: its request, then its own stream out and back. A client
// may give up part way, or stop reading altogether.
struct Client {
    enum class Role { FULL, CLOSES_EARLY, ENDED_BY_CONTROLLER, STALLED };
    int fd = -1;
    uint32_t stream = 0;
    Role role = Role::FULL;
    size_t size = 0;  // bytes to send
    size_t sent = 0, received = 0;
    bool ended = false;  // the agent closed the connection
    std::string fault;

    bool done() const {
        return ended || !fault.empty() ||
               (role != Role::STALLED && received == size && sent == size);
    }
    void on_readable() {
        uint8_t buf[65536], want[65536];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) {
            ended = true;
        } else if (n > 0) {
            fill_stream(stream, received, want, static_cast<size_t>(n));
            if (received + static_cast<size_t>(n) > sent ||
                memcmp(buf, want, static_cast<size_t>(n)) != 0) {
                fault = "foreign or damaged bytes at offset " + std::to_string(received);
            }
            received += static_cast<size_t>(n);
        }
    }
    void on_writable() {
        uint8_t buf[65536];
        size_t n = std::min(sizeof(buf), size - sent);
        fill_stream(stream, sent, buf, n);
        sent += static_cast<size_t>(std::max<ssize_t>(send(fd, buf, n, MSG_NOSIGNAL), 0));
        if (role == Role::CLOSES_EARLY && sent >= size / 2) {
            shutdown(fd, SHUT_RDWR);
        }
    }
};

// Drives all clients with one poll loop until each is done or the time is up.
void run_clients(std::vector<Client> &clients, Clock::time_point deadline) {
    std::vector<pollfd> fds(clients.size());
    while (Clock::now() < deadline) {
        for (size_t i = 0; i < clients.size(); ++i) {
            const Client &c = clients[i];
            short reads = c.role != Client::Role::STALLED ? POLLIN : POLLRDHUP;
            fds[i] = {c.done() ? -1 : c.fd,
                      static_cast<short>(reads | (c.sent < c.size ? POLLOUT : 0)), 0};
        }
        if (std::all_of(clients.begin(), clients.end(), [](const Client &c) { return c.done(); }) ||
            poll(fds.data(), fds.size(), 100) < 0) {
            return;
        }
        for (size_t i = 0; i < clients.size(); ++i) {
            Client &c = clients[i];
            if (fds[i].revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) {
                c.role == Client::Role::STALLED ? void(c.ended = true) : c.on_readable();
            }
            if ((fds[i].revents & POLLOUT) && !c.done()) {
                c.on_writable();
            }
        }
    }
}

class Soak : public ::testing::TestWithParam<Mode> {};

TEST_P(Soak, LinksSurviveOrEndCleanlyThroughFaults) {
    AgentOnEmulator a(GetParam());
    EchoController controller;
    controller.emu = &a.emu;
    a.emu.set_message_hook([&](const Bytes &m) { return controller.on_message(m); });
    ASSERT_TRUE(a.start(10s, false)) << a.agent.stderr_text();
    wait_until([&] { return controller.keepalives > 0; }, 10s, 10ms);
    ASSERT_GT(controller.keepalives, 0u) << "no init message; " << a.agent.stderr_text();
    const Holdings idle = settled_holdings(a.agent.pid());

    const uint32_t seed = GetParam() == Mode::Usb ? 7 : 3;
    std::mt19937 random(seed);
    std::vector<Client> clients(LINKS);
    for (size_t i = 0; i < LINKS; ++i) {
        Client &c = clients[i];
        const uint16_t port = static_cast<uint16_t>(FIRST_PORT + i);
        c.stream = static_cast<uint32_t>(seed * 1000 + i);
        c.size = random() % (96 << 10);
        c.role = i == 0 ? Client::Role::STALLED : static_cast<Client::Role>(random() % 3);
        if (c.role == Client::Role::ENDED_BY_CONTROLLER) {
            controller.close_after[port] = c.size / 3;
        }
        c.fd = a.connect_client();
        ASSERT_GE(c.fd, 0);
        if (i == 0) {  // it buffers little, so its echo piles up
            c.size = GetParam() == Mode::Usb ? STALLED_STREAM_USB : STALLED_STREAM;
            int small = 4096;
            setsockopt(c.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
        }
        ASSERT_TRUE(send_all(c.fd, client_request(port)));
        Bytes response;
        ASSERT_TRUE(recv_exact(c.fd, WIRE_HEADER_SIZE, &response, 10s)) << a.agent.log();
        fcntl(c.fd, F_SETFL, fcntl(c.fd, F_GETFL) | O_NONBLOCK);
    }
    std::thread faults([&] {
        std::vector<int> silent;
        for (size_t i = 0; i < SILENT_CLIENTS; ++i) {
            silent.push_back(a.connect_client());
        }
        std::this_thread::sleep_for(300ms);
        a.emu.set_present(false);
        std::this_thread::sleep_for(1s);
        a.emu.set_present(true);
        for (int fd : silent) {
            Bytes got;
            EXPECT_TRUE(fd >= 0 && !recv_exact(fd, 1, &got, 5s)) << "a silent client was served";
            close(fd);
        }
    });
    run_clients(clients, Clock::now() + 90s);
    faults.join();

    for (size_t i = 0; i < LINKS; ++i) {
        Client &c = clients[i];
        EXPECT_TRUE(c.fault.empty()) << "client " << i << ": " << c.fault;
        EXPECT_TRUE(c.done()) << "client " << i << " neither finished nor ended";
        close(c.fd);
    }
    EXPECT_TRUE(clients[0].ended) << "the client that stopped reading kept its link; sent "
                                  << clients[0].sent << " of " << clients[0].size;
    // Every link ends on the controller's side too (CLOSEs failed in the gap are resent).
    wait_until([&] { return controller.half_open().first == 0; }, 15s);
    EXPECT_EQ(controller.half_open(), std::make_pair(size_t{0}, LINKS));
    const auto controller_faults = (std::lock_guard<std::mutex>(controller.mu), controller.faults);
    for (const std::string &f : controller_faults) {
        ADD_FAILURE() << "controller: " << f;
    }
    auto queue_line = [&] {
        const std::string log = a.agent.log();
        size_t at = log.rfind("Receive queue: ");
        return at == std::string::npos ? "" : log.substr(at, log.find('\n', at) - at);
    };
    wait_until(  // the collector looks every 10 s
        [&] { return queue_line().rfind("Receive queue: 0 msg", 0) == 0; }, 12s, 1s);
    EXPECT_EQ(queue_line().rfind("Receive queue: 0 msg", 0), 0u) << queue_line();
    expect_holdings(a, idle, 20s);
    stop_agent_cleanly(a);
}

IN_BOTH_DEVICE_MODES(Soak);

}  // namespace
}  // namespace e2e
