// Small helpers shared by every module. See util.h.
#include "frame/util.h"

#include <cerrno>
#include <cstdlib>

#include "frame/log.h"

namespace {

constexpr int64_t MS_PER_SECOND = 1000;
constexpr int64_t NS_PER_MS = 1000000;
constexpr int64_t NS_PER_SECOND = 1000000000;
constexpr int64_t REPEAT_SUMMARY_MS = 60 * MS_PER_SECOND;

void write_summary(log_repeat *r, const char *func) {
    if (r->repeats > 0) {
        LOG_AS(func, LOG_ERROR, "... repeated %lu times\n", r->repeats);
        r->repeats = 0;
    }
    r->last_summary_ms = monotonic_ms();
}

}  // namespace

void msleep(unsigned int ms) {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * NS_PER_MS;
    // Resumed after an interruption: the set-id broadcast of the privilege
    // drop interrupts every thread's sleep, which would otherwise send a burst
    // of heartbeats.
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int start_link_thread(pthread_t *thread, void *(*body)(void *), void *arg) {
    static pthread_attr_t *attr = [] {
        static pthread_attr_t a;
        pthread_attr_init(&a);
        pthread_attr_setstacksize(&a, LINK_THREAD_STACK);
        return &a;
    }();
    return pthread_create(thread, attr, body, arg);
}

int64_t monotonic_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * MS_PER_SECOND + ts.tv_nsec / NS_PER_MS;
}

monotonic_cond::monotonic_cond() {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&cond, &attr);
    pthread_condattr_destroy(&attr);
}

void timespec_add_ms(struct timespec *ts, int64_t ms) {
    int64_t ns = ts->tv_nsec + (ms % MS_PER_SECOND) * NS_PER_MS;
    ts->tv_sec += static_cast<time_t>(ms / MS_PER_SECOND + ns / NS_PER_SECOND);
    ts->tv_nsec = static_cast<long>(ns % NS_PER_SECOND);
}

bool log_repeat_first(log_repeat *r, const char *func) {
    if (!r->active) {
        r->active = true;
        r->repeats = 0;
        r->last_summary_ms = monotonic_ms();
        return true;
    }
    ++r->repeats;
    if (monotonic_ms() - r->last_summary_ms >= REPEAT_SUMMARY_MS) {
        write_summary(r, func);
    }
    return false;
}

void log_repeat_end(log_repeat *r, const char *func) {
    if (r->active) {
        write_summary(r, func);
        r->active = false;
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
