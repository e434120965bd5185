// cdev-connect between real peers (curl, python3's http.server, TCP and UDP
// echo services) and the real agent on the emulated device and controller.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>

#include "tests/e2e/agent_checks.h"
#include "tests/e2e/harness.h"
#include "tools/controller/controller.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;

constexpr size_t MIB = 1 << 20;

// A TCP echo, a web server of argv[1], a UDP echo answering "echo:" + datagram and a UDP port
// that never answers, controller ports 7001 to 7004; prints their ports.
const char *const SERVICES_PY = R"(
import functools, http.server, socket, socketserver, sys, threading
class Echo(socketserver.BaseRequestHandler):
    def handle(self):
        while data := self.request.recv(65536): self.request.sendall(data)
socketserver.ThreadingTCPServer.daemon_threads = True
tcp = socketserver.ThreadingTCPServer(('127.0.0.1', 0), Echo)
web = socketserver.ThreadingTCPServer(('127.0.0.1', 0), functools.partial(
    http.server.SimpleHTTPRequestHandler, directory=sys.argv[1]))
udp, silent = (socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(2))
udp.bind(('127.0.0.1', 0)); silent.bind(('127.0.0.1', 0))
print(tcp.server_address[1], web.server_address[1], udp.getsockname()[1], silent.getsockname()[1])
for s in (tcp, web): threading.Thread(target=s.serve_forever, daemon=True).start()
while True: data, peer = udp.recvfrom(65536); udp.sendto(b'echo:' + data, peer)
)";

// Plays the agent up to one ending (argv[1]): refuse (a clean close before the answer), reset
// (a reset before it) or cut (the answer and 7 bytes, then a reset); prints its port, then the
// request it got in hex, or "no client" when none came within 2 s. Its listener stays until it
// is stopped: the client tells the agent stopping by the listener gone.
const char *const STAND_IN_PY = R"(
import signal, socket, struct, sys
s = socket.socket(); s.bind(('127.0.0.1', 0)); s.listen(); s.settimeout(2)
print(s.getsockname()[1], flush=True)
try: c, _ = s.accept()
except socket.timeout: sys.exit(print('no client'))
print(c.recv(64).hex(), flush=True)
if sys.argv[1] == 'cut': c.sendall(bytes([1, 1]) + bytes(30) + b'partial')
if sys.argv[1] != 'refuse': c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
c.close()
signal.pause()
)";

bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!done() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(20ms);
    return done();
}

std::string put_file(const std::string &path, const std::string &data) {
    std::ofstream(path, std::ios::binary) << data;
    return path;
}

std::string text(const Bytes &b) {
    return std::string(b.begin(), b.end());
}

// A socket of that type connected to 127.0.0.1:port.
int connect_loopback(int port, int type = SOCK_STREAM) {
    sockaddr_in addr = loopback(port);
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0) << port;
    return fd;
}

// True when the peer closes fd within 5 s; closes fd.
bool closed_by_peer(int fd) {
    pollfd p{fd, POLLIN, 0};
    uint8_t byte;
    bool eof = poll(&p, 1, 5000) == 1 && recv(fd, &byte, 1, 0) <= 0;
    close(fd);
    return eof;
}

size_t count(const std::string &text, const std::string &needle) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(needle, at)) != std::string::npos; ++at) ++n;
    return n;
}

// A bash command line run as a harness process, as root or as a uid with no account; "exec"
// makes signals reach the program.
struct Process : AgentProcess {
    explicit Process(const std::string &command, uid_t uid = 0) : AgentProcess(bash(command, uid)) {
        start();
    }
    static AgentOptions bash(const std::string &command, uid_t uid) {
        AgentOptions o;
        o.program = "/bin/bash";
        o.args = {"-o", "pipefail", "-c", command};
        o.make_log_dir = false;
        o.run_as_uid = o.run_as_gid = uid;
        return o;
    }
    void stop() {
        send_signal(SIGTERM);
        EXPECT_EQ(wait_exit(10s), 0) << stderr_text();
    }
    bool wait_err(const std::string &needle, std::chrono::milliseconds timeout = 10s) const {
        return wait_until([&] { return stderr_text().find(needle) != std::string::npos; }, timeout);
    }
};

class ClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(wait_until([&] { return services_.stdout_text().ends_with("\n"); }, 10s));
        std::istringstream ports(services_.stdout_text());
        for (uint16_t port = 7001; port <= 7004; ++port) ports >> port_map_[port];
    }
    void TearDown() override {
        controller_.reset();
        if (agent_) stop_agent_cleanly(*agent_);
    }
    // The agent on an emulated device of that mode, the services mapped.
    void start_agent(Mode mode, AgentOptions agent_options = {}) {
        TearDown();
        agent_ = std::make_unique<AgentOnEmulator>(mode, std::move(agent_options));
        ctl::Options options;
        options.port_map = port_map_;
        controller_ = std::make_unique<ctl::Controller>(&agent_->emu, options);
        std::string error;
        ASSERT_TRUE(controller_->start(&error)) << error;
        ASSERT_TRUE(agent_->start()) << agent_->agent.log();
    }
    // The client's command line with the agent's port.
    std::string client(const std::string &args) {
        return CDEV_CONNECT_BINARY " -a " + std::to_string(agent_->agent_port()) + " " + args;
    }
    // A listener mode of the client on a free local port (%d in args), once it is ready.
    std::unique_ptr<Process> start_listener(std::string args, int *port) {
        args.replace(args.find("%d"), 2, std::to_string(*port = free_tcp_port()));
        auto p = std::make_unique<Process>("exec " + client("-v " + args));
        EXPECT_TRUE(p->wait_err(args[1] == 'L' ? "listening on" : "relaying datagrams"));
        return p;
    }
    std::vector<ctl::LinkRecord> ended_links() {
        EXPECT_TRUE(wait_until([&] { return controller_->open_links() == 0; }, 10s));
        return controller_->links();
    }

    TempDir scratch_;
    std::string stand_in_ = put_file(scratch_.path + "/stand_in.py", STAND_IN_PY);
    Process services_{"exec python3 -u " + put_file(scratch_.path + "/services.py", SERVICES_PY) +
                      " " + scratch_.path};
    std::map<uint16_t, uint16_t> port_map_;
    std::unique_ptr<AgentOnEmulator> agent_;
    std::unique_ptr<ctl::Controller> controller_;
};

// Standard input and output as files (copied via a buffer) or as pipes (spliced) as ssh has them.
TEST_F(ClientTest, StdioCarriesEveryByteInBothDeviceModes) {
    const struct {
        Mode mode;
        size_t size;
        const char *command;  // %s: the client, %s: the input file
    } cases[] = {{Mode::NetCdev, 3 * MIB, "exec %s <%s"},
                 {Mode::Usb, MIB / 2, "cat %2$s | %1$s | cat"}};
    for (auto [mode, size, command] : cases) {
        SCOPED_TRACE(command);
        ASSERT_NO_FATAL_FAILURE(start_agent(mode));
        Bytes data = stream_bytes(1, size);
        std::string in = put_file(scratch_.path + "/in", text(data));
        char line[512];
        snprintf(line, sizeof(line), command, client("-v -q 2 7001").c_str(), in.c_str());
        Process c(line);
        ASSERT_EQ(c.wait_exit(60s), 0) << c.stderr_text();
        EXPECT_TRUE(c.stdout_text() == text(data));
        std::vector<ctl::LinkRecord> links = ended_links();
        ASSERT_EQ(links.size(), 1u);
        EXPECT_EQ(links[0].sum_from_agent, fnv1a(data));
        EXPECT_EQ(links[0].end, "closed by the agent");
        snprintf(line, sizeof(line),
                 "link 0x%08x/0x%08x stdio -> controller port 7001 via agent port %d: %zu bytes "
                 "out, %zu bytes in",
                 ntohl(links[0].local_id), ntohl(links[0].peer_id), agent_->agent_port(), size,
                 size);
        EXPECT_NE(c.stderr_text().find(line), std::string::npos) << line << "\n" << c.stderr_text();
    }
}

