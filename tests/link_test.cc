// The link layer: the receive queue, the reader, link ids; and the fault paths
// of links the end-to-end tests cannot reach cheaply.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <tuple>

#include "common/conn_node.h"
#include "common/msg_header.h"
#include "frame/util.h"
#include "link/cdev_request.h"
#include "link/close_notice.h"
#include "link/forward.h"
#include "link/handshake.h"
#include "link/link_id.h"
#include "link/reader.h"
#include "link/recv_queue.h"
#include "tests/link_support.h"
#include "transport/device.h"
#include "transport/net_cdev.h"

using namespace test_support;

namespace {

constexpr uint32_t LOCAL_ID = 0x00DB0799;  // printed 0x9907db00
constexpr uint32_t PEER_ID = 0x12345678;   // printed 0x78563412

// Recognisable reserved bytes: any header byte the agent changes shows.
std::string header(uint8_t type, uint8_t protocol, uint16_t port, uint32_t local, uint32_t peer,
                   uint8_t source = 0) {
    msg_header h{type, source, htons(port), protocol, 0, 0, peer, local, {}};
    for (size_t i = 0; i < sizeof(h.reserved2); ++i) h.reserved2[i] = 0xA0 + i;
    return std::string(reinterpret_cast<const char *>(&h), sizeof(h));
}

// The stored header of the link the tests start; what the host sends on it.
const std::string g_link = header(1, 0, 8080, LOCAL_ID, PEER_ID);
const std::string g_data = header(3, 0, 8080, LOCAL_ID, PEER_ID, 1);
const std::string g_close = header(2, 0, 8080, LOCAL_ID, PEER_ID, 1);

// A message as the device reader delivers it: in 1024-byte slices.
common_io_buf *make_msg(const std::string &bytes) {
    common_io_buf *v = alloc_common_io_buf(0);
    for (size_t off = 0; off < bytes.size(); off += 1024) {
        struct iovec &e = v->iov[v->iov_cnt++];
        e.iov_len = std::min<size_t>(bytes.size() - off, 1024);
        e.iov_base = memcpy(calloc(1, 1024), bytes.data() + off, e.iov_len);
    }
    v->total_len = static_cast<int64_t>(bytes.size());
    return v;
}

// Plays the controller: 0 when the queue took the message.
int queue_msg(const std::string &bytes) {
    common_io_buf *v = make_msg(bytes);
    int ret = enqueue_msg(v);
    if (ret != 0) release_common_io_buf(v);  // no room: still ours
    return ret;
}

// Takes every message of the id: their payloads, oldest first.
std::vector<std::string> take_all(uint32_t id) {
    std::vector<std::string> out;
    while (common_io_buf *v = read_cdev_iov(id)) {
        out.push_back(as_string(v).substr(32));
        release_common_io_buf(v);
    }
    return out;
}

std::mutex g_written_mu;
std::vector<std::string> g_written;  // every message written to the device

int64_t record_write(const struct iovec *entries, uint64_t count) {
    std::string msg;
    for (uint64_t i = 0; i < count; ++i)
        msg.append(static_cast<const char *>(entries[i].iov_base), entries[i].iov_len);
    std::lock_guard<std::mutex> lock(g_written_mu);
    g_written.push_back(msg);
    return static_cast<int64_t>(msg.size());
}

std::vector<std::string> written() {
    std::lock_guard<std::mutex> lock(g_written_mu);
    return g_written;
}

// How the client saw its end: 0 clean, else its read's error (-1: none in time).
int end_of(int fd) {
    static char buf[1 << 16];
    for (pollfd p{fd, POLLIN, 0}; poll(&p, 1, 3000) == 1;) {
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) return n == 0 ? 0 : errno;
    }
    return -1;
}

time_t g_now = 1000;  // the queue's clock

