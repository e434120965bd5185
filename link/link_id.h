// Link ids: the agent's half of every link's id pair, issued from one counter,
// never 0, never one an established link holds, and only after every message
// still queued under the value has been discarded.
#pragma once

#include <cstdint>

constexpr uint32_t LINK_ID_COUNTER_START = 0x00DB0700;

uint32_t cdev_generate_link_id();
int check_link_id_in_forward_list(uint32_t id);
void cdev_flush_old_link_msg(uint32_t id);
// Test seam: sets the last issued id.
void set_link_id_counter(uint32_t value);
