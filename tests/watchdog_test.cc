// When the watchdog takes the agent for hung: each thread's standstill at,
// and just past, its limit.
#include "frame/watchdog.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Watchdog, FedUnlessAThreadStandsStillPastItsLimit) {
    constexpr int64_t NOW = 1000000;
    const struct {
        progress_seen seen;  // reader, heartbeat, state machine, woken, data waits
        const char *still;
    } rows[] = {
        {{NOW - 1000, NOW - 9000, NOW - 400, NOW - 500, true}, nullptr},
        {{NOW - 5000, NOW, NOW, 0, true}, nullptr},
        {{NOW - 5001, NOW, NOW, 0, true}, "device reader"},
        // Waiting for a device that has nothing is no hang, however long.
        {{NOW - 600000, NOW, NOW, 0, false}, nullptr},
        {{NOW, NOW - 25000, NOW, 0, false}, nullptr},
        {{NOW, NOW - 25001, NOW, 0, false}, "heartbeat"},
        // Idle, the state machine sleeps until woken; a pass since is enough.
        {{NOW, NOW, NOW - 500, NOW - 500, false}, nullptr},
        {{NOW, NOW, NOW - 501, NOW - 500, false}, "state machine"},
        {{NOW - 5001, NOW - 25001, NOW - 501, NOW - 500, true}, "device reader"},
    };
    for (const auto &row : rows) {
        const char *still = standing_still(row.seen, NOW);
        EXPECT_EQ(std::string(still ? still : "none"), std::string(row.still ? row.still : "none"))
            << row.seen.reader_ms << " " << row.seen.heartbeat_ms << " "
            << row.seen.state_machine_ms;
    }
}

}  // namespace
