// Tunnels opened by local clients, end to end: the real agent on the emulated
// device in each mode, the test playing the controller by hand.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>

#include "tests/e2e/agent_checks.h"
#include "tests/e2e/harness.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr size_t MIB = 1 << 20;

Bytes header_part(const Bytes &m) {
    return Bytes(m.begin(), m.begin() + WIRE_HEADER_SIZE);
}

Bytes with_type(Bytes h, uint8_t type) {
    h[0] = type;
    return h;
}

// A client header whose every other byte holds a recognisable value, so
// that any byte the agent changes on the way shows.
Bytes client_header(uint8_t type, uint8_t protocol, uint16_t port) {
    Bytes m(WIRE_HEADER_SIZE);
    for (size_t i = 5; i < WIRE_HEADER_SIZE; ++i) {
        m[i] = static_cast<uint8_t>(0xA0 + i);
    }
    m[0] = type;
    m[1] = 1;
    m[2] = static_cast<uint8_t>(port >> 8);
    m[3] = static_cast<uint8_t>(port);
    m[4] = protocol;
    return m;
}

// The controller's answer to a request: its own id and reserved bytes, and a
// non-zero ret_code, which does not refuse the link.
Bytes response_to(const Bytes &request, uint32_t peer_id) {
    Bytes r = with_type(request, 1);
    for (size_t i = 16; i < WIRE_HEADER_SIZE; ++i) {
        r[i] = static_cast<uint8_t>(0x30 + i);
    }
    r[1] = 0;
    r[6] = 1;
    r[7] = 0;
    put32(&r, 8, peer_id);
    return r;
}

// Reads until the peer closes; true when it did within timeout. What was
// received before the close goes to *got.
bool wait_eof(int fd, std::chrono::milliseconds timeout, Bytes *got) {
    got->clear();
    auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        timeval tv{0, 50000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        uint8_t buf[4096];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) {
            return true;
        }
        if (n > 0) {
            got->insert(got->end(), buf, buf + n);
        }
    }
    return false;
}

