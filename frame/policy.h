// The access policy: which host ports the controller may reach, which
// controller ports local clients may open links to, and which local users
// or groups may open links at all. Read once at start-up from
// /opt/vorlan/config/cdev-policy.conf; without the file, or without a rule
// in it, everything is allowed as before.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// One rule: ports, or user or group ids, each range inclusive. A rule the
// file does not give restricts nothing; one it gives allows what it lists
// and nothing else (an empty list: nothing).
struct allow_list {
    bool given = false;
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
};

struct access_policy {
    allow_list host_tcp_ports;        // the controller's TCP requests
    allow_list host_udp_ports;        // the controller's datagrams
    allow_list controller_tcp_ports;  // local clients' links
    allow_list controller_udp_ports;  // local clients' one-shot forward requests
    allow_list client_users;          // local clients: one of these users,
    allow_list client_groups;         // or a member of one of these groups
};

// Set at start-up, read-only once the workers run.
extern access_policy g_policy;

// Reads the policy file `path` into *policy (untouched when there is no
// file); false, with *error saying what and where, when it cannot be read
// or a line is malformed. Users and groups are looked up by name now.
bool read_policy(const char *path, access_policy *policy, std::string *error);
// read_policy on /opt/vorlan/config/cdev-policy.conf into g_policy.
bool load_policy(std::string *error);

bool allows(const allow_list &rule, uint32_t value);
// Whether a client's link needs its uid: a user or group rule is given.
bool policy_checks_clients(const access_policy &policy);
// Whether a client whose socket `uid` created may open links: a listed
// user, or a member (primary or supplementary) of a listed group.
bool client_uid_allowed(const access_policy &policy, uid_t uid);

// One rule's refusals, so that a fast repeating refusal does not flood the
// log: the first is logged, then at most one a minute, which tells how many
// went unlogged since the last line.
struct refusal_tally {
    bool logged = false;
    int64_t last_line_ms = 0;
    unsigned long unlogged = 0;
};
// True when the refusal at `now_ms` is to be logged, with *unlogged the
// count of those since the last line; false when it is only counted.
bool refusal_to_log(refusal_tally *tally, int64_t now_ms, unsigned long *unlogged);
