// The agent's options. See options.h.
#include "frame/options.h"

#include <cstring>

#include "frame/util.h"

namespace {

constexpr uint64_t CAPTURE_SIZE_UNIT = 1000000;  // as tcpdump's -C
constexpr int CAPTURE_SIZE_MAX = 1000000;
constexpr int CAPTURE_FILES_MAX = 1000000;
constexpr int METRICS_INTERVAL_MAX = 3600;

struct option_row {
    const char *name;
    const char *valid;  // what a valid value is, for the error line
    bool (*take)(const char *value, agent_options *o);
};

constexpr option_row OPTIONS[] = {
    {"--capture", "a file name",
     [](const char *v, agent_options *o) {
         o->capture_path = v;
         return *v != '\0';
     }},
    {"--capture-size", "a whole number of millions of bytes, 1 to 1000000",
     [](const char *v, agent_options *o) {
         o->capture_size = parse_int_in_range(v, 1, CAPTURE_SIZE_MAX, 0) * CAPTURE_SIZE_UNIT;
         return o->capture_size > 0;
     }},
    {"--capture-files", "a whole number of files, 1 to 1000000",
     [](const char *v, agent_options *o) {
         return (o->capture_files = parse_int_in_range(v, 1, CAPTURE_FILES_MAX, 0)) > 0;
     }},
    {"--status-socket", "a socket path",
     [](const char *v, agent_options *o) {
         o->status_socket = v;
         return *v != '\0';
     }},
    {"--metrics", "a file name",
     [](const char *v, agent_options *o) {
         o->metrics_path = v;
         return *v != '\0';
     }},
    {"--metrics-interval", "a whole number of seconds, 1 to 3600",
     [](const char *v, agent_options *o) {
         return (o->metrics_interval_s = parse_int_in_range(v, 1, METRICS_INTERVAL_MAX, 0)) > 0;
     }},
};

const option_row *find_option(const char *name) {
    for (const option_row &row : OPTIONS) {
        if (strcmp(row.name, name) == 0) {
            return &row;
        }
    }
    return nullptr;
}

const char *conflict(const agent_options &o) {
    if (o.capture_path == nullptr && (o.capture_size > 0 || o.capture_files > 0)) {
        return "'--capture-size' and '--capture-files' need '--capture'.\n";
    }
    if (o.capture_files > 0 && o.capture_size == 0) {
        return "'--capture-files' needs '--capture-size'.\n";
    }
    if (o.metrics_path == nullptr && o.metrics_interval_s > 0) {
        return "'--metrics-interval' needs '--metrics'.\n";
    }
    return nullptr;
}

}  // namespace

int parse_options(int argc, char **argv, agent_options *options, std::string *error) {
    int at = 1;
    for (; at < argc && strncmp(argv[at], "--", 2) == 0; at += 2) {
        const option_row *row = find_option(argv[at]);
        if (row == nullptr) {
            *error = std::string("Unknown option '") + argv[at] + "'.\n";
            return -1;
        }
        if (at + 1 >= argc) {
            *error = std::string("'") + row->name + "' needs a value: " + row->valid + ".\n";
            return -1;
        }
        if (!row->take(argv[at + 1], options)) {
            *error = std::string("'") + row->name + "' is invalid: '" + argv[at + 1] + "' is not " +
                     row->valid + ".\n";
            return -1;
        }
    }
    if (const char *why = conflict(*options)) {
        *error = why;
        return -1;
    }
    return at - 1;
}
