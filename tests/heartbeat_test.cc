// Heartbeat: the init message retried until written, then heartbeats 10 s
// apart, in both modes; the sleeps are recorded, not slept.
#include "transport/heartbeat.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/msg_header.h"
#include "tests/test_support.h"
#include "transport/device.h"

namespace {

using test_support::count_of;
using test_support::log_mark;

// What the loop did, in order: "write" and "sleep <ms>" events, and the
// bytes of every write.
struct recording {
    std::vector<std::string> events;
    std::vector<std::vector<uint8_t>> units;
    int failures_left = 0;
};
recording g_rec;

int64_t record_write(const void *unit, uint64_t len) {
    g_rec.events.push_back("write");
    auto *bytes = static_cast<const uint8_t *>(unit);
    g_rec.units.emplace_back(bytes, bytes + len);
    if (g_rec.failures_left > 0) {
        g_rec.failures_left--;
        return -1;
    }
    return MSG_HEADER_SIZE;
}

void record_sleep(unsigned int ms) {
    g_rec.events.push_back("sleep " + std::to_string(ms));
}

std::vector<uint8_t> header_bytes(uint8_t type) {
    std::vector<uint8_t> bytes(MSG_HEADER_SIZE, 0);
    bytes[0] = type;
    bytes[1] = MSG_SOURCE_HOST;
    return bytes;
}

std::vector<uint8_t> node_bytes(uint8_t type) {
    std::vector<uint8_t> bytes(PACKET_NODE_SIZE, 0);
    bytes[0] = SLICE_TOKEN_ONLY;  // token 3, number 0, length 32, little-endian
    bytes[8] = MSG_HEADER_SIZE;
    auto header = header_bytes(type);
    std::copy(header.begin(), header.end(), bytes.begin() + 12);
    return bytes;
}

class HeartbeatRun : public testing::Test {
  protected:
    // The loop with two failed init attempts and two heartbeats.
    void run(int mode) {
        g_rec.failures_left = 2;
        log_mark mark;
        heartbeat_run({mode, record_write, record_sleep}, 2);
        log_ = mark.text();
    }
    void expect_sequence() {
        std::vector<std::string> expected = {"write",     "sleep 100",   "write",
                                             "sleep 100", "write",       "sleep 10000",
                                             "write",     "sleep 10000", "write"};
        EXPECT_EQ(g_rec.events, expected);
        EXPECT_EQ(count_of(log_, "Failed to send 'init' msg to Tavix\n"), 2u);
        EXPECT_EQ(count_of(log_, "Send 'init' msg to Tavix successfully\n"), 1u);
        EXPECT_GT(log_.find("Send 'init' msg to Tavix successfully\n"),
                  log_.rfind("Failed to send 'init' msg to Tavix\n"));
    }
    std::string log_;
};

// A net_cdev unit is the header alone; a USB unit is one packet node.
TEST_F(HeartbeatRun, SameSequenceInBothModes) {
    for (int mode : {CONNECT_MODE_NET_CDEV, CONNECT_MODE_USB}) {
        SCOPED_TRACE(mode);
        g_rec = recording();
        run(mode);
        expect_sequence();
        auto unit = mode == CONNECT_MODE_USB ? node_bytes : header_bytes;
        ASSERT_EQ(g_rec.units.size(), 5u);
        for (size_t i = 0; i < 5; i++) {
            EXPECT_EQ(g_rec.units[i], unit(i < 3 ? MSG_TYPE_INIT : MSG_TYPE_HEARTBEAT)) << i;
        }
    }
}

}  // namespace
