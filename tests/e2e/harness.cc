// The agent launcher of the end-to-end harness: AgentProcess, which forks
// the agent into its private namespace (harness_child.cc) and watches it.
#include "tests/e2e/harness.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "tests/e2e/harness_child.h"

extern char **environ;

namespace e2e {
namespace {

namespace fs = std::filesystem;

constexpr auto POLL_INTERVAL = std::chrono::milliseconds(5);

void write_file(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::string joined_lines(const std::string &base, const std::vector<std::string> &lines) {
    std::string text = base;
    if (!text.empty() && text.back() != '\n') {
        text += '\n';
    }
    for (const std::string &line : lines) {
        text += line + "\n";
    }
    return text;
}

std::vector<std::string> agent_environment(const AgentOptions &o) {
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        std::string key = entry.substr(0, entry.find('='));
        if (key == "DEBUG_NETWORK" || o.env.count(key) != 0) {
            continue;
        }
        env.push_back(entry);
    }
    for (const auto &[key, value] : o.env) {
        env.push_back(key + "=" + value);
    }
    return env;
}

}  // namespace

AgentProcess::AgentProcess(AgentOptions options) : options_(std::move(options)) {
    char tmpl[] = "/tmp/cdev_e2e_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    base_ = tmpl;
    workdir_ = base_ + "/work";
    fs::create_directory(workdir_);
    // Open to every uid: the agent may give up root, or start as a test uid.
    chmod(base_.c_str(), 0755);
    chmod(workdir_.c_str(), 0777);
    if (options_.make_log_dir) {
        fs::create_directory(workdir_ + "/log");
        chmod((workdir_ + "/log").c_str(), 0777);
    }
}

AgentProcess::~AgentProcess() {
    if (running()) {
        kill(pid_, SIGKILL);
        reap(true);
    }
    std::error_code ignored;
    fs::remove_all(base_, ignored);
}

void AgentProcess::prepare_namespace_files() {
    fs::create_directories(base_ + "/ns/dev");
    fs::create_directories(base_ + "/ns/opt");
    const std::string config = base_ + "/ns/opt/vorlan/config/";
    for (const auto &[name, content] : {std::pair{"Vorlan.ini", options_.vorlan_ini},
                                        std::pair{"cdev-policy.conf", options_.policy}}) {
        if (content) {
            fs::create_directories(config);
            write_file(config + name, *content);
        }
    }
    if (!options_.passwd_lines.empty()) {
        write_file(base_ + "/ns/passwd",
                   joined_lines(read_file("/etc/passwd"), options_.passwd_lines));
    }
    if (!options_.group_lines.empty()) {
        write_file(base_ + "/ns/group",
                   joined_lines(read_file("/etc/group"), options_.group_lines));
    }
}

void AgentProcess::start() {
    if (pid_ > 0) {
        throw std::logic_error("agent already started");
    }
    ChildPlan plan;
    plan.stdout_path = base_ + "/stdout";
    plan.max_files = options_.max_files;
    plan.stderr_path = base_ + "/stderr";
    plan.workdir = workdir_;
    plan.use_namespace = options_.run_as_uid == 0;
    plan.uid = options_.run_as_uid;
    plan.gid = options_.run_as_gid;
    plan.parent = getpid();
    if (plan.use_namespace) {
        prepare_namespace_files();
        plan_private_dev(options_, base_ + "/ns/dev", &plan.steps);
        if (fs::is_directory("/opt")) {
            add_mount(&plan.steps, base_ + "/ns/opt", "/opt", "", MS_BIND, "");
        }
        if (!options_.passwd_lines.empty()) {
            add_mount(&plan.steps, base_ + "/ns/passwd", "/etc/passwd", "", MS_BIND, "");
        }
        if (!options_.group_lines.empty()) {
            add_mount(&plan.steps, base_ + "/ns/group", "/etc/group", "", MS_BIND, "");
        }
    }
    plan.argv_strings.push_back(options_.program.empty() ? agent_binary() : options_.program);
    for (const auto *words : {&options_.options, &options_.args}) {
        plan.argv_strings.insert(plan.argv_strings.end(), words->begin(), words->end());
    }
    plan.env_strings = agent_environment(options_);
    for (std::string &s : plan.argv_strings) {
        plan.argv.push_back(s.data());
    }
    plan.argv.push_back(nullptr);
    for (std::string &s : plan.env_strings) {
        plan.envp.push_back(s.data());
    }
    plan.envp.push_back(nullptr);

    pid_t child = fork();
    if (child < 0) {
        throw std::runtime_error("fork failed");
    }
    if (child == 0) {
        run_child(plan);
    }
    pid_ = child;
    reaped_ = false;
}

bool AgentProcess::wait_for_log(const std::string &needle,
                                std::chrono::milliseconds timeout) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (log().find(needle) != std::string::npos) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool AgentProcess::reap(bool block) {
    if (pid_ <= 0 || reaped_) {
        return reaped_;
    }
    int status = 0;
    pid_t r;
    do {
        r = waitpid(pid_, &status, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == pid_) {
        reaped_ = true;
        status_ = status;
    }
    return reaped_;
}

std::optional<int> AgentProcess::wait_exit(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!reap(false)) {
        if (pid_ <= 0 || std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(POLL_INTERVAL);
    }
    if (WIFEXITED(status_)) {
        return WEXITSTATUS(status_);
    }
    return std::nullopt;
}

void AgentProcess::send_signal(int sig) {
    if (running()) {
        kill(pid_, sig);
    }
}

}  // namespace e2e
