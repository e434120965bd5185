// USB framing: messages cut into 468-byte packet nodes of up to 450 payload
// bytes, the 11 write attempts, and slices put back together on reading.
// The log keeps only failures (level 2): every line checked here is one.
#include "transport/usb.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <sstream>
#include <thread>

#include "frame/util.h"
#include "tests/link_support.h"

namespace {

using namespace test_support;
using bytes = std::vector<uint8_t>;

bytes pattern(size_t len, uint8_t seed) {
    bytes b(len);
    for (size_t i = 0; i < len; i++) b[i] = static_cast<uint8_t>(seed + i * 3);
    return b;
}

// A node as the device sees it: token, number and payload length at offsets
// 0, 4 and 8 (host order), up to 450 payload bytes from 12, zeros up to 468.
bytes node(uint32_t token, uint32_t number, const bytes &payload) {
    bytes n(468, 0);
    uint32_t head[3] = {token, number, static_cast<uint32_t>(payload.size())};
    memcpy(n.data(), head, sizeof(head));
    std::copy_n(payload.begin(), std::min<size_t>(payload.size(), 450), n.begin() + 12);
    return n;
}

// The device is one end of a packet socket pair: every write and every unit
// handed to a read is one packet.
class UsbTest : public testing::Test {
  protected:
    void SetUp() override {
        BUFSIZE = 450;
        open_process_log();
        log_at(2);
        g_record_log = 1;
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv_), 0);
        int size = 1 << 20;
        for (int fd : sv_) setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
        g_cdev_fd = sv_[0];
        v_ = alloc_common_io_buf(0);
    }
    void TearDown() override {
        g_cdev_fd = -1;
        release_common_io_buf(v_);
        close(sv_[0]);
        close(sv_[1]);
    }
    std::vector<bytes> written_units() {
        std::vector<bytes> units;
        bytes buf(1024);
        for (ssize_t n; (n = recv(sv_[1], buf.data(), buf.size(), MSG_DONTWAIT)) > 0;) {
            units.emplace_back(buf.begin(), buf.begin() + n);
        }
        return units;
    }
    // `offset` bytes, the start flag 0xFF 0xFF, then the node (its first `cut`
    // bytes when not 0).
    void send_unit(const bytes &n, size_t offset = 0, size_t cut = 0) {
        bytes unit(offset, 0);
        unit.push_back(0xFF);
        unit.push_back(0xFF);
        unit.insert(unit.end(), n.begin(), cut == 0 ? n.end() : n.begin() + cut);
        ASSERT_EQ(send(sv_[1], unit.data(), unit.size(), 0), static_cast<ssize_t>(unit.size()));
    }

    int sv_[2];
    common_io_buf *v_ = nullptr;
};

// Tokens: 0 middle, 1 first, 2 last, 3 only slice.
TEST_F(UsbTest, EachNonEmptyEntryIsOneNodeOfAtMost450Bytes) {
    struct cut_case {
        std::vector<size_t> entries;
        std::vector<std::array<uint32_t, 3>> nodes;  // token, number, entry
        int64_t result;
    };
    const cut_case cases[] = {
        {{32}, {{3, 0, 0}}, 32},
        {{450}, {{3, 0, 0}}, 450},
        {{32, 450, 100}, {{1, 0, 0}, {0, 1, 1}, {2, 2, 2}}, 582},
        {{32, 0}, {{1, 0, 0}, {2, 1, 1}}, 32},  // an empty last slice
        {{0, 32}, {{3, 0, 1}}, 32},             // empty entries share the next slice
        {{}, {}, 0},
        {{32, 451}, {{1, 0, 0}}, -1},  // fails after the slices before it
    };
    for (const cut_case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.entries));
        std::vector<bytes> parts;
        std::vector<struct iovec> entries;
        for (size_t len : c.entries) parts.push_back(pattern(len, parts.size() + 1));
        for (bytes &p : parts) entries.push_back({p.data(), p.size()});
        log_mark mark;
        EXPECT_EQ(write_iov_to_usb(entries.data(), entries.size()), c.result);
        std::vector<bytes> expected;
        for (auto [token, number, i] : c.nodes) {
            expected.push_back(node(token, number, parts[i]));
        }
        EXPECT_EQ(written_units(), expected);
        EXPECT_EQ(mark.count("Failed to copy memory, ret: "), c.result < 0 ? 1u : 0u);
    }
}

TEST_F(UsbTest, FailedWriteIsTriedElevenTimesAndLeavesNothingBehind) {
    // A full socket fails every write with EAGAIN: the device stays open.
    fcntl(sv_[0], F_SETFL, fcntl(sv_[0], F_GETFL) | O_NONBLOCK);
    bytes filler(468);
    while (send(sv_[0], filler.data(), filler.size(), 0) > 0) {
    }
    bytes big = pattern(400, 7);
    struct iovec entry = {big.data(), big.size()};
    log_mark mark;
    EXPECT_EQ(write_iov_to_usb(&entry, 1), -1);
    EXPECT_EQ(mark.count("send: Failed to write usb, ret: -1, errno: " + std::to_string(EAGAIN) +
                         " g_cdev_fd\xEF\xBC\x9A" + std::to_string(sv_[0]) + "\n"),
              11u);
    EXPECT_EQ(g_cdev_fd, sv_[0]);

    while (recv(sv_[1], filler.data(), filler.size(), MSG_DONTWAIT) > 0) {
    }
    bytes small = pattern(32, 9);
    entry = {small.data(), small.size()};
    EXPECT_EQ(write_iov_to_usb(&entry, 1), 32);
    EXPECT_EQ(written_units(), std::vector<bytes>{node(3, 0, small)});
}

