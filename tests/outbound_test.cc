// Outbound connections to local ports.
#include "socket/outbound.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "frame/log.h"
namespace {

// Opens the log with every level in a fresh directory, once per process, and
// returns the log file's path.
const std::string &test_log_path() {
    static const std::string path = [] {
        char dir[] = "/tmp/cdev_test_XXXXXX";
        if (mkdtemp(dir) == nullptr || chdir(dir) != 0 || mkdir("log", 0755) != 0) {
            return std::string();
        }
        setenv("DEBUG_NETWORK", "", 1);
        char comm[20] = {};
        read_comm_from_file("/proc/self/comm", comm, sizeof(comm));
        return init_log(LOG_ERROR) == 0 ? std::string(dir) + "/log/" + comm + ".log"
                                        : std::string();
    }();
    return path;
}

std::string read_log() {
    std::ifstream in(test_log_path());
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        n++;
    }
    return n;
}
// A port on 127.0.0.1 with nothing behind it (for `type` SOCK_STREAM or
// SOCK_DGRAM), in network order.
uint16_t unused_port(int type) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    bind(fd, reinterpret_cast<sockaddr *>(&addr), len);
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    close(fd);
    return addr.sin_port;
}

TEST(ConnectToLocalPort, RefusedTcpPort) {
    ASSERT_FALSE(test_log_path().empty());
    int before = dup(0);
    close(before);
    EXPECT_EQ(-1, connect_to_local_port(unused_port(SOCK_STREAM), 1));
    int after = dup(0);
    close(after);
    EXPECT_EQ(before, after);  // the socket was closed
    EXPECT_EQ(1u, count_of(read_log(), "Failed to connect to server, error code: 111\n"));
}

TEST(ConnectToLocalPort, TcpAndUdpSuccess) {
    ASSERT_FALSE(test_log_path().empty());
    uint16_t udp_port = unused_port(SOCK_DGRAM);
    int udp = connect_to_local_port(udp_port, 0);
    ASSERT_GE(udp, 0);
    EXPECT_EQ(SOCK_DGRAM, [&] {
        int type = 0;
        socklen_t len = sizeof(type);
        getsockopt(udp, SOL_SOCKET, SO_TYPE, &type, &len);
        return type;
    }());
    EXPECT_EQ(1u,
              count_of(read_log(), "Connect to port " + std::to_string(ntohs(udp_port)) +
                                       " successfully, sock_fd: " + std::to_string(udp) + ".\n"));
    close(udp);

    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    bind(listener, reinterpret_cast<sockaddr *>(&addr), len);
    listen(listener, 1);
    getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
    int tcp = connect_to_local_port(addr.sin_port, 1);
    ASSERT_GE(tcp, 0);
    int peer = accept(listener, nullptr, nullptr);
    EXPECT_EQ(1, send(tcp, "k", 1, 0));
    char c = 0;
    EXPECT_EQ(1, recv(peer, &c, 1, 0));
    EXPECT_EQ('k', c);
    close(peer);
    close(tcp);
    close(listener);
}

}  // namespace
