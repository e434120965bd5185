// The link layer's fault paths, which the end-to-end tests cannot reach
// cheaply: a handshake whose request is broken or whose answer is wrong,
// links that end because the client or the device failed, a CLOSE the device
// failed sent once it takes writes again, and controller requests that open
// no link.
#include "link/forward.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "frame/util.h"
#include "link/cdev_request.h"
#include "link/close_notice.h"
#include "link/handshake.h"
#include "tests/link_support.h"

using namespace test_support;

namespace {

constexpr uint32_t LOCAL_ID = 0x00DB0799;  // printed 0x9907db00
constexpr uint32_t PEER_ID = 0x12345678;   // printed 0x78563412

// The link's stored header; what the agent sends on it is from this host.
const std::string g_link = header(1, 0, 8080, LOCAL_ID, PEER_ID);
const std::string g_data = header(3, 0, 8080, LOCAL_ID, PEER_ID, 1);
const std::string g_close = header(2, 0, 8080, LOCAL_ID, PEER_ID, 1);

int64_t failing_write(const struct iovec *, uint64_t) {
    errno = EIO;
    return -1;
}

// Holds the socket reader until the test lets it go.
std::atomic<bool> g_gate_open{true};
std::atomic<int> g_gate_entered{0};
int64_t gated_write(const struct iovec *entries, uint64_t count) {
    ++g_gate_entered;
    while (!g_gate_open) msleep(1);
    return record_write(entries, count);
}

// How the connection ended for the client: 0 at a clean end, else the
// error of its read (-1: no end in time).
int end_of(int fd) {
    static char buf[1 << 16];
    for (pollfd p{fd, POLLIN, 0}; poll(&p, 1, 3000) == 1;) {
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) return n == 0 ? 0 : errno;
    }
    return -1;
}

