// The capture of every message into pcap files. See capture.h.
#include "transport/capture.h"

#include <fcntl.h>
#include <pcap/pcap.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <system_error>
#include <utility>
#include <vector>

#include "frame/log.h"
#include "transport/device.h"

std::atomic<bool> g_capture_on{false};

namespace {

constexpr size_t PREFIX_SIZE = 4;
// The largest message and its prefix.
constexpr uint32_t SNAP_LEN = SEND_BUF_SIZE + PREFIX_SIZE;
// What a pcap file spends on its own header and on each record's.
constexpr uint64_t FILE_HEADER_SIZE = 24;
constexpr uint64_t RECORD_HEADER_SIZE = 16;
constexpr mode_t FILE_MODE = 0640;

struct capture_file {
    std::string path;
    uint64_t size_bound = 0;
    int file_count = 0;
    // The files' directory, opened at the start: later files are opened in it
    // by the service account, which need not reach it by its path.
    int dir_fd = -1;
    uint64_t number = 0;   // of the file being written
    std::string name;      // of the file being written
    uint64_t written = 0;  // bytes in it
    pcap_t *dead = nullptr;
    pcap_dumper_t *dumper = nullptr;
    std::vector<uint8_t> record;  // prefix and message, put together
};

// Held for one record at a time; writers take it under the send lock, so it
// is never held while the send lock is asked for.
pthread_mutex_t g_capture_mutex = PTHREAD_MUTEX_INITIALIZER;
capture_file g_capture;

// Holds g_capture_mutex with cancellation disabled: the reader is cancelled
// at shutdown, which then closes the file under this lock.
class capture_lock {
  public:
    capture_lock() {
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_cancel_state_);
        pthread_mutex_lock(&g_capture_mutex);
    }
    ~capture_lock() {
        pthread_mutex_unlock(&g_capture_mutex);
        pthread_setcancelstate(old_cancel_state_, nullptr);
    }
    capture_lock(const capture_lock &) = delete;
    capture_lock &operator=(const capture_lock &) = delete;

  private:
    int old_cancel_state_;
};

std::string error_text(int err) {
    return std::error_code(err, std::generic_category()).message();
}

std::string file_name(const capture_file &c, uint64_t number) {
    if (c.size_bound == 0 || (c.file_count == 0 && number == 0)) {
        return c.path;
    }
    std::string digits = std::to_string(number);
    size_t width = c.file_count == 0 ? 0 : std::to_string(c.file_count).size();
    if (digits.size() < width) {
        digits.insert(0, width - digits.size(), '0');
    }
    return c.path + digits;
}

