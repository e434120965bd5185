// Outbound sockets to a port on 127.0.0.1.
#include "socket/outbound.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "common/conn_node.h"
#include "frame/log.h"

int start_local_connect(uint16_t port, uint16_t is_stream, int *fd) {
    *fd = is_stream != 0 ? socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, IPPROTO_TCP)
                         : socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, IPPROTO_UDP);
    if (*fd < 0) {
        LOG_AS("connect_to_local_port", LOG_ERROR, "Failed to create socket, error code: %d\n",
               errno);
        return errno;
    }
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = port;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int rc = connect(*fd, reinterpret_cast<const struct sockaddr *>(&addr), sizeof(addr));
    int err = rc == 0 ? 0 : errno;
    if (err == EINPROGRESS) {
        return err;
    }
    *fd = finish_local_connect(*fd, port, err);
    return err;
}

int pending_connect_error(int fd) {
    int err = 0;
    socklen_t len = sizeof(err);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
        err = errno;
    }
    return err;
}

int finish_local_connect(int fd, uint16_t port, int err) {
    if (err != 0) {
        LOG_AS("connect_to_local_port", LOG_ERROR, "Failed to connect to server, error code: %d\n",
               err);
        LOG_AS("connect_to_local_port", LOG_DETAIL, "Close socket %d\n", fd);
        close_socket(&fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    LOG_AS("connect_to_local_port", LOG_INFO, "Connect to port %d successfully, sock_fd: %d.\n",
           ntohs(port), fd);
    return fd;
}

int connect_to_local_port(uint16_t port, uint16_t is_stream) {
    int fd = -1;
    int err = start_local_connect(port, is_stream, &fd);
    if (err != EINPROGRESS) {
        return fd;
    }
    struct pollfd p = {fd, POLLOUT, 0};
    int ready;
    do {
        ready = poll(&p, 1, CONNECT_TIMEOUT_MS);
    } while (ready < 0 && errno == EINTR);
    return finish_local_connect(fd, port, ready > 0 ? pending_connect_error(fd) : ETIMEDOUT);
}
