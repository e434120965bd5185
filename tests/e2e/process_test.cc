// The agent as a process: command line, root check, ports and process name,
// log file, descriptors, failed start-up, the shutdown on each signal, and
// the service manager's notifications.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/e2e/harness.h"

namespace fs = std::filesystem;

namespace e2e {
namespace {

using namespace std::chrono_literals;

// A socket listening on `port`; -1 when the port is taken.
int occupy(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopback(port);
    bool ok =
        bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 && listen(fd, 1) == 0;
    return ok ? fd : (close(fd), -1);
}

// Each line must follow the previous one in the text.
void expect_in_order(const std::string &text, const std::vector<std::string> &lines) {
    size_t at = 0;
    for (const std::string &line : lines) {
        at = text.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << "\n" << text;
    }
}

size_t count(const std::string &text, const std::string &needle) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(needle, at)) != std::string::npos; ++at) ++n;
    return n;
}

// SIGTERM ends the agent with status 0.
void stop(AgentProcess &agent, int signal = SIGTERM) {
    agent.send_signal(signal);
    EXPECT_EQ(agent.wait_exit(10s), 0) << agent.stderr_text();
}

// An agent started at once.
struct Agent : AgentProcess {
    explicit Agent(AgentOptions o) : AgentProcess(std::move(o)) { start(); }
};

class AgentTest : public ::testing::Test {
  protected:
    AgentOptions serving(std::vector<std::string> args) const {
        AgentOptions o;
        o.args = std::move(args);
        o.device_source = device_.path;
        o.env = {{"DEBUG_NETWORK", ""}};
        return o;
    }

    TempFile device_;
};

