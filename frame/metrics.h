// The status's numbers in the Prometheus text format, for node_exporter's
// textfile collector. The file is written whole beside its final name, then
// renamed over it, so the collector never reads half of one.
#pragma once

#include <string>

#include "frame/agent_status.h"

// How often the agent rewrites the file, by default, in seconds.
constexpr int METRICS_INTERVAL_S = 10;

std::string metrics_text(const agent_status &s);
// Replaces `path` with `text` (mode 0644, for the collector's account).
// False, with *error telling why, when it could not.
bool write_metrics_file(const std::string &path, const std::string &text, std::string *error);
