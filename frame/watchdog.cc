// The watchdog's view of the agent's progress. See watchdog.h.
#include "frame/watchdog.h"

#include <poll.h>

#include "common/progress.h"
#include "socket/state_machine.h"
#include "transport/device.h"

namespace {

int64_t last_wake_ms = 0;

// Asks the device itself, without waiting: a read would find a message.
bool device_has_data() {
    pollfd p = {g_cdev_fd.load(), POLLIN, 0};
    return p.fd >= 0 && poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

}  // namespace

const char *standing_still(const progress_seen &seen, int64_t now_ms) {
    if (now_ms - seen.reader_ms > READER_STANDSTILL_MS && seen.device_has_data) {
        return "device reader";
    }
    if (now_ms - seen.heartbeat_ms > HEARTBEAT_STANDSTILL_MS) {
        return "heartbeat";
    }
    if (seen.state_machine_ms < seen.state_machine_woken_ms) {
        return "state machine";
    }
    return nullptr;
}

const char *watchdog_turn(int64_t now_ms) {
    progress_seen seen = {g_progress.reader_ms.load(), g_progress.heartbeat_ms.load(),
                          g_progress.state_machine_ms.load(), last_wake_ms, false};
    seen.device_has_data = now_ms - seen.reader_ms > READER_STANDSTILL_MS && device_has_data();
    const char *still = standing_still(seen, now_ms);
    last_wake_ms = now_ms;
    wake_state_machine();
    return still;
}
