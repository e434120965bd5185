// Notifications to the service manager. See service_notify.h.
#include "frame/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int64_t US_PER_MS = 1000;

}  // namespace

bool notify_service(const std::string &message) {
    const char *name = getenv("NOTIFY_SOCKET");
    if (name == nullptr || (name[0] != '/' && name[0] != '@')) {
        return false;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    size_t len = strlen(name);
    if (len >= sizeof(addr.sun_path)) {
        return false;
    }
    memcpy(addr.sun_path, name, len);
    if (name[0] == '@') {
        addr.sun_path[0] = '\0';
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    socklen_t addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
    ssize_t sent = sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr *>(&addr), addr_len);
    close(fd);
    return sent == static_cast<ssize_t>(message.size());
}

int64_t watchdog_interval_ms() {
    const char *pid = getenv("WATCHDOG_PID");
    if (pid != nullptr && strtol(pid, nullptr, 10) != getpid()) {
        return 0;
    }
    const char *usec = getenv("WATCHDOG_USEC");
    if (usec == nullptr) {
        return 0;
    }
    char *end = nullptr;
    long long value = strtoll(usec, &end, 10);
    return end != usec && *end == '\0' && value > 0 ? value / US_PER_MS : 0;
}
