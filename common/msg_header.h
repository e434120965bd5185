// The 32-byte message header that starts every message on the device and the
// first exchange on a local TCP connection. It is the wire image and the
// in-memory record alike.
#pragma once

#include <cstddef>
#include <cstdint>

struct common_io_buf;
struct conn_node;

constexpr uint8_t MSG_TYPE_REQUEST = 0;
constexpr uint8_t MSG_TYPE_RESPONSE = 1;
constexpr uint8_t MSG_TYPE_CLOSE = 2;
constexpr uint8_t MSG_TYPE_FORWARD = 3;
constexpr uint8_t MSG_TYPE_HEARTBEAT = 4;
constexpr uint8_t MSG_TYPE_INIT = 5;

constexpr uint8_t MSG_SOURCE_HOST = 1;
constexpr uint8_t MSG_PROTOCOL_TCP = 0;
constexpr uint8_t MSG_PROTOCOL_UDP = 1;
constexpr uint16_t MSG_RET_OK = 0;
constexpr uint16_t MSG_RET_REFUSED = 1;

constexpr size_t MSG_HEADER_SIZE = 32;

struct __attribute__((packed)) msg_header {
    uint8_t type;
    uint8_t source;
    uint16_t port;  // network byte order
    uint8_t protocol;
    uint8_t reserved1;
    uint16_t ret_code;  // host order
    uint32_t peer_link_id;
    uint32_t local_link_id;
    uint8_t reserved2[16];
};

static_assert(sizeof(msg_header) == MSG_HEADER_SIZE);
static_assert(offsetof(msg_header, type) == 0);
static_assert(offsetof(msg_header, source) == 1);
static_assert(offsetof(msg_header, port) == 2);
static_assert(offsetof(msg_header, protocol) == 4);
static_assert(offsetof(msg_header, reserved1) == 5);
static_assert(offsetof(msg_header, ret_code) == 6);
static_assert(offsetof(msg_header, peer_link_id) == 8);
static_assert(offsetof(msg_header, local_link_id) == 12);
static_assert(offsetof(msg_header, reserved2) == 16);

// Link ids are printed as the big-endian reading of their four bytes.
inline uint32_t link_id_for_log(uint32_t id) {
    return __builtin_bswap32(id);
}

msg_header *get_msg_header(common_io_buf *v);
msg_header *iov_build_header(common_io_buf *v);
int copy_connection_response_header(conn_node *node, const msg_header *header);
bool is_check_connection_response(const msg_header *header);
int send_connection_request(conn_node *node, int fd, uint16_t port, uint8_t is_udp);
