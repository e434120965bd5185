// Connecting to the agent and waiting for the controller's answer.
#include "client/agent_link.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "client/exit_status.h"

namespace {

using Clock = std::chrono::steady_clock;

// The agent gives up on a controller that does not answer after 26 checks
// 200 ms apart, about 5.2 s, and closes without a word, as it does right
// away for a refusal; a silent close this late is taken for its give-up.
constexpr std::chrono::milliseconds AGENT_GIVE_UP{5000};
constexpr size_t REPLY_CHUNK = 64 * 1024;
constexpr const char *HOW_TO_FIND =
    "is the agent started? It names its process cdev.<port> "
    "('ps -e -o pid=,comm= | grep cdev.'); give that port with -a PORT or CDEV_AGENT_PORT";

int connect_loopback(uint16_t port, int *err) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        *err = errno;
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

bool parse_agent_name(const std::string &comm, uint16_t *port) {
    const std::string prefix = "cdev.";
    if (comm.compare(0, prefix.size(), prefix) != 0 || comm.size() == prefix.size() ||
        comm.size() > prefix.size() + 5 ||
        comm.find_first_not_of("0123456789", prefix.size()) != std::string::npos) {
        return false;
    }
    long value = strtol(comm.c_str() + prefix.size(), nullptr, 10);
    if (value < 1 || value > 65535) {
        return false;
    }
    *port = static_cast<uint16_t>(value);
    return true;
}

std::string unreachable(uint16_t port, int err) {
    return "agent not reachable on 127.0.0.1:" + std::to_string(port) + " (" + strerror(err) + ")";
}

std::string list_agents(const std::vector<RunningAgent> &agents) {
    std::string text;
    for (const RunningAgent &a : agents) {
        text += (text.empty() ? "" : ", ") + std::string("cdev.") + std::to_string(a.port) +
                " (pid " + std::to_string(a.pid) + ")";
    }
    return text;
}

// Waits until fd is readable. 1: readable; 0: the deadline passed; -1: stop_fd
// became readable; -2: poll failed.
int wait_readable(int fd, Clock::time_point deadline, int stop_fd) {
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return 0;
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        int n = poll(fds, stop_fd >= 0 ? 2 : 1, static_cast<int>(left.count()) + 1);
        if (n < 0 && errno != EINTR) {
            return -2;
        }
        if (n > 0) {
            return fds[1].revents != 0 && stop_fd >= 0 ? -1 : 1;
        }
    }
}

std::string seconds_text(Clock::duration d) {
    char text[32];
    snprintf(text, sizeof(text), "%.1f s", std::chrono::duration<double>(d).count());
    return text;
}

// The agent closed before anything (or anything whole) came: a refusal,
// or, that late, the agent giving up on the controller.
void closed_silently(LinkAnswer *a, Clock::duration waited, const std::string &what) {
    if (waited >= AGENT_GIVE_UP) {
        a->status = STATUS_NO_ANSWER;
        a->error = "no answer from the controller: the agent gave up after " + seconds_text(waited);
    } else {
        a->status = STATUS_REFUSED;
        a->error = "the controller refused the link (" + what + ")";
    }
}

// Common ending of the two waits for what does not depend on the bytes.
bool wait_failed(int ready, std::chrono::milliseconds wait, LinkAnswer *a) {
    if (ready == 1) {
        return false;
    }
    if (ready == -1) {
        a->stopped = true;
        a->status = STATUS_OK;
        a->error = "stopped";
    } else if (ready == 0) {
        a->status = STATUS_NO_ANSWER;
        a->error = "no answer from the controller within " + seconds_text(wait);
    } else {
        a->status = STATUS_IO_ERROR;
        a->error = std::string("poll: ") + strerror(errno);
    }
    return true;
}

}  // namespace

std::vector<RunningAgent> find_running_agents() {
    std::vector<RunningAgent> agents;
    DIR *proc = opendir("/proc");
    if (proc == nullptr) {
        return agents;
    }
    while (dirent *e = readdir(proc)) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9') {
            continue;
        }
        std::ifstream in(std::string("/proc/") + e->d_name + "/comm");
        std::string comm;
        RunningAgent agent;
        if (std::getline(in, comm) && parse_agent_name(comm, &agent.port)) {
            agent.pid = static_cast<pid_t>(strtol(e->d_name, nullptr, 10));
            agents.push_back(agent);
        }
    }
    closedir(proc);
    std::sort(agents.begin(), agents.end(),
              [](const RunningAgent &a, const RunningAgent &b) { return a.port < b.port; });
    return agents;
}

