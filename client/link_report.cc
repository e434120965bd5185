// Formatting the per-link line.
#include "client/link_report.h"

#include <cinttypes>
#include <cstdio>

#include "common/msg_header.h"

std::string format_report(const LinkReport &r) {
    char ids[32] = "";
    if (r.has_ids) {
        snprintf(ids, sizeof(ids), " 0x%08x/0x%08x", link_id_for_log(r.local_id),
                 link_id_for_log(r.peer_id));
    }
    char agent[32] = "";
    if (r.agent_port != 0) {
        snprintf(agent, sizeof(agent), " via agent port %u", r.agent_port);
    }
    // A link that never carried anything has no counts worth showing.
    char counts[96] = "";
    if (r.has_ids || r.bytes_out != 0 || r.bytes_in != 0) {
        snprintf(counts, sizeof(counts), "%" PRIu64 " bytes out, %" PRIu64 " bytes in, ",
                 r.bytes_out, r.bytes_in);
    }
    return std::string(r.kind) + ids + " " + r.from + " -> controller port " +
           std::to_string(r.controller_port) + agent + ": " + counts + r.end;
}

void print_report(const LinkReport &r, bool failed, bool verbose) {
    if (failed || verbose) {
        print_note(format_report(r));
    }
}

void print_note(const std::string &text) {
    std::string line = "cdev-connect: " + text + "\n";
    fputs(line.c_str(), stderr);
}
