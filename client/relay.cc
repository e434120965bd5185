// The relay loop. Between sockets and pipes each direction moves its bytes
// through a pipe of its own with splice, so they never pass through this
// process's memory; to or from anything else (a terminal, a file) it copies
// through a buffer. A direction reads only when nothing of its last read is
// pending, and writes what it read at once, waiting for POLLOUT only when the
// receiver is full.
#include "client/relay.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int PIPE_SIZE = 1024 * 1024;
constexpr size_t COPY_BUFFER_SIZE = 256 * 1024;

bool can_splice(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && (S_ISSOCK(st.st_mode) || S_ISFIFO(st.st_mode));
}

struct Direction {
    int from = -1;
    int to = -1;
    int pipe_read = -1;  // -1: copying through buf
    int pipe_write = -1;
    size_t capacity = 0;  // of the pipe
    std::vector<uint8_t> buf;
    size_t start = 0;  // copy: the pending bytes are buf[start, start + pending)
    size_t pending = 0;
    bool eof = false;
    uint64_t bytes = 0;

    Direction(int from_fd, int to_fd) : from(from_fd), to(to_fd) {
        int fds[2];
        if (can_splice(from) && can_splice(to) && pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            pipe_read = fds[0];
            pipe_write = fds[1];
            int size = fcntl(pipe_write, F_SETPIPE_SZ, PIPE_SIZE);
            capacity = static_cast<size_t>(size > 0 ? size : fcntl(pipe_write, F_GETPIPE_SZ));
        } else {
            buf.resize(COPY_BUFFER_SIZE);
        }
    }
    ~Direction() {
        if (pipe_read >= 0) {
            close(pipe_read);
            close(pipe_write);
        }
    }
    Direction(const Direction &) = delete;
    Direction &operator=(const Direction &) = delete;

    bool empty() const { return pending == 0; }
};

enum class Io { Done, Failed };

ssize_t read_some(Direction *d) {
    if (d->pipe_read >= 0) {
        return splice(d->from, nullptr, d->pipe_write, nullptr, d->capacity,
                      SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    }
    d->start = 0;
    return read(d->from, d->buf.data(), d->buf.size());
}

ssize_t write_some(Direction *d) {
    if (d->pipe_read >= 0) {
        return splice(d->pipe_read, nullptr, d->to, nullptr, d->pending,
                      SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    }
    ssize_t n = write(d->to, d->buf.data() + d->start, d->pending);
    d->start += static_cast<size_t>(n > 0 ? n : 0);
    return n;
}

// One read while nothing is pending; a reset counts as the end of the
// stream when reset_is_eof.
Io fill(Direction *d, bool reset_is_eof) {
    ssize_t n = read_some(d);
    if (n > 0) {
        d->pending = static_cast<size_t>(n);
        return Io::Done;
    }
    if (n == 0 || (reset_is_eof && errno == ECONNRESET)) {
        d->eof = true;
        return Io::Done;
    }
    return errno == EAGAIN || errno == EINTR ? Io::Done : Io::Failed;
}

Io drain(Direction *d) {
    while (!d->empty()) {
        ssize_t n = write_some(d);
        if (n < 0) {
            return errno == EAGAIN || errno == EINTR ? Io::Done : Io::Failed;
        }
        d->pending -= static_cast<size_t>(n);
        d->bytes += static_cast<uint64_t>(n);
    }
    return Io::Done;
}

RelayResult finish(RelayEnd end, const Direction &up, const Direction &down,
                   const char *what = nullptr) {
    RelayResult r;
    r.end = end;
    r.bytes_out = up.bytes;
    r.bytes_in = down.bytes;
    if (what != nullptr) {
        r.error = std::string(what) + ": " + strerror(errno);
    }
    return r;
}

void watch(std::vector<pollfd> *fds, int fd, short events, int *slot) {
    *slot = -1;
    if (events != 0) {
        *slot = static_cast<int>(fds->size());
        fds->push_back({fd, events, 0});
    }
}

short revents_of(const std::vector<pollfd> &fds, int slot) {
    return slot < 0 ? 0 : fds[static_cast<size_t>(slot)].revents;
}

}  // namespace

RelayResult relay(const RelayEnds &ends) {
    Direction up(ends.local_in, ends.link);
    Direction down(ends.link, ends.local_out);
    std::optional<Clock::time_point> quiet_until;
    std::vector<pollfd> fds;
    while (true) {
        if (down.eof && down.empty()) {
            return finish(RelayEnd::LinkClosed, up, down);
        }
        if (up.eof && up.empty() && ends.linger) {
            if (ends.linger->count() == 0) {
                return finish(RelayEnd::InputEnded, up, down);
            }
            if (!quiet_until) {
                quiet_until = Clock::now() + *ends.linger;
            }
        }
        int timeout = -1;
        if (quiet_until) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(*quiet_until - Clock::now());
            if (left.count() <= 0) {
                return finish(RelayEnd::Quiet, up, down);
            }
            timeout = static_cast<int>(left.count()) + 1;
        }
        fds.clear();
        int stop_slot, up_in, up_out, down_in, down_out;
        watch(&fds, ends.stop_fd, ends.stop_fd >= 0 ? POLLIN : 0, &stop_slot);
        watch(&fds, up.from, !up.eof && up.empty() ? POLLIN : 0, &up_in);
        watch(&fds, up.to, up.empty() ? 0 : POLLOUT, &up_out);
        watch(&fds, down.from, !down.eof && down.empty() ? POLLIN : 0, &down_in);
        watch(&fds, down.to, down.empty() ? 0 : POLLOUT, &down_out);
        if (poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return finish(RelayEnd::LocalFailed, up, down, "poll");
        }
        if (revents_of(fds, stop_slot) != 0) {
            return finish(RelayEnd::Stopped, up, down);
        }
        if (revents_of(fds, up_in) != 0 && fill(&up, true) == Io::Failed) {
            return finish(RelayEnd::LocalFailed, up, down, "reading the local side");
        }
        if ((revents_of(fds, up_in) != 0 || revents_of(fds, up_out) != 0) &&
            drain(&up) == Io::Failed) {
            return finish(RelayEnd::LinkFailed, up, down, "writing to the agent");
        }
        if (revents_of(fds, down_in) != 0) {
            if (fill(&down, false) == Io::Failed) {
                return finish(RelayEnd::LinkFailed, up, down, "reading from the agent");
            }
            if (quiet_until && !down.empty()) {
                quiet_until = Clock::now() + *ends.linger;
            }
        }
        if ((revents_of(fds, down_in) != 0 || revents_of(fds, down_out) != 0) &&
            drain(&down) == Io::Failed) {
            return finish(RelayEnd::LocalFailed, up, down, "writing the local side");
        }
    }
}
