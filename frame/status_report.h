// The status snapshot as text: a report for people, JSON for programs, and
// the one line the service manager shows.
#pragma once

#include <string>

#include "frame/agent_status.h"

std::string status_text(const agent_status &s);
std::string status_json(const agent_status &s);
// "2 links, device open" and the like.
std::string status_line(const agent_status &s);
// "3 s", "2 min 5 s", "1 h 2 min", "4 d 3 h".
std::string duration_text(int64_t ms);
