// Heartbeat: the init message retried every 100 ms until written, then a
// heartbeat every 10 s, in both modes; the sleeps are recorded, not slept.
#include "transport/heartbeat.h"

#include <gtest/gtest.h>

#include "tests/link_support.h"

namespace {

using namespace test_support;

// What the loop did, in order: "write" and "sleep <ms>" events, and the
// bytes of every write; the first `failures` writes fail.
struct recording {
    std::vector<std::string> events;
    std::vector<std::vector<uint8_t>> units;
    int failures = 2;
} g_rec;

int64_t record_unit(const void *unit, uint64_t len) {
    g_rec.events.push_back("write");
    g_rec.units.emplace_back(static_cast<const uint8_t *>(unit),
                             static_cast<const uint8_t *>(unit) + len);
    return g_rec.failures-- > 0 ? -1 : 32;
}

void record_sleep(unsigned int ms) {
    g_rec.events.push_back("sleep " + std::to_string(ms));
}

// Type 5 is the init message, 4 the heartbeat; byte 1 is the source: 1, the host.
std::vector<uint8_t> header(uint8_t type) {
    std::vector<uint8_t> h(32, 0);
    h[0] = type;
    h[1] = 1;
    return h;
}

// The USB unit: one 468-byte node, token 3 (only slice), number 0, length 32.
std::vector<uint8_t> usb_node(uint8_t type) {
    std::vector<uint8_t> n(468, 0);
    n[0] = 3;
    n[8] = 32;
    std::vector<uint8_t> h = header(type);
    std::copy(h.begin(), h.end(), n.begin() + 12);
    return n;
}

void run(int mode) {
    g_rec = recording();
    heartbeat_run({mode, record_unit, record_sleep}, 2);
}

TEST(HeartbeatRun, InitRetriedThenAHeartbeatEveryTenSecondsInBothModes) {
    open_process_log();
    for (int mode : {CONNECT_MODE_NET_CDEV, CONNECT_MODE_USB}) {
        SCOPED_TRACE(mode);
        log_mark mark;
        run(mode);
        EXPECT_EQ(g_rec.events,
                  std::vector<std::string>({"write", "sleep 100", "write", "sleep 100", "write",
                                            "sleep 10000", "write", "sleep 10000", "write"}));
        auto unit = mode == CONNECT_MODE_USB ? usb_node : header;
        ASSERT_EQ(g_rec.units.size(), 5u);
        for (size_t i = 0; i < 5; i++) EXPECT_EQ(g_rec.units[i], unit(i < 3 ? 5 : 4)) << i;
        std::string log = mark.text();
        EXPECT_EQ(count_of(log, "Failed to send 'init' msg to Tavix\n"), 2u);
        EXPECT_EQ(count_of(log, "Send 'init' msg to Tavix successfully\n"), 1u);
        EXPECT_GT(log.find("Send 'init' msg to Tavix successfully\n"),
                  log.rfind("Failed to send 'init' msg to Tavix\n"));
        EXPECT_EQ(level_of("Failed to send 'init' msg to Tavix\n", [mode] { run(mode); }), 0);
        EXPECT_EQ(level_of("Send 'init' msg to Tavix successfully\n", [mode] { run(mode); }), 1);
    }
}

}  // namespace