// Real peers, then a stand-in for the agent's endings (%d: its port), and a squatter.
TEST_F(ClientTest, StdioFailuresHaveTheirStatusAndMessage) {
    ASSERT_NO_FATAL_FAILURE(start_agent(Mode::NetCdev));
    const std::string unused = std::to_string(free_tcp_port());
    const std::string via_stand_in = "exec " CDEV_CONNECT_BINARY " -a %d 7001";
    const std::string request = "00011b59" + std::string(56, '0');  // type 0, source 1, port 7001
    const struct {
        std::string command;
        int status;
        std::string message, out;  // in stdout or stderr; all of stdout on a failure
        std::chrono::milliseconds answer_delay = 0ms;  // of the controller's answers
        const char *ending = nullptr;                  // of the stand-in agent
        uid_t stand_in_uid = 0;
        const char *stand_in_saw = nullptr;  // null: the request
        bool device_away = false;
    } cases[] = {
        {client("7009"), 4, "the controller refused the link", ""},
        {client("-a " + unused + " 7001"), 3, "agent not reachable on 127.0.0.1:" + unused, ""},
        {client("-w 0.1 7001"), 5, "no answer from the controller within 0.1 s", "", 1000ms},
        {client("7001"), 5, "no answer: the agent reset the request", "", 0ms, nullptr, 0, nullptr,
         true},
        {client(""), 2, "give one controller PORT", ""},
        {client("-L 127.0.0.1:99999:22"), 2, "-L wants [ADDRESS:]LOCAL_PORT:PORT", ""},
        {client("-w 0.0005 7001"), 2, "-w wants seconds, at least 0.001, not 0.0005", ""},
        {"CDEV_AGENT_PORT=garbage " CDEV_CONNECT_BINARY " --help", 0, "Exit status: 0 success", ""},
        {via_stand_in, 4, "the controller refused the link (the agent closed without an answer)",
         "", 0ms, "refuse"},
        {via_stand_in, 5, "no answer: the agent reset the request before the controller answered",
         "", 0ms, "reset"},
        {via_stand_in, 1, "link cut: reading from the agent: Connection reset by peer", "partial",
         0ms, "cut"},
        {via_stand_in, 3, "127.0.0.1:%d is held by uid 64999, not by root", "", 0ms, "refuse",
         64999, "no client"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.command + " " + (c.ending ? c.ending : ""));
        agent_->emu.set_read_delay(c.answer_delay);
        agent_->emu.set_present(!c.device_away);
        std::unique_ptr<Process> fake;
        std::string command = c.command, message = c.message, port;
        if (c.ending != nullptr) {
            fake = std::make_unique<Process>("exec python3 -u " + stand_in_ + " " + c.ending,
                                             c.stand_in_uid);
            ASSERT_TRUE(wait_until([&] { return fake->stdout_text().ends_with("\n"); }, 10s));
            port = fake->stdout_text().substr(0, fake->stdout_text().size() - 1);
            for (std::string *s : {&command, &message}) {
                if (size_t at = s->find("%d"); at != std::string::npos) s->replace(at, 2, port);
            }
        }
        Process run(command + " </dev/null");
        EXPECT_EQ(run.wait_exit(20s), c.status) << run.stderr_text();
        EXPECT_NE((run.stdout_text() + run.stderr_text()).find(message), std::string::npos)
            << run.stderr_text();
        EXPECT_TRUE(c.status == 0 || run.stdout_text() == c.out) << run.stdout_text();
        if (fake) {
            EXPECT_TRUE(wait_until([&] { return count(fake->stdout_text(), "\n") == 2; }, 10s));
            EXPECT_EQ(fake->stdout_text(),
                      port + "\n" + (c.stand_in_saw ? c.stand_in_saw : request) + "\n");
        }
    }
    // The agent stopped (its links reset) or killed (the kernel closes them
    // cleanly) while a link is idle: the link was cut, it did not end.
    std::string fifo = scratch_.path + "/idle";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (int stop : {SIGTERM, SIGKILL}) {
        if (stop == SIGKILL) {
            ASSERT_NO_FATAL_FAILURE(start_agent(Mode::NetCdev));
        }
        Process idle("exec " + client("7001") + " <>" + fifo);
        // Forwarding: the client has its answer (the controller's open link
        // says only that the answer is on its way).
        ASSERT_TRUE(wait_until(
            [&] {
                return ask_status(agent_->agent.workdir() + "/status.sock", "status\n")
                           .find("links     1 forwarding") != std::string::npos;
            },
            10s));
        if (stop == SIGTERM) {
            stop_agent_cleanly(*agent_);
        } else {
            agent_->agent.send_signal(SIGKILL);
            EXPECT_EQ(agent_->agent.wait_exit(10s), std::nullopt);  // reaped: killed, no status
        }
        EXPECT_EQ(idle.wait_exit(10s), 1) << strsignal(stop);
        EXPECT_NE(idle.stderr_text().find("link cut"), std::string::npos) << idle.stderr_text();
    }
}

