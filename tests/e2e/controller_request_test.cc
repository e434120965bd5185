// Requests of the controller, end to end: written to the emulated device, checked
// on real TCP and UDP sockets on the host, in what the agent answers and in its
// metrics file.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/e2e/agent_checks.h"
#include "tests/e2e/harness.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A controller header with recognisable values in the fields the agent must
// keep; local_link_id 0 marks a request. `payload` follows it.
Bytes controller_msg(uint8_t type, uint8_t protocol, uint16_t port, uint32_t peer_id,
                     const Bytes &payload = {}) {
    Bytes m = {type,     0,   static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port),
               protocol, 0x77};
    m.resize(16);
    put32(&m, 8, peer_id);
    for (size_t i = 16; i < WIRE_HEADER_SIZE; ++i) {
        m.push_back(static_cast<uint8_t>(0xB0 + i));
    }
    m.insert(m.end(), payload.begin(), payload.end());
    return m;
}

Bytes with_type(Bytes m, uint8_t type) {
    m[0] = type;
    return m;
}

bool readable(int fd, std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(timeout.count())) == 1;
}

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

// A socket bound to 127.0.0.1 on a free port; listening when it is TCP.
struct LocalSocket : Fd {
    explicit LocalSocket(int type) {
        for (int attempt = 0; attempt < 20 && fd < 0; ++attempt) {
            int s = socket(AF_INET, type | SOCK_CLOEXEC, 0);
            sockaddr_in addr = loopback(static_cast<uint16_t>(free_tcp_port()));
            if (bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 &&
                (type != SOCK_STREAM || listen(s, 8) == 0)) {
                fd = s;
                port = ntohs(addr.sin_port);
            } else {
                close(s);
            }
        }
    }
    // The next datagram, up to 65536 bytes; empty when none came in time.
    Bytes datagram(std::chrono::milliseconds timeout = 3s) const {
        Bytes got(65536);
        ssize_t n = readable(fd, timeout) ? recv(fd, got.data(), got.size(), 0) : 0;
        got.resize(static_cast<size_t>(std::max<ssize_t>(n, 0)));
        return got;
    }
    uint16_t port = 0;
};

// Injects a TCP request; expects the agent's *answer to accept it under a new id
// and the server to be connected.
void open_tcp(AgentOnEmulator &a, const LocalSocket &server, uint32_t peer_id, Bytes *answer,
              Fd *conn) {
    const Bytes request = controller_msg(0, 0, server.port, peer_id);
    a.emu.inject(request);
    ASSERT_TRUE(a.next_message(answer, 5s)) << a.agent.log();
    ASSERT_EQ(answer->size(), WIRE_HEADER_SIZE);
    EXPECT_NE(get32(*answer, 12), 0u);
    Bytes want = with_type(request, 1);
    want[1] = 1;
    put32(&want, 12, get32(*answer, 12));
    EXPECT_EQ(*answer, want);
    ASSERT_TRUE(readable(server.fd, 2s));
    conn->fd = accept(server.fd, nullptr, nullptr);
    ASSERT_GE(conn->fd, 0);
}

class ControllerRequest : public StartedAgent {};
IN_BOTH_DEVICE_MODES(ControllerRequest);

TEST_P(ControllerRequest, TcpLinkToALocalServerCarriesDataBothWays) {
    const Holdings idle = settled_holdings(a.agent.pid());
    LocalSocket server(SOCK_STREAM);
    ASSERT_GE(server.fd, 0);
    Bytes answer, msg;
    Fd conn;
    ASSERT_NO_FATAL_FAILURE(open_tcp(a, server, 0x12345678, &answer, &conn));
    exchange_data(a, conn.fd, with_type(answer, 3), with_type(answer, 3), stream_bytes(11, 1 << 20),
                  stream_bytes(12, 1 << 20));

    // The server ends the link: one CLOSE with the link's header.
    close(std::exchange(conn.fd, -1));
    ASSERT_TRUE(a.next_message(&msg, 5s));
    EXPECT_EQ(msg, with_type(answer, 2));
    expect_holdings(a, idle, 3s);
}

