// Small helpers used across the agent: sleeps and time arithmetic, the start
// of a link's threads, the strict command-line integer parser, and the limit
// on repeated log lines.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

void msleep(unsigned int ms);
// Starts one of a link's threads: with a stack of LINK_THREAD_STACK bytes
// rather than the default 8 MiB, so that thousands of links cost little
// address space. pthread_create's result.
constexpr size_t LINK_THREAD_STACK = 256 << 10;
int start_link_thread(pthread_t *thread, void *(*body)(void *), void *arg);
int parse_int_in_range(const char *str, int r_min, int r_max, int dflt);

// Milliseconds of CLOCK_MONOTONIC.
int64_t monotonic_ms();
// A condition variable whose timed waits run on CLOCK_MONOTONIC,
// initialised in place. Never destroyed by itself: one on a stack is
// destroyed by its owner (pthread_cond_destroy).
struct monotonic_cond {
    monotonic_cond();
    monotonic_cond(const monotonic_cond &) = delete;
    monotonic_cond &operator=(const monotonic_cond &) = delete;
    pthread_cond_t cond;
};
void timespec_add_ms(struct timespec *ts, int64_t ms);

// A failure that may repeat in a fast loop (accept failing for want of
// descriptors, reads of a vanished device): the first occurrence of an
// episode is logged in full, later ones are counted and summarised at most
// once a minute. Used by one thread.
struct log_repeat {
    bool active = false;
    unsigned long repeats = 0;
    int64_t last_summary_ms = 0;
};
// True when this occurrence starts an episode and is to be logged; writes
// the summary line when one is due.
bool log_repeat_first(log_repeat *r, const char *func);
// The failure stopped: writes the summary of what is left, if anything.
void log_repeat_end(log_repeat *r, const char *func);