// 1024-byte slices, the recording device, the queue's clock at g_now, a scratch
// log; afterwards no link is left, and a pass far in the future empties the queue.
class LinkTest : public ::testing::Test {
  protected:
    static int enqueue(uint32_t id, const std::string &payload = "x") {
        return queue_msg(header(3, 0, 1, id, 9) + payload);
    }
    static int64_t failing_write(const struct iovec *, uint64_t) { return errno = EIO, -1; }
    // A waker counting in the ints at `arg` the messages queued and the link's end.
    static void count(void *arg, bool link_ended) { ++static_cast<int *>(arg)[link_ended]; }
    size_t logged(const std::string &line) const { return count_of(log_.text(), line); }
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        BUFSIZE = 1024;
        g_write_iov_func = record_write;
        g_written.clear();
        g_queue_clock = [] { return g_now; };
        init_list(&g_forward_list);
    }
    void TearDown() override {
        EXPECT_TRUE(links_gone());
        close(client_);
        garbage_collector_pass(g_now + 100000);
    }
    static bool links_gone() {
        return wait_until([] { return get_list_head(&g_forward_list) == nullptr; });
    }
    // A client and the agent's node for it; one that stops reading soon blocks.
    conn_node *connect_client() {
        close(client_);
        auto [client, agent] = tcp_pair();
        int small = 4096;
        setsockopt(client, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
        setsockopt(agent, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
        client_ = client;
        return alloc_node(agent, -1);
    }
    // An established link forwarding, as the state machine starts it.
    void start_link() {
        conn_node *node = connect_client();
        node->io_buf = make_msg(g_link);
        node->link_id = LOCAL_ID;
        pthread_t tid;
        ASSERT_EQ(pthread_create(&tid, nullptr, cdev_forward_one_node, node), 0);
        ASSERT_TRUE(wait_until([] { return get_list_head(&g_forward_list) != nullptr; }));
    }

    scratch_log log_;
    int client_ = -1;
};
using RecvQueue = LinkTest;
using LinkFault = LinkTest;

// First in the file: the counter is still at its start value.
TEST_F(RecvQueue, LinkIdsStartAfter00DB0700WrapPastZeroAndSkipHeldOnes) {
    EXPECT_EQ(cdev_generate_link_id(), 0x00DB0701u);
    EXPECT_EQ(logged("Flush link msg for link_id: 0x0107db00\n"), 1u);
    EXPECT_EQ(level_of("Flush link msg for link_id: 0x", [] { cdev_generate_link_id(); }), 0);
    set_link_id_counter(0xFFFFFFFE);
    EXPECT_EQ(cdev_generate_link_id(), 0xFFFFFFFFu);
    EXPECT_EQ(cdev_generate_link_id(), 1u);
    conn_node *held[] = {alloc_node(-1, -1), alloc_node(-1, -1)};
    for (uint32_t i = 0; i < 2; i++) held[i]->link_id = 101 + i;
    for (conn_node *n : held) add_to_head(&g_forward_list, n);
    set_link_id_counter(100);
    EXPECT_EQ(cdev_generate_link_id(), 103u);
    for (conn_node *n : held) detach_one_node(&g_forward_list, n), free_node(n);
    set_link_id_counter(100);
    EXPECT_EQ(cdev_generate_link_id(), 101u);
}

// A stalled link (its client has taken no byte for 500 ms) ends once it
// holds 128 messages. 1000 in all: when they fill the queue, room comes from
// messages nobody claims, then from the stalled link holding the most, never
// from a link with few; a link that is merely late is waited for, up to 2 s,
// whatever it holds. Requests have 64 places of their own.
TEST_F(RecvQueue, StalledLinksEndAndMakeRoomForTheOthers) {
    log_at(1);
    int share[2] = {}, fullest[2] = {}, stalled[2] = {}, late[2] = {};
    link_progress stuck, reading;
    stuck.blocked_since_ms = monotonic_ms() - 600;
    queue_open_link(6, {count, share, &stuck});
    for (int i = 0; i < 128; ++i) ASSERT_EQ(enqueue(6), 0);
    EXPECT_EQ(share[1], 0);
    ASSERT_EQ(enqueue(6), 0);
    EXPECT_EQ(share[1], 1);
    EXPECT_EQ(logged("Link id 0x06000000 dropped: its client takes nothing (128 msg freed)\n"), 1u);
    link_progress filling;
    queue_open_link(7, {count, fullest, &filling});
    queue_open_link(8, {count, stalled, &filling});
    queue_open_link(9, {count, late, &reading});
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(enqueue(i < 10 ? 5 : i < 600 ? 7 : i < 990 ? 8 : 9), 0);
    filling.blocked_since_ms = monotonic_ms() - 600;  // now 7 and 8 stall
    EXPECT_EQ(logged("message list reached max length\n"), 0u);
    ASSERT_EQ(enqueue(9, "late"), 0);  // the unclaimed go first
    EXPECT_EQ(logged("Dropped 10 msg for unknown link id 0x05000000\n"), 1u);
    for (int i = 0; i < 9; ++i) ASSERT_EQ(enqueue(9), 0);
    ASSERT_EQ(enqueue(9, "kept"), 0);  // then the stalled link holding the most
    EXPECT_EQ(fullest[1], 1);
    EXPECT_EQ(stalled[1], 0);
    EXPECT_EQ(read_cdev_iov(7), nullptr);  // its messages were freed at once
    EXPECT_EQ(logged("No room in the receive queue for link id 0x07000000, "
                     "link dropped (590 msg freed)\n"),
              1u);
    EXPECT_EQ(logged("message list reached max length\n"), 1u);  // once a process
    queue_close_link(8);
    for (int i = 0; i < 979; ++i) ASSERT_EQ(enqueue(9), 0);
    std::thread taker([] { msleep(100), release_common_io_buf(read_cdev_iov(9)); });
    auto asked = std::chrono::steady_clock::now();
    ASSERT_EQ(enqueue(9, "waited"), 0);  // the late link is waited for
    EXPECT_GE(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(90));
    taker.join();
    EXPECT_EQ(late[1], 0);
    queue_open_link(10, {});
    asked = std::chrono::steady_clock::now();
    ASSERT_EQ(enqueue(10), 0);  // nobody takes anything for 2 s
    EXPECT_GE(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(1900));
    EXPECT_EQ(late[1], 1);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(enqueue(0), 0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(enqueue(0), -1);
    EXPECT_EQ(logged("Drop controller request of type 3 for port 1: 64 requests wait already\n"),
              1u);
    EXPECT_EQ(g_list_length, 1000);
    queue_close_link(9), queue_close_link(10), take_all(0);
}

// An ended link's messages are flushed and late ones dropped; its id can be reissued.
TEST_F(RecvQueue, EndedLinkIsFlushedAndLateMessagesDropped) {
    int told[2] = {};
    auto end_link = [&told] {
        queue_open_link(0x0107db00, {count, told});
        EXPECT_EQ(enqueue(0x0107db00), 0);
        queue_close_link(0x0107db00);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(enqueue(0x0107db00), 0);
        EXPECT_EQ(queued_messages(), 0);
    };
    EXPECT_EQ(level_of("Drop msg for ended link id 0x00db0701\n", end_link), 1);
    EXPECT_EQ(level_of("Flushed 1 msg of ended link id 0x00db0701\n", end_link), 0);
    EXPECT_EQ(told[0], 5);  // one a run (five runs): none after the end
    queue_open_link(0x0107db00, {});
    ASSERT_EQ(enqueue(0x0107db00, "new"), 0);
    EXPECT_EQ(take_all(0x0107db00), std::vector<std::string>{"new"});
}

// A link whose message waited over 600 s ends (its stream would have a
// hole), and stays ended when its forwarding thread registers afterwards.
TEST_F(RecvQueue, CollectorAgesMessagesAfter600sAndUnclaimedOnesAfter10s) {
    int told[2] = {}, again[2] = {};
    queue_open_link(11, {count, told});
    g_now = 5000;
    for (uint32_t id : {11, 12, 0}) ASSERT_EQ(enqueue(id, "old"), 0);
    g_now = 5100;
    for (const char *payload : {"young", "younger"}) ASSERT_EQ(enqueue(11, payload), 0);
    log_at(1);
    garbage_collector_pass(5010);  // 10 s: the grace is not over
    EXPECT_EQ(queued_messages(), 5);
    garbage_collector_pass(5011);
    EXPECT_EQ(logged("Dropped 1 msg for unknown link id 0x0c000000\n"), 1u);
    garbage_collector_pass(5600);  // exactly 600 s old: kept
    EXPECT_EQ(queued_messages(), 4);
    EXPECT_EQ(told[1], 0);
    garbage_collector_pass(5601);
    EXPECT_EQ(queued_messages(), 0);  // requests age like the rest
    EXPECT_EQ(told[1], 1);
    EXPECT_EQ(logged("Link id 0x0b000000 dropped: its messages waited over 600 s (3 msg freed)\n"),
              1u);
    queue_open_link(11, {count, again});
    EXPECT_EQ(again[1], 1);
    EXPECT_TRUE(queue_link_dropped(11));
    EXPECT_EQ(enqueue(11, "late"), 0);
    EXPECT_EQ(queued_messages(), 0);
    queue_close_link(11);
}

// The reader drops what is shorter than the 32-byte header, queues bare headers.
TEST_F(RecvQueue, ReaderQueuesMessagesOfAtLeast32Bytes) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
    g_read_iov_func = cdev_buf_recv_iov;
    std::string full = header(3, 0, 1, 77, 9) + "payload";
    common_io_buf *held = nullptr;
    log_at(2);
    for (size_t len : {31, 32, 39}) {
        ASSERT_EQ(send(sv[1], full.data(), len, 0), static_cast<ssize_t>(len));
        EXPECT_EQ(read_one_message(sv[0], &held), read_result::MESSAGE);
    }
    release_common_io_buf(held);
    EXPECT_EQ(take_all(77), (std::vector<std::string>{"", "payload"}));
    EXPECT_EQ(logged("Drop too short message, length: 31.\n"), 1u);
    close(sv[0]), close(sv[1]);
}

// The reader only reads: a device that fails a read is handed to the device
// keeper, while a writer holds the send lock for as long as it likes.
TEST_F(RecvQueue, ReaderNeverWaitsForTheSendLock) {
    std::atomic<int> failing{open("/", O_RDONLY | O_DIRECTORY)};  // every read fails
    common_io_buf *held = nullptr;
    send_lock_acquire();
    auto pass = std::async(std::launch::async, [&] { read_thread_pass(&failing, &held); });
    EXPECT_EQ(pass.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    send_lock_release();
    pass.wait();
    release_common_io_buf(held);
    close(failing);
}

// A broken request, or one with made-up ids, sends nothing; a request answered
// wrongly is closed with the request's own header, type 2.
TEST_F(LinkFault, HandshakeClosesOnlyARequestItSent) {
    const std::string request = header(0, 0, 8080, 0x11111111, 0x22, 1);
    const std::pair<std::string, std::string> cases[] = {
        // the client's bytes, the controller's answer (none: nothing goes out)
        {request.substr(0, 20), ""},
        {header(2, 0, 22, 0x00DB0701, 0x77), ""},  // a CLOSE with made-up ids
        {header(3, 1, 514, 0, 0), ""},             // a UDP forward without payload
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

// A failing client (its socket shut, or its reading stopped until the queue
// is full) loses its link: the controller is told once, the client gets a
// reset, never a clean end with a hole. An unknown type ends it cleanly.
TEST_F(LinkFault, LinkEndsOnAFailedClientOrTheControllersWord) {
    // the agent's side shut, the type of the controller's messages, the end the
    // client sees (a shut side has ended already), the line logged
    const std::tuple<bool, uint8_t, int, const char *> cases[] = {
        {true, 3, 0, "Failed to send to fd "},
        {false, 3, ECONNRESET, "Link id: 0x9907db00/0x78563412 dropped by the receive queue, fd "},
        {false, 1, 0, "Unknown command type 1, abort connection.\n"},
    };
    for (const auto &[shut, type, end, line] : cases) {
        SCOPED_TRACE(line);
        g_written.clear();
        size_t mark = log_.text().size();
        start_link();
        if (shut) shutdown(get_list_head(&g_forward_list)->fd, SHUT_WR);
        for (int i = 0; i < 1100 && get_list_head(&g_forward_list) != nullptr; ++i)
            queue_msg(header(type, 0, 8080, LOCAL_ID, PEER_ID) + std::string(8000, 'd'));
        ASSERT_TRUE(links_gone());
        EXPECT_EQ(end_of(client_), end);
        EXPECT_EQ(written(), std::vector<std::string>(type == 3, g_close));
        EXPECT_EQ(count_of(log_.text().substr(mark), line), 1u);
    }
}

// The device fails the client's data: the link ends and its CLOSE is kept
// until a write of another link goes through; that link's client closes.
TEST_F(LinkFault, CloseFailedByTheDeviceIsSentOnceItTakesWrites) {
    g_write_iov_func = failing_write;
    start_link();
    ASSERT_EQ(send(client_, "data", 4, 0), 4);
    ASSERT_TRUE(links_gone());
    EXPECT_EQ(end_of(client_), ECONNRESET);
    retry_deferred_closes();  // the device still fails it
    EXPECT_EQ(deferred_closes(), 1);
    EXPECT_EQ(logged("CLOSE for link id 0x9907db00/0x78563412 kept until the device takes it\n"),
              1u);
    g_write_iov_func = record_write;
    start_link();
    ASSERT_EQ(send(client_, "more", 4, 0), 4);
    ASSERT_TRUE(wait_until([] { return written().size() == 2; }));
    EXPECT_EQ(logged("Sent kept CLOSE for link id 0x9907db00/0x78563412\n"), 1u);
    shutdown(client_, SHUT_WR);  // the client's end is told too
    ASSERT_TRUE(links_gone());
    EXPECT_EQ(written(), (std::vector<std::string>{g_data + "more", g_close, g_close}));
}

// A request for a port nobody listens on is refused with its own header: type 2,
// source 1, ret_code 1, no link id. A connection whose answer fails is closed.
TEST_F(LinkFault, ControllerRequestsThatOpenNoLink) {
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
    EXPECT_EQ(logged("Failed to send CDEV response, link id: 0x"), 1u);
    EXPECT_EQ(logged("/0x78563412, code: 5\n"), 1u);
    close(lfd);
}

}  // namespace
