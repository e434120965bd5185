// Reading the access policy and the checks of its rules. See policy.h.
#include "frame/policy.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

access_policy g_policy;

namespace {

constexpr char POLICY_PATH[] = "/opt/vorlan/config/cdev-policy.conf";
constexpr uint32_t PORT_MAX = 65535;
constexpr int64_t REFUSAL_LINE_MS = 60 * 1000;
constexpr char BLANKS[] = " \t\r";
constexpr char SEPARATORS[] = " \t\r,";
constexpr size_t PASSWD_BUF_LEN = 16384;

enum class item_kind { PORT, USER, GROUP };

struct rule_key {
    const char *name;
    allow_list access_policy::*rule;
    item_kind kind;
};

constexpr rule_key RULE_KEYS[] = {
    {"host_tcp_ports", &access_policy::host_tcp_ports, item_kind::PORT},
    {"host_udp_ports", &access_policy::host_udp_ports, item_kind::PORT},
    {"controller_tcp_ports", &access_policy::controller_tcp_ports, item_kind::PORT},
    {"controller_udp_ports", &access_policy::controller_udp_ports, item_kind::PORT},
    {"client_users", &access_policy::client_users, item_kind::USER},
    {"client_groups", &access_policy::client_groups, item_kind::GROUP},
};

std::string trimmed(const std::string &text) {
    size_t first = text.find_first_not_of(BLANKS);
    return first == std::string::npos
               ? ""
               : text.substr(first, text.find_last_not_of(BLANKS) - first + 1);
}

// Decimal digits only, 1 to 65535.
bool parse_port(const std::string &text, uint32_t *port) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *port = static_cast<uint32_t>(std::stoul(text));
    return *port >= 1 && *port <= PORT_MAX;
}

// A port "N" or a range "N-M" with N <= M.
bool parse_port_range(const std::string &item, std::pair<uint32_t, uint32_t> *range) {
    size_t dash = item.find('-');
    std::string last = dash == std::string::npos ? item : item.substr(dash + 1);
    return parse_port(item.substr(0, dash), &range->first) && parse_port(last, &range->second) &&
           range->first <= range->second;
}

bool parse_item(item_kind kind, const std::string &item, std::pair<uint32_t, uint32_t> *range,
                std::string *error) {
    if (kind == item_kind::PORT) {
        if (parse_port_range(item, range)) {
            return true;
        }
        *error = "'" + item + "' is not a port (1 to 65535) nor a range of ports such as 8000-8080";
        return false;
    }
    // At start-up, before any thread: the non-reentrant lookups are safe.
    if (kind == item_kind::USER) {
        const passwd *pw = getpwnam(item.c_str());
        if (pw == nullptr) {
            *error = "no user '" + item + "'";
            return false;
        }
        *range = {pw->pw_uid, pw->pw_uid};
        return true;
    }
    const group *gr = getgrnam(item.c_str());
    if (gr == nullptr) {
        *error = "no group '" + item + "'";
        return false;
    }
    *range = {gr->gr_gid, gr->gr_gid};
    return true;
}

// "key = items": items separated by blanks or commas. Blank lines and lines
// whose first non-blank character is '#' say nothing.
bool parse_line(const std::string &line, access_policy *policy, std::string *error) {
    std::string text = trimmed(line);
    if (text.empty() || text[0] == '#') {
        return true;
    }
    size_t eq = text.find('=');
    if (eq == std::string::npos) {
        *error = "no '=' in '" + text + "'";
        return false;
    }
    std::string key = trimmed(text.substr(0, eq));
    const rule_key *found = std::find_if(std::begin(RULE_KEYS), std::end(RULE_KEYS),
                                         [&](const rule_key &k) { return key == k.name; });
    if (found == std::end(RULE_KEYS)) {
        *error = "unknown rule '" + key + "'";
        return false;
    }
    allow_list &rule = policy->*(found->rule);
    if (rule.given) {
        *error = "'" + key + "' given twice";
        return false;
    }
    rule.given = true;
    const std::string items = text.substr(eq + 1);
    size_t at = items.find_first_not_of(SEPARATORS);
    while (at != std::string::npos) {
        size_t end = items.find_first_of(SEPARATORS, at);
        std::pair<uint32_t, uint32_t> range;
        if (!parse_item(found->kind, items.substr(at, end - at), &range, error)) {
            return false;
        }
        rule.ranges.push_back(range);
        at = items.find_first_not_of(SEPARATORS, end);
    }
    return true;
}

}  // namespace

bool read_policy(const char *path, access_policy *policy, std::string *error) {
    struct stat st;
    if (lstat(path, &st) != 0 && errno == ENOENT) {
        return true;
    }
    std::ifstream file;
    if (stat(path, &st) == 0 && S_ISREG(st.st_mode)) {
        file.open(path);
    }
    if (!file.is_open()) {
        *error = std::string(path) + ": not a readable file";
        return false;
    }
    access_policy read;
    std::string line, why;
    for (int number = 1; std::getline(file, line); ++number) {
        if (!parse_line(line, &read, &why)) {
            *error = std::string(path) + ", line " + std::to_string(number) + ": " + why;
            return false;
        }
    }
    if (file.bad()) {
        *error = std::string(path) + ": " + strerror(errno);
        return false;
    }
    *policy = read;
    return true;
}

bool load_policy(std::string *error) {
    return read_policy(POLICY_PATH, &g_policy, error);
}

bool allows(const allow_list &rule, uint32_t value) {
    return !rule.given || std::any_of(rule.ranges.begin(), rule.ranges.end(), [&](const auto &r) {
        return r.first <= value && value <= r.second;
    });
}

bool policy_checks_clients(const access_policy &policy) {
    return policy.client_users.given || policy.client_groups.given;
}

bool client_uid_allowed(const access_policy &policy, uid_t uid) {
    if (!policy_checks_clients(policy) ||
        (policy.client_users.given && allows(policy.client_users, uid))) {
        return true;
    }
    if (!policy.client_groups.given) {
        return false;
    }
    passwd pw;
    passwd *found = nullptr;
    std::vector<char> buf(PASSWD_BUF_LEN);
    if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr) {
        return false;
    }
    int count = 32;
    std::vector<gid_t> groups(count);
    while (getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count) < 0) {
        groups.resize(count);
    }
    groups.resize(count);
    return std::any_of(groups.begin(), groups.end(),
                       [&](gid_t gid) { return allows(policy.client_groups, gid); });
}

bool refusal_to_log(refusal_tally *tally, int64_t now_ms, unsigned long *unlogged) {
    if (tally->logged && now_ms - tally->last_line_ms < REFUSAL_LINE_MS) {
        ++tally->unlogged;
        return false;
    }
    *unlogged = tally->unlogged;
    tally->logged = true;
    tally->last_line_ms = now_ms;
    tally->unlogged = 0;
    return true;
}
