// Tunnels opened by local clients, end to end: the real agent on the emulated
// device in each mode, the test playing the controller by hand.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

#include "tests/e2e/agent_checks.h"
#include "tests/e2e/harness.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The header `h` as type `type`; from the host (byte 1 set) when from_host.
Bytes with_type(Bytes h, uint8_t type, bool from_host = false) {
    h[0] = type;
    h[1] = from_host ? 1 : h[1];
    return h;
}

// A client header whose every other byte holds a recognisable value, so
// that any byte the agent changes on the way shows.
Bytes client_header(uint8_t type, uint8_t protocol, uint16_t port) {
    Bytes m = {type, 1, static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port), protocol};
    for (size_t i = 5; i < WIRE_HEADER_SIZE; ++i) {
        m.push_back(static_cast<uint8_t>(0xA0 + i));
    }
    return m;
}

// The controller's answer to a request: its own id and reserved bytes, and a
// non-zero ret_code, which does not refuse the link.
Bytes response_to(const Bytes &request, uint32_t peer_id) {
    Bytes r = {1, 0, request[2], request[3], request[4], request[5], 1, 0, 0, 0, 0, 0};
    put32(&r, 8, peer_id);
    r.insert(r.end(), request.begin() + 12, request.begin() + 16);
    for (size_t i = 16; i < WIRE_HEADER_SIZE; ++i) {
        r.push_back(static_cast<uint8_t>(0x30 + i));
    }
    return r;
}

// True when the peer closes within timeout; what came before goes to *got.
bool wait_eof(int fd, std::chrono::milliseconds timeout, Bytes *got) {
    got->clear();
    timeval tv{0, 50000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    for (auto deadline = Clock::now() + timeout; Clock::now() < deadline;) {
        uint8_t buf[4096];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) {
            return true;
        }
        got->insert(got->end(), buf, buf + std::max<ssize_t>(n, 0));
    }
    return false;
}

void expect_ended_silently(int fd, std::chrono::milliseconds timeout = 3s) {
    Bytes got;
    EXPECT_TRUE(wait_eof(fd, timeout, &got));
    EXPECT_TRUE(got.empty());
}

struct ClientLink {
    int fd = -1;
    Bytes request;   // as the controller saw it
    Bytes response;  // the link's header from now on
    ~ClientLink() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

// A client connects (unless connected) and sends `header`; the controller sees the request.
void send_request(AgentOnEmulator &a, const Bytes &header, ClientLink *link) {
    link->fd = link->fd < 0 ? a.connect_client() : link->fd;
    ASSERT_GE(link->fd, 0);
    ASSERT_TRUE(send_all(link->fd, header));
    ASSERT_TRUE(a.next_message(&link->request, 5s)) << a.agent.log();
    ASSERT_EQ(link->request.size(), header.size());
}

// The whole handshake: the client receives the controller's response unchanged.
void open_link(AgentOnEmulator &a, uint16_t port, uint32_t peer_id, ClientLink *link) {
    ASSERT_NO_FATAL_FAILURE(send_request(a, client_header(0, 0, port), link));
    link->response = response_to(link->request, peer_id);
    a.emu.inject(link->response);
    Bytes got;
    ASSERT_TRUE(recv_exact(link->fd, WIRE_HEADER_SIZE, &got, 5s)) << a.agent.log();
    ASSERT_EQ(got, link->response);
}

// `up` to the controller and `down` to the client at once, under the link's header.
void exchange(AgentOnEmulator &a, const ClientLink &link, const Bytes &up, const Bytes &down) {
    exchange_data(a, link.fd, with_type(link.response, 3, true), with_type(link.response, 3), up,
                  down);
}

using Values = std::vector<std::string>;

// Values of the agent's status, as JSON, at the dotted paths.
Values status_of(AgentOnEmulator &a, const Values &paths) {
    return json_values(ask_status(a.agent.workdir() + "/status.sock", "status json\n"), paths);
}

std::string quoted(const std::string &text) {
    return "\"" + text + "\"";
}

size_t count_of(const std::string &log, const std::string &line) {
    size_t n = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) {
        ++n;
    }
    return n;
}

