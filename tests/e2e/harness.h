// End-to-end test harness: starts the agent as a real process in a private
// mount namespace (its own /dev, /opt and, when asked, /etc/passwd and
// /etc/group), so tests never touch the host's device nodes or configuration.
#ifndef CDEV_TESTS_E2E_HARNESS_H
#define CDEV_TESTS_E2E_HARNESS_H

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/emulator/device_emulator.h"

namespace e2e {

// Absolute path of the built cdev_agent.
std::string agent_binary();

// A currently free TCP port on 127.0.0.1, >= 1024.
int free_tcp_port();

// True when a TCP connection to 127.0.0.1:port is accepted.
bool can_connect(int port);

// Waits until something accepts connections on 127.0.0.1:port.
bool wait_serving(int port, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// The address 127.0.0.1:port.
sockaddr_in loopback(int port);

// A TCP socket connected to 127.0.0.1:port, retried until timeout; -1 on failure.
int connect_loopback(int port, std::chrono::milliseconds timeout);

// Reads a whole file; "" when it cannot be opened.
std::string read_file(const std::string &path);

struct AgentOptions {
    // argv[1..], e.g. {"/dev/net_cdev", "23456"}.
    std::vector<std::string> args;
    // Put ahead of args, e.g. {"--capture", "cdev.pcap"}.
    std::vector<std::string> options;
    // File bind-mounted at device_path inside the agent's namespace; empty: nothing mounted.
    std::string device_source;
    std::string device_path = "/dev/net_cdev";
    // Content of /opt/vorlan/config/Vorlan.ini in a private /opt; nullopt: private empty /opt.
    std::optional<std::string> vorlan_ini;
    // Content of /opt/vorlan/config/cdev-policy.conf beside it; nullopt: no such file.
    std::optional<std::string> policy;
    // Extra environment, e.g. {"DEBUG_NETWORK", ""}.
    std::map<std::string, std::string> env;
    // Create ./log in the agent's fresh working directory.
    bool make_log_dir = true;
    // Non-zero: start the agent as this uid (no namespace), for the not-root test.
    uid_t run_as_uid = 0;
    gid_t run_as_gid = 0;
    // Appended to a private copy of /etc/passwd bind-mounted in the agent's namespace.
    std::vector<std::string> passwd_lines;
    // The same for /etc/group.
    std::vector<std::string> group_lines;
    // Executable to run instead of the agent (harness self-tests); empty: agent_binary().
    std::string program;
    // Non-zero: the agent's limit of open descriptors.
    unsigned long max_files = 0;
};

// One agent process. DEBUG_NETWORK of the test's environment is not passed
// on unless asked, so the log level depends only on the options.
class AgentProcess {
  public:
    explicit AgentProcess(AgentOptions options);
    ~AgentProcess();  // SIGKILLs and reaps the agent if still running, removes the working dir
    AgentProcess(const AgentProcess &) = delete;
    AgentProcess &operator=(const AgentProcess &) = delete;

    // Forks; the child enters a private mount namespace, builds the private
    // /dev and /opt and execs the agent, keeping its pid. Throws on a set-up
    // failure in the parent; a failure in the child shows on stderr_text()
    // and as exit status 126. The agent gets SIGKILL if the thread that
    // started it ends first: start agents from the test's main thread.
    void start();
    pid_t pid() const { return pid_; }
    std::string workdir() const { return workdir_; }  // fresh temp dir, the agent's cwd
    std::string log_path() const { return workdir_ + "/log/cdev_agent.log"; }
    std::string log() const { return read_file(log_path()); }  // "" when missing
    bool wait_for_log(const std::string &needle, std::chrono::milliseconds timeout) const;
    // Exit status (WEXITSTATUS); nullopt on timeout or when killed by a signal.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);
    bool running() const { return pid_ > 0 && !reaped_; }  // started, not yet reaped
    void send_signal(int sig);
    std::string stderr_text() const { return read_file(base_ + "/stderr"); }
    std::string stdout_text() const { return read_file(base_ + "/stdout"); }

  private:
    void prepare_namespace_files();
    bool reap(bool block);

    AgentOptions options_;
    std::string base_;  // temp dir holding the working dir and the namespace files
    std::string workdir_;
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
};

using Bytes = std::vector<uint8_t>;

// Little-endian 32-bit fields of a message, as link ids travel.
void put32(Bytes *m, size_t at, uint32_t v);
uint32_t get32(const Bytes &m, size_t at);

constexpr size_t WIRE_HEADER_SIZE = 32;

// Socket helpers for local clients: send everything; receive exactly n
// bytes (false on close, error or timeout).
bool send_all(int fd, const std::vector<uint8_t> &data);
bool recv_exact(int fd, size_t n, std::vector<uint8_t> *out, std::chrono::milliseconds timeout);

// The agent's answer to `command` (a line) on its status socket; "" when
// it could not be asked.
std::string ask_status(const std::string &socket_path, const std::string &command);
// The values at dotted `paths` ("links.0.port") of a JSON document as
// python3's json module reads them, printed back as JSON (strings quoted);
// empty when the document or a path is wrong.
std::vector<std::string> json_values(const std::string &json,
                                     const std::vector<std::string> &paths);

// A temp directory removed (with its contents) on destruction.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string path;
};

// An empty file under /tmp (a device stand-in to bind-mount), removed at the end.
struct TempFile {
    TempFile();
    ~TempFile();
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    std::string path;
};

// The agent running on an emulated device: the emulator's file is mounted at
// the device path in the agent's namespace; the agent is started with
// <device> <port> unless options.args says otherwise, and with DEBUG_NETWORK
// set when debug_log is true, so its level-1 lines (the device open among
// them) are logged. Teardown kills the agent before the emulator stops.
struct AgentOnEmulator {
    explicit AgentOnEmulator(emu::DeviceEmulator::Mode mode = emu::DeviceEmulator::Mode::NetCdev,
                             AgentOptions options = {}, bool debug_log = true);
    ~AgentOnEmulator();

    // Mounts the emulator and starts the agent; with wait_open, true once the
    // agent logged "Open <device> successfully" within timeout.
    bool start(std::chrono::milliseconds timeout = std::chrono::seconds(10), bool wait_open = true);
    std::string device_path() const;  // "/dev/net_cdev" or "/dev/lcd1"
    // The port the agent listens on: from its process name "cdev.<port>",
    // else the port it was given.
    int agent_port() const;
    // A TCP socket connected to the agent, retried until timeout; -1 on failure.
    int connect_client(std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    // The next message the agent wrote, skipping its init (5) and heartbeat
    // (4) messages when skip_keepalive.
    bool next_message(std::vector<uint8_t> *msg, std::chrono::milliseconds timeout,
                      bool skip_keepalive = true);

    TempDir mount_dir;
    emu::DeviceEmulator emu;
    int port;
    AgentProcess agent;
};

}  // namespace e2e

#endif
