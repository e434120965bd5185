// Helpers for the link and transport tests: log levels, io vector bytes.
#pragma once

#include <stdlib.h>

#include <functional>
#include <string>

#include "common/iov.h"
#include "frame/log.h"
#include "tests/test_support.h"

namespace test_support {

// Opens the log again, leaving out the lines below `level`.
inline void log_at(int level) {
    close_log();
    unsetenv("DEBUG_NETWORK");
    init_log(level);
}

// The highest level at which `act` still writes `line` (-1: none); left at 0.
inline int level_of(const std::string &line, const std::function<void()> &act) {
    int found = -1;
    for (int level = 2; level >= 0 && found < 0; --level) {
        log_at(level);
        size_t start = log_text().size();
        act();
        found = count_of(log_text().substr(start), line) > 0 ? level : -1;
    }
    log_at(0);
    return found;
}

// The bytes of the vector's filled slices, in order.
inline std::string as_string(const common_io_buf *v) {
    std::vector<uint8_t> b = gathered(v);
    return {b.begin(), b.end()};
}

}  // namespace test_support