// As another user only --help and --version answer, the rest ends with 127, nothing logged;
// as root a bad command line or an unknown device ends with status 0, says why in the log
// (and on stderr, for the service manager's journal), starts no thread and leaves the port free.
TEST_F(AgentTest, CommandLineAnswersOrSaysWhyItStops) {
    const int port_number = free_tcp_port();
    const std::string port = std::to_string(port_number);
    struct Row {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> out;     // in this order, the first at its start; none: empty
        std::vector<std::string> logged;  // in this order; none: not root
        std::string err = "";             // in stderr
    };
    std::vector<Row> rows = {
        {{"/dev/net_cdev", port}, 127, {}, {}},
        {{"--help"},
         0,
         {"usage: ", "cdev_agent <device> <listen_port> [bind_retry_count]\n", "--capture FILE",
          "DEBUG_NETWORK", "./log/cdev_agent.log", "/opt/vorlan/config/Vorlan.ini",
          "SIGHUP, SIGINT, SIGTERM", "127"},
         {}},
        {{"--version"}, 0, {"cdev_agent ", ".", ".", "\n"}, {}},
        {{}, 0, {}, {"cdev_agent is starting ...\n"}},
        {{"/dev/net_cdev"}, 0, {}, {"cdev_agent is starting ...\n"}},
        {{"/dev/net_cdev", port, "0"},
         0,
         {},
         {"Failed to init socket server.\n"},
         ": no free port on 127.0.0.1 from " + port + "\n"},
        {{"/dev/other_cdev", port},
         0,
         {},
         {"Open local server port " + port, "] clean_up,"},
         ": cannot open the device /dev/other_cdev: it is neither /dev/net_cdev nor /dev/lcd1\n"}};
    for (const char *bad : {"1023", "65536", "80x", "", "1024 ", "-2000", "99999999999999999999"}) {
        rows.push_back({{"/dev/net_cdev", bad},
                        0,
                        {},
                        {"main,", "'listen_port' is invalid.\n"},
                        "'" + std::string(bad) + "' is not a port from 1024 to 65535\n"});
    }
    for (const char *bad : {"65536", "-1", "2x", "", "2 "}) {
        rows.push_back({{"/dev/net_cdev", port, bad},
                        0,
                        {},
                        {"'bind_retry_count' is invalid.\n"},
                        "'" + std::string(bad) + "' is not a count from 0 to 65535\n"});
    }
    // Options ahead of the arguments: a bad one stops the start-up, saying why on stderr too.
    for (std::vector<std::string> options : std::vector<std::vector<std::string>>{
             {"--capture", "", "'--capture' is invalid: '' is not a file name.\n"},
             {"--capture", "x", "--capture-size", "1M", "'--capture-size' is invalid: '1M' is not"},
             {"--capture", "x", "--capture-files", "1", "'--capture-files' needs '--capture-size'"},
             {"--capture-size", "1", "'--capture-size' and '--capture-files' need '--capture'"},
             {"--capture", "none/x", "Failed to start the capture: none/x: No such file"},
             {"--capture", "x", "--help", "0", "Unknown option '--help'.\n"},
             {"--status-socket", "", "'--status-socket' is invalid: '' is not a socket path.\n"},
             {"--metrics-interval", "5", "'--metrics-interval' needs '--metrics'.\n"},
             {"--metrics", "m", "--metrics-interval", "0", "'--metrics-interval' is invalid"}}) {
        const std::string why = options.back();
        options.back() = "/dev/net_cdev";
        options.push_back(port);
        rows.push_back({options, 0, {}, {"cdev_agent is starting ...\n", why}});
    }
    rows.push_back({{"--capture-size", "1", "--capture"},
                    0,
                    {},
                    {"'--capture' needs a value: a file name.\n"}});
    for (const Row &row : rows) {
        SCOPED_TRACE(row.args.empty() ? "no arguments" : row.args.back());
        AgentOptions o = serving(row.args);
        const bool root = !row.logged.empty();
        o.run_as_uid = o.run_as_gid = root ? 0 : 65534;
        if (!row.args.empty() && row.args[0].starts_with("/")) o.device_path = row.args[0];
        Agent agent(o);
        EXPECT_EQ(agent.wait_exit(10s), row.status) << agent.stderr_text();
        const std::string out = agent.stdout_text();
        EXPECT_EQ(out.empty(), row.out.empty()) << out;
        EXPECT_TRUE(out.starts_with(row.out.empty() ? "" : row.out[0])) << out;
        expect_in_order(out, row.out);
        EXPECT_EQ(fs::exists(agent.log_path()), root);
        expect_in_order(agent.log(), row.logged);
        EXPECT_EQ(agent.log().find("Thread for"), std::string::npos) << agent.log();
        EXPECT_FALSE(can_connect(port_number));
        EXPECT_EQ(close(occupy(port_number)), 0);  // the port is free again
        if (root && row.logged.back().ends_with("invalid.\n")) {
            EXPECT_EQ(agent.log().find("server pid"), std::string::npos) << agent.log();
        }
        if (root && !row.args.empty() && row.args[0].starts_with("--")) {
            EXPECT_NE(agent.stderr_text().find(row.logged.back()), std::string::npos);
        }
        EXPECT_NE(agent.stderr_text().find(row.err), std::string::npos) << agent.stderr_text();
        if (root && row.args.size() < 2) {
            EXPECT_EQ(agent.stderr_text(),
                      "usage: " + agent_binary() + " <device> <listen_port> [bind_retry_count]\n");
        }
    }
}

// A policy the agent cannot take stops the start-up, saying where and why on stderr and in the
// log, before the port is opened: never a start that allows all.
TEST_F(AgentTest, BadPolicyStopsTheStartUp) {
    const int port = free_tcp_port();
    for (auto [policy, why] :
         {std::pair{"host_tcp_ports = 22\nhost_tcp_ports = 23\n",
                    "line 2: 'host_tcp_ports' given twice"},
          {"#\nclient_users = root cdev-nobody-here\n", "line 2: no user 'cdev-nobody-here'"}}) {
        AgentOptions o = serving({"/dev/net_cdev", std::to_string(port)});
        o.policy = policy;
        Agent agent(o);
        EXPECT_EQ(agent.wait_exit(10s), 0);
        const std::string line = "Bad access policy /opt/vorlan/config/cdev-policy.conf, " +
                                 std::string(why) + ", the agent does not start.\n";
        EXPECT_TRUE(agent.stderr_text().ends_with(line)) << agent.stderr_text();
        EXPECT_NE(agent.log().find(" -> " + line), std::string::npos) << agent.log();
        EXPECT_EQ(agent.log().find("Open local server port"), std::string::npos);
    }
}

