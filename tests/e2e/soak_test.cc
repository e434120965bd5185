// Links under pressure, in both device modes:
// - a soak: 200 tunnels of random sizes, ended at random by the client or the
//   controller, while the device vanishes and comes back again and again, one
//   client stops reading and 50 clients send nothing. Afterwards every
//   surviving link carried its bytes intact, every other ended with a reset
//   unless a peer ended it, every link ended on both sides, the receive queue
//   is empty and the agent holds what it held before;
// - ten clients that stop reading cost two reading links nothing;
// - a stop with 200 links carrying data resets every client and tells the
//   controller of every link.
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
constexpr size_t STEADY_CLIENTS = 20;
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
    // What the controller knows of the link to `port`, for a failure's message.
    std::string describe(uint16_t port) const {
        std::lock_guard lock(mu);
        for (const auto &[id, l] : links) {
            if (l.port == port) {
                char text[160];
                snprintf(text, sizeof(text), "link 0x%08x: %zu bytes echoed%s%s",
                         __builtin_bswap32(id), l.echoed,
                         l.agent_closed ? ", closed by the agent" : "",
                         l.controller_closed ? ", closed by the controller" : "");
                return text;
            }
        }
        return "no link";
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
// may give up part way, stop reading altogether, or go on pinging (4 KiB,
// then the echo) until a given time.
struct Client {
    enum class Role { FULL, CLOSES_EARLY, ENDED_BY_CONTROLLER, STALLED, STEADY };
    static constexpr size_t PING = 4096;
    int fd = -1;
    uint32_t stream = 0;
    Role role = Role::FULL;
    size_t size = 0;  // bytes to send
    size_t sent = 0, received = 0;
    bool ended = false;  // the agent closed the connection
    bool reset = false;  // ... with a reset
    std::string fault;
    Clock::time_point until{}, last_echo{};  // a steady client's end, its last echo

    bool done() const {
        if (ended || !fault.empty()) {
            return true;
        }
        if (role == Role::STEADY) {
            return received == sent && Clock::now() >= until;
        }
        return role != Role::STALLED && received == size && sent == size;
    }
    bool wants_to_send() const {
        return role == Role::STEADY ? sent == received && Clock::now() < until : sent < size;
    }
    void on_readable() {
        uint8_t buf[65536], want[65536];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) {
            ended = true;
            reset = n < 0;
        } else if (n > 0) {
            fill_stream(stream, received, want, static_cast<size_t>(n));
            if (received + static_cast<size_t>(n) > sent ||
                memcmp(buf, want, static_cast<size_t>(n)) != 0) {
                fault = "foreign or damaged bytes at offset " + std::to_string(received);
            }
            received += static_cast<size_t>(n);
            last_echo = Clock::now();
        }
    }
    // A client that never reads sees its end as an error on the socket.
    void on_stalled_end() {
        int err = 0;
        socklen_t len = sizeof(err);
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        ended = true;
        reset = err == ECONNRESET;
    }
    void on_writable() {
        uint8_t buf[65536];
        size_t n = std::min(role == Role::STEADY ? PING : sizeof(buf), size - sent);
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
                      static_cast<short>(reads | (c.wants_to_send() ? POLLOUT : 0)), 0};
        }
        if (std::all_of(clients.begin(), clients.end(), [](const Client &c) { return c.done(); }) ||
            poll(fds.data(), fds.size(), 100) < 0) {
            return;
        }
        for (size_t i = 0; i < clients.size(); ++i) {
            Client &c = clients[i];
            if (fds[i].revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) {
                c.role == Client::Role::STALLED ? c.on_stalled_end() : c.on_readable();
            }
            if ((fds[i].revents & POLLOUT) && c.wants_to_send()) {
                c.on_writable();
            }
        }
    }
}

