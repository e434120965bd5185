// The listener lookup: one exact inet_diag request, the kernel answering with
// the socket its own lookup for an incoming connection finds.
#include "client/port_holder.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

struct DiagRequest {
    nlmsghdr header;
    inet_diag_req_v2 body;
};

DiagRequest listener_request(uint16_t port) {
    DiagRequest r{};
    r.header.nlmsg_len = sizeof(r);
    r.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    r.header.nlmsg_flags = NLM_F_REQUEST;
    r.body.sdiag_family = AF_INET;
    r.body.sdiag_protocol = IPPROTO_TCP;
    r.body.idiag_states = 1u << TCP_LISTEN;
    // No remote end: the kernel looks for the listener of 127.0.0.1:port,
    // an IPv6 one taking IPv4 connections included.
    r.body.id.idiag_src[0] = htonl(INADDR_LOOPBACK);
    r.body.id.idiag_sport = htons(port);
    r.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    r.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    return r;
}

HolderLookup failed(std::string *error, const char *what, int err) {
    *error = std::string("socket diagnostics: ") + what + ": " + strerror(err);
    return HolderLookup::Failed;
}

// The answer to one request: a socket record, or an error (ENOENT: none).
HolderLookup read_answer(const uint8_t *buf, ssize_t n, PortHolder *holder, std::string *error) {
    for (auto *m = reinterpret_cast<const nlmsghdr *>(buf); NLMSG_OK(m, n); m = NLMSG_NEXT(m, n)) {
        if (m->nlmsg_type == NLMSG_ERROR) {
            int err = -static_cast<const nlmsgerr *>(NLMSG_DATA(m))->error;
            return err == ENOENT ? HolderLookup::Nobody : failed(error, "lookup", err);
        }
        if (m->nlmsg_type == SOCK_DIAG_BY_FAMILY) {
            const auto *d = static_cast<const inet_diag_msg *>(NLMSG_DATA(m));
            if (d->idiag_state != TCP_LISTEN) {
                return HolderLookup::Nobody;
            }
            holder->uid = d->idiag_uid;
            holder->inode = d->idiag_inode;
            return HolderLookup::Found;
        }
    }
    *error = "socket diagnostics: no answer";
    return HolderLookup::Failed;
}

}  // namespace

HolderLookup find_port_holder(uint16_t port, PortHolder *holder, std::string *error) {
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) {
        return failed(error, "socket", errno);
    }
    DiagRequest request = listener_request(port);
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
    return n < 0 ? failed(error, "request", err) : read_answer(buf, n, holder, error);
}