// Two accounts of the agent's /etc/passwd running cdev-connect: the one the policy names has
// every byte echoed, the other is refused (status 4) with nothing reaching the controller.
TEST_F(ClientTest, PolicyServesOneAccountAndRefusesAnother) {
    AgentOptions o;
    o.policy = "client_users = cdev-ok\n";
    o.passwd_lines = {"cdev-ok:x:61001:61001::/:/bin/false", "cdev-no:x:61002:61002::/:/bin/false"};
    ASSERT_NO_FATAL_FAILURE(start_agent(Mode::Usb, o));
    const Bytes data = stream_bytes(4, MIB / 4);
    const std::string in = put_file(scratch_.path + "/in", text(data));
    Process allowed("exec " + client("-q 2 7001") + " <" + in, 61001);
    ASSERT_EQ(allowed.wait_exit(30s), 0) << allowed.stderr_text();
    EXPECT_TRUE(allowed.stdout_text() == text(data));
    Process refused("exec " + client("7001") + " <" + in, 61002);
    EXPECT_EQ(refused.wait_exit(20s), 4);
    EXPECT_NE(refused.stderr_text().find("the controller refused the link"), std::string::npos)
        << refused.stderr_text();
    std::vector<ctl::LinkRecord> links = ended_links();
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0].sum_from_agent, fnv1a(data));
    EXPECT_NE(agent_->agent.log().find("Policy refused a link to controller TCP port 7001 for "
                                       "uid 61002: user not allowed.\n"),
              std::string::npos);
}

// curl fetches a file through one listener; 50 clients of another are served until SIGTERM.
TEST_F(ClientTest, ListenersServeCurlAndFiftyClientsUntilSigterm) {
    constexpr int CLIENTS = 50;
    constexpr size_t SIZE = 20000;
    const Bytes file = stream_bytes(9, 4 * MIB + 123);
    put_file(scratch_.path + "/big.bin", text(file));
    ASSERT_NO_FATAL_FAILURE(start_agent(Mode::NetCdev));
    int web_port, echo_port, refused_port;
    auto web = start_listener("-L %d:7002", &web_port);
    Process curl("exec curl -sS http://127.0.0.1:" + std::to_string(web_port) + "/big.bin");
    ASSERT_EQ(curl.wait_exit(60s), 0) << curl.stderr_text();
    EXPECT_TRUE(curl.stdout_text() == text(file));
    ended_links();

    auto echo = start_listener("-L 127.0.0.1:%d:7001", &echo_port);
    std::vector<int> fds;
    for (int i = 0; i < CLIENTS; ++i) {
        fds.push_back(connect_loopback(echo_port));
        ASSERT_TRUE(send_all(fds.back(), stream_bytes(i, SIZE)));
    }
    for (int i = 0; i < CLIENTS; ++i) {
        Bytes back;
        EXPECT_TRUE(recv_exact(fds[i], SIZE, &back, 30s) && back == stream_bytes(i, SIZE)) << i;
    }
    EXPECT_EQ(controller_->open_links(), static_cast<size_t>(CLIENTS));
    web->stop();
    echo->stop();
    for (int fd : fds) EXPECT_TRUE(closed_by_peer(fd));
    std::vector<ctl::LinkRecord> links = ended_links();
    ASSERT_EQ(links.size(), static_cast<size_t>(CLIENTS + 1));  // the first one is curl's
    for (auto r = links.begin() + 1; r != links.end(); ++r) {
        EXPECT_EQ(r->end, "closed by the agent");
        EXPECT_EQ(r->bytes_to_agent, SIZE);
        EXPECT_EQ(r->sum_to_agent, r->sum_from_agent);
    }
    EXPECT_EQ(count(echo->stderr_text(), ", stopped\n"), size_t{CLIENTS}) << echo->stderr_text();

    // A client whose link the controller refuses is let go at once.
    auto refused = start_listener("-L %d:7009", &refused_port);
    EXPECT_TRUE(closed_by_peer(connect_loopback(refused_port)));

    // At one link at most, two more clients are refused, with one line for both.
    int capped_port;
    auto capped = start_listener("-L %d:7001 -m 1", &capped_port);
    int first = connect_loopback(capped_port);
    ASSERT_TRUE(wait_until([&] { return controller_->open_links() == 1; }, 10s));
    EXPECT_TRUE(closed_by_peer(connect_loopback(capped_port)));
    EXPECT_TRUE(closed_by_peer(connect_loopback(capped_port)));
    close(first);
    EXPECT_TRUE(capped->wait_err("2 clients refused at the cap of 1 link\n"));
    EXPECT_EQ(count(capped->stderr_text(), "1 link at once, the most -m allows"), 1u);
}