struct ClientLink {
    int fd = -1;
    Bytes request;   // as the controller saw it
    Bytes response;  // the link's header from now on
    uint32_t local_id = 0;
    ~ClientLink() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

// A client connects and sends `header`; the controller sees the request.
void send_request(AgentOnEmulator &a, const Bytes &header, ClientLink *link) {
    link->fd = a.connect_client();
    ASSERT_GE(link->fd, 0);
    ASSERT_TRUE(send_all(link->fd, header));
    ASSERT_TRUE(a.next_message(&link->request, 5s)) << a.agent.log();
    ASSERT_EQ(link->request.size(), WIRE_HEADER_SIZE);
    link->local_id = get32(link->request, 12);
}

// The whole handshake: request, the controller's response, which the client
// receives unchanged.
void open_link(AgentOnEmulator &a, uint16_t port, uint32_t peer_id, ClientLink *link) {
    ASSERT_NO_FATAL_FAILURE(send_request(a, client_header(0, 0, port), link));
    link->response = response_to(link->request, peer_id);
    a.emu.inject(link->response);
    Bytes got;
    ASSERT_TRUE(recv_exact(link->fd, WIRE_HEADER_SIZE, &got, 5s)) << a.agent.log();
    ASSERT_EQ(got, link->response);
}

// `up` from the client to the controller and `down` the other way at the
// same time, under the link's header.
void exchange(AgentOnEmulator &a, const ClientLink &link, const Bytes &up, const Bytes &down) {
    Bytes up_header = with_type(link.response, 3);
    up_header[1] = 1;
    exchange_data(a, link.fd, up_header, with_type(link.response, 3), up, down);
}

class ClientTunnel : public StartedAgent {};
IN_BOTH_DEVICE_MODES(ClientTunnel);

// A client link's whole life: its request and the controller's answer cross
// unchanged, a mebibyte flows each way, the client's close sends one CLOSE and
// the agent holds what it held before.
TEST_P(ClientTunnel, WholeLifeOfAClientLink) {
    const Holdings idle = settled_holdings(a.agent.pid());
    ClientLink link;
    Bytes sent = client_header(0, 0, 8080);
    ASSERT_NO_FATAL_FAILURE(send_request(a, sent, &link));
    // The first id of the process, in host order: 01 07 DB 00.
    EXPECT_EQ(Bytes(link.request.begin() + 12, link.request.begin() + 16),
              (Bytes{0x01, 0x07, 0xDB, 0x00}));
    Bytes expected = sent;
    put32(&expected, 12, 0x00DB0701);
    EXPECT_EQ(link.request, expected);

    link.response = response_to(link.request, 0x11223344);
    a.emu.inject(link.response);
    Bytes got;
    ASSERT_TRUE(recv_exact(link.fd, WIRE_HEADER_SIZE, &got, 5s)) << a.agent.log();
    EXPECT_EQ(got, link.response);
    expect_holdings(a, {idle.sockets + 1, idle.threads + 2}, 2s);
    exchange(a, link, stream_bytes(1, MIB), stream_bytes(2, MIB));

    close(link.fd);
    link.fd = -1;
    Bytes msg;
    ASSERT_TRUE(a.next_message(&msg, 5s)) << a.agent.log();
    Bytes close_msg = with_type(link.response, 2);
    close_msg[1] = 1;
    EXPECT_EQ(msg, close_msg);
    expect_device_quiet(a, 500ms);
    expect_holdings(a, idle, 3s);
}

// A device that goes away and comes back is reopened; links that were open
// carry on, new ones open, and the log does not fill with the failures.
TEST_P(ClientTunnel, LinksOutliveAShortDeviceGap) {
    ClientLink link;
    ASSERT_NO_FATAL_FAILURE(open_link(a, 8080, 0x01020304, &link));
    a.emu.set_present(false);
    std::this_thread::sleep_for(1500ms);
    a.emu.set_present(true);
    auto reopened = [&] {
        const std::string log = a.agent.log();
        size_t first = log.find("Open " + a.device_path() + " successfully");
        return first != log.rfind("Open " + a.device_path() + " successfully");
    };
    for (auto due = Clock::now() + 5s; !reopened() && Clock::now() < due;) {
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(reopened()) << a.agent.log();
    // A write that finds the device gone is retried on the reopened device.
    // (Nothing comes down meanwhile: a reopen drops a half-read message.)
    a.emu.fail_writes(ENODEV, 1);
    exchange(a, link, stream_bytes(5, 3000), {});
    exchange(a, link, stream_bytes(6, 3000), stream_bytes(7, 3000));
    ClientLink fresh;
    ASSERT_NO_FATAL_FAILURE(open_link(a, 8081, 0x01020305, &fresh));
    exchange(a, fresh, stream_bytes(7, 100), stream_bytes(8, 100));
    const std::string log = a.agent.log();
    for (const std::string &line : {"Failed to open " + a.device_path() + ", error code: 2\n",
                                    std::string("ERROR reading from peer ")}) {
        EXPECT_EQ(log.find(line), log.rfind(line)) << line << " more than once";
    }
}

// The controller's CLOSE ends the client without a word back; a client that
// resets its connection still has what it sent before delivered, then the
// CLOSE.
TEST_P(ClientTunnel, EndsFromEitherSideAreClean) {
    const Holdings idle = settled_holdings(a.agent.pid());
    ClientLink link;
    ASSERT_NO_FATAL_FAILURE(open_link(a, 443, 0x00000042, &link));
    a.emu.inject(with_type(link.response, 2));
    Bytes got, msg;
    EXPECT_TRUE(wait_eof(link.fd, 3s, &got)) << a.agent.log();
    EXPECT_TRUE(got.empty());
    expect_device_quiet(a, 500ms);

    ClientLink reset;
    ASSERT_NO_FATAL_FAILURE(open_link(a, 444, 0x00000043, &reset));
    const Bytes sent = stream_bytes(9, 3000);
    ASSERT_TRUE(send_all(reset.fd, sent));
    linger hard = {1, 0};
    setsockopt(reset.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    close(std::exchange(reset.fd, -1));
    Bytes data_header = with_type(reset.response, 3), arrived;
    data_header[1] = 1;
    while (a.next_message(&msg, 3s) && msg[0] == 3) {
        ASSERT_EQ(header_part(msg), data_header);
        arrived.insert(arrived.end(), msg.begin() + WIRE_HEADER_SIZE, msg.end());
    }
    EXPECT_EQ(arrived, sent);
    Bytes close_msg = with_type(reset.response, 2);
    close_msg[1] = 1;
    EXPECT_EQ(msg, close_msg);
    expect_holdings(a, idle, 3s);
}

TEST_P(ClientTunnel, WrongOrMissingAnswersEndTheClient) {
    const Holdings idle = settled_holdings(a.agent.pid());
    Bytes got, msg;
    for (bool wrong_type : {false, true}) {
        SCOPED_TRACE(wrong_type ? "a type-2 answer" : "a 33-byte answer");
        ClientLink link;
        ASSERT_NO_FATAL_FAILURE(send_request(a, client_header(0, 0, 80 + wrong_type), &link));
        Bytes answer = response_to(link.request, 7 + wrong_type);
        if (wrong_type) {
            answer[0] = 2;
        } else {
            answer.push_back(0x99);
        }
        a.emu.inject(answer);
        EXPECT_TRUE(wait_eof(link.fd, 3s, &got));
        EXPECT_TRUE(got.empty());
        ASSERT_TRUE(a.next_message(&msg, 2s));
        EXPECT_EQ(msg, with_type(link.request, 2));
    }
    {
        SCOPED_TRACE("no answer");
        ClientLink link;
        ASSERT_NO_FATAL_FAILURE(send_request(a, client_header(0, 0, 82), &link));
        Clock::time_point asked = Clock::now();
        EXPECT_TRUE(wait_eof(link.fd, 10s, &got));
        auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked);
        EXPECT_TRUE(got.empty());
        EXPECT_GE(waited, 4500ms);
        EXPECT_LE(waited, 8000ms);
        // The controller hears of the end, and late answers are dropped at
        // once, with one line for the id.
        ASSERT_TRUE(a.next_message(&msg, 2s));
        EXPECT_EQ(msg, with_type(link.request, 2));
        a.emu.inject(response_to(link.request, 9));
        a.emu.inject(response_to(link.request, 9));
        const std::string dropped = "Drop msg for ended link id 0x";
        EXPECT_TRUE(a.agent.wait_for_log(dropped, 3s));
        expect_device_quiet(a, 300ms);
        const std::string log = a.agent.log();
        EXPECT_EQ(log.find(dropped), log.rfind(dropped));
    }
    expect_holdings(a, idle, 3s);
}

TEST_P(ClientTunnel, SilentOrShortClientIsDropped) {
    Bytes got, msg;
    int silent = a.connect_client();
    ASSERT_GE(silent, 0);
    EXPECT_TRUE(wait_eof(silent, 3s, &got));
    close(silent);

    int shorty = a.connect_client();
    ASSERT_GE(shorty, 0);
    Bytes part = client_header(0, 0, 80);
    part.resize(20);
    ASSERT_TRUE(send_all(shorty, part));
    EXPECT_TRUE(wait_eof(shorty, 3s, &got));
    EXPECT_TRUE(got.empty());
    close(shorty);
    expect_device_quiet(a, 500ms);
}

TEST_P(ClientTunnel, ForwardRequestIsOneShot) {
    ClientLink other;
    ASSERT_NO_FATAL_FAILURE(open_link(a, 8080, 0x01010101, &other));

    int fd = a.connect_client();
    ASSERT_GE(fd, 0);
    Bytes header = client_header(3, 1, 5353);
    put32(&header, 12, 0);
    Bytes payload = stream_bytes(5, 1500);
    Bytes sent = header;
    sent.insert(sent.end(), payload.begin(), payload.end());
    ASSERT_TRUE(send_all(fd, sent));

    Bytes msg;
    ASSERT_TRUE(a.next_message(&msg, 5s)) << a.agent.log();
    ASSERT_EQ(msg.size(), sent.size());
    uint32_t id = get32(msg, 12);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, other.local_id);
    Bytes expected = sent;
    put32(&expected, 12, id);
    EXPECT_EQ(msg, expected);

    Bytes reply_payload = stream_bytes(6, 3000);
    Bytes reply = response_to(header_part(msg), 0x02020202);
    reply[0] = 3;
    reply.insert(reply.end(), reply_payload.begin(), reply_payload.end());
    a.emu.inject(reply);
    Bytes got;
    EXPECT_TRUE(wait_eof(fd, 3s, &got)) << a.agent.log();
    EXPECT_EQ(got, reply_payload);
    close(fd);
    expect_device_quiet(a, 500ms);

    // The established link is untouched by the one-shot exchange.
    exchange(a, other, stream_bytes(7, 5000), stream_bytes(8, 5000));
}

}  // namespace
}  // namespace e2e
