// Tests of a local client's handshake, hook by hook, over a loopback TCP
// connection, with a recording device and the receive queue playing the
// controller.
#include "link/handshake.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "socket/state_machine.h"
#include "tests/link_support.h"

using namespace test_support;

namespace {

class HandshakeTest : public link_test {
  protected:
    void SetUp() override {
        link_test::SetUp();
        open_client();
    }
    void TearDown() override {
        close_client();
        link_test::TearDown();
    }
    void open_client() {
        auto [client, agent] = tcp_pair();
        client_ = client;
        node_ = alloc_node(agent, -1);
    }
    void close_client() {
        free_node(node_);
        node_ = nullptr;
        close(client_);
        drain_queue();
    }
    // A fresh client and an empty device record.
    void reopen() {
        close_client();
        open_client();
        clear_written();
    }
    void client_sends(const std::string &bytes) {
        ASSERT_EQ(send(client_, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    }
    // Sends a TCP request and returns the id under which it reached the device.
    uint32_t pass_request(const msg_header &req) {
        client_sends(wire(req));
        EXPECT_EQ(cdev_check_connection_request(node_), CONN_STATUS_REQUESTED);
        std::vector<std::string> out = written();
        EXPECT_EQ(out.size(), 1u);
        return out.empty() ? 0 : header_of(out[0]).local_link_id;
    }

    int client_ = -1;
    conn_node *node_ = nullptr;
};

TEST_F(HandshakeTest, RequestGoesOutUnderFreshIdAndResponseEstablishes) {
    msg_header req = make_header(MSG_TYPE_REQUEST, 0, 8080, 0x11111111, 0);
    req.source = MSG_SOURCE_HOST;
    uint32_t id = pass_request(req);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, 0x11111111u);
    std::string sent = written()[0];
    ASSERT_EQ(sent.size(), MSG_HEADER_SIZE);
    // Only the link id is the agent's; the other 28 bytes are the client's.
    std::string expected = wire(req);
    memcpy(&expected[12], &id, sizeof(id));
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(node_->link_id, 0u);

    EXPECT_EQ(cdev_check_connection_status(node_, 100), CONN_STATUS_PENDING);

    msg_header resp = make_header(MSG_TYPE_RESPONSE, 0, 8080, id, 0x0A0B0C0D);
    resp.ret_code = MSG_RET_REFUSED;  // not looked at
    queue_msg(resp);
    EXPECT_EQ(cdev_check_connection_status(node_, 100), CONN_STATUS_CONNECTED);
    cdev_connection_established(node_);
    EXPECT_EQ(node_->link_id, id);
    EXPECT_EQ(recv_bytes(client_, MSG_HEADER_SIZE), wire(resp));
    EXPECT_EQ(written().size(), 1u);
}

TEST_F(HandshakeTest, WrongAnswersRejectWithClose) {
    struct answer {
        uint8_t type;
        std::string payload;
    };
    for (const answer &a : {answer{MSG_TYPE_RESPONSE, "x"}, answer{MSG_TYPE_CLOSE, ""}}) {
        SCOPED_TRACE(static_cast<int>(a.type));
        reopen();
        uint32_t id = pass_request(make_header(MSG_TYPE_REQUEST, 0, 22, 0, 0));
        queue_msg(make_header(a.type, 0, 22, id, 5), a.payload);
        EXPECT_EQ(cdev_check_connection_status(node_, 100), CONN_STATUS_DISCONNECTED);
        cdev_connection_rejected(node_);
        std::vector<std::string> out = written();
        ASSERT_EQ(out.size(), 2u);
        std::string close_msg = out[0];
        close_msg[0] = static_cast<char>(MSG_TYPE_CLOSE);
        EXPECT_EQ(out[1], close_msg);
    }
}

TEST_F(HandshakeTest, BrokenRequestsReachNothing) {
    // Silent client: dropped after the poll, nothing allocated or sent.
    EXPECT_EQ(cdev_check_connection_request(node_), CONN_STATUS_DISCONNECTED);
    cdev_connection_rejected(node_);
    EXPECT_TRUE(written().empty());

    // A short header and a header of another kind are dropped too; the ids
    // the client put into them must not make the agent close a link.
    msg_header fake = make_header(MSG_TYPE_CLOSE, 0, 22, 0x00DB0701, 0x77);
    for (const std::string &first : {wire(fake).substr(0, 20), wire(fake)}) {
        reopen();
        client_sends(first);
        EXPECT_EQ(cdev_check_connection_request(node_), CONN_STATUS_DISCONNECTED);
        cdev_connection_rejected(node_);
        EXPECT_TRUE(written().empty());
    }
}

TEST_F(HandshakeTest, ForwardRequestIsOneShot) {
    std::string payload(100, 'p');
    client_sends(wire(make_header(MSG_TYPE_FORWARD, 1, 514, 0, 0)) + payload);
    EXPECT_EQ(cdev_check_connection_request(node_), CONN_STATUS_REQUESTED);
    std::vector<std::string> out = written();
    ASSERT_EQ(out.size(), 1u);
    ASSERT_EQ(out[0].size(), MSG_HEADER_SIZE + payload.size());
    uint32_t id = header_of(out[0]).local_link_id;
    EXPECT_NE(id, 0u);
    EXPECT_EQ(node_->link_id, id);
    EXPECT_EQ(out[0].substr(MSG_HEADER_SIZE), payload);

    queue_msg(make_header(MSG_TYPE_FORWARD, 1, 514, id, 3), "pong");
    EXPECT_EQ(cdev_check_connection_status(node_, 100), CONN_STATUS_DISCONNECTED);
    EXPECT_EQ(recv_bytes(client_, 4), "pong");
    cdev_connection_rejected(node_);
    EXPECT_EQ(written().size(), 1u);
}

TEST_F(HandshakeTest, ForwardRequestWithoutPayloadOrAnsweredByCloseSendsNothingMore) {
    client_sends(wire(make_header(MSG_TYPE_FORWARD, 1, 514, 0, 0)));
    EXPECT_EQ(cdev_check_connection_request(node_), CONN_STATUS_DISCONNECTED);
    cdev_connection_rejected(node_);
    EXPECT_TRUE(written().empty());

    // A UDP-flagged plain request is passed on; its first answer ends it.
    reopen();
    uint32_t id = pass_request(make_header(MSG_TYPE_REQUEST, 1, 53, 0, 0));
    queue_msg(make_header(MSG_TYPE_CLOSE, 1, 53, id, 3));
    EXPECT_EQ(cdev_check_connection_status(node_, 100), CONN_STATUS_DISCONNECTED);
    cdev_connection_rejected(node_);
    free_node(node_);
    node_ = nullptr;
    EXPECT_TRUE(peer_closed(client_));  // closed with nothing written to it
    EXPECT_EQ(written().size(), 1u);
}

// The whole road of a client's link through the state machine and the
// agent's hooks, up to the client's close.
TEST_F(HandshakeTest, ClientLinkThroughTheStateMachine) {
    signal(SIGPIPE, SIG_IGN);
    init_list(&g_request_list);
    add_to_head(&g_request_list, node_);
    msg_header req = make_header(MSG_TYPE_REQUEST, 0, 8080, 0, 0);
    client_sends(wire(req));
    wait_for_news(&g_request_list, -1);
    handle_socket_connection_pass(&g_request_list);
    ASSERT_EQ(written().size(), 1u);
    uint32_t id = header_of(written()[0]).local_link_id;
    handle_socket_connection_pass(&g_request_list);  // still pending

    msg_header resp = make_header(MSG_TYPE_RESPONSE, 0, 8080, id, 0x99);
    queue_msg(resp);
    handle_socket_connection_pass(&g_request_list);
    node_ = nullptr;  // the forwarding thread owns it now
    EXPECT_EQ(get_list_head(&g_request_list), nullptr);
    EXPECT_EQ(recv_bytes(client_, MSG_HEADER_SIZE), wire(resp));

    queue_msg(make_header(MSG_TYPE_FORWARD, 0, 8080, id, 0x99), "down");
    EXPECT_EQ(recv_bytes(client_, 4), "down");
    ASSERT_EQ(send(client_, "up", 2, 0), 2);
    shutdown(client_, SHUT_WR);
    EXPECT_TRUE(peer_closed(client_));
    ASSERT_TRUE(wait_until([] { return get_list_head(&g_forward_list) == nullptr; }));
    std::vector<std::string> out = written();
    ASSERT_EQ(out.size(), 3u);
    msg_header up = resp;
    up.type = MSG_TYPE_FORWARD;
    up.source = MSG_SOURCE_HOST;
    EXPECT_EQ(out[1], wire(up) + "up");
    msg_header close_msg = up;
    close_msg.type = MSG_TYPE_CLOSE;
    EXPECT_EQ(out[2], wire(close_msg));
}

}  // namespace