// Each unit is "<token><number>:<length>", then "@<n>" for n bytes in front
// of the start flag or "/<n>" for only n node bytes sent; tokens M(iddle)
// F(irst) L(ast) O(nly). The payloads of the units marked + make the message.
TEST_F(UsbTest, SlicesArePutBackTogether) {
    struct join_case {
        const char *units;
        std::vector<std::string> lines;  // after "recv: ", once each
    };
    const join_case cases[] = {
        {"+O0:32", {}},
        {"+F0:450 +M1:450 +L2:10", {}},
        {"+F0:32 L1:0", {}},                   // an empty last slice
        {"+F0:450 +M1:450 M1:450 +L2:5", {}},  // a repeated slice is taken once
        {"O0:32@10 +O0:32@9", {"cannot find node start flag\n"}},
        {"M0:100 L0:100 F1:100 F0:451 +O0:20",
         {"first slice: token 0 is wrong\n", "first slice: token 2 is wrong\n",
          "first slice: wrong number\n", "wrong cut_packet_len\n"}},
        {"+F0:100 L2:20 F1:20 +L1:20",
         {"middle slice: wrong number\n", "middle slice: token 1 is wrong\n"}},
        {"F0:450 +F0:450 +L1:7", {"dropped 450 bytes of an unfinished message\n"}},
        {"F0:450 +O0:32", {"dropped 450 bytes of an unfinished message\n"}},
        {"O0:100/111 O0:100/11 +O0:40",
         {"unit of 113 bytes is too short\n", "unit of 13 bytes is too short\n"}},
    };
    for (const join_case &c : cases) {
        SCOPED_TRACE(c.units);
        bytes expected;
        uint64_t slots = 0;
        uint8_t seed = 0;
        std::istringstream in(c.units);
        for (std::string u; in >> u;) {
            bool kept = u[0] == '+';
            char token, sep = 0;
            uint32_t number;
            size_t len, extra = 0;
            sscanf(u.c_str() + kept, "%c%u:%zu%c%zu", &token, &number, &len, &sep, &extra);
            bytes payload = pattern(len, ++seed);
            send_unit(node(std::string("MFLO").find(token), number, payload),
                      sep == '@' ? extra : 0, sep == '/' ? extra : 0);
            if (kept) expected.insert(expected.end(), payload.begin(), payload.end());
            slots += kept && len > 0;
        }
        log_mark mark;
        EXPECT_EQ(read_iov_from_usb(sv_[0], v_), static_cast<int64_t>(expected.size()));
        EXPECT_EQ(v_->total_len, static_cast<int64_t>(expected.size()));
        EXPECT_EQ(v_->iov_cnt, slots);
        EXPECT_EQ(gathered(v_), expected);
        for (const std::string &line : c.lines) EXPECT_EQ(mark.count("recv: " + line), 1u) << line;
    }
}

// 128 slices fill the vector and end the message; the rest of it is refused.
TEST_F(UsbTest, FullVectorEndsTheMessage) {
    send_unit(node(1, 0, pattern(450, 0)));
    for (uint32_t n = 1; n < 128; n++) send_unit(node(0, n, pattern(450, n)));
    send_unit(node(2, 128, pattern(1, 0)));
    EXPECT_EQ(read_iov_from_usb(sv_[0], v_), 128 * 450);
    EXPECT_EQ(v_->iov_cnt, 128u);
    EXPECT_EQ(static_cast<uint8_t *>(v_->iov[127].iov_base)[449], pattern(450, 127)[449]);

    log_mark mark;
    send_unit(node(3, 0, pattern(32, 9)));
    EXPECT_EQ(read_iov_from_usb(sv_[0], v_), 32);
    EXPECT_EQ(mark.count("recv: first slice: token 2 is wrong\n"), 1u);
    EXPECT_EQ(gathered(v_), pattern(32, 9));
}

// A reopened device (often under the same descriptor number) ends the
// unfinished message: its rest is never spliced onto it.
TEST_F(UsbTest, ReopenDropsTheUnfinishedMessage) {
    log_mark mark;
    send_unit(node(1, 0, pattern(450, 1)));
    std::thread reopen([this] {
        msleep(20);
        ++g_cdev_generation;  // as the write path's reopen does
        send_unit(node(2, 1, pattern(7, 2)));
        send_unit(node(3, 0, pattern(32, 5)));
    });
    EXPECT_EQ(read_iov_from_usb(sv_[0], v_), 32);
    reopen.join();
    EXPECT_EQ(gathered(v_), pattern(32, 5));
    EXPECT_EQ(mark.count("recv: dropped 450 bytes of an unfinished message\n"), 1u);
    EXPECT_EQ(mark.count("recv: first slice: token 2 is wrong\n"), 1u);
}

}  // namespace
