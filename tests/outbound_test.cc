// Outbound connections to local ports.
#include "socket/outbound.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "tests/test_support.h"

using namespace test_support;

namespace {

TEST(ConnectToLocalPort, RefusedTcpPortClosesItsSocket) {
    log_mark mark;
    int free_fd = lowest_free_fd();
    EXPECT_EQ(-1, connect_to_local_port(htons(unused_port(SOCK_STREAM)), 1));
    EXPECT_EQ(free_fd, lowest_free_fd());
    EXPECT_EQ(1u, mark.count("Failed to connect to server, error code: 111\n"));
}

TEST(ConnectToLocalPort, TcpAndUdpSuccess) {
    log_mark mark;
    uint16_t udp_port = unused_port(SOCK_DGRAM);
    int udp = connect_to_local_port(htons(udp_port), 0);
    ASSERT_GE(udp, 0);
    int type = 0;
    socklen_t len = sizeof(type);
    getsockopt(udp, SOL_SOCKET, SO_TYPE, &type, &len);
    EXPECT_EQ(SOCK_DGRAM, type);
    EXPECT_EQ(1u, mark.count("Connect to port " + std::to_string(udp_port) +
                             " successfully, sock_fd: " + std::to_string(udp) + ".\n"));
    close(udp);

    uint16_t port = 0;
    int listener = bound_socket(SOCK_STREAM, &port);
    int tcp = connect_to_local_port(htons(port), 1);
    ASSERT_GE(tcp, 0);
    int peer = accept(listener, nullptr, nullptr);
    EXPECT_EQ(1, send(tcp, "k", 1, 0));
    EXPECT_EQ("k", recv_bytes(peer, 1));
    close(peer);
    close(tcp);
    close(listener);
}

}  // namespace
