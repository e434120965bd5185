// The listening socket: port walk, options and failures.
#include "socket/server_socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <string>

#include "tests/test_support.h"

using namespace test_support;
namespace {

sockaddr_in loopback(uint16_t port) {
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

// A listening socket on `port` (0: any); -1 when the port is taken.
int listen_on(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = loopback(port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 || listen(fd, 1) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

uint16_t bound_port(int fd) {
    sockaddr_in addr = {};
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    return ntohs(addr.sin_port);
}

int int_option(int fd, int level, int name) {
    int value = -1;
    socklen_t len = sizeof(value);
    getsockopt(fd, level, name, &value, &len);
    return value;
}

TEST(InitSocketServer, NoAttemptsMeansNoBindAndNoSocketLeft) {
    open_process_log();
    int free_fd = lowest_free_fd();
    sockaddr_in addr = loopback(0);
    size_t binds = count_of(log_text(), "ERROR on binding");
    EXPECT_EQ(-1, init_socket_server(reinterpret_cast<sockaddr *>(&addr), 1, 0, nullptr));
    EXPECT_EQ(-1, init_socket_server(reinterpret_cast<sockaddr *>(&addr), 1, -3, nullptr));
    EXPECT_EQ(free_fd, lowest_free_fd());
    EXPECT_EQ(binds, count_of(log_text(), "ERROR on binding"));
}

TEST(InitSocketServer, BusyPortMovesToTheNext) {
    open_process_log();
    int blocker = -1;
    uint16_t port = 0;
    for (int i = 0; i < 50 && port == 0; i++) {
        blocker = listen_on(0);
        int probe = listen_on(static_cast<uint16_t>(bound_port(blocker) + 1));
        if (probe >= 0 && bound_port(blocker) != 65535) {
            port = bound_port(blocker);
            close(probe);
        } else {
            close(blocker);
        }
    }
    ASSERT_NE(0, port);
    size_t binds = count_of(log_text(), "ERROR on binding, error code: 98\n");
    int free_fd = lowest_free_fd();
    sockaddr_in addr = loopback(port);
    int fd = init_socket_server(reinterpret_cast<sockaddr *>(&addr), 1, 3, nullptr);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(port + 1, ntohs(addr.sin_port));
    EXPECT_EQ(port + 1, bound_port(fd));
    EXPECT_EQ(binds + 1, count_of(log_text(), "ERROR on binding, error code: 98\n"));
    close(fd);

    // Every attempt fails: nothing stays open.
    addr = loopback(port);
    EXPECT_EQ(-1, init_socket_server(reinterpret_cast<sockaddr *>(&addr), 1, 1, nullptr));
    EXPECT_EQ(port + 1, ntohs(addr.sin_port));
    EXPECT_EQ(free_fd, lowest_free_fd());
    close(blocker);
}

TEST(InitSocketServer, PortAfter65535IsZero) {
    int blocker = listen_on(65535);
    if (blocker < 0) {
        GTEST_SKIP() << "port 65535 cannot be taken here";
    }
    sockaddr_in addr = loopback(65535);
    int fd = init_socket_server(reinterpret_cast<sockaddr *>(&addr), 1, 2, nullptr);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(0, addr.sin_port);
    EXPECT_NE(0, bound_port(fd));  // the platform picked one
    close(fd);
    close(blocker);
}

TEST(CreateServerSocket, OptionsByKind) {
    open_process_log();
    int tcp = create_server_socket(nullptr, 1, AF_INET);
    ASSERT_GE(tcp, 0);
    EXPECT_EQ(SOCK_STREAM, int_option(tcp, SOL_SOCKET, SO_TYPE));
    EXPECT_EQ(1, int_option(tcp, SOL_SOCKET, SO_REUSEADDR));
    EXPECT_EQ(0, int_option(tcp, IPPROTO_TCP, TCP_NODELAY));
    EXPECT_EQ(0, set_tcp_no_delay(tcp));
    EXPECT_NE(0, int_option(tcp, IPPROTO_TCP, TCP_NODELAY));
    close(tcp);
    EXPECT_EQ(-1, set_tcp_no_delay(-1));

    int udp = create_server_socket(nullptr, 0, AF_INET);
    ASSERT_GE(udp, 0);
    EXPECT_EQ(SOCK_DGRAM, int_option(udp, SOL_SOCKET, SO_TYPE));
    EXPECT_EQ(0, int_option(udp, SOL_SOCKET, SO_REUSEADDR));
    close(udp);

    int free_fd = lowest_free_fd();
    EXPECT_EQ(-1, create_server_socket("nosuchdev0", 1, AF_INET));
    EXPECT_EQ(free_fd, lowest_free_fd());
    EXPECT_EQ(1u, count_of(log_text(), "Error bind to device nosuchdev0, error code: "));
    EXPECT_EQ(-1, create_server_socket(nullptr, 1, 12345));
    EXPECT_EQ(1u, count_of(log_text(), "Failed to create TCP socket, error code: 97\n"));
}

}  // namespace
