// The controller role with the real agent: links the agent opens to
// controller-side services, links the controller opens to host services,
// one-shot forward requests and UDP datagrams, checked end to end.
#include "tools/controller/controller.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "tests/e2e/harness.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using emu::DeviceEmulator;

constexpr uint16_t CONTROLLER_PORT = 7001;

Bytes pattern(size_t n, uint32_t seed) {
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = static_cast<uint8_t>(x >> 24);
    }
    return b;
}

uint64_t checksum(const Bytes &b) {
    return ctl::checksum_update(ctl::CHECKSUM_START, b.data(), b.size());
}

int listen_loopback(int type, uint16_t *port) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
        (type == SOCK_STREAM && listen(fd, 64) != 0) ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

int connect_loopback(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// An echo service on a free loopback port; a reply prefix marks which
// service answered.
class EchoService {
  public:
    explicit EchoService(std::string prefix = "") : prefix_(std::move(prefix)) {
        fd_ = listen_loopback(SOCK_STREAM, &port_);
        accepter_ = std::thread([this] { accept_loop(); });
    }
    ~EchoService() {
        shutdown(fd_, SHUT_RDWR);
        accepter_.join();
        close(fd_);
        std::lock_guard lock(mu_);
        for (int fd : conns_) {
            shutdown(fd, SHUT_RDWR);
        }
        for (std::thread &t : workers_) {
            t.join();
        }
    }
    uint16_t port() const { return port_; }

  private:
    void accept_loop() {
        while (true) {
            int fd = accept(fd_, nullptr, nullptr);
            if (fd < 0) {
                return;
            }
            std::lock_guard lock(mu_);
            conns_.push_back(fd);
            workers_.emplace_back([this, fd] { echo(fd); });
        }
    }
    void echo(int fd) {
        Bytes buf(65536);
        bool first = true;
        while (true) {
            ssize_t n = recv(fd, buf.data(), buf.size(), 0);
            if (n <= 0) {
                break;
            }
            if (first && !prefix_.empty() &&
                !e2e::send_all(fd, Bytes(prefix_.begin(), prefix_.end()))) {
                break;
            }
            first = false;
            if (!e2e::send_all(fd, Bytes(buf.begin(), buf.begin() + n))) {
                break;
            }
        }
        close(fd);
    }

    std::string prefix_;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::thread accepter_;
    std::mutex mu_;
    std::vector<int> conns_;
    std::vector<std::thread> workers_;
};

// Sends data while reading the same amount back; true when all came back.
bool exchange(int fd, const Bytes &data, Bytes *back) {
    std::atomic<bool> got{false};
    std::thread reader([&] { got = e2e::recv_exact(fd, data.size(), back, 30s); });
    bool sent = e2e::send_all(fd, data);
    reader.join();
    return sent && got;
}

// The peer closed: recv returns 0 (or fails) within the timeout.
bool closed_by_peer(int fd, std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) {
        return false;
    }
    uint8_t b;
    return recv(fd, &b, 1, 0) <= 0;
}

bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// The agent's client request for a controller port.
Bytes link_request(uint16_t port, uint8_t type = ctl::TYPE_REQUEST, uint8_t protocol = 0) {
    e2e::WireHeader h;
    h.type = type;
    h.source = 1;
    h.port = port;
    h.protocol = protocol;
    return e2e::make_message(h);
}

