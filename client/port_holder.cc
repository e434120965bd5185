// The listener lookup: one exact socket-diagnostics request with no remote
// end, which the kernel answers with the listener an incoming connection
// would reach.
#include "client/port_holder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include "common/sock_diag.h"

HolderLookup find_port_holder(uint16_t port, PortHolder *holder, std::string *error) {
    inet_diag_sockid id{};
    // An IPv6 listener taking IPv4 connections is found too.
    id.idiag_src[0] = htonl(INADDR_LOOPBACK);
    id.idiag_sport = htons(port);
    inet_diag_msg found;
    switch (find_tcp_socket(id, 1u << TCP_LISTEN, &found, error)) {
        case diag_lookup::FOUND:
            holder->uid = found.idiag_uid;
            holder->inode = found.idiag_inode;
            return HolderLookup::Found;
        case diag_lookup::NOBODY:
            return HolderLookup::Nobody;
        case diag_lookup::FAILED:
            break;
    }
    return HolderLookup::Failed;
}
