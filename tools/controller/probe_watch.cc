// CPU and memory of a watched process, from /proc: the agent, or a relay
// that forks a process per connection (its children are added).
#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "tools/controller/probe.h"

namespace probe {
namespace {

struct Stat {
    pid_t ppid = 0;
    uint64_t own_ticks = 0;       // utime + stime
    uint64_t children_ticks = 0;  // cutime + cstime: children already reaped
};

bool read_stat(pid_t pid, Stat *s) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t end = text.rfind(')');  // the command name may hold spaces
    if (end == std::string::npos) {
        return false;
    }
    std::istringstream fields(text.substr(end + 2));
    std::string f[15];  // from field 3 (state) to field 17 (cstime)
    for (std::string &v : f) {
        fields >> v;
    }
    s->ppid = atoi(f[1].c_str());
    s->own_ticks = strtoull(f[11].c_str(), nullptr, 10) + strtoull(f[12].c_str(), nullptr, 10);
    s->children_ticks = strtoull(f[13].c_str(), nullptr, 10) + strtoull(f[14].c_str(), nullptr, 10);
    return true;
}

// "<key>: <number> ..." from a /proc text file; 0 when absent.
uint64_t proc_value(pid_t pid, const char *file, const std::string &key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size(), key) == 0 && line.size() > key.size() &&
            line[key.size()] == ':') {
            return strtoull(line.c_str() + key.size() + 1, nullptr, 10);
        }
    }
    return 0;
}

void add_memory(pid_t pid, Usage *u) {
    u->rss_kib += proc_value(pid, "status", "VmRSS");
    u->pss_kib += proc_value(pid, "smaps_rollup", "Pss");
    u->threads += static_cast<int>(proc_value(pid, "status", "Threads"));
}

}  // namespace

Usage usage_of(pid_t pid) {
    Usage u;
    Stat s;
    if (!read_stat(pid, &s)) {
        return u;
    }
    u.ticks = s.own_ticks + s.children_ticks;
    add_memory(pid, &u);
    DIR *proc = opendir("/proc");
    if (proc == nullptr) {
        return u;
    }
    while (dirent *e = readdir(proc)) {
        pid_t child = atoi(e->d_name);
        if (child > 0 && child != pid && read_stat(child, &s) && s.ppid == pid) {
            u.ticks += s.own_ticks;
            add_memory(child, &u);
        }
    }
    closedir(proc);
    return u;
}

}  // namespace probe