// Where the file's own name starts in `path` (0 without a directory part).
size_t base_at(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

bool open_dir(capture_file *c, std::string *error) {
    std::string dir = c->path.substr(0, base_at(c->path));
    c->dir_fd = open(dir.empty() ? "." : dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (c->dir_fd < 0) {
        *error = c->path + ": " + error_text(errno);
        return false;
    }
    return true;
}

// A regular file left under the name (by an earlier file of the ring, or an
// earlier run, perhaps as root before the privilege drop) is replaced, not
// rewritten: the service account may not write it, but may replace it.
bool open_file(capture_file *c, std::string *error) {
    c->name = file_name(*c, c->number);
    const char *base = c->name.c_str() + base_at(c->path);
    struct stat st;
    if (fstatat(c->dir_fd, base, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
        unlinkat(c->dir_fd, base, 0);
    }
    int fd = openat(c->dir_fd, base, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, FILE_MODE);
    FILE *f = fd < 0 ? nullptr : fdopen(fd, "w");
    if (f == nullptr) {
        *error = c->name + ": " + error_text(errno);
        if (fd >= 0) {
            close(fd);
        }
        return false;
    }
    c->dumper = pcap_dump_fopen(c->dead, f);
    if (c->dumper == nullptr) {
        *error = c->name + ": " + pcap_geterr(c->dead);
        fclose(f);
        return false;
    }
    c->written = FILE_HEADER_SIZE;
    return true;
}

bool flushed(capture_file *c, std::string *error) {
    if (pcap_dump_flush(c->dumper) == 0 && ferror(pcap_dump_file(c->dumper)) == 0) {
        return true;
    }
    *error = c->name + ": " + error_text(errno);
    return false;
}

void close_capture(capture_file *c) {
    if (c->dumper != nullptr) {
        pcap_dump_close(c->dumper);
    }
    if (c->dead != nullptr) {
        pcap_close(c->dead);
    }
    if (c->dir_fd >= 0) {
        close(c->dir_fd);
    }
    *c = capture_file{};
    g_capture_on.store(false, std::memory_order_relaxed);
}

// Opens the next file when the record would take this one past the bound.
bool make_room(capture_file *c, uint64_t record_size, std::string *error) {
    if (c->size_bound == 0 || c->written == FILE_HEADER_SIZE ||
        c->written + record_size <= c->size_bound) {
        return true;
    }
    pcap_dump_close(std::exchange(c->dumper, nullptr));
    c->number =
        c->file_count > 0 ? (c->number + 1) % static_cast<uint64_t>(c->file_count) : c->number + 1;
    return open_file(c, error);
}

bool write_record(capture_file *c, std::string *error) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct pcap_pkthdr header = {};
    header.ts.tv_sec = now.tv_sec;
    header.ts.tv_usec = now.tv_nsec;  // the file's precision is nanoseconds
    header.len = static_cast<uint32_t>(c->record.size());
    header.caplen = std::min(header.len, SNAP_LEN);
    if (!make_room(c, RECORD_HEADER_SIZE + header.caplen, error)) {
        return false;
    }
    pcap_dump(reinterpret_cast<u_char *>(c->dumper), &header, c->record.data());
    c->written += RECORD_HEADER_SIZE + header.caplen;
    // Flushed at once: a capture is most wanted when the agent dies.
    return flushed(c, error);
}

}  // namespace

bool capture_start(const char *path, uint64_t file_size_bytes, int file_count, std::string *error) {
    capture_lock lock;
    if (g_capture.dumper != nullptr) {
        *error = "a capture to " + g_capture.path + " runs already";
        return false;
    }
    capture_file c;
    c.path = path;
    c.size_bound = file_size_bytes;
    c.file_count = file_count;
    c.dead = pcap_open_dead_with_tstamp_precision(DLT_USER0, SNAP_LEN, PCAP_TSTAMP_PRECISION_NANO);
    if (c.dead == nullptr) {
        *error = "libpcap cannot set up a capture";
        return false;
    }
    if (!open_dir(&c, error) || !open_file(&c, error) || !flushed(&c, error)) {
        close_capture(&c);
        return false;
    }
    c.record.reserve(SNAP_LEN);
    g_capture = std::move(c);
    g_capture_on.store(true, std::memory_order_relaxed);
    LOG(LOG_INFO, "Capture to %s started\n", g_capture.name.c_str());
    return true;
}

void capture_stop() {
    capture_lock lock;
    if (g_capture.dead != nullptr) {
        LOG(LOG_INFO, "Capture to %s stopped\n", g_capture.name.c_str());
        close_capture(&g_capture);
    }
}

bool capture_active() {
    return g_capture_on.load(std::memory_order_relaxed);
}

void capture_record(capture_direction dir, const struct iovec *entries, uint64_t count) {
    capture_lock lock;
    capture_file *c = &g_capture;
    if (c->dumper == nullptr) {
        return;
    }
    c->record.assign({dir, static_cast<uint8_t>(g_connect_mode), 0, 0});
    for (uint64_t i = 0; i < count; ++i) {
        const auto *bytes = static_cast<const uint8_t *>(entries[i].iov_base);
        c->record.insert(c->record.end(), bytes, bytes + entries[i].iov_len);
    }
    std::string error;
    if (!write_record(c, &error)) {
        LOG(LOG_ERROR, "Capture stopped, cannot write %s\n", error.c_str());
        close_capture(c);
    }
}
