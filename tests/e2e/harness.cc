// Agent launcher of the end-to-end harness.
#include "tests/e2e/harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace e2e {
namespace {

namespace fs = std::filesystem;

constexpr int SETUP_FAILED_STATUS = 126;
constexpr auto POLL_INTERVAL = std::chrono::milliseconds(5);

// Real device nodes the agent's private /dev keeps.
constexpr const char *KEPT_DEV_NODES[] = {"null",    "zero", "full", "random",
                                          "urandom", "tty",  "ptmx"};

// One step of the namespace set-up. Built in the parent, so the forked child
// only issues system calls (no allocation after fork in a threaded process).
struct SetupStep {
    enum Kind { MOUNT, MKDIR, TOUCH, SYMLINK } kind;
    std::string a;  // mount source / path / symlink target
    std::string b;  // mount target / symlink path
    std::string fstype;
    unsigned long flags = 0;
    std::string data;
    std::string what;  // description for the failure message
};

// What the child needs, all strings prepared before fork.
struct ChildPlan {
    std::string stdout_path;
    std::string stderr_path;
    std::string workdir;
    bool use_namespace = true;
    uid_t uid = 0;
    gid_t gid = 0;
    rlim_t max_files = 0;
    pid_t parent = 0;
    std::vector<SetupStep> steps;
    std::vector<std::string> argv_strings;
    std::vector<std::string> env_strings;
    std::vector<char *> argv;
    std::vector<char *> envp;
};

void write_all(int fd, const char *text) {
    size_t len = strlen(text);
    while (len > 0) {
        ssize_t n = write(fd, text, len);
        if (n <= 0) {
            return;
        }
        text += n;
        len -= static_cast<size_t>(n);
    }
}

// Async-signal-safe failure report of the child: "<what>: errno <n>".
[[noreturn]] void child_fail(const char *what) {
    int err = errno;
    char digits[16];
    int i = sizeof(digits) - 1;
    digits[i] = '\0';
    do {
        digits[--i] = static_cast<char>('0' + err % 10);
        err /= 10;
    } while (err > 0 && i > 0);
    write_all(2, "e2e harness: ");
    write_all(2, what);
    write_all(2, " failed: errno ");
    write_all(2, digits + i);
    write_all(2, "\n");
    _exit(SETUP_FAILED_STATUS);
}

void run_step(const SetupStep &s) {
    int rc = 0;
    switch (s.kind) {
        case SetupStep::MOUNT:
            rc = mount(s.a.empty() ? nullptr : s.a.c_str(), s.b.c_str(),
                       s.fstype.empty() ? nullptr : s.fstype.c_str(), s.flags,
                       s.data.empty() ? nullptr : s.data.c_str());
            break;
        case SetupStep::MKDIR:
            rc = mkdir(s.a.c_str(), 0755);
            break;
        case SetupStep::TOUCH: {
            int fd = open(s.a.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            rc = fd < 0 ? -1 : close(fd);
            break;
        }
        case SetupStep::SYMLINK:
            rc = symlink(s.a.c_str(), s.b.c_str());
            break;
    }
    if (rc != 0) {
        child_fail(s.what.c_str());
    }
}

[[noreturn]] void run_child(const ChildPlan &plan) {
    int null_fd = open("/dev/null", O_RDONLY);
    int out_fd = open(plan.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err_fd = open(plan.stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (null_fd < 0 || out_fd < 0 || err_fd < 0 || dup2(null_fd, 0) < 0 || dup2(out_fd, 1) < 0 ||
        dup2(err_fd, 2) < 0) {
        _exit(SETUP_FAILED_STATUS);
    }
    // The test process holds FUSE and socket descriptors the agent must not inherit.
    close_range(3, ~0U, 0);
    if (chdir(plan.workdir.c_str()) != 0) {
        child_fail("chdir to the working directory");
    }
    if (plan.use_namespace) {
        if (unshare(CLONE_NEWNS) != 0) {
            child_fail("unshare(CLONE_NEWNS)");
        }
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            child_fail("making / private");
        }
        for (const SetupStep &s : plan.steps) {
            run_step(s);
        }
    } else {
        if (setgroups(0, nullptr) != 0 || setgid(plan.gid) != 0 || setuid(plan.uid) != 0) {
            child_fail("changing to the test uid");
        }
    }
    // A crashed test takes its agent along (until the agent changes its
    // credentials, which clears this). Set after our own uid change for the
    // same reason; the getppid check closes the race with an early death.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != plan.parent) {
        child_fail("setting the parent-death signal");
    }
    struct rlimit files = {plan.max_files, plan.max_files};
    if (plan.max_files > 0 && setrlimit(RLIMIT_NOFILE, &files) != 0) {
        child_fail("limiting descriptors");
    }
    execve(plan.argv[0], plan.argv.data(), plan.envp.data());
    child_fail("execve");
}

void add_mount(std::vector<SetupStep> *steps, const std::string &src, const std::string &dst,
               const std::string &fstype, unsigned long flags, const std::string &data) {
    steps->push_back(
        {SetupStep::MOUNT, src, dst, fstype, flags, data, "mount " + src + " on " + dst});
}

void add_mkdir(std::vector<SetupStep> *steps, const std::string &path) {
    steps->push_back({SetupStep::MKDIR, path, "", "", 0, "", "mkdir " + path});
}

void add_touch(std::vector<SetupStep> *steps, const std::string &path) {
    steps->push_back({SetupStep::TOUCH, path, "", "", 0, "", "create " + path});
}

void add_symlink(std::vector<SetupStep> *steps, const std::string &target,
                 const std::string &path) {
    steps->push_back({SetupStep::SYMLINK, target, path, "", 0, "", "symlink " + path});
}

// A tmpfs built at dev_stage holding only the kept real nodes and the device
// file, then moved over /dev: the host's /dev is never written.
void plan_private_dev(const AgentOptions &o, const std::string &dev_stage,
                      std::vector<SetupStep> *steps) {
    add_mount(steps, "cdev_e2e_dev", dev_stage, "tmpfs", 0, "mode=0755");
    for (const char *node : KEPT_DEV_NODES) {
        std::string real = std::string("/dev/") + node;
        if (fs::exists(real)) {
            add_touch(steps, dev_stage + "/" + node);
            add_mount(steps, real, dev_stage + "/" + node, "", MS_BIND, "");
        }
    }
    if (fs::is_directory("/dev/pts")) {
        add_mkdir(steps, dev_stage + "/pts");
        add_mount(steps, "/dev/pts", dev_stage + "/pts", "", MS_BIND | MS_REC, "");
    }
    add_mkdir(steps, dev_stage + "/shm");
    add_mount(steps, "cdev_e2e_shm", dev_stage + "/shm", "tmpfs", 0, "mode=1777");
    add_symlink(steps, "/proc/self/fd", dev_stage + "/fd");
    add_symlink(steps, "/proc/self/fd/0", dev_stage + "/stdin");
    add_symlink(steps, "/proc/self/fd/1", dev_stage + "/stdout");
    add_symlink(steps, "/proc/self/fd/2", dev_stage + "/stderr");

    const std::string prefix = "/dev/";
    bool under_dev = o.device_path.compare(0, prefix.size(), prefix) == 0;
    if (!o.device_source.empty() && under_dev) {
        fs::path rel = fs::path(o.device_path.substr(prefix.size())).lexically_normal();
        std::string dir = dev_stage;
        for (const auto &part : rel.parent_path()) {
            dir += "/" + part.string();
            add_mkdir(steps, dir);
        }
        std::string target = dev_stage + "/" + rel.string();
        add_touch(steps, target);
        add_mount(steps, o.device_source, target, "", MS_BIND, "");
    }
    add_mount(steps, dev_stage, "/dev", "", MS_MOVE, "");
    if (!o.device_source.empty() && !under_dev) {
        add_mount(steps, o.device_source, o.device_path, "", MS_BIND, "");
    }
}

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
        if ((key == "DEBUG_NETWORK" && !o.inherit_debug_network) || o.env.count(key) != 0) {
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

std::string agent_binary() {
    return CDEV_AGENT_BINARY;
}

int free_tcp_port() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error("socket failed");
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof(addr);
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    close(fd);
    if (port < 1024) {
        throw std::runtime_error("no free TCP port");
    }
    return port;
}

bool can_connect(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
    close(fd);
    return ok;
}

bool wait_serving(int port, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!can_connect(port)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return "";
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

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
    if (options_.vorlan_ini) {
        fs::create_directories(base_ + "/ns/opt/vorlan/config");
        write_file(base_ + "/ns/opt/vorlan/config/Vorlan.ini", *options_.vorlan_ini);
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
    plan.argv_strings.insert(plan.argv_strings.end(), options_.args.begin(), options_.args.end());
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

pid_t AgentProcess::pid() const {
    return pid_;
}

std::string AgentProcess::workdir() const {
    return workdir_;
}

std::string AgentProcess::log_path() const {
    return workdir_ + "/log/cdev_agent.log";
}

std::string AgentProcess::log() const {
    return read_file(log_path());
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

bool AgentProcess::running() const {
    return pid_ > 0 && !reaped_;
}

void AgentProcess::send_signal(int sig) {
    if (running()) {
        kill(pid_, sig);
    }
}

std::string AgentProcess::stderr_text() const {
    return read_file(base_ + "/stderr");
}

std::string AgentProcess::stdout_text() const {
    return read_file(base_ + "/stdout");
}

}  // namespace e2e

namespace e2e {
namespace {

constexpr uint8_t MSG_TYPE_HEARTBEAT_CODE = 4;
constexpr uint8_t MSG_TYPE_INIT_CODE = 5;

std::string device_path_for(emu::DeviceEmulator::Mode mode) {
    return mode == emu::DeviceEmulator::Mode::NetCdev ? "/dev/net_cdev" : "/dev/lcd1";
}

// The port the agent listens on: from its process name "cdev.<port>", else
// the port it was given.
int named_port(const AgentProcess &agent, int given) {
    std::string comm = read_file("/proc/" + std::to_string(agent.pid()) + "/comm");
    const std::string prefix = "cdev.";
    if (comm.compare(0, prefix.size(), prefix) == 0) {
        int named = atoi(comm.c_str() + prefix.size());
        if (named > 0) {
            return named;
        }
    }
    return given;
}

// A TCP socket connected to 127.0.0.1:port, retried until timeout; -1 on failure.
int connect_loopback(int port, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return -1;
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0) {
            return fd;
        }
        close(fd);
        if (std::chrono::steady_clock::now() >= deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

AgentOptions fast_device_options(const std::string &dir, emu::Device::Mode mode, int port) {
    AgentOptions o;
    o.args = {device_path_for(mode), std::to_string(port)};
    o.env = {{"LD_PRELOAD", CDEV_FASTDEV_LIBRARY},
             {"CDEV_FASTDEV_SOCKET", dir + "/device.sock"},
             {"CDEV_FASTDEV_DEVICE", device_path_for(mode)},
             {"CDEV_FASTDEV_COUNTS", dir + "/counts"},
             {"DEBUG_NETWORK", "1"}};
    // A sanitizer build wants its runtime first; the preloaded library comes first.
    const char *asan = getenv("ASAN_OPTIONS");
    o.env["ASAN_OPTIONS"] = std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0";
    return o;
}

AgentOptions agent_on_emulator_options(const emu::DeviceEmulator &device,
                                       const std::string &mount_dir, AgentOptions o, bool debug_log,
                                       int port) {
    o.device_path = device_path_for(device.mode());
    o.device_source = mount_dir + "/" + device.file_name();
    if (o.args.empty()) {
        o.args = {o.device_path, std::to_string(port)};
    }
    if (debug_log) {
        o.env.emplace("DEBUG_NETWORK", "1");
    }
    return o;
}

}  // namespace

void put32(Bytes *m, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        (*m)[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

uint32_t get32(const Bytes &m, size_t at) {
    return m[at] | (m[at + 1] << 8) | (m[at + 2] << 16) | (static_cast<uint32_t>(m[at + 3]) << 24);
}

std::vector<uint8_t> make_message(const WireHeader &h, const std::vector<uint8_t> &payload) {
    std::vector<uint8_t> m(WIRE_HEADER_SIZE + payload.size(), 0);
    m[0] = h.type;
    m[1] = h.source;
    m[2] = static_cast<uint8_t>(h.port >> 8);
    m[3] = static_cast<uint8_t>(h.port);
    m[4] = h.protocol;
    m[6] = static_cast<uint8_t>(h.ret_code);
    m[7] = static_cast<uint8_t>(h.ret_code >> 8);
    put32(&m, 8, h.peer_link_id);
    put32(&m, 12, h.local_link_id);
    std::copy(payload.begin(), payload.end(), m.begin() + WIRE_HEADER_SIZE);
    return m;
}

bool parse_header(const std::vector<uint8_t> &msg, WireHeader *h) {
    if (msg.size() < WIRE_HEADER_SIZE) {
        return false;
    }
    h->type = msg[0];
    h->source = msg[1];
    h->port = static_cast<uint16_t>((msg[2] << 8) | msg[3]);
    h->protocol = msg[4];
    h->ret_code = static_cast<uint16_t>(msg[6] | (msg[7] << 8));
    h->peer_link_id = get32(msg, 8);
    h->local_link_id = get32(msg, 12);
    return true;
}

bool send_all(int fd, const std::vector<uint8_t> &data) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool recv_exact(int fd, size_t n, std::vector<uint8_t> *out, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    out->resize(n);
    size_t got = 0;
    while (got < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        ssize_t r = recv(fd, out->data() + got, n - got, 0);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        got += static_cast<size_t>(r);
    }
    return true;
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/cdev_e2e_mnt_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path = tmpl;
    chmod(path.c_str(), 0755);
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

TempFile::TempFile() {
    char tmpl[] = "/tmp/cdev_e2e_dev_XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0) {
        throw std::runtime_error("mkstemp failed");
    }
    close(fd);
    path = tmpl;
}

TempFile::~TempFile() {
    unlink(path.c_str());
}

AgentOnEmulator::AgentOnEmulator(emu::DeviceEmulator::Mode mode, AgentOptions options,
                                 bool debug_log)
    : emu(mode),
      port(free_tcp_port()),
      agent(agent_on_emulator_options(emu, mount_dir.path, std::move(options), debug_log, port)) {}

AgentOnEmulator::~AgentOnEmulator() {
    // The agent first: its namespace holds a bind of the emulator's file.
    if (agent.running()) {
        agent.send_signal(SIGKILL);
        agent.wait_exit(std::chrono::seconds(10));
    }
    emu.stop();
}

std::string AgentOnEmulator::device_path() const {
    return device_path_for(emu.mode());
}

bool AgentOnEmulator::start(std::chrono::milliseconds timeout, bool wait_open) {
    if (!emu.start(mount_dir.path)) {
        return false;
    }
    agent.start();
    return !wait_open || agent.wait_for_log("Open " + device_path() + " successfully", timeout);
}

int AgentOnEmulator::agent_port() const {
    return named_port(agent, port);
}

int AgentOnEmulator::connect_client(std::chrono::milliseconds timeout) const {
    return connect_loopback(agent_port(), timeout);
}

bool AgentOnEmulator::next_message(std::vector<uint8_t> *msg, std::chrono::milliseconds timeout,
                                   bool skip_keepalive) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (!emu.wait_message(msg, std::max(left, std::chrono::milliseconds(0)))) {
            return false;
        }
        bool keepalive = !msg->empty() &&
                         ((*msg)[0] == MSG_TYPE_HEARTBEAT_CODE || (*msg)[0] == MSG_TYPE_INIT_CODE);
        if (!skip_keepalive || !keepalive) {
            return true;
        }
    }
}

AgentOnFastDevice::AgentOnFastDevice(emu::Device::Mode mode)
    : device(mode), port(free_tcp_port()), agent(fast_device_options(dir.path, mode, port)) {}

AgentOnFastDevice::~AgentOnFastDevice() {
    if (agent.running()) {
        agent.send_signal(SIGKILL);
        agent.wait_exit(std::chrono::seconds(10));
    }
    device.stop();
}

bool AgentOnFastDevice::start(std::chrono::milliseconds timeout) {
    if (!device.start(dir.path + "/device.sock")) {
        return false;
    }
    agent.start();
    return agent.wait_for_log("Open " + device_path_for(device.mode()) + " successfully", timeout);
}

int AgentOnFastDevice::agent_port() const {
    return named_port(agent, port);
}

int AgentOnFastDevice::connect_client(std::chrono::milliseconds timeout) const {
    return connect_loopback(agent_port(), timeout);
}

std::map<std::string, uint64_t> AgentOnFastDevice::counts() const {
    std::map<std::string, uint64_t> counts;
    std::istringstream text(read_file(dir.path + "/counts"));
    std::string pair;
    while (text >> pair) {
        size_t eq = pair.find('=');
        if (eq != std::string::npos) {
            counts[pair.substr(0, eq)] = strtoull(pair.c_str() + eq + 1, nullptr, 10);
        }
    }
    return counts;
}

}  // namespace e2e