// Several clients at once through the agent (on the device of env) to a
// controller-side echo service: the response names both ids, every byte
// comes back, the controller's per-link counts and checksums match what the
// clients sent, and a client's close ends the link on the controller side too.
template <class Env>
void check_client_links(Env *env, emu::Device *device) {
    EchoService service;
    ctl::Options options;
    options.port_map[CONTROLLER_PORT] = service.port();
    ctl::Controller controller(device, options);
    std::string error;
    ASSERT_TRUE(controller.start(&error)) << error;
    ASSERT_TRUE(env->start()) << env->agent.log();

    constexpr int LINKS = 8;
    const size_t size = device->mode() == DeviceEmulator::Mode::Usb ? 200000 : 600000;
    std::vector<std::thread> clients;
    std::vector<uint64_t> sums(LINKS);
    std::atomic<int> good{0};
    for (int i = 0; i < LINKS; ++i) {
        clients.emplace_back([&, i] {
            int fd = env->connect_client();
            Bytes response;
            if (fd < 0 || !e2e::send_all(fd, link_request(CONTROLLER_PORT)) ||
                !e2e::recv_exact(fd, ctl::HEADER_SIZE, &response, 10s)) {
                return;
            }
            e2e::WireHeader h;
            Bytes data = pattern(size + static_cast<size_t>(i), static_cast<uint32_t>(i));
            Bytes back;
            sums[static_cast<size_t>(i)] = checksum(data);
            if (e2e::parse_header(response, &h) && h.type == ctl::TYPE_RESPONSE &&
                h.local_link_id != 0 && h.peer_link_id != 0 && h.port == CONTROLLER_PORT &&
                exchange(fd, data, &back) && back == data) {
                ++good;
            }
            close(fd);
        });
    }
    for (std::thread &t : clients) {
        t.join();
    }
    EXPECT_EQ(good, LINKS);
    ASSERT_TRUE(wait_until([&] { return controller.open_links() == 0; }, 10s));
    std::vector<ctl::LinkRecord> links = controller.links();
    ASSERT_EQ(links.size(), static_cast<size_t>(LINKS));
    for (const ctl::LinkRecord &r : links) {
        EXPECT_EQ(r.kind, ctl::LinkKind::AgentOpened);
        EXPECT_EQ(r.socket_port, service.port());
        EXPECT_EQ(r.bytes_from_agent, r.bytes_to_agent);
        EXPECT_EQ(r.sum_from_agent, r.sum_to_agent);
        size_t index = r.bytes_from_agent - size;
        ASSERT_LT(index, sums.size());
        EXPECT_EQ(r.sum_from_agent, sums[index]);
        EXPECT_EQ(r.end, "closed by the agent");
    }
    EXPECT_EQ(controller.init_count(), 1u);
    EXPECT_EQ(controller.ignored_messages(), 0u);
}

struct LinkCase {
    DeviceEmulator::Mode mode;
    bool fast;  // the benchmarks' stand-in instead of the FUSE emulator
};

class AgentLinks : public ::testing::TestWithParam<LinkCase> {};

TEST_P(AgentLinks, ClientLinksReachTheControllerSideServiceIntact) {
    if (!GetParam().fast) {
        e2e::AgentOnEmulator env(GetParam().mode);
        check_client_links(&env, &env.emu);
        return;
    }
    // On the stand-in, every call the agent made on the device went through
    // its library: no call it does not emulate, and the bytes it counted are
    // the bytes the device saw.
    e2e::AgentOnFastDevice env(GetParam().mode);
    check_client_links(&env, &env.device);
    env.agent.send_signal(SIGTERM);
    ASSERT_EQ(env.agent.wait_exit(10s), std::optional<int>(0));
    std::map<std::string, uint64_t> counts = env.counts();
    EXPECT_EQ(counts["unemulated"], 0u);
    EXPECT_EQ(counts["open"], 1u);
    EXPECT_EQ(counts["close"], 1u);
    EXPECT_GT(counts["read"], 0u);
    EXPECT_GT(counts["write"], 0u);
    EXPECT_GT(counts["poll"], 0u);
    EXPECT_EQ(counts["bytes_written"], env.device.bytes_from_agent());
    EXPECT_EQ(counts["bytes_read"], env.device.bytes_to_agent());
}

INSTANTIATE_TEST_SUITE_P(Devices, AgentLinks,
                         ::testing::Values(LinkCase{DeviceEmulator::Mode::NetCdev, false},
                                           LinkCase{DeviceEmulator::Mode::Usb, false},
                                           LinkCase{DeviceEmulator::Mode::NetCdev, true},
                                           LinkCase{DeviceEmulator::Mode::Usb, true}),
                         [](const ::testing::TestParamInfo<LinkCase> &info) {
                             return std::string(info.param.mode == DeviceEmulator::Mode::Usb
                                                    ? "Usb"
                                                    : "NetCdev") +
                                    (info.param.fast ? "Fast" : "Fuse");
                         });

