// The relay loop. Each direction reads only into an empty buffer and writes
// what it read at once, waiting for POLLOUT only when the receiver is full.
#include "client/relay.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t BUFFER_SIZE = 256 * 1024;

struct Direction {
    int from = -1;
    int to = -1;
    std::vector<uint8_t> buf = std::vector<uint8_t>(BUFFER_SIZE);
    size_t start = 0;
    size_t end = 0;
    bool eof = false;
    uint64_t bytes = 0;
    bool empty() const { return start == end; }
};

enum class Io { Done, Failed };

// One read into the empty buffer; a reset counts as the end of the stream
// when reset_is_eof.
Io fill(Direction *d, bool reset_is_eof) {
    ssize_t n = read(d->from, d->buf.data(), d->buf.size());
    if (n > 0) {
        d->start = 0;
        d->end = static_cast<size_t>(n);
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
        ssize_t n = write(d->to, d->buf.data() + d->start, d->end - d->start);
        if (n < 0) {
            return errno == EAGAIN || errno == EINTR ? Io::Done : Io::Failed;
        }
        d->start += static_cast<size_t>(n);
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
    Direction up, down;
    up.from = ends.local_in;
    up.to = ends.link;
    down.from = ends.link;
    down.to = ends.local_out;
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
