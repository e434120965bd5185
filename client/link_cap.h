// The cap on a listener's links (-L) or requests (-U) in flight: past it new
// clients are refused, with one line when the cap is reached and one that
// counts the refused once there is room again, not a line per client.
#pragma once

#include <cstddef>
#include <cstdint>

struct LinkCap {
    size_t limit = 0;
    const char *links = nullptr;    // what is capped: "links" or "requests"
    const char *refusal = nullptr;  // what happens past it: "refused" or "dropped"
    const char *clients = nullptr;  // to what: "clients" or "datagrams"
    uint64_t refused = 0;           // since the cap was reached
};

// True when one more may start beside `running`; otherwise counts the
// refusal, with a line for the first.
bool admit(LinkCap *cap, size_t running);
// Once below the cap after refusals: the line that counts them.
void note_room(LinkCap *cap, size_t running);