// A request for an unmapped port is refused: the client gets no response,
// only the end of its connection. A one-shot forward request is answered
// with the service's reply, then the connection ends.
TEST(AgentRequests, UnmappedPortIsRefusedAndForwardRequestGetsTheReply) {
    EchoService service("reply:");  // marks the service's answer
    e2e::AgentOnEmulator env;
    ctl::Options options;
    options.port_map[CONTROLLER_PORT] = service.port();
    ctl::Controller controller(&env.emu, options);
    std::string error;
    ASSERT_TRUE(controller.start(&error)) << error;
    ASSERT_TRUE(env.start()) << env.agent.log();

    int refused = env.connect_client();
    ASSERT_GE(refused, 0);
    ASSERT_TRUE(e2e::send_all(refused, link_request(CONTROLLER_PORT + 1)));
    EXPECT_TRUE(closed_by_peer(refused, 10s));
    close(refused);

    int fd = env.connect_client();
    ASSERT_GE(fd, 0);
    // Protocol 1 would be a datagram; any other non-zero one reaches the TCP service.
    Bytes request = link_request(CONTROLLER_PORT, ctl::TYPE_FORWARD, 2);
    Bytes payload = pattern(3000, 7);
    request.insert(request.end(), payload.begin(), payload.end());
    ASSERT_TRUE(e2e::send_all(fd, request));  // one send: the agent takes what has arrived
    Bytes reply;
    const std::string prefix = "reply:";
    Bytes expected(prefix.begin(), prefix.end());
    expected.insert(expected.end(), payload.begin(), payload.end());
    ASSERT_TRUE(e2e::recv_exact(fd, expected.size(), &reply, 10s));
    EXPECT_EQ(reply, expected);
    EXPECT_TRUE(closed_by_peer(fd, 10s));
    close(fd);

    std::vector<ctl::LinkRecord> links = controller.links();
    ASSERT_EQ(links.size(), 2u);
    EXPECT_EQ(links[0].end, "port not mapped");
    EXPECT_EQ(links[1].kind, ctl::LinkKind::Forward);
    EXPECT_EQ(links[1].bytes_from_agent, payload.size());
    EXPECT_EQ(links[1].bytes_to_agent, expected.size());
}

// Clients of the controller reach a host service through the agent, both
// ways and intact; a host port nobody listens on is refused by the agent and
// the controller's client is closed.
TEST(ControllerLinks, ControllerClientsReachHostServiceAndRefusalClosesTheClient) {
    EchoService host_service;
    uint16_t closed_port = 0;
    int closed_fd = listen_loopback(SOCK_STREAM, &closed_port);
    ASSERT_GE(closed_fd, 0);
    close(closed_fd);  // nothing listens there any more
    e2e::AgentOnEmulator env;
    ctl::Options options;
    options.listens = {{0, host_service.port()}, {0, closed_port}};
    ctl::Controller controller(&env.emu, options);
    std::string error;
    ASSERT_TRUE(controller.start(&error)) << error;
    ASSERT_TRUE(env.start()) << env.agent.log();
    std::vector<uint16_t> ports = controller.listen_ports();
    ASSERT_EQ(ports.size(), 2u);

    int fd = connect_loopback(ports[0]);
    ASSERT_GE(fd, 0);
    Bytes data = pattern(700000, 3);
    Bytes back;
    ASSERT_TRUE(exchange(fd, data, &back));
    EXPECT_EQ(back, data);
    close(fd);

    int refused = connect_loopback(ports[1]);
    ASSERT_GE(refused, 0);
    EXPECT_TRUE(closed_by_peer(refused, 10s));
    close(refused);

    ASSERT_TRUE(wait_until([&] { return controller.open_links() == 0; }, 10s));
    std::vector<ctl::LinkRecord> links = controller.links();
    ASSERT_EQ(links.size(), 2u);
    EXPECT_EQ(links[0].kind, ctl::LinkKind::ControllerOpened);
    EXPECT_NE(links[0].local_id, 0u);
    EXPECT_EQ(links[0].bytes_to_agent, data.size());
    EXPECT_EQ(links[0].sum_to_agent, checksum(data));
    EXPECT_EQ(links[0].sum_from_agent, checksum(data));
    EXPECT_EQ(links[0].end, "closed by the client");
    EXPECT_EQ(links[1].end, "refused by the agent");
    EXPECT_TRUE(env.agent.wait_for_log("connection CLOSE for fd", 5s));
}

// A datagram from the controller arrives whole at the host's UDP port.
TEST(ControllerDatagrams, DatagramIsDeliveredToTheHostPort) {
    uint16_t udp_port = 0;
    int udp = listen_loopback(SOCK_DGRAM, &udp_port);
    ASSERT_GE(udp, 0);
    e2e::AgentOnEmulator env;
    ctl::Controller controller(&env.emu, ctl::Options{});
    std::string error;
    ASSERT_TRUE(controller.start(&error)) << error;
    ASSERT_TRUE(env.start()) << env.agent.log();

    Bytes payload = pattern(1200, 11);
    ASSERT_TRUE(controller.send_udp(udp_port, payload));
    EXPECT_FALSE(controller.send_udp(udp_port, Bytes(ctl::NET_CDEV_MESSAGE_LIMIT)));
    pollfd p{udp, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    Bytes got(2000);
    ssize_t n = recv(udp, got.data(), got.size(), 0);
    ASSERT_EQ(n, static_cast<ssize_t>(payload.size()));
    got.resize(static_cast<size_t>(n));
    EXPECT_EQ(got, payload);
    close(udp);
}

}  // namespace
