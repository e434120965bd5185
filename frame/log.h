// The agent's single log file: "./log/<executable>.log", one line per event,
// each line stamped "[sec.nsec][pid,tid] function,line -> ".
//
// Writers use LOG (or LOG_AS to print another function name). A line and its
// flush run under the log lock, and close_log takes the same lock, so no
// writer touches the stream after it was closed.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <ctime>

// 0 detail, 1 information, 2 failures.
constexpr int LOG_DETAIL = 0;
constexpr int LOG_INFO = 1;
constexpr int LOG_ERROR = 2;

int init_log(int level);
// Whether a line of `level` would be written now; costs no lock, so lines
// below the threshold cost nothing but this test.
bool log_wanted(int level);
// The stream when a line of `level` is to be written, else null. Only
// meaningful while the caller holds the log lock (see log_line_guard).
FILE *get_log(int level);
int close_log();
int read_comm_from_file(const char *path, char *buf, size_t len);

// Takes the log lock for one line and disables thread cancellation while it
// is held, so a cancelled worker can never leave the lock taken.
class log_line_guard {
  public:
    explicit log_line_guard(int level);
    ~log_line_guard();
    log_line_guard(const log_line_guard &) = delete;
    log_line_guard &operator=(const log_line_guard &) = delete;
    FILE *stream() const { return stream_; }

  private:
    FILE *stream_;
    int old_cancel_state_;
};

// The seconds and nanoseconds printed in the line prefix.
struct log_stamp {
    unsigned long sec;
    unsigned long nsec;
};
log_stamp log_now();
// Where log_now reads the time; tests replace it to fix the stamp.
extern int (*log_clock)(clockid_t clock, struct timespec *ts);
unsigned long log_thread_id();
unsigned long log_process_group_id();

#define LOG_PREFIX_FORMAT "[%lu.%lu][%lu,%lu] %s,%d -> "

// Writes one line with an explicit function name and id in the tid position.
#define LOG_LINE(level, func, tid, fmt, ...)                                                     \
    do {                                                                                         \
        if (!log_wanted(level)) {                                                                \
            break;                                                                               \
        }                                                                                        \
        log_line_guard log_guard_(level);                                                        \
        if (log_guard_.stream() != nullptr) {                                                    \
            log_stamp log_stamp_ = log_now();                                                    \
            fprintf(log_guard_.stream(), LOG_PREFIX_FORMAT fmt, log_stamp_.sec, log_stamp_.nsec, \
                    (unsigned long)getpid(), (unsigned long)(tid), (func),                       \
                    __LINE__ __VA_OPT__(, ) __VA_ARGS__);                                        \
            fflush(log_guard_.stream());                                                         \
        }                                                                                        \
    } while (0)

#define LOG_AS(func, level, fmt, ...) \
    LOG_LINE(level, func, log_thread_id(), fmt __VA_OPT__(, ) __VA_ARGS__)
#define LOG(level, fmt, ...) LOG_AS(__func__, level, fmt __VA_OPT__(, ) __VA_ARGS__)
