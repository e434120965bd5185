// USB framing: cutting messages into packet nodes, write failures, and
// putting received slices back together.
#include "transport/usb.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/iov.h"
#include "frame/util.h"
#include "tests/test_support.h"
#include "transport/device.h"

namespace {

using test_support::log_mark;

std::vector<uint8_t> pattern(size_t len, uint8_t seed) {
    std::vector<uint8_t> bytes(len);
    for (size_t i = 0; i < len; i++) bytes[i] = static_cast<uint8_t>(seed + i * 3);
    return bytes;
}

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> all;
    for (const auto &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// The device is one end of a packet socket pair, so every write and every
// unit handed to a read is one packet.
class UsbTest : public testing::Test {
  protected:
    void SetUp() override {
        BUFSIZE = PACKET_DATA_SIZE;
        g_record_log = 1;
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv_), 0);
        int size = 1 << 20;
        for (int fd : sv_) {
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
        }
        g_cdev_fd = sv_[0];
        v_ = alloc_common_io_buf(0);
        ASSERT_NE(v_, nullptr);
    }
    void TearDown() override {
        g_cdev_fd = -1;
        release_common_io_buf(v_);
        close(sv_[0]);
        close(sv_[1]);
    }

    // The nodes the agent wrote, in order.
    std::vector<packet_node> written_nodes() {
        std::vector<packet_node> nodes;
        uint8_t buf[2 * PACKET_NODE_SIZE];
        ssize_t n;
        while ((n = recv(sv_[1], buf, sizeof(buf), MSG_DONTWAIT)) > 0) {
            EXPECT_EQ(n, static_cast<ssize_t>(PACKET_NODE_SIZE));
            packet_node node;
            memcpy(&node, buf, sizeof(node));
            nodes.push_back(node);
        }
        return nodes;
    }

    // Hands the agent one unit: `offset` bytes, the start flag, the node.
    void send_unit(uint32_t token, uint32_t number, const std::vector<uint8_t> &payload,
                   size_t offset = 0, uint32_t len_field = UINT32_MAX) {
        packet_node node{};
        node.token = token;
        node.number = number;
        node.cut_packet_len = len_field == UINT32_MAX ? payload.size() : len_field;
        std::copy_n(payload.begin(), std::min(payload.size(), PACKET_DATA_SIZE), node.data);
        std::vector<uint8_t> unit(offset, 0);
        unit.push_back(0xFF);
        unit.push_back(0xFF);
        auto *raw = reinterpret_cast<uint8_t *>(&node);
        unit.insert(unit.end(), raw, raw + sizeof(node));
        ASSERT_EQ(send(sv_[1], unit.data(), unit.size(), 0), static_cast<ssize_t>(unit.size()));
    }

    std::vector<uint8_t> received() const { return test_support::gathered(v_); }

    int sv_[2];
    common_io_buf *v_ = nullptr;
};

void expect_node(const packet_node &node, uint32_t token, uint32_t number,
                 const std::vector<uint8_t> &payload) {
    EXPECT_EQ(node.token, token);
    EXPECT_EQ(node.number, number);
    ASSERT_EQ(node.cut_packet_len, payload.size());
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), node.data));
    for (size_t i = payload.size(); i < PACKET_DATA_SIZE; i++) ASSERT_EQ(node.data[i], 0) << i;
    for (uint8_t b : node.reserved) EXPECT_EQ(b, 0);
}

struct message {
    explicit message(std::vector<std::vector<uint8_t>> p) : parts(std::move(p)) {
        for (auto &part : parts) entries.push_back({part.data(), part.size()});
    }
    int64_t send() { return write_iov_to_usb(entries.data(), entries.size()); }
    std::vector<std::vector<uint8_t>> parts;
    std::vector<struct iovec> entries;
};

