// The status socket. See status_socket.h.
#include "frame/status_socket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "frame/agent_status.h"
#include "frame/log.h"
#include "frame/options.h"
#include "frame/status_report.h"
#include "transport/capture.h"

namespace {

constexpr char SOCKET_NAME[] = "status.sock";
constexpr mode_t SOCKET_MODE = 0660;
constexpr int SOCKET_BACKLOG = 16;
constexpr size_t COMMAND_MAX_LEN = 4096;
constexpr time_t CLIENT_WAIT_S = 1;

bool socket_address(const std::string &path, sockaddr_un *addr, std::string *error) {
    *addr = {};
    addr->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(addr->sun_path)) {
        *error = "'" + path + "' is not a usable socket path (1 to 107 bytes)";
        return false;
    }
    memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// A socket file that nothing answers on is what an ended agent left.
bool clear_stale_socket(const std::string &path, const sockaddr_un &addr, std::string *error) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        return true;
    }
    if (!S_ISSOCK(st.st_mode)) {
        *error = path + " exists and is not a socket";
        return false;
    }
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool answered =
        probe >= 0 && connect(probe, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) == 0;
    if (probe >= 0) {
        close(probe);
    }
    if (answered) {
        *error = path + " is in use by a running agent";
        return false;
    }
    unlink(path.c_str());
    return true;
}

void fail(int fd, const std::string &what, std::string *error) {
    *error = what + ": " + strerror(errno);
    close(fd);
}

// "capture start SIZE_MB FILES PATH", checked as the same options on the
// command line would be.
std::string start_capture(const std::string &args) {
    size_t size_end = args.find(' ');
    size_t files_end = size_end == std::string::npos ? size_end : args.find(' ', size_end + 1);
    if (files_end == std::string::npos || files_end + 1 >= args.size()) {
        return "error: capture start wants SIZE_MB FILES PATH\n";
    }
    std::string size = args.substr(0, size_end);
    std::string files = args.substr(size_end + 1, files_end - size_end - 1);
    std::string path = args.substr(files_end + 1);
    std::vector<const char *> words = {"cdev_agent", "--capture", path.c_str()};
    if (size != "-") {
        words.insert(words.end(), {"--capture-size", size.c_str()});
    }
    if (files != "-") {
        words.insert(words.end(), {"--capture-files", files.c_str()});
    }
    agent_options o;
    std::string error;
    if (parse_options(static_cast<int>(words.size()), const_cast<char **>(words.data()), &o,
                      &error) < 0) {
        return "error: " + error;
    }
    if (!capture_start(o.capture_path, o.capture_size, o.capture_files, &error)) {
        return "error: " + error + "\n";
    }
    return "capture started: " + path + "\n";
}

std::string stop_capture() {
    if (!capture_active()) {
        return "error: no capture runs\n";
    }
    capture_stop();
    return "capture stopped\n";
}

// Reads one line, up to its newline or the client's end.
bool read_command(int fd, std::string *line) {
    char buf[COMMAND_MAX_LEN];
    size_t have = 0;
    while (have < sizeof(buf)) {
        ssize_t n = recv(fd, buf + have, sizeof(buf) - have, 0);
        if (n <= 0) {
            break;
        }
        have += static_cast<size_t>(n);
        if (memchr(buf, '\n', have) != nullptr) {
            break;
        }
    }
    std::string text(buf, have);
    size_t end = text.find('\n');
    *line = text.substr(0, end);
    return end != std::string::npos || (have > 0 && have < sizeof(buf));
}

}  // namespace

std::string default_status_socket_path() {
    const char *runtime = getenv("RUNTIME_DIRECTORY");
    if (runtime == nullptr || *runtime == '\0') {
        return SOCKET_NAME;
    }
    // systemd lists several directories separated by colons: the first is ours.
    std::string dir(runtime);
    return dir.substr(0, dir.find(':')) + "/" + SOCKET_NAME;
}

int open_status_socket(const std::string &path, gid_t group, std::string *error) {
    sockaddr_un addr;
    if (!socket_address(path, &addr, error) || !clear_stale_socket(path, addr, error)) {
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + strerror(errno);
        return -1;
    }
    // Made with the umask's mode, at most 0755 for the service: nobody but
    // root can connect before the mode below is set.
    if (bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) != 0) {
        fail(fd, path, error);
        return -1;
    }
    // The service's system call filter refuses chown: there the directory is
    // setgid to the group, and the socket has its group already.
    struct stat st;
    bool owned = stat(path.c_str(), &st) == 0 && st.st_uid == 0 && st.st_gid == group;
    if ((!owned && chown(path.c_str(), 0, group) != 0) || chmod(path.c_str(), SOCKET_MODE) != 0 ||
        listen(fd, SOCKET_BACKLOG) != 0) {
        fail(fd, path, error);
        unlink(path.c_str());
        return -1;
    }
    return fd;
}

std::string answer_status_command(const std::string &line) {
    constexpr char CAPTURE_START[] = "capture start ";
    if (line == "status") {
        return status_text(collect_status(status_detail::ADDRESSES));
    }
    if (line == "status json") {
        return status_json(collect_status(status_detail::ADDRESSES));
    }
    if (line.rfind(CAPTURE_START, 0) == 0) {
        return start_capture(line.substr(strlen(CAPTURE_START)));
    }
    if (line == "capture stop") {
        return stop_capture();
    }
    return "error: unknown command '" + line + "'\n";
}

void serve_status_client(int listen_fd) {
    int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        return;
    }
    timeval wait = {CLIENT_WAIT_S, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof(wait));
    std::string line;
    if (read_command(fd, &line)) {
        LOG(LOG_DETAIL, "Status socket command: %s\n", line.c_str());
        std::string answer = answer_status_command(line);
        for (size_t sent = 0; sent < answer.size();) {
            ssize_t n = send(fd, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                break;
            }
            sent += static_cast<size_t>(n);
        }
    }
    close(fd);
}
