// The heartbeat thread: the init message, retried until the device takes it,
// then a heartbeat every 10 seconds.
#pragma once

#include <cstdint>

#include "transport/usb.h"

constexpr unsigned int HEARTBEAT_INTERVAL = 10;
constexpr unsigned int INIT_RETRY_MS = 100;

// What the heartbeat loop needs from the outside world; the thread uses the
// device writer of its mode and real sleeps, tests substitute their own.
// `write` gets the whole unit of the mode: the 32 header bytes in net_cdev
// mode, a 468-byte packet node in USB mode.
struct heartbeat_io {
    int mode;  // CONNECT_MODE_NET_CDEV or CONNECT_MODE_USB
    int64_t (*write)(const void *unit, uint64_t len);
    void (*sleep_ms)(unsigned int ms);
};

void *heartbeat_thread(void *arg);
// Sends the init message, retrying, then `heartbeats` heartbeats (forever
// when negative).
void heartbeat_run(const heartbeat_io &io, long heartbeats);