// At the default level a healthy start logs two lines; the port may have spaces and a sign.
TEST_F(AgentTest, DefaultLevelLogsOnlyTheStartAndTheNewName) {
    int port = free_tcp_port();
    AgentOptions o = serving({"/dev/net_cdev", " +" + std::to_string(port)});
    o.env.clear();
    Agent agent(o);
    ASSERT_TRUE(wait_serving(port)) << agent.log();
    std::this_thread::sleep_for(200ms);
    const std::string log = agent.log();
    EXPECT_EQ(count(log, "\n"), 2u) << log;
    expect_in_order(
        log, {"] init_log,", " -> cdev_agent is starting ...\n", "] change_my_exe_name,",
              " -> Change name from [" + agent_binary() + "] to [cdev." + std::to_string(port) +
                  "] successfully.\n"});
    stop(agent);
}

TEST_F(AgentTest, BusyPortMovesToTheNextAndNamesTheProcessAfterIt) {
    int port = -1, busy = -1;
    for (int tries = 0; tries < 20 && busy < 0; tries++) {
        port = free_tcp_port();
        int next = port < 65535 ? occupy(port + 1) : -1;  // the agent's to take
        busy = next >= 0 ? occupy(port) : -1;
        close(next);
    }
    ASSERT_GE(busy, 0);
    Agent agent(serving({"/dev/net_cdev", std::to_string(port), "2"}));
    ASSERT_TRUE(wait_serving(port + 1)) << agent.log();
    const std::string next = std::to_string(port + 1);
    expect_in_order(agent.log(), {"Open local server port " + next + " successfully.\n"});
    EXPECT_EQ(read_file("/proc/" + std::to_string(agent.pid()) + "/comm"), "cdev." + next + "\n");
    stop(agent);
    close(busy);
}

// A symbolic link planted as the log must not make root append to, or change the mode of,
// another file, and a FIFO must not hold the start-up.
TEST_F(AgentTest, LogThatIsNotARegularFileIsLeftAlone) {
    TempFile victim;
    ASSERT_EQ(chmod(victim.path.c_str(), 0600), 0);
    for (bool fifo : {false, true}) {
        int port = free_tcp_port();
        AgentProcess agent(serving({"/dev/net_cdev", std::to_string(port)}));
        const std::string log = agent.log_path();
        ASSERT_EQ(fifo ? mkfifo(log.c_str(), 0666) : symlink(victim.path.c_str(), log.c_str()), 0);
        agent.start();
        ASSERT_TRUE(wait_serving(port)) << fifo;
        stop(agent);
    }
    EXPECT_EQ(read_file(victim.path), "");
    EXPECT_EQ(fs::status(victim.path).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
}

// Out of descriptors, the accept loop waits instead of spinning, saying so once an episode.
TEST_F(AgentTest, RunningOutOfDescriptorsIsLoggedOnce) {
    int port = free_tcp_port();
    AgentOptions o = serving({"/dev/net_cdev", std::to_string(port)});
    o.max_files = 24;
    Agent agent(o);
    ASSERT_TRUE(wait_serving(port)) << agent.log();
    // Clients that sent a request stay for the handshake's ~5 s.
    std::vector<int> clients(40);
    const sockaddr_in addr = loopback(port);
    for (int &fd : clients) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr));
    }
    const uint8_t request[32] = {0, 0, 0, 80};
    std::vector<bool> sent(40);
    for (int round = 0; round < 150 && std::count(sent.begin(), sent.end(), false) > 0; ++round) {
        for (size_t i = 0; i < 40; ++i)
            sent[i] = sent[i] || send(clients[i], request, 32, MSG_NOSIGNAL) == 32;
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(agent.wait_for_log("Failed to accept a connection, error code: 24\n", 5s));
    std::this_thread::sleep_for(1s);
    // A few episodes (a silent client dropped), where a spinning loop logs thousands of lines.
    EXPECT_LE(count(agent.log(), "error code: 24\n"), 5u);
    for (int fd : clients) close(fd);
    stop(agent);
}