// The messages of a capture as tshark decodes them with the dissector: per
// message the words of its fields in the order of `fields`, the payload in hex last.
std::vector<std::vector<std::string>> decoded_capture(const std::string &file) {
    const std::string fields =
        " -e cdev.direction -e cdev.mode -e cdev.type -e cdev.source -e cdev.port"
        " -e cdev.protocol -e cdev.ret_code -e cdev.local_link_id -e cdev.peer_link_id"
        " -e cdev.length -e data.data";
    TempDir scratch;
    const std::string text = scratch.path + "/fields";
    EXPECT_EQ(std::system(("tshark -r " + file +
                           " -X lua_script:" CDEV_DISSECTOR " -T fields -E separator=/s" + fields +
                           " >" + text + " 2>/dev/null")
                              .c_str()),
              0);
    std::istringstream lines(read_file(text));
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        rows.emplace_back(std::istream_iterator<std::string>(words),
                          std::istream_iterator<std::string>());
    }
    return rows;
}

Bytes from_hex(const std::string &hex) {
    Bytes b;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        b.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return b;
}

// Every ClientTunnel agent captures all that crosses its device.
class ClientTunnel : public StartedAgent {
  protected:
    ClientTunnel() : StartedAgent({"--capture", "cdev.pcap"}) {}
};
IN_BOTH_DEVICE_MODES(ClientTunnel);

// A client link's whole life: its request and the controller's answer cross
// unchanged, a mebibyte flows each way, the status shows the link as the log
// names it, the client's close sends one CLOSE and the agent holds what it
// held before.
TEST_P(ClientTunnel, WholeLifeOfAClientLink) {
    const Holdings idle = settled_holdings(a.agent.pid());
    ClientLink link;
    ASSERT_NO_FATAL_FAILURE(open_link(a, 8080, 0x11223344, &link));
    // The first id of the process, in host order: 01 07 DB 00.
    Bytes expected = client_header(0, 0, 8080), msg;
    std::copy_n(Bytes{0x01, 0x07, 0xDB, 0x00}.begin(), 4, expected.begin() + 12);
    EXPECT_EQ(link.request, expected);
    expect_holdings(a, {idle.sockets + 1, idle.threads + 2}, 2s);
    exchange(a, link, stream_bytes(1, 1 << 20), stream_bytes(2, 1 << 20));
    sockaddr_in client{};
    socklen_t len = sizeof(client);
    getsockname(link.fd, reinterpret_cast<sockaddr *>(&client), &len);
    const Values link_fields = {"links.0.local_link_id",
                                "links.0.peer_link_id",
                                "links.0.opener",
                                "links.0.port",
                                "links.0.address",
                                "links.0.bytes_to_controller",
                                "links.0.bytes_from_controller",
                                "links.0.state"};
    EXPECT_EQ(status_of(a, link_fields),
              (Values{quoted("0x0107db00"), quoted("0x44332211"), quoted("client"), "8080",
                      quoted("127.0.0.1:" + std::to_string(ntohs(client.sin_port))), "1048576",
                      "1048576", quoted("forwarding")}));

    close(std::exchange(link.fd, -1));
    ASSERT_TRUE(a.next_message(&msg, 5s)) << a.agent.log();
    EXPECT_EQ(msg, with_type(link.response, 2, true));
    expect_device_quiet(a, 500ms);
    expect_holdings(a, idle, 3s);
    EXPECT_EQ(
        status_of(a, {"links", "device.path", "device.open", "capture",
                      "counters.links_opened.client", "counters.links_ended.local_closed",
                      "counters.bytes_to_controller", "counters.bytes_from_controller"}),
        (Values{"[]", quoted(a.device_path()), "true", "true", "1", "1", "1048576", "1048576"}));

    // The capture holds each message once, in order, decoded field by field.
    stop_agent_cleanly(a);
    const std::string mode = GetParam() == Mode::Usb ? "1 " : "0 ", link_ids = " 0x0107db00 ";
    const std::map<std::string, std::string> headers = {
        // by direction and type
        {"1 5", "1 " + mode + "5 1 0 0 0x0000 0x00000000 0x00000000"},
        {"1 4", "1 " + mode + "4 1 0 0 0x0000 0x00000000 0x00000000"},
        {"1 0", "1 " + mode + "0 1 8080 0 0xa7a6" + link_ids + "0xa8a9aaab"},
        {"2 1", "2 " + mode + "1 0 8080 0 0x0001" + link_ids + "0x44332211"},
        {"1 3", "1 " + mode + "3 1 8080 0 0x0001" + link_ids + "0x44332211"},
        {"2 3", "2 " + mode + "3 0 8080 0 0x0001" + link_ids + "0x44332211"},
        {"1 2", "1 " + mode + "2 1 8080 0 0x0001" + link_ids + "0x44332211"}};
    std::string order;
    Bytes up, down;
    for (const auto &row : decoded_capture(a.agent.workdir() + "/cdev.pcap")) {
        ASSERT_GE(row.size(), 10u);
        const std::string key = row[0] + " " + row[2];
        std::string header = key[0] + (" " + mode) + row[2];
        for (size_t i = 3; i < 9; ++i) header += " " + row[i];
        ASSERT_TRUE(headers.contains(key)) << key;
        EXPECT_EQ(header, headers.at(key));
        const Bytes payload = from_hex(row.size() > 10 ? row[10] : "");
        EXPECT_EQ(std::to_string(payload.size()), row[9]);
        Bytes &stream = row[0] == "1" ? up : down;
        stream.insert(stream.end(), payload.begin(), payload.end());
        order += row[2] == "3" || row[2] == "4" ? "" : row[2];
    }
    EXPECT_EQ(order, "5012");  // init, request, response, close
    EXPECT_EQ(fnv1a(up), fnv1a(stream_bytes(1, 1 << 20)));
    EXPECT_EQ(fnv1a(down), fnv1a(stream_bytes(2, 1 << 20)));
}