class LinkFaultTest : public link_test {
  protected:
    void TearDown() override {
        g_gate_open = true;  // never leave a reader held
        EXPECT_TRUE(links_gone());
        close(client_);
        link_test::TearDown();
    }
    static bool links_gone() {
        return wait_until([] { return get_list_head(&g_forward_list) == nullptr; });
    }
    // A client and the agent's node for it, with small socket buffers on the
    // way to the client when `buffer` is set.
    conn_node *connect_client(int buffer = 0) {
        close(client_);
        auto [client, agent] = tcp_pair();
        if (buffer > 0) {
            setsockopt(client, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
            setsockopt(agent, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
        }
        client_ = client;
        return alloc_node(agent, -1);
    }
    // An established link forwarding, as the state machine starts it.
    void start_link(int buffer = 0) {
        conn_node *node = connect_client(buffer);
        node->io_buf = make_msg(g_link);
        node->link_id = LOCAL_ID;
        pthread_t tid;
        ASSERT_EQ(pthread_create(&tid, nullptr, cdev_forward_one_node, node), 0);
        ASSERT_TRUE(wait_until([] { return get_list_head(&g_forward_list) != nullptr; }));
    }

    int client_ = -1;
};

// A broken request, or one with ids the client made up, never makes the agent
// send anything; a request the controller answers wrongly is closed with the
// request's own header, type 2.
TEST_F(LinkFaultTest, HandshakeClosesOnlyARequestItSent) {
    const std::string request = header(0, 0, 8080, 0x11111111, 0x22, 1);
    const std::pair<std::string, std::string> cases[] = {
        // the client's bytes, the controller's answer (none: nothing goes out)
        {"", ""},
        {request.substr(0, 20), ""},
        {header(2, 0, 22, 0x00DB0701, 0x77), ""},  // a CLOSE with made-up ids
        {header(3, 1, 514, 0, 0), ""},             // a UDP forward without payload
        {request, header(1, 0, 8080, 0, 5) + "x"},
        {request, header(2, 0, 8080, 0, 5)},
    };
    int row = 0;
    for (const auto &[sent, answer] : cases) {
        SCOPED_TRACE(row++);
        g_written.clear();
        conn_node *node = connect_client();
        ASSERT_EQ(send(client_, sent.data(), sent.size(), 0), static_cast<ssize_t>(sent.size()));
        EXPECT_EQ(cdev_check_connection_request(node), answer.empty() ? 0 : 1);
        std::vector<std::string> expected;
        if (!answer.empty()) {
            ASSERT_EQ(written().size(), 1u);
            std::string id = written()[0].substr(12, 4);  // the agent's, not the client's
            EXPECT_NE(id, sent.substr(12, 4));
            queue_msg(std::string(answer).replace(12, 4, id));
            EXPECT_EQ(cdev_check_connection_status(node, 100), 0);
            std::string mine = std::string(sent).replace(12, 4, id), closed = mine;
            closed[0] = 2;
            expected = {mine, closed};
        }
        cdev_connection_rejected(node);
        EXPECT_EQ(written(), expected);
        free_node(node);
    }
}

// A client that fails, its socket shut or its reading stopped until its share
// of the queue is full, loses its own link: the controller is told once, and
// the client gets a reset, never a clean end of a stream with a hole. A link
// the controller ends, or sends a type that ends it, ends cleanly, untold.
TEST_F(LinkFaultTest, LinkEndsOnAFailedClientOrTheControllersWord) {
    struct end_case {
        bool shut;     // the agent's side of the socket
        int buffer;    // towards the client
        uint8_t type;  // of the controller's messages
        int end;       // for the client (a shut side has ended already)
        const char *line;
    };
    const end_case cases[] = {
        {true, 0, 3, 0, "Failed to send to fd "},
        {false, 4096, 3, ECONNRESET,
         "Link id: 0x9907db00/0x78563412 dropped by the receive queue, fd "},
        {false, 0, 2, 0, "connection CLOSE for fd "},
        {false, 0, 1, 0, "Unknown command type 1, abort connection.\n"},
    };
    for (const end_case &c : cases) {
        SCOPED_TRACE(c.line);
        g_written.clear();
        size_t mark = log_.text().size();
        start_link(c.buffer);
        if (c.shut) shutdown(get_list_head(&g_forward_list)->fd, SHUT_WR);
        for (int i = 0; i < 200 && get_list_head(&g_forward_list) != nullptr; ++i) {
            queue_msg(header(c.type, 0, 8080, LOCAL_ID, PEER_ID) + std::string(8000, 'd'));
        }
        ASSERT_TRUE(links_gone());
        EXPECT_EQ(end_of(client_), c.end);
        EXPECT_EQ(written(), std::vector<std::string>(c.type == 3, g_close));
        EXPECT_EQ(count_of(log_.text().substr(mark), c.line), 1u);
        EXPECT_EQ(queued_messages(), 0);
    }
}

// The device fails the client's data: the link ends and its CLOSE is kept
// until a write of another link goes through.
TEST_F(LinkFaultTest, CloseFailedByTheDeviceIsSentOnceItTakesWrites) {
    g_write_iov_func = failing_write;
    start_link();
    ASSERT_EQ(send(client_, "data", 4, 0), 4);
    ASSERT_TRUE(links_gone());
    retry_deferred_closes();  // the device still fails it
    EXPECT_EQ(deferred_closes(), 1);
    EXPECT_EQ(count_of(log_.text(),
                       "CLOSE for link id 0x9907db00/0x78563412 kept until the device takes it\n"),
              1u);
    g_write_iov_func = record_write;
    start_link();
    ASSERT_EQ(send(client_, "more", 4, 0), 4);
    ASSERT_TRUE(wait_until([] { return written().size() == 2; }));
    EXPECT_EQ(written(), (std::vector<std::string>{g_data + "more", g_close}));
    EXPECT_EQ(deferred_closes(), 0);
    EXPECT_EQ(count_of(log_.text(), "Sent kept CLOSE for link id 0x9907db00/0x78563412\n"), 1u);
    shutdown(client_, SHUT_WR);
}

// A reset that ends a read after a full slice: the slice goes out, then a
// CLOSE of the header alone.
TEST_F(LinkFaultTest, ResetAfterDataForwardsTheDataThenAHeaderOnlyClose) {
    g_gate_open = false;
    g_write_iov_func = gated_write;
    start_link();
    ASSERT_EQ(send(client_, "a", 1, 0), 1);
    ASSERT_TRUE(wait_until([] { return g_gate_entered == 1; }));
    std::string up(1024 - 32, 'r');  // arrives with the reset while the reader is held
    ASSERT_EQ(send(client_, up.data(), up.size(), 0), static_cast<ssize_t>(up.size()));
    linger reset{1, 0};
    setsockopt(client_, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    close(client_);
    client_ = -1;
    g_gate_open = true;
    ASSERT_TRUE(links_gone());
    EXPECT_EQ(written(), (std::vector<std::string>{g_data + "a", g_data + up, g_close}));
}

// A controller request for a port nobody listens on is refused with its own
// header: type 2, source 1, ret_code 1, no link id. When the device fails the
// answer to an accepted one, the connection made for it is closed again.
TEST_F(LinkFaultTest, RequestRefusedOrUnansweredOpensNoLink) {
    uint16_t port = unused_port(SOCK_STREAM);
    queue_msg(header(0, 0, port, 0, PEER_ID));
    handle_cdev_request_once();
    std::string refusal = header(2, 0, port, 0, PEER_ID, 1);
    refusal[6] = 1;  // ret_code, host order
    EXPECT_EQ(written(), std::vector<std::string>{refusal});

    g_write_iov_func = failing_write;
    int lfd = bound_socket(SOCK_STREAM, &port);
    queue_msg(header(0, 0, port, 0, PEER_ID));
    handle_cdev_request_once();
    client_ = accept(lfd, nullptr, nullptr);
    EXPECT_EQ(end_of(client_), 0);
    EXPECT_EQ(count_of(log_.text(), "Failed to send CDEV response, link id: 0x"), 1u);
    EXPECT_EQ(count_of(log_.text(), "/0x78563412, code: 5\n"), 1u);
    close(lfd);
}

}  // namespace