TEST_F(UsbTest, MessagesAreCutIntoOneSlicePerEntry) {
    message header({pattern(32, 1)});
    EXPECT_EQ(header.send(), 32);
    auto nodes = written_nodes();
    ASSERT_EQ(nodes.size(), 1u);
    expect_node(nodes[0], SLICE_TOKEN_ONLY, 0, header.parts[0]);

    message three({pattern(32, 2), pattern(450, 3), pattern(100, 4)});
    EXPECT_EQ(three.send(), 582);
    nodes = written_nodes();
    ASSERT_EQ(nodes.size(), 3u);
    expect_node(nodes[0], SLICE_TOKEN_FIRST, 0, three.parts[0]);
    expect_node(nodes[1], SLICE_TOKEN_MIDDLE, 1, three.parts[1]);
    expect_node(nodes[2], SLICE_TOKEN_LAST, 2, three.parts[2]);

    // An empty last entry is an empty last slice.
    message trailing({pattern(32, 5), {}});
    EXPECT_EQ(trailing.send(), 32);
    nodes = written_nodes();
    ASSERT_EQ(nodes.size(), 2u);
    expect_node(nodes[0], SLICE_TOKEN_FIRST, 0, trailing.parts[0]);
    expect_node(nodes[1], SLICE_TOKEN_LAST, 1, {});

    // Empty entries in front share the next slice; a lone slice is an only one.
    message leading({{}, pattern(32, 6)});
    EXPECT_EQ(leading.send(), 32);
    nodes = written_nodes();
    ASSERT_EQ(nodes.size(), 1u);
    expect_node(nodes[0], SLICE_TOKEN_ONLY, 0, leading.parts[1]);

    EXPECT_EQ(write_iov_to_usb(nullptr, 0), 0);
    EXPECT_TRUE(written_nodes().empty());
}

TEST_F(UsbTest, OversizedEntryFailsAfterEarlierSlices) {
    message over({pattern(32, 1), pattern(451, 2)});
    log_mark mark;
    EXPECT_EQ(over.send(), -1);
    EXPECT_NE(mark.text().find("Failed to copy memory, ret: 162, errno: "), std::string::npos);
    auto nodes = written_nodes();
    ASSERT_EQ(nodes.size(), 1u);
    expect_node(nodes[0], SLICE_TOKEN_FIRST, 0, over.parts[0]);
}

TEST_F(UsbTest, FailedWriteIsRetriedElevenTimesAndLeavesNothingBehind) {
    // A full socket makes every write fail with EAGAIN: the device stays open.
    int flags = fcntl(sv_[0], F_GETFL);
    fcntl(sv_[0], F_SETFL, flags | O_NONBLOCK);
    std::vector<uint8_t> filler(PACKET_NODE_SIZE);
    while (send(sv_[0], filler.data(), filler.size(), 0) > 0) {
    }
    message big({pattern(400, 7), pattern(10, 8)});
    log_mark mark;
    EXPECT_EQ(big.send(), -1);
    std::string line = "send: Failed to write usb, ret: -1, errno: " + std::to_string(EAGAIN) +
                       " g_cdev_fd\xEF\xBC\x9A" + std::to_string(sv_[0]) + "\n";
    EXPECT_EQ(mark.count(line), 11u);
    EXPECT_EQ(g_cdev_fd, sv_[0]);

    while (recv(sv_[1], filler.data(), filler.size(), MSG_DONTWAIT) > 0) {
    }
    // The next message carries none of the failed one's bytes.
    message header({pattern(32, 9)});
    EXPECT_EQ(header.send(), 32);
    auto nodes = written_nodes();
    ASSERT_EQ(nodes.size(), 1u);
    expect_node(nodes[0], SLICE_TOKEN_ONLY, 0, header.parts[0]);
}

TEST_F(UsbTest, NodeStartFlagWithinTheFirstTenBytes) {
    uint8_t buf[64] = {};
    buf[0] = buf[1] = 0xFF;
    EXPECT_EQ(find_node_start(buf, sizeof(buf)), buf + 2);
    memset(buf, 0, sizeof(buf));
    buf[9] = buf[10] = 0xFF;
    EXPECT_EQ(find_node_start(buf, sizeof(buf)), buf + 11);
    memset(buf, 0, sizeof(buf));
    buf[10] = buf[11] = 0xFF;
    EXPECT_EQ(find_node_start(buf, sizeof(buf)), nullptr);

    log_mark mark;
    auto payload = pattern(32, 1);
    send_unit(SLICE_TOKEN_ONLY, 0, pattern(32, 2), 10);  // skipped
    send_unit(SLICE_TOKEN_ONLY, 0, payload, 9);
    EXPECT_EQ(read_iov_from_usb(sv_[0], v_), 32);
    EXPECT_EQ(mark.count("recv: cannot find node start flag\n"), 1u);
    EXPECT_EQ(received(), payload);
}

