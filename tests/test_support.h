// Helpers shared by the unit tests: a scratch directory holding log/ with
// the process log in it, reading and marking the log text, and loopback
// sockets.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace test_support {

// Occurrences of `what` in `text`.
size_t count_of(const std::string &text, const std::string &what);

// The text of every file under log/ in the working directory.
std::string log_text();

// Once per process: a fresh working directory holding log/, DEBUG_NETWORK set
// (every level on) and the log opened. Later calls do nothing.
void open_process_log();

// The log written since the mark was made (opens the process log first).
class log_mark {
  public:
    log_mark();
    std::string text() const;
    size_t count(const std::string &what) const { return count_of(text(), what); }

  private:
    size_t start_;
};

// For one test: a fresh working directory holding log/, removed afterwards.
class scratch_dir {
  public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;

    const std::filesystem::path &path() const { return dir_; }
    std::string text() const { return log_text(); }

  private:
    std::filesystem::path old_cwd_;
    std::filesystem::path dir_;
};

// A scratch directory with the log open at every level, closed afterwards.
class scratch_log : public scratch_dir {
  public:
    scratch_log();
    ~scratch_log();
};

// Polls `cond` every 2 ms until it holds or the time is up.
bool wait_until(const std::function<bool()> &cond, int timeout_ms = 3000);

// A socket bound to 127.0.0.1 on a free port (host order in *port);
// listening when it is TCP.
int bound_socket(int type, uint16_t *port);

// A port on 127.0.0.1 with nothing behind it, host order.
uint16_t unused_port(int type);

// A connected loopback TCP pair: {client, accepted side}.
std::pair<int, int> tcp_pair();

// The bytes of a common_io_buf's filled entries, in order.
template <typename Buf>
std::vector<uint8_t> gathered(const Buf *v) {
    std::vector<uint8_t> all;
    for (uint64_t i = 0; i < v->iov_cnt; i++) {
        auto *base = static_cast<const uint8_t *>(v->iov[i].iov_base);
        all.insert(all.end(), base, base + v->iov[i].iov_len);
    }
    return all;
}

}  // namespace test_support
