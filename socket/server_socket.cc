// The listening socket on the loopback address and the TCP no-delay option.
#include "socket/server_socket.h"

#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <cerrno>
#include <cstring>

#include "common/conn_node.h"
#include "frame/log.h"

namespace {

constexpr socklen_t IPV4_ADDR_SIZE = 16;
constexpr socklen_t IPV6_ADDR_SIZE = 28;
constexpr int DEVICE_NAME_SIZE = 16;
static_assert(DEVICE_NAME_SIZE == IFNAMSIZ);

// The port field sits at the same place in IPv4 and IPv6 addresses.
uint16_t *port_field(struct sockaddr *addr) {
    if (addr->sa_family == AF_INET) {
        return &reinterpret_cast<sockaddr_in *>(addr)->sin_port;
    }
    return &reinterpret_cast<sockaddr_in6 *>(addr)->sin6_port;
}

// 65535 is followed by 0.
void advance_port(struct sockaddr *addr) {
    uint16_t *port = port_field(addr);
    *port = htons(static_cast<uint16_t>(ntohs(*port) + 1));
}

}  // namespace

int create_server_socket(const char *device, uint16_t is_stream, uint16_t family) {
    int fd = is_stream != 0 ? socket(family, SOCK_STREAM, IPPROTO_TCP)
                            : socket(family, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0) {
        LOG(LOG_ERROR, "Failed to create TCP socket, error code: %d\n", errno);
        return -1;
    }
    if (is_stream != 0) {
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    }
    if (device != nullptr) {
        char name[DEVICE_NAME_SIZE] = {};
        strncpy(name, device, sizeof(name) - 1);
        if (setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name, sizeof(name)) < 0) {
            LOG(LOG_ERROR, "Error bind to device %s, error code: %d\n", name, errno);
            LOG(LOG_DETAIL, "Close socket %d\n", fd);
            close_socket(&fd);
            return -1;
        }
    }
    return fd;
}

int init_socket_server(struct sockaddr *addr, uint16_t is_stream, int attempts,
                       const char *device) {
    int fd = create_server_socket(device, is_stream, addr->sa_family);
    if (fd < 0) {
        return -1;
    }
    socklen_t size = addr->sa_family == AF_INET ? IPV4_ADDR_SIZE : IPV6_ADDR_SIZE;
    for (int i = 0; i < attempts; i++) {
        if (bind(fd, addr, size) == 0) {
            return fd;
        }
        LOG(LOG_DETAIL, "ERROR on binding, error code: %d\n", errno);
        advance_port(addr);
    }
    close_socket(&fd);
    return -1;
}

int set_tcp_no_delay(int fd) {
    int on = 1;
    return setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}
