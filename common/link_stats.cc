// The agent's link and message tallies. See link_stats.h.
#include "common/link_stats.h"

link_counters g_link_counters{};