TEST_P(ControllerRequest, UnservedKindsAreDroppedAndServingGoesOn) {
    LocalSocket server(SOCK_STREAM), udp(SOCK_DGRAM);
    ASSERT_GE(server.fd, 0);
    ASSERT_GE(udp.fd, 0);
    a.emu.inject(controller_msg(0, 1, server.port, 1));
    a.emu.inject(controller_msg(3, 0, udp.port, 2, stream_bytes(31, 100)));
    a.emu.inject(controller_msg(4, 0, server.port, 3));
    a.emu.inject(controller_msg(5, 0, server.port, 4));
    // One request is taken every 100 ms; each rejection is logged. Anything
    // the agent wrote meanwhile stays queued for the quiet check.
    auto rejections = [&] {
        const std::string log = a.agent.log();
        size_t n = 0;
        for (size_t at = 0; (at = log.find("Reject msg type", at)) != std::string::npos; ++at) {
            ++n;
        }
        return n;
    };
    for (auto due = Clock::now() + 5s; rejections() < 4 && Clock::now() < due;) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(rejections(), 4u) << a.agent.log();
    expect_device_quiet(a, 300ms);
    EXPECT_FALSE(readable(server.fd, 0ms)) << "a rejected request connected to the server";
    EXPECT_FALSE(readable(udp.fd, 0ms)) << "a rejected request sent a datagram";

    Bytes answer;
    Fd conn;
    ASSERT_NO_FATAL_FAILURE(open_tcp(a, server, 0x0F0F0F0F, &answer, &conn));
    // The controller ends this link: the server sees the end, nothing is sent.
    a.emu.inject(with_type(answer, 2));
    ASSERT_TRUE(readable(conn.fd, 3s));
    uint8_t byte;
    EXPECT_EQ(recv(conn.fd, &byte, 1, 0), 0);

    // Datagrams go out unanswered; the large one is as long as a USB message
    // can be (128 slices of 450 bytes).
    const Bytes payloads[] = {stream_bytes(21, 1000),
                              stream_bytes(22, std::min<size_t>(60000, max_payload(a)))};
    for (const Bytes &payload : payloads) {
        a.emu.inject(controller_msg(3, 1, udp.port, 0xD0D0D0D0, payload));
    }
    for (const Bytes &payload : payloads) {
        const Bytes got = udp.datagram();
        EXPECT_EQ(got.size(), payload.size()) << a.agent.log();
        EXPECT_TRUE(got == payload);
    }
    expect_device_quiet(a, 300ms);
}

// Ports bound before the agent starts, so that its policy can name them.
struct PolicyPorts {
    LocalSocket open_server{SOCK_STREAM}, closed_server{SOCK_STREAM};
    LocalSocket open_udp{SOCK_DGRAM}, closed_udp{SOCK_DGRAM};
};

// An agent whose policy lets the controller reach only open_server and open_udp.
class PolicedRequest : protected PolicyPorts, public StartedAgent {
  protected:
    PolicedRequest() : StartedAgent(policy_for(*this)) {}
    static AgentOptions policy_for(const PolicyPorts &p) {
        AgentOptions o;
        o.policy =
            "# the controller's reach\nhost_tcp_ports = " + std::to_string(p.open_server.port) +
            "\nhost_udp_ports = 7," + std::to_string(p.open_udp.port) + "\n";
        return o;
    }
};
IN_BOTH_DEVICE_MODES(PolicedRequest);

// Other ports are refused as a port where nothing listens (TCP) or dropped (UDP) before
// anything reaches them, with one log line per rule however often they come.
TEST_P(PolicedRequest, OnlyListedHostPortsAreReached) {
    const Bytes request = controller_msg(0, 0, closed_server.port, 0xCAFE0005);
    const Bytes payload = stream_bytes(43, 500);
    Bytes refusal = with_type(request, 2), got;
    refusal[1] = 1;  // from the host
    refusal[6] = 1;  // ret_code: refused
    for (int i = 0; i < 3; ++i) {
        a.emu.inject(request);
        ASSERT_TRUE(a.next_message(&got, 5s)) << a.agent.log();
        EXPECT_EQ(got, refusal);
        a.emu.inject(controller_msg(3, 1, closed_udp.port, 0xD3, payload));
    }
    Bytes answer;
    Fd conn;
    ASSERT_NO_FATAL_FAILURE(open_tcp(a, open_server, 0xCAFE0006, &answer, &conn));
    exchange_data(a, conn.fd, with_type(answer, 3), with_type(answer, 3), stream_bytes(44, 5000),
                  stream_bytes(45, 5000));
    a.emu.inject(controller_msg(3, 1, open_udp.port, 0xD4, payload));
    EXPECT_EQ(open_udp.datagram(), payload);
    EXPECT_FALSE(readable(closed_server.fd, 0ms)) << "a refused request connected";
    EXPECT_TRUE(closed_udp.datagram(0ms).empty()) << "a refused datagram was sent";
    const std::string log = a.agent.log();
    size_t lines = 0;
    for (size_t at = 0; (at = log.find("] cdev_handle_conn_request,", at)) != std::string::npos;
         ++at) {
        lines += log.compare(log.find(" -> ", at), 19, " -> Policy refused ") == 0;
    }
    EXPECT_EQ(lines, 2u) << log;
    for (const std::string &line :
         {"TCP request for host port " + std::to_string(closed_server.port),
          "UDP datagram for host port " + std::to_string(closed_udp.port)}) {
        EXPECT_NE(log.find("Policy refused the controller's " + line + ".\n"), std::string::npos)
            << line;
    }
}