TEST_F(UsbTest, SlicesAreReassembled) {
    auto only = pattern(32, 1);
    send_unit(SLICE_TOKEN_ONLY, 0, only);
    EXPECT_EQ(read_iov_from_usb(sv_[0], v_), 32);
    EXPECT_EQ(v_->iov_cnt, 1u);
    EXPECT_EQ(v_->total_len, 32);
    EXPECT_EQ(received(), only);

    auto a = pattern(450, 2), b = pattern(450, 3), c = pattern(10, 4);
    send_unit(SLICE_TOKEN_FIRST, 0, a);
    send_unit(SLICE_TOKEN_MIDDLE, 1, b);
    send_unit(SLICE_TOKEN_LAST, 2, c);
    EXPECT_EQ(read_iov_from_usb(sv_[0], v_), 910);
    EXPECT_EQ(v_->iov_cnt, 3u);
    EXPECT_EQ(received(), concat({a, b, c}));

    // An empty last slice ends the message without a slot.
    send_unit(SLICE_TOKEN_FIRST, 0, only);
    send_unit(SLICE_TOKEN_LAST, 1, {});
    EXPECT_EQ(read_iov_from_usb(sv_[0], v_), 32);
    EXPECT_EQ(v_->iov_cnt, 1u);
    EXPECT_EQ(received(), only);
}

TEST_F(UsbTest, RepeatedSliceIsTakenOnce) {
    auto a = pattern(450, 1), b = pattern(450, 2), c = pattern(5, 3);
    send_unit(SLICE_TOKEN_FIRST, 0, a);
    send_unit(SLICE_TOKEN_MIDDLE, 1, b);
    send_unit(SLICE_TOKEN_MIDDLE, 1, b);
    send_unit(SLICE_TOKEN_LAST, 2, c);
    EXPECT_EQ(read_iov_from_usb(sv_[0], v_), 905);
    EXPECT_EQ(v_->iov_cnt, 3u);
    EXPECT_EQ(v_->total_len, 905);
    EXPECT_EQ(received(), concat({a, b, c}));
}

TEST_F(UsbTest, UnfittingUnitsAreSkipped) {
    log_mark mark;
    auto a = pattern(100, 1), b = pattern(20, 2);
    send_unit(SLICE_TOKEN_MIDDLE, 0, a);
    send_unit(SLICE_TOKEN_LAST, 0, a);
    send_unit(SLICE_TOKEN_FIRST, 1, a);
    send_unit(SLICE_TOKEN_FIRST, 0, a, 0, PACKET_DATA_SIZE + 1);
    send_unit(SLICE_TOKEN_FIRST, 0, a);
    send_unit(SLICE_TOKEN_LAST, 2, b);   // skips number 1
    send_unit(SLICE_TOKEN_FIRST, 1, b);  // not a middle token
    send_unit(SLICE_TOKEN_LAST, 1, b);
    EXPECT_EQ(read_iov_from_usb(sv_[0], v_), 120);
    EXPECT_EQ(v_->iov_cnt, 2u);
    EXPECT_EQ(received(), concat({a, b}));
    EXPECT_EQ(mark.count("recv: first slice: token 0 is wrong\n"), 1u);
    EXPECT_EQ(mark.count("recv: first slice: token 2 is wrong\n"), 1u);
    EXPECT_EQ(mark.count("recv: first slice: wrong number\n"), 1u);
    EXPECT_EQ(mark.count("recv: wrong cut_packet_len\n"), 1u);
    EXPECT_EQ(mark.count("recv: middle slice: wrong number\n"), 1u);
    EXPECT_EQ(mark.count("recv: middle slice: token 1 is wrong\n"), 1u);
}

