// The process-wide log file. See log.h.
#include "frame/log.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "bounded/securec.h"

namespace {

constexpr size_t LOG_NAME_LEN = 20;
constexpr size_t LOG_PATH_LEN = 4096;
constexpr mode_t LOG_FILE_MODE = 0640;

FILE *log_stream = nullptr;
// Read without the lock by writers deciding whether to write at all.
std::atomic<int> log_threshold{0};
std::atomic<bool> log_open{false};
// Makes each line with its flush, and close_log, exclusive: a writer never
// touches the stream after it was closed.
pthread_mutex_t log_mutex = PTHREAD_MUTEX_INITIALIZER;

// Opens the log for appending, but only a regular file reached without a
// symbolic link at its end: a link planted in ./log must not make root
// append to (or re-mode) another file, and a FIFO must not block start-up.
FILE *open_log_file(const char *path) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                  LOG_FILE_MODE);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    fcntl(fd, F_SETFL, O_APPEND);
    fchmod(fd, LOG_FILE_MODE);
    FILE *stream = fdopen(fd, "a");
    if (stream == nullptr) {
        close(fd);
    }
    return stream;
}

}  // namespace

int (*log_clock)(clockid_t clock, struct timespec *ts) = clock_gettime;

log_stamp log_now() {
    struct timespec ts;
    memset(&ts, 0, sizeof(ts));
    log_clock(CLOCK_REALTIME, &ts);
    return {static_cast<unsigned long>(ts.tv_sec), static_cast<unsigned long>(ts.tv_nsec)};
}

unsigned long log_thread_id() {
    return static_cast<unsigned long>(pthread_self());
}

unsigned long log_process_group_id() {
    return static_cast<unsigned long>(getpgrp());
}

log_line_guard::log_line_guard(int level) {
    // A worker may be cancelled at shutdown while it writes; with cancellation
    // off it can never leave the lock taken.
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_cancel_state_);
    pthread_mutex_lock(&log_mutex);
    stream_ = get_log(level);
}

log_line_guard::~log_line_guard() {
    pthread_mutex_unlock(&log_mutex);
    pthread_setcancelstate(old_cancel_state_, nullptr);
}

bool log_wanted(int level) {
    return log_open.load(std::memory_order_relaxed) &&
           log_threshold.load(std::memory_order_relaxed) <= level;
}

FILE *get_log(int level) {
    if (log_threshold <= level) {
        return log_stream;
    }
    return nullptr;
}

int read_comm_from_file(const char *path, char *buf, size_t len) {
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        return -1;
    }
    ssize_t n = read(fd, buf, len);
    if (n > 0 && buf[n - 1] == '\n') {
        buf[n - 1] = '\0';
    } else if (n > 0 && static_cast<size_t>(n) == len) {
        buf[len - 1] = '\0';
    }
    close(fd);
    return 0;
}

int init_log(int level) {
    char name[LOG_NAME_LEN];
    char path[LOG_PATH_LEN];
    memset(name, 0, sizeof(name));
    memset(path, 0, sizeof(path));

    if (read_comm_from_file("/proc/self/comm", name, sizeof(name)) < 0) {
        return -1;
    }
    if (sprintf_s(path, sizeof(path), "%s/%s.log", "./log", name) < 0) {
        return -1;
    }
    FILE *stream = open_log_file(path);
    if (stream == nullptr) {
        return -1;
    }

    log_line_guard guard(LOG_ERROR);
    log_stream = stream;
    log_open = true;
    if (getenv("DEBUG_NETWORK") != nullptr) {
        log_threshold = 0;
    } else {
        log_threshold = level;
        if (level > LOG_ERROR) {
            return 0;
        }
    }
    log_stamp stamp = log_now();
    fprintf(log_stream, LOG_PREFIX_FORMAT "%s is starting ...\n", stamp.sec, stamp.nsec,
            static_cast<unsigned long>(getpid()), log_process_group_id(), __func__, __LINE__, name);
    fflush(log_stream);
    return 0;
}

int close_log() {
    log_line_guard guard(LOG_ERROR);
    if (log_stream != nullptr) {
        log_open = false;
        fclose(log_stream);
        log_stream = nullptr;
    }
    return 0;
}