// No message is ever parsed from the middle of another: a message longer
// than 131072 bytes is skipped to the device's end of message; a read that
// fails inside a message has the device reopened, and the reopened device
// starts clean: its first message arrives. Each broken message hides a
// request for a port where a server listens; neither may reach it.
class NetCdevRequest : public StartedAgent {};  // USB slices carry their own framing
INSTANTIATE_TEST_SUITE_P(Modes, NetCdevRequest, ::testing::Values(Mode::NetCdev), mode_name);

TEST_P(NetCdevRequest, BrokenMessagesAreSkippedToTheirEnd) {
    LocalSocket server(SOCK_STREAM), udp(SOCK_DGRAM);
    ASSERT_GE(server.fd, 0);
    ASSERT_GE(udp.fd, 0);
    const Bytes hidden = controller_msg(0, 0, server.port, 0x0BADF00D);
    auto broken = [&](size_t size, size_t hide_at) {
        Bytes m = controller_msg(3, 0, 1, 0x55, Bytes(size - WIRE_HEADER_SIZE));
        put32(&m, 12, 0x55);  // data for a link nobody holds
        std::copy(hidden.begin(), hidden.end(), m.begin() + static_cast<long>(hide_at));
        return m;
    };
    const Bytes payloads[] = {stream_bytes(41, 500), stream_bytes(42, 600)};
    a.emu.fail_read_at(1024, EIO);
    a.emu.inject(broken(3000, 1024));
    a.emu.inject(controller_msg(3, 1, udp.port, 0xD1, payloads[0]));
    a.emu.inject(broken(131072 + 1024 + 100, 131072 + 1024));
    a.emu.inject(controller_msg(3, 1, udp.port, 0xD1, payloads[1]));
    for (const Bytes &payload : payloads) {
        EXPECT_EQ(udp.datagram(5s), payload) << a.agent.log();
    }
    EXPECT_FALSE(readable(server.fd, 0ms)) << "a request was read from the middle of a message";
    expect_device_quiet(a, 300ms);
    const std::string log = a.agent.log();
    for (const char *line :
         {"Open /dev/net_cdev successfully", "Drop too long message, length: more than 131072.\n",
          "Skipped 100 bytes to the end of a broken message\n"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line;
    }
    EXPECT_NE(log.find("Open /dev/net_cdev successfully"),
              log.rfind("Open /dev/net_cdev successfully"))
        << "the device was not reopened";
    EXPECT_EQ(log.find("Skipped 1976 bytes"), std::string::npos)
        << "the reopened device was skipped";
}

// A local service that does not take the connection is refused after a few
// seconds; meanwhile the controller's other requests are served at once.
TEST_P(ControllerRequest, ServiceThatDoesNotAcceptIsRefusedInTime) {
    LocalSocket stuck(SOCK_STREAM), server(SOCK_STREAM), udp(SOCK_DGRAM);
    ASSERT_GE(stuck.fd, 0);
    ASSERT_EQ(listen(stuck.fd, 0), 0);
    std::vector<Fd> fillers(3);  // the backlog is full: new connects hang
    for (Fd &f : fillers) {
        f.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in addr = loopback(stuck.port);
        connect(f.fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
    }
    a.emu.inject(controller_msg(0, 0, stuck.port, 0xCAFE0002));
    std::this_thread::sleep_for(200ms);  // its connect is under way
    auto asked = Clock::now();
    const Bytes payload = stream_bytes(42, 100);
    a.emu.inject(controller_msg(3, 1, udp.port, 0xD2, payload));
    Bytes answer, refusal;
    Fd conn;
    ASSERT_NO_FATAL_FAILURE(open_tcp(a, server, 0xCAFE0003, &answer, &conn));
    EXPECT_EQ(udp.datagram(0ms), payload);
    auto served = Clock::now() - asked;
    EXPECT_LT(served, 500ms) << "served behind the stuck service";
    RecordProperty(
        "served_behind_stuck_us",
        static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(served).count()));
    ASSERT_TRUE(a.next_message(&refusal, 10s));
    EXPECT_GT(Clock::now() - asked, 2s);
    Bytes want = with_type(controller_msg(0, 0, stuck.port, 0xCAFE0002), 2);
    want[1] = 1;  // from the host
    want[6] = 1;  // ret_code: refused
    EXPECT_EQ(refusal, want);
    EXPECT_NE(a.agent.log().find("Failed to connect to server, error code: 110\n"),
              std::string::npos);
}

// The samples of a metrics file as Prometheus' own parser reads them, one
// "name{label="value",...} value" per line, each family's type before its samples.
std::string parsed_metrics(const std::string &file) {
    TempDir dir;
    std::ofstream(dir.path + "/parse.py") << R"(
import sys
from prometheus_client.parser import text_string_to_metric_families
for family in text_string_to_metric_families(open(sys.argv[1]).read()):
    print('#', family.name, family.type)
    for s in family.samples:
        labels = ','.join('%s="%s"' % kv for kv in sorted(s.labels.items()))
        print(s.name + ('{%s}' % labels if labels else ''), '%d' % s.value)
)";
    const std::string out = dir.path + "/out";
    // Debian's python3, which python3-prometheus-client is for.
    if (std::system(("/usr/bin/python3 " + dir.path + "/parse.py " + file + " >" + out).c_str()) !=
        0) {
        return "";
    }
    return read_file(out);
}

