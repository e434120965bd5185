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

#include "client/agent_trust.h"
#include "client/port_holder.h"

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

std::string where(uint16_t port) {
    return "127.0.0.1:" + std::to_string(port);
}

std::string agents_text(const std::vector<RunningAgent> &agents) {
    std::string text;
    for (const RunningAgent &a : agents) {
        text += (text.empty() ? "" : ", ") + std::string("cdev.") + std::to_string(a.port) +
                " (pid " + std::to_string(a.pid) + ")";
    }
    return text;
}

enum class Holder { Trusted, Untrusted, Nobody, Unknown };

// Whether root or the agent's account holds the port; *why says otherwise
// who does, or that nobody does.
Holder check_holder(const ConnectOptions &o, uint16_t port, PortHolder *holder, std::string *why) {
    std::string error;
    switch (find_port_holder(port, holder, &error)) {
        case HolderLookup::Found:
            if (trusted_owner(o, holder->uid)) {
                return Holder::Trusted;
            }
            *why = where(port) + " is held by " + owner_text(holder->uid) + ", not by " +
                   trusted_owners_text(o) +
                   ": not the agent, nothing sent to it (an agent of another account: "
                   "--agent-user NAME)";
            return Holder::Untrusted;
        case HolderLookup::Nobody:
            *why = "agent not reachable on " + where(port) + " (nothing listens there)";
            return Holder::Nobody;
        case HolderLookup::Failed:
            break;
    }
    *why = "cannot tell who holds " + where(port) + " (" + error + "): nothing sent";
    return Holder::Unknown;
}

// Connects to the listener checked, then checks that it still listens: while
// one socket listens on the port, no other can take its connections.
bool connect_holder(uint16_t port, const PortHolder &holder, AgentConnection *c, std::string *why) {
    int err = 0;
    int fd = connect_loopback(port, &err);
    if (fd < 0) {
        *why = "agent not reachable on " + where(port) + " (" + strerror(err) + ")";
        return false;
    }
    PortHolder now;
    std::string error;
    if (find_port_holder(port, &now, &error) != HolderLookup::Found || now.inode != holder.inode) {
        close_socket(fd);
        *why = where(port) + " changed hands while connecting: nothing sent";
        return false;
    }
    c->fd = fd;
    c->port = port;
    c->listener = holder.inode;
    return true;
}

struct Candidate {
    RunningAgent agent;
    PortHolder holder;
    bool service = false;
};

// The running agents on other ports than the one tried first whose listener
// is trusted; *passed_over says why the others were not.
std::vector<Candidate> trusted_agents(const ConnectOptions &o,
                                      const std::vector<RunningAgent> &agents,
                                      std::string *passed_over) {
    std::vector<Candidate> found;
    for (const RunningAgent &a : agents) {
        if (a.port == o.agent_port) {
            continue;
        }
        Candidate c{a, {}, false};
        std::string why;
        if (check_holder(o, a.port, &c.holder, &why) != Holder::Trusted) {
            *passed_over += "; cdev." + std::to_string(a.port) + ": " + why;
            continue;
        }
        c.service = run_by_service(o, a.pid);
        found.push_back(c);
    }
    return found;
}

// The only agent found, or else the only one the service runs; null when
// the choice is not clear.
const Candidate *choose(const std::vector<Candidate> &found) {
    if (found.size() == 1) {
        return &found[0];
    }
    const Candidate *pick = nullptr;
    for (const Candidate &c : found) {
        if (c.service && pick != nullptr) {
            return nullptr;
        }
        pick = c.service ? &c : pick;
    }
    return pick;
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

AgentConnection connect_agent(const ConnectOptions &o) {
    AgentConnection c;
    PortHolder holder;
    std::string why_not_first;
    Holder first = check_holder(o, o.agent_port, &holder, &why_not_first);
    if (first == Holder::Trusted && connect_holder(o.agent_port, holder, &c, &why_not_first)) {
        return c;
    }
    c.error = why_not_first;
    // A port given that someone else holds: no other agent is looked for.
    if (o.agent_port_chosen && first != Holder::Nobody) {
        return c;
    }
    std::vector<RunningAgent> agents = find_running_agents();
    if (agents.empty()) {
        c.error += ", and no process named cdev.<port> runs: " + std::string(HOW_TO_FIND);
        return c;
    }
    if (o.agent_port_chosen) {
        c.error += "; agents running: " + agents_text(agents) + ": give the port with -a PORT";
        return c;
    }
    std::vector<Candidate> found = trusted_agents(o, agents, &c.error);
    const Candidate *pick = choose(found);
    if (pick == nullptr && !found.empty()) {
        std::vector<RunningAgent> several;
        for (const Candidate &f : found) {
            several.push_back(f.agent);
        }
        c.error += "; several agents run and none is clearly the service: " + agents_text(several) +
                   ": choose one with -a PORT";
    }
    std::string why;
    if (pick == nullptr || !connect_holder(pick->agent.port, pick->holder, &c, &why)) {
        c.error += why.empty() ? "" : "; " + why;
        return c;
    }
    // A squatter on the usual port is worth a word.
    c.note = (first == Holder::Untrusted ? why_not_first + "; " : std::string()) +
             "agent found as " + agents_text({pick->agent}) +
             (pick->service ? ", the service" : "");
    c.error.clear();
    return c;
}

bool agent_still_there(const AgentConnection &agent) {
    // A killed agent's sockets are closed one after the other, the link's
    // possibly before the listener: a second look a moment later settles it.
    constexpr useconds_t SECOND_LOOK_US = 50000;
    for (int look = 0; look < 2; ++look) {
        if (look > 0) {
            usleep(SECOND_LOOK_US);
        }
        PortHolder now;
        std::string error;
        if (find_port_holder(agent.port, &now, &error) != HolderLookup::Found ||
            now.inode != agent.listener) {
            return false;
        }
    }
    return true;
}

void close_socket(int fd) {
    if (fd >= 0) {
        shutdown(fd, SHUT_RDWR);
        close(fd);
    }
}