// A device that goes away and comes back is reopened, and so is one whose
// server died and came back (its old handle fails with ENOTCONN for good);
// links that were open carry on, new ones open, and the log does not fill
// with the failures.
TEST_P(ClientTunnel, LinksOutliveAShortDeviceGap) {
    ClientLink link, fresh;
    ASSERT_NO_FATAL_FAILURE(open_link(a, 8080, 0x01020304, &link));
    a.emu.set_present(false);
    std::this_thread::sleep_for(1500ms);
    a.emu.set_present(true);
    const std::string opened = "Open " + a.device_path() + " successfully";
    auto wait_opens = [&](size_t n) {
        for (auto due = Clock::now() + 5s;
             count_of(a.agent.log(), opened) < n && Clock::now() < due;) {
            std::this_thread::sleep_for(20ms);
        }
        ASSERT_GE(count_of(a.agent.log(), opened), n) << a.agent.log();
    };
    ASSERT_NO_FATAL_FAILURE(wait_opens(2));
    // A write that finds the device gone is retried on the reopened device.
    // (Nothing comes down meanwhile: a reopen drops a half-read message.)
    a.emu.fail_writes(ENODEV, 1);
    exchange(a, link, stream_bytes(5, 3000), {});
    a.emu.restart(ENOTCONN);
    ASSERT_NO_FATAL_FAILURE(wait_opens(3));
    exchange(a, link, stream_bytes(6, 3000), stream_bytes(7, 3000));
    ASSERT_NO_FATAL_FAILURE(open_link(a, 8081, 0x01020305, &fresh));
    exchange(a, fresh, stream_bytes(7, 100), stream_bytes(8, 100));
    const std::string log = a.agent.log();
    EXPECT_LE(count_of(log, "Failed to open " + a.device_path() + ", error code: 2\n"), 1u);
    EXPECT_LE(count_of(log, "ERROR reading from peer "), 2u);  // one an episode
}