// Every MetricsFile agent rewrites cdev.prom each second.
class MetricsFile : public StartedAgent {
  protected:
    MetricsFile() : StartedAgent({"--metrics", "cdev.prom", "--metrics-interval", "1"}) {}
    const std::string file = a.agent.workdir() + "/cdev.prom";
};
INSTANTIATE_TEST_SUITE_P(Modes, MetricsFile, ::testing::Values(Mode::NetCdev), mode_name);

// A link the controller opens carries known bytes, one it asks for is refused:
// the file says so, each refresh replacing it whole, readable by the collector.
TEST_P(MetricsFile, CountsKnownTrafficAndIsReplacedWhole) {
    LocalSocket server(SOCK_STREAM);
    ASSERT_GE(server.fd, 0);
    Bytes answer, msg;
    Fd conn;
    ASSERT_NO_FATAL_FAILURE(open_tcp(a, server, 0x12345678, &answer, &conn));
    exchange_data(a, conn.fd, with_type(answer, 3), with_type(answer, 3), stream_bytes(11, 300000),
                  stream_bytes(12, 500000));
    close(std::exchange(conn.fd, -1));
    ASSERT_TRUE(a.next_message(&msg, 5s));
    a.emu.inject(controller_msg(0, 0, static_cast<uint16_t>(free_tcp_port()), 0xCAFE0001));
    ASSERT_TRUE(a.next_message(&msg, 5s));
    EXPECT_EQ(msg[0], 2);

    const std::vector<std::string> expected = {
        "# cdev_links_opened counter\n",
        "cdev_links_opened_total{opener=\"client\"} 0\n",
        "cdev_links_opened_total{opener=\"controller\"} 1\n",
        "cdev_links_refused_total{opener=\"controller\"} 1\n",
        "cdev_links_ended_total{cause=\"local_closed\"} 1\n",
        "cdev_link_bytes_total{direction=\"from_controller\"} 500000\n",
        "cdev_link_bytes_total{direction=\"to_controller\"} 300000\n",
        "# cdev_device_open gauge\ncdev_device_open 1\n",
        "cdev_links{opener=\"controller\"} 0\n"};
    struct stat before {};
    ASSERT_EQ(stat(file.c_str(), &before), 0);
    std::string parsed;
    auto has_all = [&] {
        parsed = parsed_metrics(file);
        return std::all_of(expected.begin(), expected.end(), [&](const std::string &s) {
            return parsed.find(s) != std::string::npos;
        });
    };
    for (auto end = Clock::now() + 5s; !has_all() && Clock::now() < end;) {
        std::this_thread::sleep_for(100ms);
    }
    for (const std::string &s : expected)
        EXPECT_NE(parsed.find(s), std::string::npos) << s << parsed;
    struct stat after {};
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino);  // renamed over, never rewritten in place
    EXPECT_EQ(after.st_mode & 0777, 0644u);
    EXPECT_FALSE(std::filesystem::exists(file + ".tmp"));
    // Gone with the agent: the collector shows no numbers of a stopped one.
    stop_agent_cleanly(a);
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_FALSE(std::filesystem::exists(a.agent.workdir() + "/status.sock"));
}

}  // namespace
}  // namespace e2e
