// Tests of the controller's own requests: TCP links to real local listeners,
// refusals, UDP datagrams, and the requests that are rejected unanswered.
#include "link/cdev_request.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/link_support.h"

using namespace test_support;

namespace {

constexpr uint32_t PEER_ID = 0x0A0B0C0D;

class CdevRequestTest : public link_test {
  protected:
    void TearDown() override {
        EXPECT_TRUE(links_gone());
        // Every request was taken, served or released (Asan sees leaks).
        EXPECT_EQ(read_cdev_iov(0), nullptr);
        link_test::TearDown();
    }
    static msg_header tcp_request(uint16_t port) {
        msg_header h = make_header(MSG_TYPE_REQUEST, MSG_PROTOCOL_TCP, port, 0, PEER_ID);
        h.ret_code = 0x0707;
        return h;
    }
};

TEST_F(CdevRequestTest, TcpRequestToListenerIsAcceptedAndForwarded) {
    uint16_t port = 0;
    int lfd = bound_socket(SOCK_STREAM, &port);
    msg_header req = tcp_request(port);
    queue_msg(req, "trailing bytes");  // the answer is the header alone
    handle_cdev_request_once();

    std::vector<std::string> out = written();
    ASSERT_EQ(out.size(), 1u);
    ASSERT_EQ(out[0].size(), MSG_HEADER_SIZE);
    msg_header answer = header_of(out[0]);
    uint32_t id = answer.local_link_id;
    EXPECT_NE(id, 0u);
    msg_header expected = req;
    expected.type = MSG_TYPE_RESPONSE;
    expected.source = MSG_SOURCE_HOST;
    expected.local_link_id = id;
    EXPECT_EQ(out[0], wire(expected));

    int service = accept(lfd, nullptr, nullptr);
    ASSERT_GE(service, 0);
    ASSERT_EQ(send(service, "hello", 5, 0), 5);
    ASSERT_TRUE(wait_until([] { return written().size() == 2; }));
    msg_header data = expected;
    data.type = MSG_TYPE_FORWARD;
    EXPECT_EQ(written()[1], wire(data) + "hello");
    queue_msg(make_header(MSG_TYPE_FORWARD, 0, port, id, PEER_ID), "world");
    EXPECT_EQ(recv_bytes(service, 5), "world");

    queue_msg(make_header(MSG_TYPE_CLOSE, 0, port, id, PEER_ID));
    EXPECT_TRUE(peer_closed(service));
    EXPECT_EQ(written().size(), 2u);

    std::string log = log_.text();
    EXPECT_EQ(count_of(log, "cdev_handle_conn_request,"), 3u);
    EXPECT_EQ(count_of(log, "handle_cdev_request,"), 1u);
    EXPECT_EQ(count_of(log, "Thread for handling BMC request: "), 1u);
    close(service);
    close(lfd);
}

TEST_F(CdevRequestTest, TcpRequestToClosedPortIsRefused) {
    uint16_t port = 0;
    close(bound_socket(SOCK_STREAM, &port));
    msg_header req = tcp_request(port);
    queue_msg(req);
    handle_cdev_request_once();

    std::vector<std::string> out = written();
    ASSERT_EQ(out.size(), 1u);
    msg_header expected = req;
    expected.type = MSG_TYPE_CLOSE;
    expected.source = MSG_SOURCE_HOST;
    expected.local_link_id = 0;
    expected.ret_code = MSG_RET_REFUSED;
    EXPECT_EQ(out[0], wire(expected));
}

TEST_F(CdevRequestTest, AnswerThatCannotBeSentClosesTheLocalSocket) {
    g_write_iov_func = failing_write;
    uint16_t port = 0;
    int lfd = bound_socket(SOCK_STREAM, &port);
    queue_msg(tcp_request(port));
    handle_cdev_request_once();
    int service = accept(lfd, nullptr, nullptr);
    EXPECT_TRUE(peer_closed(service));
    EXPECT_EQ(count_of(log_.text(), "Failed to send CDEV response, link id: "), 1u);
    close(service);
    close(lfd);
}

TEST_F(CdevRequestTest, UdpDatagramIsDeliveredUnanswered) {
    uint16_t port = 0;
    int ufd = bound_socket(SOCK_DGRAM, &port);
    std::string datagram(1500, 'd');  // spans two slices
    queue_msg(make_header(MSG_TYPE_FORWARD, MSG_PROTOCOL_UDP, port, 0, PEER_ID), datagram);
    handle_cdev_request_once();
    char buf[4096];
    ssize_t n = recv(ufd, buf, sizeof(buf), MSG_DONTWAIT);
    ASSERT_EQ(n, static_cast<ssize_t>(datagram.size()));
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), datagram);
    close(ufd);

    // Nobody listening: still sent, still unanswered.
    queue_msg(make_header(MSG_TYPE_FORWARD, MSG_PROTOCOL_UDP, port, 0, PEER_ID), "lost");
    handle_cdev_request_once();
    EXPECT_TRUE(written().empty());
}

TEST_F(CdevRequestTest, OtherRequestsAreRejectedUnanswered) {
    struct kind {
        uint8_t type;
        uint8_t protocol;
    };
    for (kind k : {kind{MSG_TYPE_REQUEST, MSG_PROTOCOL_UDP}, kind{MSG_TYPE_FORWARD, 0},
                   kind{MSG_TYPE_CLOSE, 0}, kind{MSG_TYPE_HEARTBEAT, 0}, kind{MSG_TYPE_INIT, 0},
                   kind{MSG_TYPE_FORWARD, 2}}) {
        queue_msg(make_header(k.type, k.protocol, 1, 0, PEER_ID), "x");
        handle_cdev_request_once();
    }
    common_io_buf *short_msg = make_msg(make_header(MSG_TYPE_REQUEST, 0, 1, 0, PEER_ID));
    short_msg->total_len = 20;
    enqueue_msg(short_msg);
    handle_cdev_request_once();

    EXPECT_TRUE(written().empty());
    std::string log = log_.text();
    EXPECT_EQ(count_of(log, "Reject msg type "), 6u);
    EXPECT_EQ(count_of(log, "with BMC id is 0x0d0c0b0a.\n"), 6u);
    EXPECT_EQ(count_of(log, "Request with invalid MSG format, iov_cnt: 1, length: 20.\n"), 1u);
}

}  // namespace
