// The line a link or one-shot request leaves on standard error when it ends:
// always when it failed, and for every one with -v. Link ids are printed as
// the agent logs them, byte-swapped, local/peer.
#pragma once

#include <cstdint>
#include <string>

struct LinkReport {
    const char *kind = "link";  // "link", or "request" for a one-shot request
    std::string from;           // "stdio", or the local client's address
    uint16_t controller_port = 0;
    uint16_t agent_port = 0;  // 0: no agent reached
    bool has_ids = false;
    uint32_t local_id = 0;  // as stored in the header
    uint32_t peer_id = 0;
    uint64_t bytes_out = 0;  // to the controller
    uint64_t bytes_in = 0;   // from the controller
    std::string end;         // how it ended
};

// The line without the program name in front.
std::string format_report(const LinkReport &r);
// Writes the line, program name first, in one piece, so lines of concurrent links do not mix.
void print_report(const LinkReport &r, bool failed, bool verbose);
// A line of its own: "cdev-connect: <text>".
void print_note(const std::string &text);