// The agent's status for people while a link is open, and a capture started
// and stopped on its status socket; what the agent refuses has status 1.
TEST_F(ClientTest, StatusAndCaptureOnTheStatusSocket) {
    ASSERT_NO_FATAL_FAILURE(start_agent(Mode::NetCdev));
    const std::string control =
        "exec " CDEV_CONNECT_BINARY " --status-socket " + agent_->agent.workdir() + "/status.sock ";
    std::string fifo = scratch_.path + "/idle";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Process idle("exec " + client("7001") + " <>" + fifo);
    ASSERT_TRUE(wait_until([&] { return controller_->open_links() == 1; }, 10s));
    Process status(control + "--status");
    ASSERT_EQ(status.wait_exit(10s), 0) << status.stderr_text();
    for (const char *line : {"device    /dev/net_cdev (net_cdev), open, 0 reopens, ",
                             "links     1 forwarding, 0 in handshake\n",
                             "  links opened      client 1, controller 0\n"}) {
        EXPECT_NE(status.stdout_text().find(line), std::string::npos) << status.stdout_text();
    }
    EXPECT_EQ(status.stdout_text().rfind("cdev_agent ", 0), 0u);
    EXPECT_NE(status.stdout_text().find("  0x0107db00  0x01000000  client       7001  127.0.0.1:"),
              std::string::npos)
        << status.stdout_text();
    idle.send_signal(SIGTERM);
    idle.wait_exit(10s);

    const Bytes data = stream_bytes(3, 3000);
    const struct {
        std::string args;
        int status;
        std::string out;  // all of stdout, or the end of stderr
    } steps[] = {
        {"--capture-start cap.pcap --capture-size 0", 1,
         "'--capture-size' is invalid: '0' is not a whole number of millions of bytes, 1 to "
         "1000000.\n"},
        {"--capture-start cap.pcap", 0, "capture started: cap.pcap\n"},
        {"--capture-start other.pcap", 1, "a capture to cap.pcap runs already\n"},
        {"--capture-stop", 0, "capture stopped\n"},
        {"--capture-stop", 1, "no capture runs\n"},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.args);
        Process run(control + step.args);
        EXPECT_EQ(run.wait_exit(10s), step.status);
        EXPECT_TRUE(step.status == 0 ? run.stdout_text() == step.out
                                     : run.stderr_text().ends_with(step.out))
            << run.stdout_text() << run.stderr_text();
        if (step.out.starts_with("capture started")) {
            Process link("exec " + client("-q 1 7001") + " <" +
                         put_file(scratch_.path + "/in", text(data)));
            ASSERT_EQ(link.wait_exit(20s), 0) << link.stderr_text();
        }
    }
    // The link's bytes are in the capture, whole.
    EXPECT_NE(read_file(agent_->agent.workdir() + "/cap.pcap").find(text(data)), std::string::npos);
}

