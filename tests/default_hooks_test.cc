// One connection through the accept step and a pass with the default hooks.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "common/conn_node.h"
#include "frame/util.h"
#include "socket/state_machine.h"
#include "tests/test_support.h"

using namespace test_support;

namespace {

TEST(DefaultHooks, OneConnectionIsEstablishedAndClosed) {
    open_process_log();
    conn_list list;
    init_list(&list);
    uint16_t listen_port = 0;
    int listener = bound_socket(SOCK_STREAM, &listen_port);
    int client = connect_loopback(listen_port);

    ASSERT_EQ(0, accept_connection(listener, &list));
    conn_node *node = get_list_head(&list);
    ASSERT_NE(nullptr, node);
    int fd = node->fd;
    // Not checked before the client sent (or its 100 ms are over).
    handle_socket_connection_pass(&list);
    ASSERT_EQ(node, get_list_head(&list));
    ASSERT_EQ(1, send(client, "x", 1, 0));
    wait_for_news(&list, -1);
    handle_socket_connection_pass(&list);
    EXPECT_EQ(nullptr, get_list_head(&list));
    char c;
    EXPECT_EQ(0, recv(client, &c, 1, 0));  // the forwarding thread freed the node

    const std::string fds = std::to_string(fd) + "/-1";
    const std::string port = std::to_string(listen_port);
    // The new thread may log before do_forward's line about it, so the
    // thread line is checked apart from the sequence.
    const std::string sequence[] = {
        "run_socket_server,",
        "New connection: [127.0.0.1/",
        "-> [127.0.0.1/" + port + "], fd: " + std::to_string(fd) + "\n",
        "Default action: connect to peer successfully.\n",
        "Node, fd: " + fds + ", id: 0x00000000, status: 0 -> 2.\n",
        "Default action: connection established for node.\n",
        "Default action: no forward, stop thread.\n",
        "Close socket " + std::to_string(fd) + "\n",
    };
    const std::string thread_line = "do_forward,";
    const std::string thread_text = ", fd: " + fds + ", link id: 0x00000000.\n";
    std::string log;
    for (int i = 0; i < 500 && log.find(thread_text) == std::string::npos; i++) {
        msleep(2);
        log = log_text();
    }
    size_t at = 0;
    for (const std::string &line : sequence) {
        size_t next = log.find(line, at);
        ASSERT_NE(std::string::npos, next) << "missing in order: " << line;
        at = next;
    }
    size_t established = log.find("connection established for node.");
    size_t thread_at = log.find(thread_line);
    ASSERT_NE(std::string::npos, thread_at);
    EXPECT_GT(thread_at, established);
    EXPECT_NE(std::string::npos, log.find("Thread for new connection: ", thread_at));
    EXPECT_NE(std::string::npos, log.find(thread_text, thread_at));
    close(client);
    close(listener);
}

TEST(DefaultHooks, StatusAndRejectHooksOnlyLog) {
    open_process_log();
    conn_node *node = alloc_node(-1, -1);
    node->status = CONN_STATUS_PENDING;
    EXPECT_EQ(CONN_STATUS_CONNECTED, check_connection_status(node, 100));
    connection_rejected(node);
    std::string log = log_text();
    EXPECT_NE(std::string::npos, log.find("Default action: connection status: 3.\n"));
    EXPECT_NE(std::string::npos, log.find("Default action: reject connection for node.\n"));
    free_node(node);
}

}  // namespace
