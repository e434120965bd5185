// Tests of an established link: data both ways between a loopback client and
// the recording device, and every way the link ends, including the end of the
// forwarding thread after the client closed.
#include "link/forward.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "link/close_notice.h"
#include "tests/link_support.h"

using namespace test_support;

namespace {

constexpr uint32_t LOCAL_ID = 0x00DB0799;
constexpr uint32_t PEER_ID = 0x12345678;

// A device write that holds the socket reader until the test lets it go.
std::atomic<bool> g_gate_open{false};
std::atomic<int> g_gate_entered{0};

int64_t gated_write(const struct iovec *entries, uint64_t count) {
    ++g_gate_entered;
    while (!g_gate_open.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return record_write(entries, count);
}

class ForwardTest : public link_test {
  protected:
    void SetUp() override {
        link_test::SetUp();
        stored_ = make_header(MSG_TYPE_RESPONSE, 0, 8080, LOCAL_ID, PEER_ID);
    }
    void TearDown() override {
        g_gate_open = true;  // never leave a reader held
        // Every link must have ended and freed its node.
        EXPECT_TRUE(links_gone());
        close(client_);
        link_test::TearDown();
    }
    // Starts the forwarding thread on an established link, as the state
    // machine does.
    void start_link() {
        auto [client, agent] = tcp_pair();
        client_ = client;
        conn_node *node = alloc_node(agent, -1);
        node->io_buf = make_msg(stored_);
        node->link_id = LOCAL_ID;
        pthread_t tid;
        ASSERT_EQ(pthread_create(&tid, nullptr, cdev_forward_one_node, node), 0);
        ASSERT_TRUE(wait_until([] { return get_list_head(&g_forward_list) != nullptr; }));
    }
    // The close the agent sends for the stored link.
    std::string close_message() const {
        msg_header h = stored_;
        h.type = MSG_TYPE_CLOSE;
        h.source = MSG_SOURCE_HOST;
        return wire(h);
    }
    void controller_sends(uint8_t type, const std::string &payload = "") {
        queue_msg(make_header(type, 0, 8080, LOCAL_ID, PEER_ID), payload);
    }
    msg_header stored_;
    int client_ = -1;
};

TEST_F(ForwardTest, DataFlowsBothWays) {
    start_link();
    std::string up(100, 'u');
    ASSERT_EQ(send(client_, up.data(), up.size(), 0), 100);
    ASSERT_TRUE(wait_until([] { return !written().empty(); }));
    std::string msg = written()[0];
    ASSERT_EQ(msg.size(), MSG_HEADER_SIZE + up.size());
    msg_header expected = stored_;
    expected.type = MSG_TYPE_FORWARD;
    expected.source = MSG_SOURCE_HOST;
    EXPECT_EQ(msg, wire(expected) + up);

    // Several slices, an empty message that must not disturb the link, and
    // queue order.
    std::string big;
    for (int i = 0; i < 3000; ++i) {
        big.push_back(static_cast<char>('a' + i % 26));
    }
    controller_sends(MSG_TYPE_FORWARD, big);
    controller_sends(MSG_TYPE_FORWARD);
    controller_sends(MSG_TYPE_FORWARD, "tail");
    EXPECT_EQ(recv_bytes(client_, big.size() + 4), big + "tail");

    controller_sends(MSG_TYPE_CLOSE);
    EXPECT_TRUE(peer_closed(client_));
}

TEST_F(ForwardTest, ClientCloseSendsOneCloseAndEndsTheLink) {
    start_link();
    shutdown(client_, SHUT_WR);
    // Without the reader's end being noticed the node would stay on the list
    // for good.
    ASSERT_TRUE(links_gone());
    EXPECT_TRUE(peer_closed(client_));
    std::vector<std::string> out = written();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], close_message());
}