TEST_F(ClientTest, UdpRelayReturnsTheServicesReplyOrTimesOut) {
    ASSERT_NO_FATAL_FAILURE(start_agent(Mode::NetCdev));
    const struct {
        const char *relay;         // %d: the local port
        int wait;                  // its -w, seconds for the answer
        std::string reply_prefix;  // "": no reply comes
        std::string ending, link_end;
    } cases[] = {
        {"-U %d:7003 -w 6", 6, "echo:", "answered", "answered"},
        {"-U %d:7004 -w 2", 2, "", "no answer from the controller within 2 s", "no reply"}};
    Bytes payload = stream_bytes(3, 1400);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ending);
        int port;
        auto relay = start_listener(c.relay, &port);
        int udp = connect_loopback(port, SOCK_DGRAM);
        // More than a USB message holds (128 slices of 450 bytes, less the header).
        ASSERT_TRUE(send_all(udp, Bytes(57569)));
        EXPECT_TRUE(relay->wait_err("datagram of 57569 bytes from 127.0.0.1:", 5s));
        EXPECT_TRUE(relay->wait_err(" dropped: a one-shot request carries at most 57568", 5s));
        ASSERT_TRUE(send_all(udp, payload));
        timeval answer_wait{c.wait + 1, 0};
        setsockopt(udp, SOL_SOCKET, SO_RCVTIMEO, &answer_wait, sizeof(answer_wait));
        std::string reply(2000, '\0');
        reply.resize(static_cast<size_t>(std::max<ssize_t>(recv(udp, reply.data(), 2000, 0), 0)));
        close(udp);
        EXPECT_TRUE(reply == (c.reply_prefix.empty() ? "" : c.reply_prefix + text(payload)));
        EXPECT_TRUE(relay->wait_err(c.ending, 5s)) << relay->stderr_text();
        relay->stop();
    }
    std::vector<ctl::LinkRecord> links = ended_links();
    ASSERT_EQ(links.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(links[i].end, cases[i].link_end);
        EXPECT_EQ(links[i].kind, ctl::LinkKind::Forward);
        EXPECT_EQ(links[i].sum_from_agent, fnv1a(payload));
    }
}

// A network of the test's own for this thread and what it starts, with loopback up: no other
// test's agent listens there, and port 7350 is free.
struct PrivateNetwork {
    int home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    PrivateNetwork() {
        EXPECT_EQ(unshare(CLONE_NEWNET), 0) << strerror(errno);
        ifreq lo{};
        strcpy(lo.ifr_name, "lo");
        lo.ifr_flags = IFF_UP;
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(ioctl(fd, SIOCSIFFLAGS, &lo), 0) << strerror(errno);
        close(fd);
    }
    ~PrivateNetwork() {
        setns(home, CLONE_NEWNET);
        close(home);
    }
};

// Without a port given, the agent is looked for by its process name: the only one running is
// taken (its controller refuses the link), and of two neither is picked.
TEST(ClientSearchTest, TakesTheOnlyAgentAndNeverPicksOneOfSeveral) {
    PrivateNetwork network;
    std::unique_ptr<AgentOnEmulator> agents[2];
    std::unique_ptr<ctl::Controller> controllers[2];
    std::string found[2];
    for (int i = 0; i < 2; ++i) {
        agents[i] = std::make_unique<AgentOnEmulator>();
        controllers[i] = std::make_unique<ctl::Controller>(&agents[i]->emu, ctl::Options{});
        std::string error;
        ASSERT_TRUE(controllers[i]->start(&error)) << error;
        ASSERT_TRUE(agents[i]->start()) << agents[i]->agent.log();
        found[i] = "cdev." + std::to_string(agents[i]->agent_port()) + " (pid " +
                   std::to_string(agents[i]->agent.pid()) + ")";
        Process run("exec " CDEV_CONNECT_BINARY " -v 7001 </dev/null");
        EXPECT_EQ(run.wait_exit(20s), i == 0 ? 4 : 3) << run.stderr_text();
        std::string expected = i == 0 ? "agent found as " + found[0]
                                      : "several agents run and none is clearly the service: ";
        if (i == 1) {
            bool first_lower = agents[0]->agent_port() < agents[1]->agent_port();
            expected += found[first_lower ? 0 : 1] + ", " + found[first_lower ? 1 : 0];
        }
        EXPECT_NE(run.stderr_text().find(expected), std::string::npos) << run.stderr_text();
    }
}

}  // namespace
}  // namespace e2e