// The controller's CLOSE ends the client without a word back, as do a silent
// client and one that sends part of a header; a client that resets its
// connection still has what it sent before delivered, then the CLOSE.
TEST_P(ClientTunnel, EndsFromEitherSideAreClean) {
    const Holdings idle = settled_holdings(a.agent.pid());
    for (size_t sent : {0, 20}) {
        SCOPED_TRACE(sent);
        int fd = a.connect_client();
        ASSERT_GE(fd, 0);
        Bytes part = client_header(0, 0, 80);
        part.resize(sent);
        ASSERT_TRUE(send_all(fd, part));
        expect_ended_silently(fd);
        close(fd);
    }
    expect_device_quiet(a, 500ms);
    ClientLink link, reset;
    ASSERT_NO_FATAL_FAILURE(open_link(a, 443, 0x00000042, &link));
    a.emu.inject(with_type(link.response, 2));
    expect_ended_silently(link.fd);
    expect_device_quiet(a, 500ms);

    ASSERT_NO_FATAL_FAILURE(open_link(a, 444, 0x00000043, &reset));
    const Bytes sent = stream_bytes(9, 3000);
    ASSERT_TRUE(send_all(reset.fd, sent));
    linger hard = {1, 0};
    setsockopt(reset.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    close(std::exchange(reset.fd, -1));
    Bytes msg, arrived;
    while (a.next_message(&msg, 3s) && msg[0] == 3) {
        ASSERT_EQ(Bytes(msg.begin(), msg.begin() + WIRE_HEADER_SIZE),
                  with_type(reset.response, 3, true));
        arrived.insert(arrived.end(), msg.begin() + WIRE_HEADER_SIZE, msg.end());
    }
    EXPECT_EQ(arrived, sent);
    EXPECT_EQ(msg, with_type(reset.response, 2, true));
    expect_holdings(a, idle, 3s);
}

TEST_P(ClientTunnel, WrongOrMissingAnswersEndTheClient) {
    const Holdings idle = settled_holdings(a.agent.pid());
    Bytes msg;
    for (int kind : {0, 1, 2}) {  // a 33-byte answer, a type-2 answer, no answer
        SCOPED_TRACE(kind);
        ClientLink link;
        ASSERT_NO_FATAL_FAILURE(send_request(a, client_header(0, 0, 80 + kind), &link));
        Bytes answer = with_type(response_to(link.request, 7 + kind), kind == 1 ? 2 : 1);
        answer.resize(kind == 0 ? 33 : 32, 0x99);
        const Clock::time_point asked = Clock::now();
        if (kind < 2) {
            a.emu.inject(answer);
        }
        expect_ended_silently(link.fd, kind < 2 ? 3s : 10s);
        const auto waited = Clock::now() - asked;
        EXPECT_TRUE(kind < 2 || (waited >= 4500ms && waited <= 8000ms)) << waited.count();
        ASSERT_TRUE(a.next_message(&msg, 2s));
        EXPECT_EQ(msg, with_type(link.request, 2));
    }
    // Late answers to the link that got none are dropped, with one line for the id.
    a.emu.inject(response_to(with_type(msg, 0), 9));
    a.emu.inject(response_to(with_type(msg, 0), 9));
    const std::string dropped = "Drop msg for ended link id 0x";
    EXPECT_TRUE(a.agent.wait_for_log(dropped, 3s));
    expect_device_quiet(a, 300ms);
    EXPECT_EQ(count_of(a.agent.log(), dropped), 1u);
    expect_holdings(a, idle, 3s);
    // The type-2 answer is a refusal, the missing one a time-out; the late
    // answers are lost for an ended link.
    EXPECT_EQ(status_of(a, {"counters.links_refused.client", "counters.links_timed_out",
                            "counters.messages_lost.ended_link", "counters.links_opened.client"}),
              (Values{"1", "1", "2", "0"}));
}

TEST_P(ClientTunnel, ForwardRequestIsOneShot) {
    ClientLink other, one;
    ASSERT_NO_FATAL_FAILURE(open_link(a, 8080, 0x01010101, &other));
    Bytes sent = client_header(3, 1, 5353);
    put32(&sent, 12, 0);
    const Bytes payload = stream_bytes(5, 1500);
    sent.insert(sent.end(), payload.begin(), payload.end());
    ASSERT_NO_FATAL_FAILURE(send_request(a, sent, &one));
    uint32_t id = get32(one.request, 12);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, get32(other.request, 12));
    Bytes expected = sent;
    put32(&expected, 12, id);
    EXPECT_EQ(one.request, expected);

    const Bytes reply_payload = stream_bytes(6, 3000);
    Bytes reply = with_type(response_to(one.request, 0x02020202), 3), got;
    reply.insert(reply.end(), reply_payload.begin(), reply_payload.end());
    a.emu.inject(reply);
    EXPECT_TRUE(wait_eof(one.fd, 3s, &got)) << a.agent.log();
    EXPECT_EQ(got, reply_payload);
    expect_device_quiet(a, 500ms);

    // The established link is untouched by the one-shot exchange.
    exchange(a, other, stream_bytes(7, 5000), stream_bytes(8, 5000));
}

// Accounts of the agent's own /etc/passwd and /etc/group: 61001 may open links by name, 61003
// as a member of a listed group, 61002 and root may not.
class PolicedTunnel : public StartedAgent {
  protected:
    PolicedTunnel() : StartedAgent(policed()) {}
    static AgentOptions policed() {
        AgentOptions o;
        o.policy =
            "controller_tcp_ports = 8080 9000-9001\nclient_users = cdev-ok\n"
            "client_groups = cdev-ops\n";
        for (const char *user : {"cdev-ok:x:61001", "cdev-no:x:61002", "cdev-member:x:61003"}) {
            o.passwd_lines.push_back(user + std::string(":61000::/:/usr/sbin/nologin"));
        }
        o.group_lines = {"cdev-all:x:61000:", "cdev-ops:x:61010:cdev-member"};
        return o;
    }
    // A socket connected to the agent that `uid` owns: created by a thread with that
    // file-system uid, which is per thread. Retried while the agent is not listening yet.
    int connect_as(uid_t uid) {
        const sockaddr_in agent = loopback(a.agent_port());
        for (auto due = Clock::now() + 5s; Clock::now() < due; std::this_thread::sleep_for(20ms)) {
            int fd = -1;
            std::thread([&] {
                setfsuid(uid);
                fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            }).join();
            if (connect(fd, reinterpret_cast<const sockaddr *>(&agent), sizeof(agent)) == 0) {
                return fd;
            }
            close(fd);
        }
        ADD_FAILURE() << "the agent does not take connections";
        return -1;
    }
};
IN_BOTH_DEVICE_MODES(PolicedTunnel);

