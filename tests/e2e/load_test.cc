// Many tunnels at once through the agent on the emulated device: the
// controller echoes every link's data, each client checks that it gets back
// exactly its own stream, and the agent ends up holding what it held before.
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
#include <thread>

#include "tests/e2e/agent_checks.h"
#include "tests/e2e/harness.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr size_t LINKS = 200;
constexpr size_t STREAM_SIZE = 1 << 20;
constexpr uint16_t FIRST_PORT = 20000;
constexpr uint32_t PEER_BASE = 0x5E000000;
constexpr auto TRANSFER_LIMIT = 150s;

uint16_t port_of(const Bytes &m) {
    return static_cast<uint16_t>((m[2] << 8) | m[3]);
}

// The controller: accepts every request with a peer id derived from its
// port and echoes every data message back on the same link.
class EchoController {
  public:
    void attach(emu::DeviceEmulator *emu) { emu_ = emu; }

    bool on_message(const Bytes &m) {
        if (m.size() < WIRE_HEADER_SIZE) {
            fault("short message");
            return true;
        }
        uint32_t local = get32(m, 12);
        switch (m[0]) {
            case 0: {
                Bytes r(m.begin(), m.begin() + WIRE_HEADER_SIZE);
                r[0] = 1;
                put32(&r, 8, PEER_BASE + port_of(m));
                {
                    std::lock_guard lock(mu_);
                    if (!peers_.emplace(local, get32(r, 8)).second) {
                        fault_locked("link id issued twice");
                    }
                }
                ++requests;
                emu_->inject(r);
                break;
            }
            case 3:
                check_ids(m, local);
                emu_->inject(m);
                ++data_messages;
                break;
            case 2:
                check_ids(m, local);
                ++closes;
                break;
            case 4:
            case 5:
                ++keepalives;
                break;
            default:
                fault("unexpected type " + std::to_string(m[0]));
        }
        return true;
    }

    std::vector<std::string> faults() const {
        std::lock_guard lock(mu_);
        return faults_;
    }

    std::atomic<size_t> keepalives{0}, requests{0}, data_messages{0}, closes{0};

  private:
    void check_ids(const Bytes &m, uint32_t local) {
        std::lock_guard lock(mu_);
        auto it = peers_.find(local);
        if (it == peers_.end() || it->second != get32(m, 8) ||
            it->second != PEER_BASE + port_of(m)) {
            fault_locked("message of type " + std::to_string(m[0]) + " with foreign ids");
        }
    }
    void fault(const std::string &what) {
        std::lock_guard lock(mu_);
        fault_locked(what);
    }
    void fault_locked(const std::string &what) {
        if (faults_.size() < 20) {
            faults_.push_back(what);
        }
    }

    emu::DeviceEmulator *emu_ = nullptr;
    mutable std::mutex mu_;
    std::map<uint32_t, uint32_t> peers_;
    std::vector<std::string> faults_;
};

// One local client: its request, then its own stream out and back.
struct Client {
    int fd = -1;
    uint32_t stream = 0;
    uint16_t port = 0;
    Bytes response;
    size_t sent = 0, received = 0;
    StreamSum sent_sum, received_sum;
    std::string fault;

    bool done() const { return received == STREAM_SIZE || !fault.empty(); }

    void on_readable() {
        uint8_t buf[65536];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                fault = "connection ended after " + std::to_string(received) + " bytes";
            }
            return;
        }
        size_t used = 0;
        while (response.size() < WIRE_HEADER_SIZE && used < static_cast<size_t>(n)) {
            response.push_back(buf[used++]);
            if (response.size() == WIRE_HEADER_SIZE) {
                check_response();
            }
        }
        take_echo(buf + used, static_cast<size_t>(n) - used);
    }

    void check_response() {
        if (response[0] != 1 || port_of(response) != port ||
            get32(response, 8) != PEER_BASE + port) {
            fault = "response of another link";
        }
    }

    void take_echo(const uint8_t *p, size_t n) {
        if (n == 0) {
            return;
        }
        if (received + n > STREAM_SIZE) {
            fault = "more bytes than were sent";
            return;
        }
        Bytes want(n);
        fill_stream(stream, received, want.data(), n);
        if (memcmp(p, want.data(), n) != 0) {
            fault = "foreign or damaged bytes at offset " + std::to_string(received);
        }
        received_sum.add(p, n);
        received += n;
    }

    void on_writable() {
        uint8_t buf[65536];
        size_t n = std::min(sizeof(buf), STREAM_SIZE - sent);
        fill_stream(stream, sent, buf, n);
        ssize_t w = send(fd, buf, n, MSG_NOSIGNAL);
        if (w > 0) {
            sent_sum.add(buf, static_cast<size_t>(w));
            sent += static_cast<size_t>(w);
        } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
            fault = "send failed";
        }
    }
};

