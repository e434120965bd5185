// Message header layout and the five header operations.
#include "common/msg_header.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "common/conn_node.h"
#include "common/iov.h"

namespace {

struct node_with_buf {
    conn_node *node = alloc_node(-1, -1);
    node_with_buf() { node->io_buf = alloc_common_io_buf(1); }
    ~node_with_buf() { free_node(node); }
    unsigned char *bytes() { return static_cast<unsigned char *>(node->io_buf->iov[0].iov_base); }
};

TEST(MsgHeader, FieldsLieAtTheirWireOffsets) {
    unsigned char raw[MSG_HEADER_SIZE] = {};
    auto *h = reinterpret_cast<msg_header *>(raw);
    h->type = MSG_TYPE_FORWARD;
    h->source = MSG_SOURCE_HOST;
    h->port = htons(0x1234);
    h->protocol = MSG_PROTOCOL_UDP;
    h->ret_code = 0x0201;
    h->peer_link_id = 0x0a0b0c0d;
    h->local_link_id = 0x00DB0701;
    const unsigned char expected[16] = {3,    1,    0x12, 0x34, 1,    0,    0x01, 0x02,
                                        0x0d, 0x0c, 0x0b, 0x0a, 0x01, 0x07, 0xdb, 0x00};
    EXPECT_EQ(0, memcmp(raw, expected, sizeof(expected)));
    EXPECT_EQ(0x0107db00u, link_id_for_log(h->local_link_id));
    EXPECT_EQ(0x01000000u, link_id_for_log(1));
}

TEST(MsgHeader, BuildAndGetKeepTheHeaderBytes) {
    common_io_buf *v = alloc_common_io_buf(1);
    auto *slice = static_cast<unsigned char *>(v->iov[0].iov_base);
    for (int i = 0; i < BUFSIZE; i++) {
        slice[i] = static_cast<unsigned char>(i * 7 + 1);
    }
    EXPECT_EQ(reinterpret_cast<msg_header *>(slice), get_msg_header(v));
    EXPECT_EQ(reinterpret_cast<msg_header *>(slice), iov_build_header(v));
    EXPECT_EQ(MSG_HEADER_SIZE, v->iov[0].iov_len);
    for (size_t i = 0; i < MSG_HEADER_SIZE; i++) {
        EXPECT_EQ(static_cast<unsigned char>(i * 7 + 1), slice[i]);
    }
    release_common_io_buf(v);
}

TEST(MsgHeader, CopyResponseHeader) {
    node_with_buf n;
    memset(n.bytes(), 0x5a, MSG_HEADER_SIZE);
    EXPECT_EQ(-1, copy_connection_response_header(n.node, nullptr));
    for (size_t i = 0; i < MSG_HEADER_SIZE; i++) {
        EXPECT_EQ(0x5a, n.bytes()[i]);
    }
    unsigned char response[MSG_HEADER_SIZE];
    for (size_t i = 0; i < MSG_HEADER_SIZE; i++) {
        response[i] = static_cast<unsigned char>(100 + i);
    }
    EXPECT_EQ(0, copy_connection_response_header(n.node, reinterpret_cast<msg_header *>(response)));
    EXPECT_EQ(0, memcmp(n.bytes(), response, MSG_HEADER_SIZE));

    conn_node *bare = alloc_node(-1, -1);
    EXPECT_EQ(-1, copy_connection_response_header(bare, reinterpret_cast<msg_header *>(response)));
    free_node(bare);
}

TEST(MsgHeader, OnlyTypeOneIsAResponse) {
    EXPECT_FALSE(is_check_connection_response(nullptr));
    msg_header h = {};
    for (uint8_t type = 0; type <= MSG_TYPE_INIT; type++) {
        h.type = type;
        EXPECT_EQ(type == MSG_TYPE_RESPONSE, is_check_connection_response(&h)) << int(type);
    }
    h.type = MSG_TYPE_RESPONSE;
    h.ret_code = MSG_RET_REFUSED;
    EXPECT_TRUE(is_check_connection_response(&h));
}

TEST(MsgHeader, SendConnectionRequestWritesACleanHeader) {
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
    node_with_buf n;
    memset(n.bytes(), 0xff, static_cast<size_t>(BUFSIZE));
    ASSERT_EQ(0, send_connection_request(n.node, sv[0], htons(623), 7));
    unsigned char wire[64];
    ASSERT_EQ(static_cast<ssize_t>(MSG_HEADER_SIZE), recv(sv[1], wire, sizeof(wire), 0));
    unsigned char expected[MSG_HEADER_SIZE] = {MSG_TYPE_REQUEST, MSG_SOURCE_HOST, 0x02, 0x6f,
                                               MSG_PROTOCOL_UDP};
    EXPECT_EQ(0, memcmp(wire, expected, MSG_HEADER_SIZE));

    ASSERT_EQ(0, send_connection_request(n.node, sv[0], htons(80), 0));
    ASSERT_EQ(static_cast<ssize_t>(MSG_HEADER_SIZE), recv(sv[1], wire, sizeof(wire), 0));
    EXPECT_EQ(MSG_PROTOCOL_TCP, wire[4]);

    close(sv[1]);
    EXPECT_EQ(-1, send_connection_request(n.node, -1, htons(80), 0));
    n.node->io_buf->iov[0].iov_len = MSG_HEADER_SIZE - 1;
    EXPECT_EQ(-1, send_connection_request(n.node, sv[0], htons(80), 0));
    n.node->io_buf->iov[0].iov_len = static_cast<size_t>(BUFSIZE);
    close(sv[0]);

    conn_node *bare = alloc_node(-1, -1);
    EXPECT_EQ(-1, send_connection_request(bare, sv[0], htons(80), 0));
    free_node(bare);
}

}  // namespace
