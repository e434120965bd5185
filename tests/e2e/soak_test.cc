// A soak of the agent on the emulated device, in both device modes: a few
// hundred tunnels of random sizes, ended at random by the client or the
// controller, while the device vanishes and comes back, one client stops
// reading and a burst of clients sends nothing. Afterwards every link that
// survived carried its bytes intact, every link ended on both sides, the
// receive queue is empty and the agent holds what it held before.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "tests/e2e/agent_checks.h"
#include "tests/e2e/harness.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr size_t LINKS = 200;
constexpr size_t SILENT_CLIENTS = 50;
// Enough that the echo of a client that does not read outgrows what the
// sockets buffer (up to 4 MiB sent, 6 MiB received unread) and the link's
// share of the receive queue (128 messages of up to 128 KiB, or 56 KiB in
// USB mode).
constexpr size_t STALLED_STREAM = 32 << 20;
constexpr size_t STALLED_STREAM_USB = 20 << 20;
constexpr uint16_t FIRST_PORT = 20000;
constexpr uint32_t PEER_BASE = 0x5E000000;

uint16_t port_of(const Bytes &m) {
    return static_cast<uint16_t>((m[2] << 8) | m[3]);
}

// The controller: accepts every request (peer id from its port), echoes
// every data message on its link, and ends some links itself once it has
// echoed a set number of bytes.
class EchoController {
  public:
    explicit EchoController(emu::DeviceEmulator *emu) : emu_(emu) {}

    void close_after(uint16_t port, size_t bytes) { close_after_[port] = bytes; }

    bool on_message(const Bytes &m) {
        std::lock_guard lock(mu_);
        if (m.size() < WIRE_HEADER_SIZE) {
            fault("short message");
            return true;
        }
        uint32_t local = get32(m, 12);
        if (m[0] == 0) {
            Bytes r(m.begin(), m.begin() + WIRE_HEADER_SIZE);
            r[0] = 1;
            put32(&r, 8, PEER_BASE + port_of(m));
            if (!links_.emplace(local, Link{port_of(m)}).second) {
                fault("link id issued twice");
            }
            emu_->inject(r);
        } else if (m[0] == 2 || m[0] == 3) {
            auto it = links_.find(local);
            if (it == links_.end() || get32(m, 8) != PEER_BASE + port_of(m) ||
                it->second.port != port_of(m)) {
                fault("message of type " + std::to_string(m[0]) + " with foreign ids");
            } else if (m[0] == 2) {
                it->second.agent_closed = true;
            } else if (!it->second.controller_closed) {
                echo(m, &it->second);
            }
        } else if (m[0] != 4 && m[0] != 5) {
            fault("unexpected type " + std::to_string(m[0]));
        } else {
            ++keepalives;
        }
        return true;
    }

    // Links that the controller holds open although the agent has ended
    // nothing for them, and the total of links.
    std::pair<size_t, size_t> half_open() const {
        std::lock_guard lock(mu_);
        size_t open = 0;
        for (const auto &[id, l] : links_) {
            open += !l.agent_closed && !l.controller_closed;
        }
        return {open, links_.size()};
    }
    std::vector<std::string> faults() const {
        std::lock_guard lock(mu_);
        return faults_;
    }
    std::atomic<size_t> keepalives{0};

  private:
    struct Link {
        uint16_t port;
        size_t echoed = 0;
        bool agent_closed = false;
        bool controller_closed = false;
    };
    void echo(const Bytes &m, Link *link) {
        emu_->inject(m);
        link->echoed += m.size() - WIRE_HEADER_SIZE;
        auto limit = close_after_.find(link->port);
        if (limit != close_after_.end() && link->echoed >= limit->second) {
            Bytes close_msg(m.begin(), m.begin() + WIRE_HEADER_SIZE);
            close_msg[0] = 2;
            emu_->inject(close_msg);
            link->controller_closed = true;
        }
    }
    void fault(const std::string &what) {
        if (faults_.size() < 20) {
            faults_.push_back(what);
        }
    }

    emu::DeviceEmulator *emu_;
    mutable std::mutex mu_;
    std::map<uint32_t, Link> links_;
    std::map<uint16_t, size_t> close_after_;
    std::vector<std::string> faults_;
};

// One local client: its request, then its own stream out and back. A client
// may give up part way, or stop reading altogether.
struct Client {
    enum class Role { FULL, CLOSES_EARLY, ENDED_BY_CONTROLLER, STALLED };
    int fd = -1;
    uint32_t stream = 0;
    uint16_t port = 0;
    Role role = Role::FULL;
    size_t size = 0;     // bytes to send
    size_t give_up = 0;  // CLOSES_EARLY: close once this much was sent
    Bytes response;
    size_t sent = 0, received = 0;
    bool ended = false;  // the agent closed the connection
    std::string fault;

    bool done() const {
        return ended || !fault.empty() ||
               (role != Role::STALLED && received == size && sent == size);
    }

    void on_readable() {
        uint8_t buf[65536];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) {
            ended = true;
            return;
        }
        if (n < 0) {
            return;
        }
        size_t used = 0;
        while (response.size() < WIRE_HEADER_SIZE && used < static_cast<size_t>(n)) {
            response.push_back(buf[used++]);
        }
        size_t rest = static_cast<size_t>(n) - used;
        Bytes want(rest);
        fill_stream(stream, received, want.data(), rest);
        if (received + rest > sent || memcmp(buf + used, want.data(), rest) != 0) {
            fault = "foreign or damaged bytes at offset " + std::to_string(received);
        }
        received += rest;
    }

    void on_writable() {
        uint8_t buf[65536];
        size_t n = std::min(sizeof(buf), size - sent);
        fill_stream(stream, sent, buf, n);
        ssize_t w = send(fd, buf, n, MSG_NOSIGNAL);
        if (w > 0) {
            sent += static_cast<size_t>(w);
        }
        if (role == Role::CLOSES_EARLY && sent >= give_up) {
            shutdown(fd, SHUT_RDWR);
        }
    }
};

