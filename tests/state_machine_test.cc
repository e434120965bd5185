// The state machine driven pass by pass through hooks defined here.
#include "socket/state_machine.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "common/conn_node.h"
#include "frame/util.h"
#include "tests/test_support.h"

using namespace test_support;
namespace {

// What the hooks answer; each test sets them.
int (*request_rule)(conn_node *) = nullptr;
int (*status_rule)(conn_node *) = nullptr;
std::atomic<int> request_calls{0};
std::atomic<int> status_calls{0};
std::atomic<int> rejected{0};
std::atomic<int> hook_saw_node_on_list{0};
conn_list *current_list = nullptr;

bool on_list(conn_list *list, conn_node *node) {
    for (conn_node *n = get_list_head(list); n != nullptr; n = n->next) {
        if (n == node) {
            return true;
        }
    }
    return false;
}

}  // namespace

int check_connection_request(conn_node *node) {
    request_calls++;
    return request_rule(node);
}

int check_connection_status(conn_node *node, int) {
    status_calls++;
    return status_rule(node);
}

void connection_rejected(conn_node *node) {
    rejected++;
    if (node->next != nullptr || on_list(current_list, node)) {
        hook_saw_node_on_list++;
    }
}

void connection_established(conn_node *) {}

void *forward_one_node(void *node) {
    pthread_detach(pthread_self());
    free_node(static_cast<conn_node *>(node));
    return nullptr;
}

namespace {

struct state_machine_test : ::testing::Test {
    conn_list list;
    log_mark mark;
    void SetUp() override {
        init_list(&list);
        current_list = &list;
        request_calls = status_calls = rejected = 0;
        hook_saw_node_on_list = 0;
    }
    void TearDown() override {
        while (conn_node *n = get_list_head(&list)) {
            free_node(detach_node_fast(&list, nullptr, n));
        }
    }
    std::string new_log() { return mark.text(); }
    // A node whose client has had its time to send.
    conn_node *push(int fd, uint32_t id = 0) {
        conn_node *n = alloc_node(fd, -1);
        n->link_id = id;
        n->accepted_ms = 1;
        add_to_head(&list, n);
        return n;
    }
    std::vector<uint32_t> ids() {
        std::vector<uint32_t> out;
        for (conn_node *n = get_list_head(&list); n != nullptr; n = n->next) {
            out.push_back(n->link_id);
        }
        return out;
    }
};

TEST_F(state_machine_test, UndecidedNodeIsFreedAfter26Checks) {
    request_rule = [](conn_node *) { return CONN_STATUS_REQUESTED; };
    status_rule = [](conn_node *) { return CONN_STATUS_PENDING; };
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
    conn_node *node = push(sv[0]);
    for (int pass = 1; pass <= 25; pass++) {
        handle_socket_connection_pass(&list);
        ASSERT_EQ(node, get_list_head(&list)) << "pass " << pass;
        EXPECT_EQ(pass, node->check_count);
    }
    EXPECT_EQ(CONN_STATUS_PENDING, node->status.load());
    handle_socket_connection_pass(&list);
    EXPECT_EQ(nullptr, get_list_head(&list));
    EXPECT_EQ(1, request_calls.load());
    EXPECT_EQ(25, status_calls.load());
    EXPECT_EQ(1, rejected.load());  // so that the controller hears of the end
    EXPECT_EQ(0, hook_saw_node_on_list.load());
    char c;
    EXPECT_EQ(0, recv(sv[1], &c, 1, 0));  // the client socket was closed

    std::string log = new_log();
    std::string fds = "(" + std::to_string(sv[0]) + "/-1)";
    EXPECT_EQ(26u, count_of(log, "check fd " + fds));
    EXPECT_EQ(27u, count_of(log, "check_node_timeout,"));  // 26 checks and the time-out
    EXPECT_EQ(1u, count_of(log, "check fd " + fds + ", count: 0/25.\n"));
    EXPECT_EQ(1u, count_of(log, "check fd " + fds + ", count: 25/25.\n"));
    EXPECT_EQ(1u, count_of(log, "Node connection timeout, free this node " + fds + ".\n"));
    // Status lines only when the status changes: 0 -> 1 and 1 -> 3, once each.
    EXPECT_EQ(2u, count_of(log, "handle_socket_connection,"));
    EXPECT_EQ(1u, count_of(log, "id: 0x00000000, status: 0 -> 1.\n"));
    EXPECT_EQ(1u, count_of(log, "id: 0x00000000, status: 1 -> 3.\n"));
    close(sv[1]);
}

TEST_F(state_machine_test, RejectingHeadMiddleAndLastKeepsTheOthers) {
    for (uint32_t id = 1; id <= 5; id++) {
        push(-1, id);
    }
    // The list reads 5 4 3 2 1: reject the head, the middle and the last.
    request_rule = [](conn_node *n) {
        return n->link_id % 2 == 1 ? CONN_STATUS_DISCONNECTED : CONN_STATUS_REQUESTED;
    };
    status_rule = [](conn_node *n) {
        return n->link_id == 2 ? CONN_STATUS_DISCONNECTED : CONN_STATUS_PENDING;
    };
    handle_socket_connection_pass(&list);
    EXPECT_EQ((std::vector<uint32_t>{4, 2}), ids());
    EXPECT_EQ(3, rejected.load());
    handle_socket_connection_pass(&list);
    EXPECT_EQ((std::vector<uint32_t>{4}), ids());
    EXPECT_EQ(4, rejected.load());
    EXPECT_EQ(0, hook_saw_node_on_list.load());
    std::string log = new_log();
    EXPECT_EQ(0u, count_of(log, "id: 0x05000000, status:"));  // 0 stayed 0
    EXPECT_EQ(1u, count_of(log, "id: 0x04000000, status: 0 -> 1.\n"));
    EXPECT_EQ(1u, count_of(log, "id: 0x02000000, status: 1 -> 0.\n"));
}

// News is acted on at once; only the 200 ms passes count undecided checks.
TEST_F(state_machine_test, NewsIsCheckedAtOnceButNotCounted) {
    request_rule = [](conn_node *) { return CONN_STATUS_REQUESTED; };
    status_rule = [](conn_node *) { return CONN_STATUS_PENDING; };
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
    conn_node *node = alloc_node(sv[0], -1);
    node->accepted_ms = monotonic_ms();
    add_to_head(&list, node);
    handle_socket_connection_pass(&list, false);
    EXPECT_EQ(0, request_calls.load());  // the client has not sent yet

    ASSERT_EQ(1, write(sv[1], "x", 1));
    wait_for_news(&list, -1);  // returns for the client's first bytes
    handle_socket_connection_pass(&list, false);
    EXPECT_EQ(1, request_calls.load());
    handle_socket_connection_pass(&list, false);
    EXPECT_EQ(0, status_calls.load());  // nothing new

    node_has_news(node);
    wait_for_news(&list, -1);  // returns for the wake-up
    handle_socket_connection_pass(&list, false);
    EXPECT_EQ(1, status_calls.load());
    EXPECT_EQ(0, node->check_count);
    handle_socket_connection_pass(&list, true);
    EXPECT_EQ(2, status_calls.load());
    EXPECT_EQ(1, node->check_count);
    close(sv[1]);
}

}  // namespace
