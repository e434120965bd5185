// One connection through the accept step and a pass with the default hooks.
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

#include "common/conn_node.h"
#include "frame/log.h"
#include "frame/util.h"
#include "socket/state_machine.h"

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

TEST(DefaultHooks, OneConnectionIsEstablishedAndClosed) {
    ASSERT_FALSE(test_log_path().empty());
    conn_list list;
    init_list(&list);
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr *>(&addr), len));
    ASSERT_EQ(0, listen(listener, 1));
    getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
    int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(0, connect(client, reinterpret_cast<sockaddr *>(&addr), len));

    ASSERT_EQ(0, accept_connection(listener, &list));
    conn_node *node = get_list_head(&list);
    ASSERT_NE(nullptr, node);
    int fd = node->fd;
    handle_socket_connection_pass(&list);
    EXPECT_EQ(nullptr, get_list_head(&list));
    char c;
    EXPECT_EQ(0, recv(client, &c, 1, 0));  // the forwarding thread freed the node

    const std::string fds = std::to_string(fd) + "/-1";
    const std::string port = std::to_string(ntohs(addr.sin_port));
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
        log = read_log();
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
    ASSERT_FALSE(test_log_path().empty());
    conn_node *node = alloc_node(-1, -1);
    node->status = CONN_STATUS_PENDING;
    EXPECT_EQ(CONN_STATUS_CONNECTED, check_connection_status(node, 100));
    connection_rejected(node);
    std::string log = read_log();
    EXPECT_NE(std::string::npos, log.find("Default action: connection status: 3.\n"));
    EXPECT_NE(std::string::npos, log.find("Default action: reject connection for node.\n"));
    free_node(node);
}

}  // namespace
