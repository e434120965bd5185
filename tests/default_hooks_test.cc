// The state machine's default hooks: a connection is established once its
// client has sent, and its thread closes it, there being nowhere to forward.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/conn_node.h"
#include "socket/state_machine.h"
#include "tests/test_support.h"

TEST(DefaultHooks, AConnectionIsEstablishedAndClosed) {
    test_support::scratch_log log;
    conn_list list;
    init_list(&list);
    uint16_t port = 0;
    const int listener = test_support::bound_socket(SOCK_STREAM, &port);
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in addr{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(connect(client, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(accept_connection(listener, &list), 0);
    ASSERT_EQ(send(client, "x", 1, 0), 1);
    wait_for_news(&list, -1);
    handle_socket_connection_pass(&list);
    EXPECT_EQ(get_list_head(&list), nullptr);
    const timeval limit{3, 0};
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    char c;
    EXPECT_EQ(recv(client, &c, 1, 0), 0);  // the thread freed the node: the socket is closed
    EXPECT_EQ(test_support::count_of(log.text(), "Default action: no forward, stop thread.\n"), 1u);
    close(client);
    close(listener);
}
