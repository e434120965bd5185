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

namespace {

// A local service that does not take the connection by then is refused, so
// the controller's other requests do not wait behind it.
constexpr int CONNECT_TIMEOUT_MS = 3000;

// connect with a time limit; 0, or -1 with errno set (ETIMEDOUT on time-out).
int connect_bounded(int fd, const struct sockaddr_in &addr) {
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int rc = connect(fd, reinterpret_cast<const struct sockaddr *>(&addr), sizeof(addr));
    if (rc < 0 && errno == EINPROGRESS) {
        struct pollfd p = {fd, POLLOUT, 0};
        int ready;
        do {
            ready = poll(&p, 1, CONNECT_TIMEOUT_MS);
        } while (ready < 0 && errno == EINTR);
        int err = ETIMEDOUT;
        socklen_t len = sizeof(err);
        if (ready > 0) {
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        }
        errno = err;
        rc = err == 0 ? 0 : -1;
    }
    int err = errno;
    fcntl(fd, F_SETFL, flags);
    errno = err;
    return rc;
}

}  // namespace

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
    if (connect_bounded(fd, addr) < 0) {
        LOG(LOG_ERROR, "Failed to connect to server, error code: %d\n", errno);
        LOG(LOG_DETAIL, "Close socket %d\n", fd);
        close_socket(&fd);
        return -1;
    }
    LOG(LOG_INFO, "Connect to port %d successfully, sock_fd: %d.\n", ntohs(port), fd);
    return fd;
}
