// Commands on the agent's status socket. See status_request.h.
#include "client/status_request.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "client/exit_status.h"

namespace {

constexpr char AGENT_ERROR[] = "error: ";

int no_agent(const ConnectOptions &o, int err) {
    fprintf(stderr, "cdev-connect: cannot reach the agent's status socket %s: %s\n",
            o.status_socket.c_str(), strerror(err));
    return STATUS_NO_AGENT;
}

}  // namespace

int run_control(const ConnectOptions &o) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (o.status_socket.size() >= sizeof(addr.sun_path)) {
        return no_agent(o, ENAMETOOLONG);
    }
    o.status_socket.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        int err = errno;
        close(fd);
        return no_agent(o, err);
    }
    std::string line = o.control_command + "\n";
    std::string answer;
    if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size())) {
        char buf[4096];
        for (ssize_t n; (n = recv(fd, buf, sizeof(buf), 0)) > 0;) {
            answer.append(buf, static_cast<size_t>(n));
        }
    }
    close(fd);
    if (answer.empty()) {
        fprintf(stderr, "cdev-connect: the agent gave no answer on %s\n", o.status_socket.c_str());
        return STATUS_IO_ERROR;
    }
    if (answer.rfind(AGENT_ERROR, 0) == 0) {
        fprintf(stderr, "cdev-connect: %s", answer.c_str() + strlen(AGENT_ERROR));
        return STATUS_IO_ERROR;
    }
    fputs(answer.c_str(), stdout);
    return STATUS_OK;
}
