// The agent's init message is retried while the device refuses writes. (Its
// bytes are checked as every scenario test starts; the 10 s heartbeat that
// follows is checked without waiting in the heartbeat unit test.)
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "tests/e2e/agent_checks.h"
#include "tests/e2e/harness.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;

std::vector<uint8_t> keepalive(uint8_t type) {
    std::vector<uint8_t> m(WIRE_HEADER_SIZE, 0);
    m[0] = type;
    m[1] = 1;
    return m;
}

size_t count_of(const std::string &text, const std::string &needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
        ++n;
    }
    return n;
}

TEST(Heartbeat, InitIsRetriedWhileTheDeviceRefusesWrites) {
    constexpr int REFUSED = 5;
    AgentOnEmulator a;
    a.emu.fail_writes(ENODEV, REFUSED);
    ASSERT_TRUE(a.start()) << a.agent.log() << a.agent.stderr_text();
    std::vector<uint8_t> msg;
    ASSERT_TRUE(a.next_message(&msg, 10s, false)) << a.agent.log();
    EXPECT_EQ(msg, keepalive(5)) << "the first message to arrive must be the init message";
    EXPECT_EQ(a.emu.writes_from_agent(), 1u);
    ASSERT_TRUE(a.agent.wait_for_log("Send 'init' msg to Tavix successfully", 5s));
    std::string log = a.agent.log();
    EXPECT_EQ(count_of(log, "Failed to send 'init' msg to Tavix"), static_cast<size_t>(REFUSED))
        << log;
    EXPECT_LT(log.find("Failed to send 'init' msg to Tavix"),
              log.find("Send 'init' msg to Tavix successfully"));
    // Nothing else follows soon: the heartbeat comes 10 s after the init.
    EXPECT_FALSE(a.next_message(&msg, 1s, false));
    stop_agent_cleanly(a);
}

}  // namespace
}  // namespace e2e
