// Outbound sockets to a port on 127.0.0.1.
#include "socket/outbound.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include "common/conn_node.h"
#include "frame/log.h"

int connect_to_local_port(uint16_t port, uint16_t is_stream) {
    int fd = is_stream != 0 ? socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)
                            : socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0) {
        LOG(LOG_ERROR, "Failed to create socket, error code: %d\n", errno);
        return -1;
    }
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = port;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) < 0) {
        LOG(LOG_ERROR, "Failed to connect to server, error code: %d\n", errno);
        LOG(LOG_DETAIL, "Close socket %d\n", fd);
        close_socket(&fd);
        return -1;
    }
    LOG(LOG_INFO, "Connect to port %d successfully, sock_fd: %d.\n", ntohs(port), fd);
    return fd;
}
