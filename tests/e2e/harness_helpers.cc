// Small helpers of the end-to-end tests: free ports and connects, files,
// link ids, whole sends and receives, temp directories and files, the
// agent's status socket and JSON read by python3.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "tests/e2e/harness.h"

namespace e2e {

std::string agent_binary() {
    return CDEV_AGENT_BINARY;
}

sockaddr_in loopback(int port) {
    return {AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
}

int free_tcp_port() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopback(0);
    socklen_t len = sizeof(addr);
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    close(fd);
    if (port < 1024) {
        throw std::runtime_error("no free TCP port");
    }
    return port;
}

int connect_loopback(int port, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = loopback(port);
        if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0) {
            return fd;
        }
        close(fd);
        if (std::chrono::steady_clock::now() >= deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool can_connect(int port) {
    int fd = connect_loopback(port, std::chrono::milliseconds(0));
    close(fd);
    return fd >= 0;
}

bool wait_serving(int port, std::chrono::milliseconds timeout) {
    int fd = connect_loopback(port, timeout);
    close(fd);
    return fd >= 0;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void put32(Bytes *m, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        (*m)[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

uint32_t get32(const Bytes &m, size_t at) {
    return m[at] | (m[at + 1] << 8) | (m[at + 2] << 16) | (static_cast<uint32_t>(m[at + 3]) << 24);
}

bool send_all(int fd, const std::vector<uint8_t> &data) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool recv_exact(int fd, size_t n, std::vector<uint8_t> *out, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    out->resize(n);
    size_t got = 0;
    while (got < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        ssize_t r = recv(fd, out->data() + got, n - got, 0);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        got += static_cast<size_t>(r);
    }
    return true;
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/cdev_e2e_mnt_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path = tmpl;
    chmod(path.c_str(), 0755);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

TempFile::TempFile() {
    char tmpl[] = "/tmp/cdev_e2e_dev_XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0) {
        throw std::runtime_error("mkstemp failed");
    }
    close(fd);
    path = tmpl;
}

TempFile::~TempFile() {
    unlink(path.c_str());
}

}  // namespace e2e

namespace e2e {

std::string ask_status(const std::string &socket_path, const std::string &command) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    socket_path.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 &&
        send_all(fd, Bytes(command.begin(), command.end()))) {
        char buf[4096];
        for (ssize_t n; (n = recv(fd, buf, sizeof(buf), 0)) > 0;) answer.append(buf, n);
    }
    close(fd);
    return answer;
}

std::vector<std::string> json_values(const std::string &json,
                                     const std::vector<std::string> &paths) {
    TempDir dir;
    std::ofstream(dir.path + "/in") << json;
    std::string command =
        "python3 -c 'import json, sys\n"
        "doc = json.load(open(sys.argv[1]))\n"
        "for path in sys.argv[2:]:\n"
        "    v = doc\n"
        "    for k in path.split(\".\"):\n"
        "        v = v[int(k)] if isinstance(v, list) else v[k]\n"
        "    print(json.dumps(v))' " +
        dir.path + "/in";
    for (const std::string &p : paths) command += " " + p;
    std::vector<std::string> values;
    if (std::system((command + " >" + dir.path + "/out").c_str()) == 0) {
        std::ifstream out(dir.path + "/out");
        for (std::string line; std::getline(out, line);) values.push_back(line);
    }
    return values;
}

}  // namespace e2e
