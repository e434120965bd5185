// The exact socket lookup of the kernel's socket diagnostics. See sock_diag.h.
#include "common/sock_diag.h"

#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

struct diag_request {
    nlmsghdr header;
    inet_diag_req_v2 body;
};

diag_lookup failed(std::string *error, const char *what, int err) {
    *error = std::string("socket diagnostics: ") + what + ": " + strerror(err);
    return diag_lookup::FAILED;
}

// The answer to one request: a socket record, or an error (ENOENT: none).
diag_lookup read_answer(const uint8_t *buf, ssize_t n, uint32_t states, inet_diag_msg *found,
                        std::string *error) {
    for (auto *m = reinterpret_cast<const nlmsghdr *>(buf); NLMSG_OK(m, n); m = NLMSG_NEXT(m, n)) {
        if (m->nlmsg_type == NLMSG_ERROR) {
            int err = -static_cast<const nlmsgerr *>(NLMSG_DATA(m))->error;
            return err == ENOENT ? diag_lookup::NOBODY : failed(error, "lookup", err);
        }
        if (m->nlmsg_type == SOCK_DIAG_BY_FAMILY) {
            *found = *static_cast<const inet_diag_msg *>(NLMSG_DATA(m));
            return (states & (1u << found->idiag_state)) != 0 ? diag_lookup::FOUND
                                                              : diag_lookup::NOBODY;
        }
    }
    *error = "socket diagnostics: no answer";
    return diag_lookup::FAILED;
}

}  // namespace

diag_lookup find_tcp_socket(const inet_diag_sockid &id, uint32_t states, inet_diag_msg *found,
                            std::string *error) {
    diag_request request{};
    request.header.nlmsg_len = sizeof(request);
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.body.sdiag_family = AF_INET;
    request.body.sdiag_protocol = IPPROTO_TCP;
    request.body.idiag_states = states;
    request.body.id = id;
    request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) {
        return failed(error, "socket", errno);
    }
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    alignas(nlmsghdr) uint8_t buf[8192];
    ssize_t n = -1;
    if (sendto(fd, &request, sizeof(request), 0, reinterpret_cast<sockaddr *>(&kernel),
               sizeof(kernel)) == static_cast<ssize_t>(sizeof(request))) {
        do {
            n = recv(fd, buf, sizeof(buf), 0);
        } while (n < 0 && errno == EINTR);
    }
    int err = errno;
    close(fd);
    return n < 0 ? failed(error, "request", err) : read_answer(buf, n, states, found, error);
}
