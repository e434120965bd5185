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
// The same with the send lock held by the caller.
int64_t write_iov_to_usb_locked(const struct iovec *entries, uint64_t count);
// One attempt at one prepared node, under the send lock: its cut_packet_len
// or negative.
int write_usb_buf(const packet_node *node);
// Up to 11 attempts 10 ms apart; the caller holds the send lock.
int write_packet_retry(const packet_node *node);
// One write, reopening the device when it went away; the caller holds the
// send lock.
int write_packet_to_usb(const packet_node *node);
void fill_packet_node_header(packet_node *node, uint64_t index, uint64_t count, uint32_t len,
                             uint64_t number);
int64_t read_iov_from_usb(int fd, common_io_buf *v);
// The node bytes behind the start flag 0xFF 0xFF found at offsets 0 to 9 of
// the `len` bytes read, or null. The node may be unaligned: copy it out
// before reading its fields.
const uint8_t *find_node_start(const uint8_t *buf, uint64_t len);
// 0 when the node may follow the one accepted before, else EINVAL (logged).
int check_valid_node(const packet_node *node, int slot, uint32_t prev_token, uint32_t prev_number);
// Places the slice's payload from *slot on; the bytes placed, or negative.
int fill_slice_into_iov(common_io_buf *v, int *slot, const packet_node *node, uint32_t prev_number);
