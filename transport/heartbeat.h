// The heartbeat thread: the init message, retried until the device takes it,
// then a heartbeat every 10 seconds.
#pragma once

#include <cstdint>

constexpr unsigned int HEARTBEAT_INTERVAL = 10;
constexpr unsigned int INIT_RETRY_MS = 100;

// What the heartbeat loop needs from the outside world; the thread uses the
// real device writer and sleeps, tests substitute their own.
struct heartbeat_io {
    int64_t (*write)(const void *buf, uint64_t len);
    void (*sleep_ms)(unsigned int ms);
};

void *heartbeat_thread(void *arg);
// Sends the init message, retrying, then `heartbeats` heartbeats (forever
// when negative).
void heartbeat_run(const heartbeat_io &io, long heartbeats);
