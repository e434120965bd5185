// Marks of progress of the threads whose standstill means a hung agent: the
// device reader, the state machine and the heartbeat. Each stamps the
// monotonic time of its latest turn; the watchdog reads them.
#pragma once

#include <atomic>
#include <cstdint>

struct progress_marks {
    std::atomic<int64_t> reader_ms{0};
    std::atomic<int64_t> state_machine_ms{0};
    std::atomic<int64_t> heartbeat_ms{0};
    // Wall-clock seconds of the last heartbeat the device took; 0: none yet.
    std::atomic<int64_t> heartbeat_sent_s{0};
};

extern progress_marks g_progress;

// Stamps `mark` with the monotonic time now.
void mark_progress(std::atomic<int64_t> &mark);
