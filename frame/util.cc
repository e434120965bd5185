// Small helpers shared by every module. See util.h.
#include "frame/util.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "frame/log.h"

void msleep(unsigned int ms) {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    // Resumed after an interruption: the set-id broadcast of the privilege
    // drop interrupts every thread's sleep, which would otherwise send a burst
    // of heartbeats.
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int parse_int_in_range(const char *str, int r_min, int r_max, int dflt) {
    if (str == nullptr) {
        return dflt;
    }
    char *end = nullptr;
    long val = strtol(str, &end, 10);
    // The trace carries the process-group id in the thread position.
    LOG_LINE(LOG_DETAIL, __func__, log_process_group_id(),
             "r_min: %d, r_max: %d, val: %ld, dflt: %d\n", r_min, r_max, val, dflt);
    if (end == str || *end != '\0' || val < r_min || val > r_max) {
        return dflt;
    }
    return static_cast<int>(val);
}