TEST_F(UsbTest, FullVectorEndsTheMessage) {
    send_unit(SLICE_TOKEN_FIRST, 0, pattern(450, 0));
    for (uint32_t n = 1; n < IOV_ARRAY_SIZE; n++) send_unit(SLICE_TOKEN_MIDDLE, n, pattern(450, n));
    send_unit(SLICE_TOKEN_LAST, IOV_ARRAY_SIZE, pattern(1, 0));
    EXPECT_EQ(read_iov_from_usb(sv_[0], v_), static_cast<int64_t>(IOV_ARRAY_SIZE * 450));
    EXPECT_EQ(v_->iov_cnt, IOV_ARRAY_SIZE);
    EXPECT_EQ(static_cast<uint8_t *>(v_->iov[127].iov_base)[0], pattern(450, 127)[0]);

    // The rest of that message is refused by the next call.
    log_mark mark;
    auto next = pattern(32, 9);
    send_unit(SLICE_TOKEN_ONLY, 0, next);
    EXPECT_EQ(read_iov_from_usb(sv_[0], v_), 32);
    EXPECT_EQ(mark.count("recv: first slice: token 2 is wrong\n"), 1u);
    EXPECT_EQ(received(), next);
}

// A message is never made of two: a new first slice, or a reopened device
// (often under the same descriptor number), drops the unfinished one.
TEST_F(UsbTest, UnfinishedMessageIsDroppedNotSpliced) {
    log_mark mark;
    auto stale = pattern(450, 1), a = pattern(450, 2), b = pattern(7, 3);
    send_unit(SLICE_TOKEN_FIRST, 0, stale);
    send_unit(SLICE_TOKEN_FIRST, 0, a);  // the sender gave the first one up
    send_unit(SLICE_TOKEN_LAST, 1, b);
    EXPECT_EQ(read_iov_from_usb(sv_[0], v_), 457);
    EXPECT_EQ(received(), concat({a, b}));
    EXPECT_EQ(mark.count("recv: dropped 450 bytes of an unfinished message\n"), 1u);

    // Header-only messages are not refused after an abandoned one.
    send_unit(SLICE_TOKEN_FIRST, 0, stale);
    send_unit(SLICE_TOKEN_ONLY, 0, pattern(32, 4));
    EXPECT_EQ(read_iov_from_usb(sv_[0], v_), 32);
    EXPECT_EQ(received(), pattern(32, 4));

    send_unit(SLICE_TOKEN_FIRST, 0, stale);
    std::thread reopen([this, &b] {
        msleep(20);
        ++g_cdev_generation;  // as the write path's reopen does
        send_unit(SLICE_TOKEN_LAST, 1, b);
        send_unit(SLICE_TOKEN_ONLY, 0, pattern(32, 5));
    });
    EXPECT_EQ(read_iov_from_usb(sv_[0], v_), 32);
    reopen.join();
    EXPECT_EQ(received(), pattern(32, 5));
    EXPECT_EQ(mark.count("recv: dropped 450 bytes of an unfinished message\n"), 3u);
    EXPECT_EQ(mark.count("recv: first slice: token 2 is wrong\n"), 1u);
}

// A unit must hold its node's header and all of its payload: a short one is
// refused rather than padded with zeros.
TEST_F(UsbTest, ShortUnitIsRefused) {
    log_mark mark;
    packet_node node{};
    node.token = SLICE_TOKEN_ONLY;
    node.cut_packet_len = 100;
    std::vector<uint8_t> unit = {0xFF, 0xFF};
    auto *raw = reinterpret_cast<uint8_t *>(&node);
    unit.insert(unit.end(), raw, raw + 12 + 99);  // one payload byte short
    ASSERT_EQ(send(sv_[1], unit.data(), unit.size(), 0), static_cast<ssize_t>(unit.size()));
    ASSERT_EQ(send(sv_[1], unit.data(), 2 + 11, 0), 13);  // not even the header
    send_unit(SLICE_TOKEN_ONLY, 0, pattern(40, 6));
    EXPECT_EQ(read_iov_from_usb(sv_[0], v_), 40);
    EXPECT_EQ(received(), pattern(40, 6));
    EXPECT_EQ(mark.count("recv: unit of 113 bytes is too short\n"), 1u);
    EXPECT_EQ(mark.count("recv: unit of 13 bytes is too short\n"), 1u);
}

}  // namespace