// Each stop signal ends the agent with status 0, its workers stopped in order, while it serves
// and during start-up: a FIFO as the configuration file holds the privilege drop, the last step
// before it listens, after the signals are armed and the workers run.
TEST_F(AgentTest, EachStopSignalStopsWorkersAndExitsZeroWhileServingAndDuringStartUp) {
    for (auto [signal, starting] : {std::pair{SIGTERM, false},
                                    {SIGTERM, true},
                                    {SIGINT, false},
                                    {SIGINT, true},
                                    {SIGHUP, false},
                                    {SIGHUP, true}}) {
        SCOPED_TRACE(std::to_string(signal) + (starting ? " during start-up" : " while serving"));
        int port = free_tcp_port();
        AgentProcess agent(serving({"/dev/net_cdev", std::to_string(port)}));
        if (starting) {
            fs::path config = fs::path(agent.workdir()).parent_path() / "ns/opt/vorlan/config";
            fs::create_directories(config);
            ASSERT_EQ(mkfifo((config / "Vorlan.ini").c_str(), 0644), 0);
        }
        agent.start();
        if (starting) {
            ASSERT_TRUE(agent.wait_for_log("Thread for garbage collector", 10s));
            std::this_thread::sleep_for(50ms);
            EXPECT_FALSE(can_connect(port));
        } else {
            ASSERT_TRUE(wait_serving(port)) << agent.log();
        }
        stop(agent, signal);
        expect_in_order(
            agent.log(),
            {"Stopped socket connection handler (0)\n", "Stopped CDEV heartbeat handler (0)\n",
             "Stopped CDEV request handler (0)\n", "Stopped CDEV handler (0)\n", "] clean_up,"});
        EXPECT_FALSE(can_connect(port));
    }
}

// A datagram socket playing the service manager: the agent's notifications.
struct NotifySocket {
    NotifySocket() {
        sockaddr_un addr{AF_UNIX, {}};
        path.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
    }
    ~NotifySocket() { close(fd); }
    // The next message within `timeout`; "" when none came.
    std::string next(std::chrono::milliseconds timeout) {
        pollfd p{fd, POLLIN, 0};
        char buf[4096];
        ssize_t n =
            poll(&p, 1, static_cast<int>(timeout.count())) == 1 ? recv(fd, buf, 4096, 0) : 0;
        return std::string(buf, std::max<ssize_t>(n, 0));
    }
    // Waits up to `timeout` for `message`; counts the WATCHDOG=1 on the way.
    bool wait_for(const std::string &message, std::chrono::milliseconds timeout,
                  size_t *fed = nullptr) {
        for (auto end = std::chrono::steady_clock::now() + timeout;
             std::chrono::steady_clock::now() < end;) {
            std::string m = next(100ms);
            if (fed != nullptr && m == "WATCHDOG=1") ++*fed;
            if (!m.empty() && m == message) return true;
        }
        return false;
    }
    // The WATCHDOG=1 that come within `time`.
    size_t fed_within(std::chrono::milliseconds time) {
        size_t fed = 0;
        wait_for("", time, &fed);
        return fed;
    }
    TempDir dir;
    std::string path = dir.path + "/notify";
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
};

// Under a service manager: READY once the agent accepts, a status line, a
// watchdog fed while the agent idles, not fed while the device reader hangs,
// fed again once the reader turns.
TEST(ServiceManager, ReadyStatusAndAWatchdogFedOnlyWhileTheReaderTurns) {
    NotifySocket manager;
    AgentOptions o;
    o.env = {{"NOTIFY_SOCKET", manager.path}, {"WATCHDOG_USEC", "1000000"}};
    AgentOnEmulator a(emu::DeviceEmulator::Mode::NetCdev, o);
    ASSERT_TRUE(a.start());
    const std::string idle = "STATUS=0 links, device open";
    ASSERT_TRUE(manager.wait_for("READY=1\n" + idle, 5s)) << a.agent.log();
    EXPECT_TRUE(can_connect(a.agent_port()));
    // Every 0.5 s, though no handshake wakes the state machine.
    EXPECT_GE(manager.fed_within(3s), 5u);

    a.emu.hang_reads(true);
    a.emu.inject(Bytes(WIRE_HEADER_SIZE, 4));
    size_t fed = 0;
    ASSERT_TRUE(manager.wait_for(idle + ", the device reader makes no progress", 8s, &fed));
    EXPECT_LE(fed, 12u);
    EXPECT_EQ(manager.fed_within(2s), 0u);

    a.emu.hang_reads(false);
    EXPECT_TRUE(manager.wait_for("WATCHDOG=1", 2s));
    EXPECT_TRUE(manager.wait_for(idle, 2s));
    expect_in_order(a.agent.log(), {"Watchdog not fed: the device reader makes no progress\n",
                                    "Watchdog fed again: the device reader makes progress\n"});
}

}  // namespace
}  // namespace e2e
