// USB framing on /dev/lcd1: every message is cut into 468-byte packet nodes
// (one slice each) and put back together on the reading side.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

struct common_io_buf;

constexpr uint32_t SLICE_TOKEN_MIDDLE = 0;
constexpr uint32_t SLICE_TOKEN_FIRST = 1;
constexpr uint32_t SLICE_TOKEN_LAST = 2;
constexpr uint32_t SLICE_TOKEN_ONLY = 3;

constexpr size_t PACKET_NODE_SIZE = 468;
constexpr size_t PACKET_DATA_SIZE = 450;
constexpr size_t USB_READ_SIZE = 2044;

struct packet_node {
    uint32_t token;
    uint32_t number;
    uint32_t cut_packet_len;
    uint8_t data[PACKET_DATA_SIZE];
    uint8_t reserved[6];
};

static_assert(sizeof(packet_node) == PACKET_NODE_SIZE);
static_assert(offsetof(packet_node, token) == 0);
static_assert(offsetof(packet_node, number) == 4);
static_assert(offsetof(packet_node, cut_packet_len) == 8);
static_assert(offsetof(packet_node, data) == 12);
static_assert(offsetof(packet_node, reserved) == 462);

int64_t write_iov_to_usb(const struct iovec *entries, uint64_t count);
int write_usb_buf(packet_node *node);
int write_packet_retry(packet_node *node);
int write_packet_to_usb(packet_node *node);
void fill_packet_node_header(packet_node *node, uint64_t index, uint64_t count, uint32_t len,
                             uint64_t number);
int64_t read_iov_from_usb(int fd, common_io_buf *v);
packet_node *find_node_start(const uint8_t *buf, uint64_t len);
int check_valid_node(const packet_node *node, int slot, uint32_t prev_token, uint32_t prev_number);
int fill_slice_into_iov(common_io_buf *v, int *slot, const packet_node *node, uint32_t prev_number);
