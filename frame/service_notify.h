// The service manager's notification protocol (sd_notify(3)): datagrams of
// "KEY=VALUE" lines sent to the socket that NOTIFY_SOCKET names (a path, or
// an abstract name after '@'). Nothing is sent when it is unset, so the
// agent run by hand or by another manager is not affected.
#pragma once

#include <cstdint>
#include <string>

// Sends one message, e.g. "READY=1\nSTATUS=0 links, device open". False
// when there is no manager to tell or the message did not go.
bool notify_service(const std::string &message);
// The watchdog interval the manager asked for (WATCHDOG_USEC, for this
// process when WATCHDOG_PID is set), in milliseconds; 0: no watchdog.
int64_t watchdog_interval_ms();
