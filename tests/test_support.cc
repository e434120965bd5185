#include "tests/test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include "frame/log.h"

namespace fs = std::filesystem;

namespace test_support {

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        n++;
    }
    return n;
}

std::string log_text() {
    std::string out;
    std::error_code ec;
    for (const auto &f : fs::directory_iterator("log", ec)) {
        std::ifstream in(f.path());
        out.append(std::istreambuf_iterator<char>(in), {});
    }
    return out;
}

static fs::path make_scratch() {
    char tmpl[] = "/tmp/cdev_test.XXXXXX";
    fs::path dir = mkdtemp(tmpl);
    fs::create_directory(dir / "log");
    fs::current_path(dir);
    return dir;
}

namespace {
fs::path process_log_dir;
}  // namespace

void open_process_log() {
    static const bool opened = [] {
        process_log_dir = make_scratch();
        // Every test case runs as a process of its own: leave nothing behind.
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(process_log_dir, ec);
        });
        setenv("DEBUG_NETWORK", "", 1);
        return init_log(LOG_ERROR) == 0;
    }();
    (void)opened;
}

log_mark::log_mark() {
    open_process_log();
    start_ = log_text().size();
}

std::string log_mark::text() const {
    std::string all = log_text();
    return start_ < all.size() ? all.substr(start_) : std::string();
}

scratch_dir::scratch_dir() : old_cwd_(fs::current_path()), dir_(make_scratch()) {}

scratch_dir::~scratch_dir() {
    fs::current_path(old_cwd_);
    fs::remove_all(dir_);
}

scratch_log::scratch_log() {
    setenv("DEBUG_NETWORK", "", 1);
    init_log(LOG_ERROR);
}

scratch_log::~scratch_log() {
    close_log();
    unsetenv("DEBUG_NETWORK");
}

bool wait_until(const std::function<bool()> &cond, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

static sockaddr_in loopback(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
}

int bound_socket(int type, uint16_t *port) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in addr = loopback(0);
    bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    *port = ntohs(addr.sin_port);
    if (type == SOCK_STREAM) {
        listen(fd, 64);
    }
    return fd;
}

uint16_t unused_port(int type) {
    uint16_t port = 0;
    close(bound_socket(type, &port));
    return port;
}

std::pair<int, int> tcp_pair() {
    uint16_t port = 0;
    int lfd = bound_socket(SOCK_STREAM, &port);
    int client = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = loopback(port);
    connect(client, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
    int accepted = accept(lfd, nullptr, nullptr);
    close(lfd);
    return {client, accepted};
}

}  // namespace test_support
