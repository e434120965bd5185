// The service thread. See service_thread.h.
#include "frame/service_thread.h"

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "frame/agent_status.h"
#include "frame/log.h"
#include "frame/metrics.h"
#include "frame/service_notify.h"
#include "frame/status_report.h"
#include "frame/status_socket.h"
#include "frame/util.h"
#include "frame/watchdog.h"

namespace {

constexpr int64_t MS_PER_S = 1000;
// How often the service manager's status line is brought up to date.
constexpr int64_t STATUS_LINE_INTERVAL_MS = 1000;
// The watchdog is fed no more often than this, whatever the manager asks.
constexpr int64_t WATCHDOG_FEED_MIN_MS = 100;

service_settings g_settings;
// Set once g_settings holds the agent's: a stop may come at any time.
std::atomic<bool> g_settings_set{false};
// Held while the metrics file is written, so that a stop removes it after
// the last write, never before.
std::mutex g_files_mutex;
bool g_files_removed = false;

struct service_state {
    int64_t next_metrics_ms = 0;
    int64_t next_watchdog_ms = 0;
    int64_t next_status_ms = 0;
    int64_t watchdog_ms = 0;  // the manager's interval; 0: no watchdog
    std::string status_line;
    const char *stalled = nullptr;
    bool metrics_failing = false;
};

void refresh_metrics(service_state *st, const agent_status &s) {
    std::lock_guard lock(g_files_mutex);
    if (g_files_removed) {
        return;
    }
    std::string error;
    bool ok = write_metrics_file(g_settings.metrics_path, metrics_text(s), &error);
    if (!ok && !st->metrics_failing) {
        LOG_AS("service_thread", LOG_ERROR, "Failed to write metrics to %s\n", error.c_str());
    } else if (ok && st->metrics_failing) {
        LOG_AS("service_thread", LOG_ERROR, "Metrics written to %s again\n",
               g_settings.metrics_path.c_str());
    }
    st->metrics_failing = !ok;
}

// The watchdog is fed at twice the rate the manager asks for, and only while
// every thread that matters makes progress.
void tend_watchdog(service_state *st, int64_t now) {
    const char *stalled = watchdog_turn(now);
    if (stalled != nullptr && st->stalled == nullptr) {
        LOG_AS("service_thread", LOG_ERROR, "Watchdog not fed: the %s makes no progress\n",
               stalled);
    } else if (stalled == nullptr && st->stalled != nullptr) {
        LOG_AS("service_thread", LOG_ERROR, "Watchdog fed again: the %s makes progress\n",
               st->stalled);
    }
    st->stalled = stalled;
    if (stalled == nullptr) {
        notify_service("WATCHDOG=1");
    }
}

void tend_status_line(service_state *st, const agent_status &s) {
    std::string line = status_line(s);
    if (st->stalled != nullptr) {
        line += std::string(", the ") + st->stalled + " makes no progress";
    }
    if (line != st->status_line) {
        st->status_line = line;
        notify_service("STATUS=" + line);
    }
}

// Does what is due at `now`; returns how long to sleep.
int64_t run_due(service_state *st, int64_t now) {
    if (st->watchdog_ms > 0 && now >= st->next_watchdog_ms) {
        tend_watchdog(st, now);
        st->next_watchdog_ms = now + std::max(st->watchdog_ms / 2, WATCHDOG_FEED_MIN_MS);
    }
    bool metrics_due = !g_settings.metrics_path.empty() && now >= st->next_metrics_ms;
    if (metrics_due || now >= st->next_status_ms) {
        agent_status s = collect_status(status_detail::COUNTS);
        if (metrics_due) {
            refresh_metrics(st, s);
            st->next_metrics_ms = now + g_settings.metrics_interval_s * MS_PER_S;
        }
        if (now >= st->next_status_ms) {
            tend_status_line(st, s);
            st->next_status_ms = now + STATUS_LINE_INTERVAL_MS;
        }
    }
    int64_t next = st->next_status_ms;
    if (st->watchdog_ms > 0) {
        next = std::min(next, st->next_watchdog_ms);
    }
    if (!g_settings.metrics_path.empty()) {
        next = std::min(next, st->next_metrics_ms);
    }
    return std::max<int64_t>(0, next - now);
}

void *service_thread(void *) {
    pthread_detach(pthread_self());
    service_state st;
    st.watchdog_ms = watchdog_interval_ms();
    pollfd status = {g_settings.status_fd, POLLIN, 0};
    for (;;) {
        int64_t wait_ms = run_due(&st, monotonic_ms());
        if (poll(&status, status.fd >= 0 ? 1 : 0, static_cast<int>(wait_ms)) > 0) {
            serve_status_client(status.fd);
        }
    }
    return nullptr;
}

}  // namespace

bool start_service_thread(const service_settings &settings) {
    g_settings = settings;
    g_settings_set = true;
    pthread_t tid;
    int rc = pthread_create(&tid, nullptr, service_thread, nullptr);
    if (rc != 0) {
        LOG(LOG_ERROR, "Failed to create the service thread, error code: %d\n", rc);
        return false;
    }
    LOG(LOG_INFO, "Service thread id: %lu.\n", static_cast<unsigned long>(tid));
    return true;
}

void remove_service_files() {
    if (!g_settings_set) {
        return;
    }
    std::lock_guard lock(g_files_mutex);
    g_files_removed = true;
    if (!g_settings.metrics_path.empty()) {
        unlink(g_settings.metrics_path.c_str());
    }
    if (g_settings.status_fd >= 0) {
        unlink(g_settings.status_path.c_str());
    }
}

void notify_ready() {
    notify_service("READY=1\nSTATUS=" + status_line(collect_status(status_detail::COUNTS)));
}