// The agent on the emulated device with the echoing controller.
class Pressure : public ::testing::TestWithParam<Mode> {
  protected:
    explicit Pressure(bool debug_log = true) : a(GetParam(), {}, debug_log) {}
    void SetUp() override {
        controller.emu = &a.emu;
        a.emu.set_message_hook([this](const Bytes &m) { return controller.on_message(m); });
        ASSERT_TRUE(a.start(10s, false)) << a.agent.stderr_text();
        wait_until([&] { return controller.keepalives > 0; }, 10s, 10ms);
        ASSERT_GT(controller.keepalives, 0u) << "no init message; " << a.agent.stderr_text();
    }
    // A client of a link to controller port `port`, its receive buffer small
    // when it is to stop reading; its socket non-blocking from then on.
    void open_link(Client *c, uint16_t port, bool small_buffer = false, Bytes *response = nullptr) {
        c->fd = a.connect_client();
        ASSERT_GE(c->fd, 0);
        if (small_buffer) {
            int small = 4096;
            setsockopt(c->fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
        }
        ASSERT_TRUE(send_all(c->fd, client_request(port)));
        Bytes got;
        ASSERT_TRUE(recv_exact(c->fd, WIRE_HEADER_SIZE, response ? response : &got, 10s))
            << a.agent.log();
        fcntl(c->fd, F_SETFL, fcntl(c->fd, F_GETFL) | O_NONBLOCK);
    }
    // Every link has ended on the controller's side too.
    void expect_controller_told() {
        wait_until([&] { return controller.half_open().first == 0; }, 15s);
        EXPECT_EQ(controller.half_open().first, 0u);
        const auto faults = (std::lock_guard<std::mutex>(controller.mu), controller.faults);
        for (const std::string &f : faults) {
            ADD_FAILURE() << "controller: " << f;
        }
    }

    AgentOnEmulator a;
    EchoController controller;
};

using Soak = Pressure;

TEST_P(Soak, LinksSurviveOrEndCleanlyThroughFaults) {
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
        if (i > 0 && i <= STEADY_CLIENTS) {  // under traffic through every gap
            c.role = Client::Role::STEADY;
            c.size = SIZE_MAX;
            c.until = Clock::now() + 10s;
        }
        if (c.role == Client::Role::ENDED_BY_CONTROLLER) {
            controller.close_after[port] = c.size / 3;
        }
        if (i == 0) {  // it buffers little, so its echo piles up
            c.size = GetParam() == Mode::Usb ? STALLED_STREAM_USB : STALLED_STREAM;
        }
        ASSERT_NO_FATAL_FAILURE(open_link(&c, port, i == 0));
    }
    Clock::time_point gaps_over{};
    std::thread faults([&] {
        std::vector<int> silent;
        for (size_t i = 0; i < SILENT_CLIENTS; ++i) {
            silent.push_back(a.connect_client());
        }
        // The device goes away again and again, for a moment and for long.
        for (auto gap : {1000ms, 300ms, 3000ms, 100ms}) {
            std::this_thread::sleep_for(300ms);
            a.emu.set_present(false);
            std::this_thread::sleep_for(gap);
            a.emu.set_present(true);
        }
        gaps_over = Clock::now();
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
        // Cut short by nobody's wish: never a clean end of stream.
        bool whole = c.received == c.size;
        if (c.ended && !whole && c.role != Client::Role::ENDED_BY_CONTROLLER &&
            c.role != Client::Role::CLOSES_EARLY) {
            EXPECT_TRUE(c.reset) << "client " << i << " ended cleanly after " << c.received
                                 << " of " << c.size;
        }
        // A link that stayed open through the gaps carries data after them.
        if (c.role == Client::Role::STEADY && !c.ended) {
            EXPECT_GT(c.last_echo, gaps_over + 1s)
                << "client " << i << " hangs after the gaps, " << c.received << " of " << c.sent
                << " back; " << controller.describe(static_cast<uint16_t>(FIRST_PORT + i));
        }
        close(c.fd);
    }
    EXPECT_TRUE(clients[0].ended) << "the client that stopped reading kept its link; sent "
                                  << clients[0].sent << " of " << clients[0].size;
    expect_controller_told();
    EXPECT_EQ(controller.half_open().second, LINKS);
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

// Ten clients stop reading while the controller sends each 6 MiB in 16 KiB
// messages (more than the sockets hold); two clients read probes sent every
// 20 ms. The reading links lose nothing and wait under a second; each stalled
// client gets its data whole or an intact prefix then a reset, the controller
// a CLOSE for it, and the status counts it.
TEST_P(Soak, StalledClientsCostTheReadingLinksNothing) {
    constexpr size_t STALLED = 10, READING = 2, PER_STALLED = 6 << 20, CHUNK = 16 << 10,
                     PROBE = 1024;
    std::vector<Client> clients(STALLED + READING);
    std::vector<Bytes> headers(clients.size());
    for (size_t i = 0; i < clients.size(); ++i) {
        clients[i].stream = static_cast<uint32_t>(500 + i);
        ASSERT_NO_FATAL_FAILURE(open_link(&clients[i], static_cast<uint16_t>(FIRST_PORT + i),
                                          i < STALLED, &headers[i]));
        headers[i][0] = 3;  // the controller's data on the link
    }
    auto send_down = [&](size_t i, size_t offset, size_t n) {
        Bytes m = headers[i];
        Bytes payload = stream_bytes(clients[i].stream, n, offset);
        m.insert(m.end(), payload.begin(), payload.end());
        a.emu.inject(m);
    };
    std::atomic<bool> done{false}, flooded{false};
    std::vector<std::vector<Clock::time_point>> sent_at(READING);
    std::mutex sent_mu;
    std::thread probes([&] {
        for (size_t k = 0; !done; ++k) {
            for (size_t r = 0; r < READING; ++r) {
                std::lock_guard lock(sent_mu);
                sent_at[r].push_back(Clock::now());
                send_down(STALLED + r, k * PROBE, PROBE);
            }
            std::this_thread::sleep_for(20ms);
        }
    });
    // Paced by the device, so that the probes wait behind the agent, not
    // behind the flood in the device.
    const size_t backlog = GetParam() == Mode::Usb ? 400 : 20;
    std::thread flood([&] {
        for (size_t at = 0; at < PER_STALLED && !done; at += CHUNK) {
            while (a.emu.pending_for_agent() > backlog && !done) {
                std::this_thread::sleep_for(1ms);
            }
            for (size_t i = 0; i < STALLED; ++i) send_down(i, at, CHUNK);
        }
        flooded = true;
    });
    // The reading clients take what comes, checking every byte and the wait.
    Clock::duration worst{};
    size_t probes_read = 0;
    for (auto due = Clock::now() + 60s; Clock::now() < due && (probes_read < 150 || !flooded);) {
        for (size_t r = 0; r < READING; ++r) {
            Client &c = clients[STALLED + r];
            size_t before = c.received;
            c.sent = SIZE_MAX;  // what comes down is checked against the stream only
            c.on_readable();
            std::lock_guard lock(sent_mu);
            for (size_t k = before / PROBE; k < c.received / PROBE; ++k) {
                worst = std::max(worst, Clock::now() - sent_at[r][k]);
            }
        }
        probes_read = std::min(clients[STALLED].received, clients[STALLED + 1].received) / PROBE;
        std::this_thread::sleep_for(2ms);
    }
    done = true;
    probes.join();
    flood.join();
    EXPECT_GE(probes_read, 150u);
    EXPECT_LT(worst, 1s) << "a probe waited behind the stalled clients";
    for (size_t i = 0; i < clients.size(); ++i) {
        EXPECT_TRUE(clients[i].fault.empty()) << "client " << i << ": " << clients[i].fault;
    }
    size_t resets = 0;
    for (size_t i = 0; i < STALLED; ++i) {  // now it reads: all, or an intact prefix and a reset
        Client &c = clients[i];
        c.sent = SIZE_MAX;
        for (auto due = Clock::now() + 10s;
             !c.ended && c.fault.empty() && c.received < PER_STALLED && Clock::now() < due;) {
            pollfd p{c.fd, POLLIN, 0};
            poll(&p, 1, 100);
            c.on_readable();
        }
        EXPECT_TRUE(c.reset || (!c.ended && c.received == PER_STALLED))
            << "stalled client " << i << " after " << c.received << " bytes";
        EXPECT_TRUE(c.fault.empty()) << c.fault;
        resets += c.reset;
    }
    EXPECT_GT(resets, 0u) << "no client stalled the agent";
    for (Client &c : clients) {
        close(c.fd);
    }
    expect_controller_told();
    // The status counts each reset as a link the queue ended for its client.
    const std::vector<std::string> dropped =
        json_values(ask_status(a.agent.workdir() + "/status.sock", "status json\n"),
                    {"counters.links_dropped.stalled_client", "counters.links_dropped.no_room",
                     "counters.links_ended.queue_dropped"});
    ASSERT_EQ(dropped.size(), 3u);
    EXPECT_EQ(std::stoul(dropped[0]) + std::stoul(dropped[1]), resets);
    EXPECT_EQ(std::stoul(dropped[2]), resets);
    stop_agent_cleanly(a);
}

// The agent is stopped while 200 links carry data both ways: it ends with
// status 0 within 2 s, every client sees a reset, the controller a CLOSE of
// every link, the device is not reopened, and the log stays short.
class Stop : public Pressure {
  protected:
    Stop() : Pressure(false) {}
};

TEST_P(Stop, StopResetsEveryLinkAndTellsTheController) {
    std::vector<Client> clients(LINKS);
    for (size_t i = 0; i < LINKS; ++i) {
        clients[i].stream = static_cast<uint32_t>(2000 + i);
        clients[i].size = 1 << 30;  // more than is ever sent
        ASSERT_NO_FATAL_FAILURE(open_link(&clients[i], static_cast<uint16_t>(FIRST_PORT + i)));
    }
    run_clients(clients, Clock::now() + 1s);
    const size_t opens = a.emu.open_count(), log_size = a.agent.log().size();
    a.agent.send_signal(SIGTERM);
    auto asked = Clock::now();
    EXPECT_EQ(a.agent.wait_exit(5s), 0) << a.agent.stderr_text();
    EXPECT_LT(Clock::now() - asked, 2s);
    for (size_t i = 0; i < LINKS; ++i) {  // what was echoed is intact, then the reset
        Client &c = clients[i];
        for (auto due = Clock::now() + 5s; !c.ended && c.fault.empty() && Clock::now() < due;) {
            pollfd p{c.fd, POLLIN, 0};
            poll(&p, 1, 100);
            c.on_readable();
        }
        EXPECT_TRUE(c.fault.empty()) << "client " << i << ": " << c.fault;
        EXPECT_TRUE(c.reset) << "client " << i << " after " << c.received << " bytes";
        close(c.fd);
    }
    expect_controller_told();
    EXPECT_EQ(a.emu.open_count(), opens) << "the device was reopened at stop";
    EXPECT_LT(a.agent.log().size() - log_size, 1000u) << a.agent.log().substr(log_size);
    stop_agent_cleanly(a);
}

IN_BOTH_DEVICE_MODES(Stop);
IN_BOTH_DEVICE_MODES(Soak);

}  // namespace
}  // namespace e2e
