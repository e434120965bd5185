// The exit statuses of cdev-connect, one per way a run can end; listed in
// its --help text and manual page.
#pragma once

constexpr int STATUS_OK = 0;         // the link ended normally, or a listener was stopped
constexpr int STATUS_IO_ERROR = 1;   // a link or a local socket failed
constexpr int STATUS_USAGE = 2;      // bad command line or CDEV_AGENT_PORT
constexpr int STATUS_NO_AGENT = 3;   // nothing accepts connections on the agent's port
constexpr int STATUS_REFUSED = 4;    // the controller refused the link
constexpr int STATUS_NO_ANSWER = 5;  // no answer in time