std::vector<Client> make_clients(uint32_t seed, EchoController *controller, Mode mode) {
    std::mt19937 random(seed);
    std::vector<Client> clients(LINKS);
    for (size_t i = 0; i < LINKS; ++i) {
        Client &c = clients[i];
        c.stream = static_cast<uint32_t>(seed * 1000 + i);
        c.port = static_cast<uint16_t>(FIRST_PORT + i);
        c.size = random() % (96 << 10);
        c.role = i == 0 ? Client::Role::STALLED : static_cast<Client::Role>(random() % 3);
        c.give_up = c.size / 2;
        if (c.role == Client::Role::ENDED_BY_CONTROLLER) {
            controller->close_after(c.port, c.size / 3);
        }
    }
    clients[0].size = mode == Mode::Usb ? STALLED_STREAM_USB : STALLED_STREAM;
    return clients;
}

// Drives all clients with one poll loop until each is done or the time is up.
void run_clients(std::vector<Client> *clients, Clock::time_point deadline) {
    std::vector<pollfd> fds(clients->size());
    while (Clock::now() < deadline) {
        size_t open = 0;
        for (size_t i = 0; i < clients->size(); ++i) {
            Client &c = (*clients)[i];
            bool reads = c.role != Client::Role::STALLED;
            fds[i] = {c.done() ? -1 : c.fd, 0, 0};
            if (!c.done()) {
                ++open;
                fds[i].events = static_cast<short>((reads ? POLLIN : POLLRDHUP) |
                                                   (c.sent < c.size ? POLLOUT : 0));
            }
        }
        if (open == 0 || poll(fds.data(), fds.size(), 100) < 0) {
            return;
        }
        for (size_t i = 0; i < clients->size(); ++i) {
            Client &c = (*clients)[i];
            if (fds[i].revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) {
                c.role == Client::Role::STALLED ? void(c.ended = true) : c.on_readable();
            }
            if ((fds[i].revents & POLLOUT) && !c.done()) {
                c.on_writable();
            }
        }
    }
}

std::string last_queue_line(const std::string &log) {
    size_t at = log.rfind("Receive queue: ");
    return at == std::string::npos ? "" : log.substr(at, log.find('\n', at) - at);
}

class Soak : public ::testing::TestWithParam<Mode> {};

TEST_P(Soak, LinksSurviveOrEndCleanlyThroughFaults) {
    AgentOnEmulator a(GetParam());
    EchoController controller(&a.emu);
    a.emu.set_message_hook([&](const Bytes &m) { return controller.on_message(m); });
    ASSERT_TRUE(a.start(10s, false)) << a.agent.stderr_text();
    for (auto due = Clock::now() + 10s; controller.keepalives == 0 && Clock::now() < due;) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_GT(controller.keepalives, 0u) << "no init message; " << a.agent.stderr_text();
    const Holdings idle = settled_holdings(a.agent.pid());

    std::vector<Client> clients =
        make_clients(GetParam() == Mode::Usb ? 7 : 3, &controller, GetParam());
    // The client that stops reading buffers little, so its echo piles up.
    int small = 4096;
    for (Client &c : clients) {
        c.fd = a.connect_client();
        if (c.role == Client::Role::STALLED) {
            setsockopt(c.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
        }
        ASSERT_GE(c.fd, 0);
        ASSERT_TRUE(send_all(c.fd, client_request(c.port)));
        Bytes got;
        ASSERT_TRUE(recv_exact(c.fd, WIRE_HEADER_SIZE, &got, 10s)) << a.agent.log();
        c.response = got;
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
    run_clients(&clients, Clock::now() + 90s);
    faults.join();

    size_t intact = 0, ended = 0;
    for (size_t i = 0; i < LINKS; ++i) {
        Client &c = clients[i];
        EXPECT_TRUE(c.fault.empty()) << "client " << i << ": " << c.fault;
        EXPECT_TRUE(c.done()) << "client " << i << " neither finished nor ended";
        intact += c.received == c.size && !c.ended;
        ended += c.ended;
        close(c.fd);
    }
    EXPECT_TRUE(clients[0].ended) << "the client that stopped reading kept its link; sent "
                                  << clients[0].sent << " of " << clients[0].size;
    // Every link ends on the controller's side too; CLOSEs the device failed
    // during its absence are sent once it is back.
    for (auto due = Clock::now() + 15s; controller.half_open().first > 0 && Clock::now() < due;) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(controller.half_open(), std::make_pair(size_t{0}, LINKS));
    for (const std::string &f : controller.faults()) {
        ADD_FAILURE() << "controller: " << f;
    }
    auto empty = [&] {
        return last_queue_line(a.agent.log()).rfind("Receive queue: 0 msg", 0) == 0;
    };
    for (auto due = Clock::now() + 12s; !empty() && Clock::now() < due;) {
        std::this_thread::sleep_for(1s);  // the collector looks every 10 s
    }
    EXPECT_TRUE(empty()) << last_queue_line(a.agent.log());
    expect_holdings(a, idle, 20s);
    std::cout << "soak: " << LINKS << " links, " << intact << " intact, " << ended
              << " ended early, " << SILENT_CLIENTS << " silent clients, a 1 s device gap\n";
    stop_agent_cleanly(a);
}

IN_BOTH_DEVICE_MODES(Soak);

}  // namespace
}  // namespace e2e
