// Operations on the 32-byte message header held in slice 0 of an io vector.
#include "common/msg_header.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "common/conn_node.h"
#include "common/iov.h"
#include "frame/log.h"

msg_header *get_msg_header(common_io_buf *v) {
    return static_cast<msg_header *>(v->iov[0].iov_base);
}

msg_header *iov_build_header(common_io_buf *v) {
    v->iov[0].iov_len = MSG_HEADER_SIZE;
    return static_cast<msg_header *>(v->iov[0].iov_base);
}

int copy_connection_response_header(conn_node *node, const msg_header *header) {
    if (header == nullptr || node->io_buf == nullptr || node->io_buf->iov[0].iov_base == nullptr) {
        return -1;
    }
    memcpy(node->io_buf->iov[0].iov_base, header, MSG_HEADER_SIZE);
    return 0;
}

bool is_check_connection_response(const msg_header *header) {
    if (header == nullptr) {
        LOG(LOG_INFO, "Invalid header found, bye!\n");
        return false;
    }
    LOG(LOG_INFO,
        "header info: link_id 0x%08x/0x%08x, port: %d, protocol: %d, source: %d, type: %d, "
        "ret_code: 0x%04x.\n",
        link_id_for_log(header->local_link_id), link_id_for_log(header->peer_link_id),
        ntohs(header->port), header->protocol, header->source, header->type,
        static_cast<unsigned>(header->ret_code));
    return header->type == MSG_TYPE_RESPONSE;
}

int send_connection_request(conn_node *node, int fd, uint16_t port, uint8_t is_udp) {
    if (node->io_buf == nullptr || node->io_buf->iov[0].iov_base == nullptr ||
        node->io_buf->iov[0].iov_len < MSG_HEADER_SIZE) {
        LOG(LOG_INFO, "Insufficient buf for connection request.\n");
        return -1;
    }
    auto *header = static_cast<msg_header *>(node->io_buf->iov[0].iov_base);
    memset(header, 0, MSG_HEADER_SIZE);
    header->type = MSG_TYPE_REQUEST;
    header->source = MSG_SOURCE_HOST;
    header->port = port;
    header->protocol = is_udp != 0 ? MSG_PROTOCOL_UDP : MSG_PROTOCOL_TCP;
    if (send(fd, header, MSG_HEADER_SIZE, 0) < 0) {
        LOG(LOG_ERROR, "Failed to send messgae, error code: %d\n", errno);
        return -1;
    }
    LOG(LOG_DETAIL, "send connection request for port: %d successfully.\n", ntohs(port));
    return 0;
}
