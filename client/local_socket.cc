// Binding the listener's socket and naming peers.
#include "client/local_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr int LISTEN_BACKLOG = 128;

}  // namespace

int bind_local(const std::string &address, uint16_t port, int type, std::string *error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = type;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    std::string where = address + ":" + std::to_string(port);
    int rc = getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        *error = "not a local address: " + where + ": " + gai_strerror(rc);
        return BAD_LOCAL_ADDRESS;
    }
    int fd = -1;
    int err = 0;
    for (addrinfo *a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        int one = 1;
        if (fd >= 0 && (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
                        bind(fd, a->ai_addr, a->ai_addrlen) != 0 ||
                        (type == SOCK_STREAM && listen(fd, LISTEN_BACKLOG) != 0))) {
            err = errno;
            close(fd);
            fd = -1;
        } else if (fd < 0) {
            err = errno;
        }
    }
    freeaddrinfo(found);
    if (fd < 0) {
        *error = "cannot listen on " + where + ": " + strerror(err);
    }
    return fd;
}

std::string address_text(const sockaddr_storage &addr) {
    char host[INET6_ADDRSTRLEN] = "?";
    if (addr.ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(&addr);
        inet_ntop(AF_INET, &in->sin_addr, host, sizeof(host));
        return std::string(host) + ":" + std::to_string(ntohs(in->sin_port));
    }
    const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&addr);
    inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof(host));
    return "[" + std::string(host) + "]:" + std::to_string(ntohs(in6->sin6_port));
}
