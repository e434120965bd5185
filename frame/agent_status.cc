// The agent's status snapshot. See agent_status.h.
#include "frame/agent_status.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <ctime>

#include "common/conn_node.h"
#include "common/progress.h"
#include "frame/util.h"
#include "link/recv_queue.h"
#include "transport/capture.h"
#include "transport/device.h"

namespace {

std::string g_version;
int64_t g_started_ms = 0;
int64_t g_started_s = 0;

std::string peer_address(int fd) {
    sockaddr_in peer{};
    socklen_t len = sizeof(peer);
    char text[INET_ADDRSTRLEN] = "";
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &len) != 0 ||
        peer.sin_family != AF_INET ||
        inet_ntop(AF_INET, &peer.sin_addr, text, sizeof(text)) == nullptr) {
        return "-";
    }
    return std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
}

// Nodes stay on a list, their socket open, while its read lock is held; the
// fields read here are set before a node goes on the list, or atomic.
void add_links(conn_list *list, bool forwarding, status_detail detail, int64_t now_ms,
               std::vector<link_view> *out) {
    pthread_rwlock_rdlock(&list->rwlock);
    for (const conn_node *n = list->head; n != nullptr; n = n->next) {
        link_view v;
        v.forwarding = forwarding;
        v.opener = n->opener;
        if (detail == status_detail::ADDRESSES) {
            v.address = peer_address(n->fd);
        }
        if (forwarding) {
            v.local_link_id = n->close_header.local_link_id;
            v.peer_link_id = n->close_header.peer_link_id;
            v.port = ntohs(n->close_header.port);
            v.bytes_to_controller = n->bytes_to_controller.load(std::memory_order_relaxed);
            v.bytes_from_controller = n->bytes_from_controller.load(std::memory_order_relaxed);
            v.age_ms = now_ms - n->forwarding_since_ms;
        } else {
            v.age_ms = n->accepted_ms != 0 ? now_ms - n->accepted_ms : 0;
        }
        out->push_back(v);
    }
    pthread_rwlock_unlock(&list->rwlock);
}

template <size_t N>
void copy_tallies(const std::atomic<uint64_t> (&from)[N], uint64_t (&to)[N]) {
    for (size_t i = 0; i < N; ++i) {
        to[i] = tally_of(from[i]);
    }
}

counters_view counters_now() {
    const link_counters &c = g_link_counters;
    counters_view v;
    copy_tallies(c.opened, v.opened);
    copy_tallies(c.refused, v.refused);
    v.timed_out = tally_of(c.timed_out);
    copy_tallies(c.ended, v.ended);
    copy_tallies(c.dropped, v.dropped);
    copy_tallies(c.lost, v.lost);
    v.bytes_to_controller = tally_of(c.bytes_to_controller);
    v.bytes_from_controller = tally_of(c.bytes_from_controller);
    return v;
}

}  // namespace

void status_mark_start(const char *version) {
    g_version = version;
    g_started_ms = monotonic_ms();
    g_started_s = time(nullptr);
}

agent_status collect_status(status_detail detail) {
    agent_status s;
    int64_t now_ms = monotonic_ms();
    s.version = g_version;
    s.started_s = g_started_s;
    s.now_s = time(nullptr);
    s.uptime_ms = now_ms - g_started_ms;
    bool net_cdev = g_connect_mode == CONNECT_MODE_NET_CDEV;
    s.device_path = net_cdev ? NET_CDEV_PATH : USB_CDEV_PATH;
    s.device_mode = net_cdev ? "net_cdev" : "usb";
    s.device_open = g_cdev_fd.load() >= 0;
    // Every reopen moves the generation twice.
    s.device_reopens = g_cdev_generation.load() / 2;
    s.last_heartbeat_s = g_progress.heartbeat_sent_s.load(std::memory_order_relaxed);
    queue_sizes q = queue_holdings();
    s.queued_messages = q.messages;
    s.largest_link_queue = q.largest_link;
    s.capture_active = capture_active();
    add_links(&g_forward_list, true, detail, now_ms, &s.links);
    add_links(&g_request_list, false, detail, now_ms, &s.links);
    s.counters = counters_now();
    return s;
}