// What the client sent before its reset goes out, then the CLOSE.
TEST_F(ForwardTest, ResetAfterDataForwardsTheDataThenCloses) {
    g_gate_open = false;
    g_gate_entered = 0;
    g_write_iov_func = gated_write;
    start_link();
    ASSERT_EQ(send(client_, "a", 1, 0), 1);
    ASSERT_TRUE(wait_until([] { return g_gate_entered.load() == 1; }));
    // While the reader is held, exactly one slice of data and then a reset
    // arrive: its next read fills slice 0 and meets the reset in slice 1.
    std::string up(BUFSIZE - MSG_HEADER_SIZE, 'r');
    ASSERT_EQ(send(client_, up.data(), up.size(), 0), static_cast<ssize_t>(up.size()));
    linger hard_close{1, 0};
    setsockopt(client_, SOL_SOCKET, SO_LINGER, &hard_close, sizeof(hard_close));
    close(client_);
    client_ = -1;
    g_gate_open = true;
    ASSERT_TRUE(links_gone());
    std::vector<std::string> out = written();
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[1].substr(MSG_HEADER_SIZE), up);
    EXPECT_EQ(out[2], close_message());
}

TEST_F(ForwardTest, ControllerEndsTheLinkWithoutAnswer) {
    for (uint8_t type : {MSG_TYPE_CLOSE, MSG_TYPE_RESPONSE}) {
        SCOPED_TRACE(static_cast<int>(type));
        start_link();
        controller_sends(type);
        EXPECT_TRUE(peer_closed(client_));
        EXPECT_TRUE(links_gone());
        close(client_);
        client_ = -1;
    }
    EXPECT_TRUE(written().empty());
}

// Every end the controller did not cause is told to it, once.
TEST_F(ForwardTest, ClientFailureSendsTheClose) {
    start_link();
    // The agent's sending side fails, its reading side stays open.
    shutdown(get_list_head(&g_forward_list)->fd, SHUT_WR);
    controller_sends(MSG_TYPE_FORWARD, "lost");
    ASSERT_TRUE(links_gone());
    EXPECT_TRUE(peer_closed(client_));
    EXPECT_EQ(written(), std::vector<std::string>{close_message()});
}

TEST_F(ForwardTest, ClientThatStopsReadingLosesOnlyItsLink) {
    auto [client, agent] = tcp_pair();
    int small = 4096;
    setsockopt(client, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    setsockopt(agent, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    client_ = client;
    conn_node *node = alloc_node(agent, -1);
    node->io_buf = make_msg(stored_);
    node->link_id = LOCAL_ID;
    pthread_t tid;
    ASSERT_EQ(pthread_create(&tid, nullptr, cdev_forward_one_node, node), 0);
    ASSERT_TRUE(wait_until([] { return get_list_head(&g_forward_list) != nullptr; }));
    std::string chunk(8000, 'd');
    for (int i = 0; i < 200 && !queue_link_dropped(LOCAL_ID) && get_list_head(&g_forward_list);
         ++i) {
        controller_sends(MSG_TYPE_FORWARD, chunk);
    }
    ASSERT_TRUE(links_gone());
    EXPECT_EQ(written(), std::vector<std::string>{close_message()});
    EXPECT_EQ(
        count_of(log_.text(), "Link id: 0x9907db00/0x78563412 dropped by the receive queue, fd "),
        1u);
    EXPECT_EQ(queued_messages(), 0);
}

TEST_F(ForwardTest, CloseFailedByTheDeviceIsSentOnceItTakesWrites) {
    g_write_iov_func = failing_write;
    start_link();
    ASSERT_EQ(send(client_, "data", 4, 0), 4);
    ASSERT_TRUE(links_gone());
    EXPECT_TRUE(peer_closed(client_));
    EXPECT_EQ(deferred_closes(), 1);
    retry_deferred_closes();  // the device still fails it
    EXPECT_EQ(deferred_closes(), 1);
    g_write_iov_func = record_write;
    retry_deferred_closes();
    EXPECT_EQ(deferred_closes(), 0);
    EXPECT_EQ(written(), std::vector<std::string>{close_message()});
}

}  // namespace
