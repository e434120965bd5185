// Connecting to the agent, and looking for it when it is not where expected.
#include "client/agent_connect.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace {

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

void close_socket(int fd) {
    if (fd >= 0) {
        shutdown(fd, SHUT_RDWR);
        close(fd);
    }
}
