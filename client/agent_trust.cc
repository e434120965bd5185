// The owner checks and the service test.
#include "client/agent_trust.h"

#include <pwd.h>

#include <fstream>
#include <vector>

namespace {

constexpr const char *SERVICE_UNIT = "/cdev-agent.service";

std::string user_name(uid_t uid) {
    std::vector<char> buf(4096);
    passwd entry{};
    passwd *found = nullptr;
    getpwuid_r(uid, &entry, buf.data(), buf.size(), &found);
    return found != nullptr ? found->pw_name : "";
}

}  // namespace

bool resolve_agent_user(ConnectOptions *options, std::string *error) {
    std::vector<char> buf(4096);
    passwd entry{};
    passwd *found = nullptr;
    getpwnam_r(options->agent_user.c_str(), &entry, buf.data(), buf.size(), &found);
    if (found != nullptr) {
        options->agent_uid = found->pw_uid;
    } else if (options->agent_user_chosen) {
        *error = "no such user: " + options->agent_user + " (--agent-user or CDEV_AGENT_USER)";
        return false;
    }
    return true;
}

bool trusted_owner(const ConnectOptions &options, uid_t uid) {
    return uid == 0 || (options.agent_uid && uid == *options.agent_uid);
}

std::string trusted_owners_text(const ConnectOptions &options) {
    return options.agent_uid ? "root or " + options.agent_user : "root";
}

std::string owner_text(uid_t uid) {
    std::string name = user_name(uid);
    return "uid " + std::to_string(uid) + (name.empty() ? "" : " (" + name + ")");
}

bool run_by_service(const ConnectOptions &options, pid_t pid) {
    const std::string dir = "/proc/" + std::to_string(pid);
    std::ifstream cgroup(dir + "/cgroup");
    for (std::string line; std::getline(cgroup, line);) {
        if (line.ends_with(SERVICE_UNIT)) {
            return true;
        }
    }
    // "Uid:" real, effective, saved and file-system uid.
    std::ifstream status(dir + "/status");
    for (std::string field; options.agent_uid && status >> field;) {
        uid_t real = 0, effective = 0;
        if (field == "Uid:" && status >> real >> effective) {
            return effective == *options.agent_uid;
        }
    }
    return false;
}