// Drives all clients with one poll loop until every stream came back. Data
// flows only once every link is established: the controller's answers share
// the device with the data, and an answer queued behind megabytes of echoes
// would miss the agent's handshake deadline.
bool run_clients(std::vector<Client> *clients, Clock::time_point deadline) {
    std::vector<pollfd> fds(clients->size());
    while (Clock::now() < deadline) {
        size_t open = 0;
        bool established = true;
        for (const Client &c : *clients) {
            established = established && (c.response.size() == WIRE_HEADER_SIZE || c.done());
        }
        for (size_t i = 0; i < clients->size(); ++i) {
            Client &c = (*clients)[i];
            fds[i] = {c.done() ? -1 : c.fd, 0, 0};
            if (!c.done()) {
                ++open;
                fds[i].events = POLLIN;
                if (established && c.sent < STREAM_SIZE) {
                    fds[i].events |= POLLOUT;
                }
            }
        }
        if (open == 0) {
            return true;
        }
        if (poll(fds.data(), fds.size(), 100) < 0 && errno != EINTR) {
            return false;
        }
        for (size_t i = 0; i < clients->size(); ++i) {
            Client &c = (*clients)[i];
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                c.on_readable();
            }
            if ((fds[i].revents & POLLOUT) && !c.done()) {
                c.on_writable();
            }
        }
    }
    return false;
}

TEST(Load, TwoHundredTunnelsEachCarryAMebibyteBothWays) {
    // Declared first so that it outlives the emulator that calls it.
    EchoController controller;
    // Without the detail log: at this rate its lines would cost more than the data.
    AgentOnEmulator a(emu::DeviceEmulator::Mode::NetCdev, {}, false);
    controller.attach(&a.emu);
    a.emu.set_message_hook([&](const Bytes &m) { return controller.on_message(m); });
    ASSERT_TRUE(a.start(10s, false)) << a.agent.stderr_text();
    for (Clock::time_point due = Clock::now() + 10s;
         controller.keepalives == 0 && Clock::now() < due;) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_GT(controller.keepalives, 0u) << "no init message; " << a.agent.stderr_text();
    const Holdings idle = settled_holdings(a.agent.pid());

    Clock::time_point start = Clock::now();
    std::vector<Client> clients(LINKS);
    for (size_t i = 0; i < LINKS; ++i) {
        Client &c = clients[i];
        c.stream = static_cast<uint32_t>(1000 + i);
        c.port = static_cast<uint16_t>(FIRST_PORT + i);
        c.fd = a.connect_client();
        ASSERT_GE(c.fd, 0) << "client " << i;
        WireHeader h;
        h.source = 1;
        h.port = c.port;
        ASSERT_TRUE(send_all(c.fd, make_message(h)));
        fcntl(c.fd, F_SETFL, fcntl(c.fd, F_GETFL) | O_NONBLOCK);
    }
    bool finished = run_clients(&clients, start + TRANSFER_LIMIT);
    auto transfer = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    size_t complete = 0;
    for (size_t i = 0; i < LINKS; ++i) {
        const Client &c = clients[i];
        EXPECT_TRUE(c.fault.empty()) << "client " << i << ": " << c.fault;
        EXPECT_EQ(c.received, STREAM_SIZE) << "client " << i;
        EXPECT_EQ(c.received_sum.value(), c.sent_sum.value()) << "client " << i;
        complete += c.received == STREAM_SIZE && c.received_sum.value() == c.sent_sum.value();
    }
    EXPECT_TRUE(finished) << complete << " of " << LINKS << " streams came back in time";
    EXPECT_EQ(controller.requests, LINKS);

    for (Client &c : clients) {
        close(c.fd);
    }
    Clock::time_point closes_due = Clock::now() + 20s;
    while (controller.closes < LINKS && Clock::now() < closes_due) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(controller.closes, LINKS);
    expect_holdings(a, idle, 20s);
    for (const std::string &f : controller.faults()) {
        ADD_FAILURE() << "controller: " << f;
    }
    auto total = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    std::cout << "load: " << LINKS << " links x " << STREAM_SIZE << " bytes each way, transfer "
              << transfer.count() << " ms, with teardown " << total.count() << " ms, "
              << controller.data_messages << " data messages\n";
    RecordProperty("transfer_ms", static_cast<int>(transfer.count()));
    stop_agent_cleanly(a);
}

}  // namespace
}  // namespace e2e
