// Whether the agent makes progress, for the service manager's watchdog: it
// is fed only while the device reader takes what the device has for it (it
// may wait in a read while the device has nothing: that is no hang), the
// heartbeat thread turns (every 10 s), and the state machine runs a pass
// when woken, which it otherwise need not do while no handshake is open.
#pragma once

#include <cstdint>

// Longest standstills taken for work rather than a hang, in milliseconds.
constexpr int64_t READER_STANDSTILL_MS = 5000;
constexpr int64_t HEARTBEAT_STANDSTILL_MS = 25000;

// Progress times (monotonic milliseconds) as progress.h keeps them, and
// when the watchdog last woke the state machine (0: not yet).
struct progress_seen {
    int64_t reader_ms;
    int64_t heartbeat_ms;
    int64_t state_machine_ms;
    int64_t state_machine_woken_ms;
    bool device_has_data;  // a message waits on the device
};

// The thread that stands still at `now_ms` ("device reader", "heartbeat",
// "state machine"), or null when all of them make progress.
const char *standing_still(const progress_seen &seen, int64_t now_ms);

// One turn of the watchdog: checks the progress marks, wakes the state
// machine for the next turn to check, and returns what standing_still says.
const char *watchdog_turn(int64_t now_ms);