// Allowed accounts' links to allowed ports carry every byte; the others end as a refusal
// by the controller ends them, nothing sent to it, one log line per rule however often.
TEST_P(PolicedTunnel, OnlyListedAccountsReachListedPorts) {
    for (int round = 0; round < 2; ++round) {
        for (auto [uid, port] : {std::pair{61002, 8080}, {61001, 8081}, {0, 9001}}) {
            int fd = connect_as(uid);
            ASSERT_TRUE(send_all(fd, client_header(0, 0, port)));
            expect_ended_silently(fd);
            close(fd);
        }
    }
    expect_device_quiet(a, 300ms);
    for (auto [uid, port] : {std::pair{61001, 8080}, {61003, 9001}}) {
        ClientLink link;
        link.fd = connect_as(uid);
        ASSERT_NO_FATAL_FAILURE(open_link(a, port, 0x5100 + uid, &link));
        exchange(a, link, stream_bytes(uid, 3000), stream_bytes(port, 3000));
        close(std::exchange(link.fd, -1));
        Bytes msg;
        ASSERT_TRUE(a.next_message(&msg, 5s));
        EXPECT_EQ(msg, with_type(link.response, 2, true));
    }
    const std::string log = a.agent.log();
    EXPECT_EQ(count_of(log, "Policy refused"), 2u) << log;
    for (const char *line : {"Policy refused a link to controller TCP port 8080 for uid 61002: "
                             "user not allowed.\n",
                             "Policy refused a link to controller TCP port 8081 for uid 61001: "
                             "port not allowed.\n"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line;
    }
}

// Captures bounded to two files of 1,000,000 bytes, in a directory of their own.
class CaptureRing : public StartedAgent {
  protected:
    CaptureRing()
        : StartedAgent(
              {"--capture", "ring/cdev.pcap", "--capture-size", "1", "--capture-files", "2"}) {
        std::filesystem::create_directory(dir);
    }
    const std::string dir = a.agent.workdir() + "/ring";
};
INSTANTIATE_TEST_SUITE_P(Modes, CaptureRing, ::testing::Values(Mode::NetCdev), mode_name);

// Two files, named as tcpdump names them, each within the bound and made of
// whole records only.
TEST_P(CaptureRing, KeepsTwoFilesWithinTheBound) {
    ClientLink link;
    ASSERT_NO_FATAL_FAILURE(open_link(a, 8080, 0x11223344, &link));
    exchange(a, link, stream_bytes(1, 3 << 20), stream_bytes(2, 1 << 20));
    stop_agent_cleanly(a);
    std::set<std::string> names;
    for (const auto &file : std::filesystem::directory_iterator(dir)) {
        names.insert(file.path().filename());
        uint64_t size = file.file_size(), records = 24;  // the file's header, then each record's
        for (const auto &row : decoded_capture(file.path())) {
            records += 16 + 4 + 32 + std::stoul(row.at(9));
        }
        EXPECT_LE(size, 1000000u) << file.path();
        EXPECT_EQ(records, size) << file.path();
    }
    EXPECT_EQ(names, (std::set<std::string>{"cdev.pcap0", "cdev.pcap1"}));
}

// A capture that cannot go on stops with one line; the link never notices.
TEST_P(CaptureRing, StopsAloneWhenItCannotWrite) {
    ClientLink link;
    ASSERT_NO_FATAL_FAILURE(open_link(a, 8080, 0x11223344, &link));
    std::filesystem::remove_all(dir);
    for (uint32_t stream : {1, 3}) {
        exchange(a, link, stream_bytes(stream, 2 << 20), stream_bytes(stream + 1, 1 << 20));
    }
    EXPECT_EQ(count_of(a.agent.log(), "Capture stopped, cannot write ring/cdev.pcap1: No such"), 1u)
        << a.agent.log();
}

}  // namespace
}  // namespace e2e
