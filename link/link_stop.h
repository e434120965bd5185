// The end of every link when the agent stops: the controller is told of
// each while the device still takes writes, and every client is reset (the
// links did not end by either peer's wish).
#pragma once

#include <cstdint>

// Sends the CLOSE of every established link (and the CLOSEs still kept for
// the device) until `deadline_ms` (monotonic), and makes every client's
// socket end with a reset when the process ends; from then on no writer
// writes to the device. Called once the device is marked stopping.
void end_links_on_stop(int64_t deadline_ms);
