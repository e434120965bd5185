// Status reports. See status_report.h.
#include "frame/status_report.h"

#include <cstdarg>

#include "bounded/securec.h"
#include "common/msg_header.h"

namespace {

constexpr size_t LINE_MAX_LEN = 512;
constexpr int64_t MS_PER_S = 1000;

__attribute__((format(printf, 2, 3))) void appendf(std::string *out, const char *format, ...) {
    char line[LINE_MAX_LEN];
    va_list args;
    va_start(args, format);
    int n = vsprintf_s(line, sizeof(line), format, args);
    va_end(args);
    if (n > 0) {
        out->append(line, static_cast<size_t>(n));
    }
}

std::string hex_id(uint32_t id) {
    std::string text;
    appendf(&text, "0x%08x", link_id_for_log(id));
    return text;
}

unsigned long long ull(uint64_t v) {
    return static_cast<unsigned long long>(v);
}

// "name 1, other 2" from a table of counts and their names.
template <size_t N>
std::string named_counts(const uint64_t (&counts)[N], const char *const (&names)[N]) {
    std::string text;
    for (size_t i = 0; i < N; ++i) {
        appendf(&text, "%s%s %llu", i == 0 ? "" : ", ", names[i], ull(counts[i]));
    }
    return text;
}

std::string json_string(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            appendf(&out, "\\u%04x", c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

template <size_t N>
std::string json_counts(const uint64_t (&counts)[N], const char *const (&names)[N]) {
    std::string text = "{";
    for (size_t i = 0; i < N; ++i) {
        appendf(&text, "%s\"%s\": %llu", i == 0 ? "" : ", ", names[i], ull(counts[i]));
    }
    return text + "}";
}

std::string heartbeat_text(const agent_status &s) {
    if (s.last_heartbeat_s == 0) {
        return "no heartbeat yet";
    }
    return "last heartbeat " + duration_text((s.now_s - s.last_heartbeat_s) * MS_PER_S) + " ago";
}

int links_forwarding(const agent_status &s) {
    int n = 0;
    for (const link_view &l : s.links) {
        n += l.forwarding ? 1 : 0;
    }
    return n;
}

void link_rows(const agent_status &s, std::string *out) {
    if (s.links.empty()) {
        return;
    }
    appendf(out, "  %-10s  %-10s  %-10s  %5s  %-21s  %12s  %12s  %-12s  %s\n", "local", "peer",
            "opener", "port", "address", "to ctrl", "from ctrl", "age", "state");
    for (const link_view &l : s.links) {
        appendf(out, "  %-10s  %-10s  %-10s  %5d  %-21s  %12llu  %12llu  %-12s  %s\n",
                l.forwarding ? hex_id(l.local_link_id).c_str() : "-",
                l.forwarding ? hex_id(l.peer_link_id).c_str() : "-", LINK_OPENER_NAMES[l.opener],
                l.port, l.address.c_str(), ull(l.bytes_to_controller), ull(l.bytes_from_controller),
                duration_text(l.age_ms).c_str(), l.forwarding ? "forwarding" : "handshake");
    }
}

std::string json_link(const link_view &l) {
    std::string text;
    appendf(&text,
            "{\"local_link_id\": \"%s\", \"peer_link_id\": \"%s\", \"opener\": \"%s\", "
            "\"port\": %d, \"address\": %s, \"bytes_to_controller\": %llu, "
            "\"bytes_from_controller\": %llu, \"age_seconds\": %.3f, \"state\": \"%s\"}",
            hex_id(l.local_link_id).c_str(), hex_id(l.peer_link_id).c_str(),
            LINK_OPENER_NAMES[l.opener], l.port, json_string(l.address).c_str(),
            ull(l.bytes_to_controller), ull(l.bytes_from_controller),
            static_cast<double>(l.age_ms) / MS_PER_S, l.forwarding ? "forwarding" : "handshake");
    return text;
}

}  // namespace

std::string duration_text(int64_t ms) {
    int64_t s = ms / MS_PER_S;
    std::string text;
    if (s < 60) {
        appendf(&text, "%lld s", static_cast<long long>(s));
    } else if (s < 3600) {
        appendf(&text, "%lld min %lld s", static_cast<long long>(s / 60),
                static_cast<long long>(s % 60));
    } else if (s < 86400) {
        appendf(&text, "%lld h %lld min", static_cast<long long>(s / 3600),
                static_cast<long long>(s / 60 % 60));
    } else {
        appendf(&text, "%lld d %lld h", static_cast<long long>(s / 86400),
                static_cast<long long>(s / 3600 % 24));
    }
    return text;
}

std::string status_line(const agent_status &s) {
    std::string text;
    appendf(&text, "%d links, device %s", links_forwarding(s), s.device_open ? "open" : "away");
    return text;
}

std::string status_text(const agent_status &s) {
    const counters_view &c = s.counters;
    std::string out;
    appendf(&out, "cdev_agent %s, up %s\n", s.version.c_str(), duration_text(s.uptime_ms).c_str());
    appendf(&out, "device    %s (%s), %s, %llu reopens, %s\n", s.device_path.c_str(), s.device_mode,
            s.device_open ? "open" : "away", ull(s.device_reopens), heartbeat_text(s).c_str());
    appendf(&out, "queue     %d messages, at most %d for one link\n", s.queued_messages,
            s.largest_link_queue);
    appendf(&out, "capture   %s\n", s.capture_active ? "on" : "off");
    appendf(&out, "links     %d forwarding, %zu in handshake\n", links_forwarding(s),
            s.links.size() - static_cast<size_t>(links_forwarding(s)));
    link_rows(s, &out);
    out += "since start\n";
    appendf(&out, "  links opened      %s\n", named_counts(c.opened, LINK_OPENER_NAMES).c_str());
    appendf(&out, "  links refused     %s\n", named_counts(c.refused, LINK_OPENER_NAMES).c_str());
    appendf(&out, "  links timed out   %llu\n", ull(c.timed_out));
    appendf(&out, "  links ended       %s\n", named_counts(c.ended, LINK_END_NAMES).c_str());
    appendf(&out, "  queue dropped     %s\n", named_counts(c.dropped, QUEUE_DROP_NAMES).c_str());
    appendf(&out, "  messages lost     %s\n", named_counts(c.lost, MESSAGE_LOSS_NAMES).c_str());
    appendf(&out, "  bytes             to controller %llu, from controller %llu\n",
            ull(c.bytes_to_controller), ull(c.bytes_from_controller));
    return out;
}

std::string status_json(const agent_status &s) {
    const counters_view &c = s.counters;
    std::string out = "{";
    appendf(&out, "\"version\": %s, \"uptime_seconds\": %.3f, ", json_string(s.version).c_str(),
            static_cast<double>(s.uptime_ms) / MS_PER_S);
    appendf(&out,
            "\"device\": {\"path\": %s, \"mode\": \"%s\", \"open\": %s, \"reopens\": %llu, "
            "\"last_heartbeat\": %lld}, ",
            json_string(s.device_path).c_str(), s.device_mode, s.device_open ? "true" : "false",
            ull(s.device_reopens), static_cast<long long>(s.last_heartbeat_s));
    appendf(&out, "\"queue\": {\"messages\": %d, \"largest_link\": %d}, ", s.queued_messages,
            s.largest_link_queue);
    appendf(&out, "\"capture\": %s, \"links\": [", s.capture_active ? "true" : "false");
    for (size_t i = 0; i < s.links.size(); ++i) {
        out += (i == 0 ? "" : ", ") + json_link(s.links[i]);
    }
    out += "], \"counters\": {";
    appendf(&out, "\"links_opened\": %s, ", json_counts(c.opened, LINK_OPENER_NAMES).c_str());
    appendf(&out, "\"links_refused\": %s, ", json_counts(c.refused, LINK_OPENER_NAMES).c_str());
    appendf(&out, "\"links_timed_out\": %llu, ", ull(c.timed_out));
    appendf(&out, "\"links_ended\": %s, ", json_counts(c.ended, LINK_END_NAMES).c_str());
    appendf(&out, "\"links_dropped\": %s, ", json_counts(c.dropped, QUEUE_DROP_NAMES).c_str());
    appendf(&out, "\"messages_lost\": %s, ", json_counts(c.lost, MESSAGE_LOSS_NAMES).c_str());
    appendf(&out, "\"bytes_to_controller\": %llu, \"bytes_from_controller\": %llu}}\n",
            ull(c.bytes_to_controller), ull(c.bytes_from_controller));
    return out;
}
