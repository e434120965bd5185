// The exit statuses of cdev-connect, one per way a run can end; listed in
// its --help text and manual page.
#pragma once

constexpr int STATUS_OK = 0;        // the link ended normally, or a listener was stopped
constexpr int STATUS_IO_ERROR = 1;  // a local socket failed, or the link was cut
constexpr int STATUS_USAGE = 2;     // bad command line or environment
constexpr int STATUS_NO_AGENT = 3;  // no agent of root or the agent's account reachable
constexpr int STATUS_REFUSED = 4;   // the controller refused the link
constexpr int STATUS_NO_ANSWER =
    5;  // no answer: in time, or none reached (device or controller away)
