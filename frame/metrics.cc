// Metrics in the Prometheus text format. See metrics.h.
#include "frame/metrics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr mode_t METRICS_FILE_MODE = 0644;

struct family {
    const char *name;
    const char *type;  // "counter" or "gauge"
    const char *help;
};

void head(std::string *out, const family &f) {
    *out +=
        std::string("# HELP ") + f.name + " " + f.help + "\n# TYPE " + f.name + " " + f.type + "\n";
}

void sample(std::string *out, const char *name, const std::string &labels, int64_t value) {
    *out += std::string(name) + (labels.empty() ? "" : "{" + labels + "}") + " " +
            std::to_string(value) + "\n";
}

void single(std::string *out, const family &f, int64_t value) {
    head(out, f);
    sample(out, f.name, "", value);
}

// One sample per named count, labelled `label`="<name>".
template <size_t N>
void labelled(std::string *out, const family &f, const char *label, const uint64_t (&counts)[N],
              const char *const (&names)[N]) {
    head(out, f);
    for (size_t i = 0; i < N; ++i) {
        sample(out, f.name, std::string(label) + "=\"" + names[i] + "\"",
               static_cast<int64_t>(counts[i]));
    }
}

// Label values are quoted, so \, " and new lines are escaped.
std::string label_value(const std::string &v) {
    std::string out;
    for (char c : v) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string metrics_text(const agent_status &s) {
    const counters_view &c = s.counters;
    std::string out;
    head(&out, {"cdev_agent_info", "gauge", "The agent's version and device, always 1."});
    sample(
        &out, "cdev_agent_info",
        "version=\"" + label_value(s.version) + "\",device=\"" + label_value(s.device_path) + "\"",
        1);
    single(&out, {"cdev_agent_start_time_seconds", "gauge", "When the agent started, Unix time."},
           static_cast<int64_t>(s.started_s));
    single(&out,
           {"cdev_device_open", "gauge", "1 while the character device is open, 0 while away."},
           s.device_open ? 1 : 0);
    single(&out, {"cdev_device_reopens_total", "counter", "Reopens of the character device."},
           static_cast<int64_t>(s.device_reopens));
    single(&out,
           {"cdev_heartbeat_last_sent_timestamp_seconds", "gauge",
            "When the device last took a heartbeat, Unix time; 0 before the first."},
           static_cast<int64_t>(s.last_heartbeat_s));
    single(&out, {"cdev_receive_queue_messages", "gauge", "Messages waiting in the receive queue."},
           s.queued_messages);
    single(&out,
           {"cdev_receive_queue_largest_link_messages", "gauge",
            "The most messages one link holds in the receive queue."},
           s.largest_link_queue);
    single(&out, {"cdev_capture_active", "gauge", "1 while a capture runs."},
           s.capture_active ? 1 : 0);
    uint64_t open[LINK_OPENERS] = {};
    for (const link_view &l : s.links) {
        open[l.opener] += l.forwarding ? 1 : 0;
    }
    labelled(&out, {"cdev_links", "gauge", "Links forwarding now, by who opened them."}, "opener",
             open, LINK_OPENER_NAMES);
    labelled(&out, {"cdev_links_opened_total", "counter", "Links established, by who opened them."},
             "opener", c.opened, LINK_OPENER_NAMES);
    labelled(&out,
             {"cdev_links_refused_total", "counter",
              "Link requests refused: a client's by the controller or the access policy, the "
              "controller's here (no service, or the access policy)."},
             "opener", c.refused, LINK_OPENER_NAMES);
    single(&out,
           {"cdev_links_timed_out_total", "counter",
            "Client link requests the controller did not answer in time."},
           static_cast<int64_t>(c.timed_out));
    labelled(&out, {"cdev_links_ended_total", "counter", "Established links ended, by cause."},
             "cause", c.ended, LINK_END_NAMES);
    labelled(&out,
             {"cdev_links_dropped_total", "counter", "Links the receive queue ended, by cause."},
             "cause", c.dropped, QUEUE_DROP_NAMES);
    labelled(&out,
             {"cdev_messages_lost_total", "counter",
              "Messages from the controller that reached no link, by cause."},
             "cause", c.lost, MESSAGE_LOSS_NAMES);
    const uint64_t bytes[] = {c.bytes_to_controller, c.bytes_from_controller};
    constexpr const char *directions[] = {"to_controller", "from_controller"};
    labelled(&out,
             {"cdev_link_bytes_total", "counter", "Payload bytes carried by links, each way."},
             "direction", bytes, directions);
    return out;
}

bool write_metrics_file(const std::string &path, const std::string &text, std::string *error) {
    const std::string temp = path + ".tmp";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, METRICS_FILE_MODE);
    if (fd < 0) {
        *error = temp + ": " + strerror(errno);
        return false;
    }
    // The service's umask would keep the collector out.
    fchmod(fd, METRICS_FILE_MODE);
    ssize_t written = write(fd, text.data(), text.size());
    int write_errno = errno;
    if (close(fd) != 0 || written != static_cast<ssize_t>(text.size())) {
        *error = temp + ": " + strerror(written < 0 ? write_errno : EIO);
        unlink(temp.c_str());
        return false;
    }
    if (rename(temp.c_str(), path.c_str()) != 0) {
        *error = path + ": " + strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}