AgentConnection connect_agent(uint16_t port, bool port_chosen) {
    AgentConnection c;
    int err = 0;
    c.fd = connect_loopback(port, &err);
    if (c.fd >= 0) {
        c.port = port;
        return c;
    }
    c.error = unreachable(port, err);
    std::vector<RunningAgent> agents = find_running_agents();
    if (agents.empty()) {
        c.error += ", and no process named cdev.<port> runs: " + std::string(HOW_TO_FIND);
        return c;
    }
    if (port_chosen) {
        c.error += "; agents running: " + list_agents(agents) + ": give the port with -a PORT";
        return c;
    }
    for (const RunningAgent &a : agents) {
        if (a.port != port && (c.fd = connect_loopback(a.port, &err)) >= 0) {
            c.port = a.port;
            c.note = "agent found as cdev." + std::to_string(a.port) + " (pid " +
                     std::to_string(a.pid) + ")";
            c.error.clear();
            return c;
        }
    }
    c.error += "; the agents running do not accept either: " + list_agents(agents);
    return c;
}

msg_header link_request(uint16_t port) {
    msg_header h{};
    h.type = MSG_TYPE_REQUEST;
    h.source = MSG_SOURCE_HOST;
    h.port = htons(port);
    h.protocol = MSG_PROTOCOL_TCP;
    return h;
}

std::vector<uint8_t> forward_request(uint16_t port, const uint8_t *payload, size_t n) {
    msg_header h = link_request(port);
    h.type = MSG_TYPE_FORWARD;
    h.protocol = MSG_PROTOCOL_UDP;
    std::vector<uint8_t> message(MSG_HEADER_SIZE + n);
    memcpy(message.data(), &h, MSG_HEADER_SIZE);
    std::copy(payload, payload + n, message.begin() + MSG_HEADER_SIZE);
    return message;
}

bool send_whole(int fd, const void *data, size_t n, std::string *error) {
    const char *p = static_cast<const char *>(data);
    while (n > 0) {
        ssize_t sent = send(fd, p, n, MSG_NOSIGNAL);
        if (sent < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd out = {fd, POLLOUT, 0};
            poll(&out, 1, -1);
            continue;
        }
        if (sent < 0) {
            *error = std::string("sending to the agent: ") + strerror(errno);
            return false;
        }
        p += sent;
        n -= static_cast<size_t>(sent);
    }
    return true;
}

LinkAnswer await_answer(int fd, std::chrono::milliseconds wait, int stop_fd) {
    LinkAnswer a;
    Clock::time_point started = Clock::now();
    Clock::time_point deadline = started + wait;
    size_t got = 0;
    auto *bytes = reinterpret_cast<uint8_t *>(&a.header);
    while (got < MSG_HEADER_SIZE) {
        if (wait_failed(wait_readable(fd, deadline, stop_fd), wait, &a)) {
            return a;
        }
        ssize_t n = recv(fd, bytes + got, MSG_HEADER_SIZE - got, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (n < 0 && errno != ECONNRESET) {
            a.status = STATUS_IO_ERROR;
            a.error = std::string("reading the answer: ") + strerror(errno);
            return a;
        }
        if (n <= 0) {
            closed_silently(&a, Clock::now() - started,
                            got == 0 ? "the agent closed without an answer"
                                     : "an answer of " + std::to_string(got) + " bytes");
            return a;
        }
        got += static_cast<size_t>(n);
    }
    if (a.header.type != MSG_TYPE_RESPONSE) {
        a.status = STATUS_REFUSED;
        a.error = "the controller refused the link (an answer of type " +
                  std::to_string(a.header.type) + ")";
        return a;
    }
    a.status = STATUS_OK;
    return a;
}

LinkAnswer await_reply(int fd, std::chrono::milliseconds wait, int stop_fd) {
    LinkAnswer a;
    Clock::time_point started = Clock::now();
    Clock::time_point deadline = started + wait;
    while (true) {
        if (wait_failed(wait_readable(fd, deadline, stop_fd), wait, &a)) {
            return a;
        }
        size_t at = a.reply.size();
        a.reply.resize(at + REPLY_CHUNK);
        ssize_t n = recv(fd, a.reply.data() + at, REPLY_CHUNK, 0);
        a.reply.resize(at + static_cast<size_t>(std::max<ssize_t>(n, 0)));
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (n < 0 && errno != ECONNRESET) {
            a.status = STATUS_IO_ERROR;
            a.error = std::string("reading the reply: ") + strerror(errno);
            return a;
        }
        if (n <= 0) {
            a.status = STATUS_OK;
            if (a.reply.empty() && Clock::now() - started >= AGENT_GIVE_UP) {
                closed_silently(&a, Clock::now() - started, "");
            }
            return a;
        }
    }
}

void close_socket(int fd) {
    if (fd >= 0) {
        shutdown(fd, SHUT_RDWR);
        close(fd);
    }
}
