// cdev-connect end to end: the real client between real peers (curl,
// python3's http.server, TCP and UDP echo services) and the real agent on
// the emulated device, the test controller serving the controller's side.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <functional>
#include <memory>
#include <sstream>

#include "tests/e2e/agent_checks.h"
#include "tests/e2e/harness.h"
#include "tools/controller/controller.h"

extern char **environ;

namespace e2e {
namespace {

using namespace std::chrono_literals;
using Mode = emu::DeviceEmulator::Mode;

constexpr uint16_t ECHO = 7001, HTTP = 7002, UDP_ECHO = 7003, UDP_SILENT = 7004;
constexpr size_t MIB = 1 << 20;

// A TCP echo, a UDP echo answering "echo:" + datagram, and a UDP port that
// never answers; prints their ports.
const char *const SERVICES_PY = R"(
import socket, socketserver, threading
class Echo(socketserver.BaseRequestHandler):
    def handle(self):
        while data := self.request.recv(65536):
            self.request.sendall(data)
socketserver.ThreadingTCPServer.daemon_threads = True
tcp = socketserver.ThreadingTCPServer(('127.0.0.1', 0), Echo)
udp, silent = (socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(2))
udp.bind(('127.0.0.1', 0)); silent.bind(('127.0.0.1', 0))
print(tcp.server_address[1], udp.getsockname()[1], silent.getsockname()[1])
threading.Thread(target=tcp.serve_forever, daemon=True).start()
while True:
    data, peer = udp.recvfrom(65536)
    udp.sendto(b'echo:' + data, peer)
)";

bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds timeout) {
    for (auto end = std::chrono::steady_clock::now() + timeout; !done();) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

Bytes file_bytes(const std::string &path) {
    std::string s = read_file(path);
    return Bytes(s.begin(), s.end());
}

std::string put_file(const std::string &path, const Bytes &data) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(data.data()),
               static_cast<std::streamsize>(data.size()));
    return path;
}

// A program with standard input from a file and its output in files.
class Process {
  public:
    explicit Process(std::vector<std::string> args, const std::string &input = "/dev/null") {
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, input.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, out_path().c_str(), O_WRONLY | O_CREAT, 0600);
        posix_spawn_file_actions_addopen(&fa, 2, (dir_.path + "/err").c_str(), O_WRONLY | O_CREAT,
                                         0600);
        std::vector<char *> argv;
        for (std::string &a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&fa);
    }
    ~Process() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    // The exit status; nullopt on timeout or death by a signal.
    std::optional<int> wait(std::chrono::milliseconds timeout) {
        int status = 0;
        if (pid_ <= 0 ||
            !wait_until([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeout)) {
            return std::nullopt;
        }
        pid_ = -1;
        return WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
    }
    void signal(int sig) { kill(pid_, sig); }
    std::string out_path() const { return dir_.path + "/out"; }
    std::string err() const { return read_file(dir_.path + "/err"); }
    bool wait_err(const std::string &needle, std::chrono::milliseconds timeout) const {
        return wait_until([&] { return err().find(needle) != std::string::npos; }, timeout);
    }

  private:
    TempDir dir_;
    pid_t pid_ = -1;
};

class ClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(wait_until(
            [&] { return read_file(services_.out_path()).find('\n') != std::string::npos; }, 10s));
        std::istringstream(read_file(services_.out_path())) >> echo_ >> udp_echo_ >> silent_;
        put_file(www_.path + "/big.bin", big_);
        http_port_ = free_tcp_port();
        http_ = std::make_unique<Process>(
            std::vector<std::string>{"python3", "-m", "http.server", std::to_string(http_port_),
                                     "--bind", "127.0.0.1", "--directory", www_.path});
        ASSERT_TRUE(wait_serving(http_port_));
    }
    void TearDown() override {
        controller_.reset();
        if (agent_) {
            stop_agent_cleanly(*agent_);
        }
    }
    // The agent on an emulated device of that mode, the services mapped.
    void start_agent(Mode mode) {
        TearDown();
        agent_ = std::make_unique<AgentOnEmulator>(mode);
        ctl::Options options;
        options.port_map = {
            {ECHO, echo_}, {HTTP, http_port_}, {UDP_ECHO, udp_echo_}, {UDP_SILENT, silent_}};
        controller_ = std::make_unique<ctl::Controller>(&agent_->emu, options);
        std::string error;
        ASSERT_TRUE(controller_->start(&error)) << error;
        ASSERT_TRUE(agent_->start()) << agent_->agent.log();
        agent_port_ = std::to_string(agent_->agent_port());
    }
    std::unique_ptr<Process> client(std::vector<std::string> args,
                                    const std::string &input = "/dev/null") {
        args.insert(args.begin(), CDEV_CONNECT_BINARY);
        return std::make_unique<Process>(args, input);
    }
    std::vector<ctl::LinkRecord> ended_links() {
        EXPECT_TRUE(wait_until([&] { return controller_->open_links() == 0; }, 10s));
        return controller_->links();
    }

    Process services_{{"python3", "-u", "-c", SERVICES_PY}};
    uint16_t echo_ = 0, udp_echo_ = 0, silent_ = 0, http_port_ = 0;
    TempDir www_, scratch_;
    Bytes big_ = stream_bytes(9, 4 * MIB + 123);
    std::unique_ptr<Process> http_;
    std::unique_ptr<AgentOnEmulator> agent_;
    std::unique_ptr<ctl::Controller> controller_;
    std::string agent_port_;
};

// Standard input and output as files (copied through a buffer) or as pipes
// (spliced), as ssh's ProxyCommand has them.
TEST_F(ClientTest, StdioCarriesEveryByteInBothDeviceModes) {
    const struct {
        Mode mode;
        size_t size;
        bool pipes;
    } cases[] = {{Mode::NetCdev, 3 * MIB, false}, {Mode::Usb, MIB / 2, true}};
    for (auto [mode, size, pipes] : cases) {
        SCOPED_TRACE(mode == Mode::Usb ? "USB, pipes" : "net_cdev, files");
        ASSERT_NO_FATAL_FAILURE(start_agent(mode));
        Bytes data = stream_bytes(1, size);
        std::string in = put_file(scratch_.path + "/in", data);
        std::unique_ptr<Process> c = pipes
                                         ? std::make_unique<Process>(std::vector<std::string>{
                                               "bash", "-o", "pipefail", "-c",
                                               "cat " + in + " | " + CDEV_CONNECT_BINARY +
                                                   " -v -a " + agent_port_ + " -q 2 7001 | cat"})
                                         : client({"-v", "-a", agent_port_, "-q", "2", "7001"}, in);
        ASSERT_EQ(c->wait(60s), 0) << c->err();
        Bytes out = file_bytes(c->out_path());
        EXPECT_EQ(out.size(), data.size());
        EXPECT_EQ(fnv1a(out), fnv1a(data));
        std::vector<ctl::LinkRecord> links = ended_links();
        ASSERT_EQ(links.size(), 1u);
        EXPECT_EQ(links[0].sum_from_agent, fnv1a(data));
        EXPECT_EQ(links[0].end, "closed by the agent");
        char line[160];
        snprintf(line, sizeof(line),
                 "link 0x%08x/0x%08x stdio -> controller port 7001 via agent port %s: %zu bytes "
                 "out, %zu bytes in",
                 ntohl(links[0].local_id), ntohl(links[0].peer_id), agent_port_.c_str(), size,
                 size);
        EXPECT_NE(c->err().find(line), std::string::npos) << line << "\n" << c->err();
    }
}

TEST_F(ClientTest, StdioFailuresHaveTheirStatusAndMessage) {
    ASSERT_NO_FATAL_FAILURE(start_agent(Mode::NetCdev));
    const std::string unused = std::to_string(free_tcp_port());
    const struct {
        std::vector<std::string> args;
        int status;
        std::string message;
    } cases[] = {
        {{"-a", agent_port_, "7009"}, 4, "the controller refused the link"},
        {{"-a", unused, "7001"}, 3, "agent not reachable on 127.0.0.1:" + unused},
        {{"-a", agent_port_, "-w", "0.1", "7001"}, 5, "no answer from the controller within"},
        {{"-a", agent_port_}, 2, "give one controller PORT"},
        {{"-L", "127.0.0.1:99999:22"}, 2, "-L wants [ADDRESS:]LOCAL_PORT:PORT"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        auto run = client(c.args);
        EXPECT_EQ(run->wait(20s), c.status) << run->err();
        EXPECT_NE(run->err().find(c.message), std::string::npos) << run->err();
        EXPECT_TRUE(file_bytes(run->out_path()).empty());
    }
}

TEST_F(ClientTest, ListenerGivesCurlTheWholeFile) {
    ASSERT_NO_FATAL_FAILURE(start_agent(Mode::NetCdev));
    const std::string port = std::to_string(free_tcp_port());
    auto listener = client({"-v", "-a", agent_port_, "-L", port + ":7002"});
    ASSERT_TRUE(listener->wait_err("listening on", 10s));
    const std::string got = scratch_.path + "/got";
    Process curl({"curl", "-sS", "-o", got, "http://127.0.0.1:" + port + "/big.bin"});
    ASSERT_EQ(curl.wait(60s), 0) << curl.err();
    Bytes body = file_bytes(got);
    EXPECT_EQ(body.size(), big_.size());
    EXPECT_EQ(fnv1a(body), fnv1a(big_));
    listener->signal(SIGTERM);
    EXPECT_EQ(listener->wait(10s), 0) << listener->err();
}

TEST_F(ClientTest, FiftyClientsAtOnceAndSigtermClosesEveryLink) {
    constexpr int CLIENTS = 50;
    constexpr size_t SIZE = 20000;
    ASSERT_NO_FATAL_FAILURE(start_agent(Mode::NetCdev));
    const int port = free_tcp_port();
    auto listener =
        client({"-v", "-a", agent_port_, "-L", "127.0.0.1:" + std::to_string(port) + ":7001"});
    ASSERT_TRUE(listener->wait_err("listening on", 10s));
    std::vector<int> fds;
    for (int i = 0; i < CLIENTS; ++i) {
        sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        fds.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        ASSERT_EQ(connect(fds.back(), reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
        ASSERT_TRUE(send_all(fds.back(), stream_bytes(i, SIZE)));
    }
    for (int i = 0; i < CLIENTS; ++i) {
        Bytes back;
        EXPECT_TRUE(recv_exact(fds[i], SIZE, &back, 30s));
        EXPECT_EQ(fnv1a(back), fnv1a(stream_bytes(i, SIZE))) << "client " << i;
    }
    EXPECT_EQ(controller_->open_links(), static_cast<size_t>(CLIENTS));
    listener->signal(SIGTERM);
    EXPECT_EQ(listener->wait(10s), 0) << listener->err();
    for (int fd : fds) {
        pollfd p{fd, POLLIN, 0};
        uint8_t byte;
        EXPECT_TRUE(poll(&p, 1, 5000) == 1 && recv(fd, &byte, 1, 0) <= 0);
        close(fd);
    }
    std::vector<ctl::LinkRecord> links = ended_links();
    ASSERT_EQ(links.size(), static_cast<size_t>(CLIENTS));
    for (const ctl::LinkRecord &r : links) {
        EXPECT_EQ(r.end, "closed by the agent");
        EXPECT_EQ(r.bytes_to_agent, SIZE);
        EXPECT_EQ(r.sum_to_agent, r.sum_from_agent);
    }
    std::string err = listener->err();
    size_t stopped = 0;
    for (size_t at = 0; (at = err.find(", stopped\n", at)) != std::string::npos; ++at) {
        ++stopped;
    }
    EXPECT_EQ(stopped, static_cast<size_t>(CLIENTS)) << err;
}

TEST_F(ClientTest, UdpRelayReturnsTheServicesReplyOrTimesOut) {
    ASSERT_NO_FATAL_FAILURE(start_agent(Mode::NetCdev));
    const struct {
        uint16_t controller_port;
        const char *reply_prefix;  // null: no reply comes
        const char *ending;
    } cases[] = {{UDP_ECHO, "echo:", "answered"},
                 {UDP_SILENT, nullptr, "no answer from the controller within 2.0 s"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ending);
        const int port = free_tcp_port();
        auto relay = client({"-v", "-a", agent_port_, "-w", "2", "-U",
                             std::to_string(port) + ":" + std::to_string(c.controller_port)});
        ASSERT_TRUE(relay->wait_err("relaying datagrams", 10s));
        int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        Bytes payload = stream_bytes(c.controller_port, 1400);
        ASSERT_EQ(sendto(udp, payload.data(), payload.size(), 0,
                         reinterpret_cast<sockaddr *>(&addr), sizeof(addr)),
                  static_cast<ssize_t>(payload.size()));
        pollfd p{udp, POLLIN, 0};
        Bytes reply(2000);
        bool replied = poll(&p, 1, 4000) == 1;
        reply.resize(replied ? static_cast<size_t>(
                                   std::max<ssize_t>(0, recv(udp, reply.data(), reply.size(), 0)))
                             : 0);
        close(udp);
        EXPECT_EQ(replied, c.reply_prefix != nullptr);
        if (c.reply_prefix != nullptr) {
            Bytes expected(c.reply_prefix, c.reply_prefix + 5);
            expected.insert(expected.end(), payload.begin(), payload.end());
            EXPECT_EQ(fnv1a(reply), fnv1a(expected));
        }
        EXPECT_TRUE(relay->wait_err(c.ending, 5s)) << relay->err();
        relay->signal(SIGTERM);
        EXPECT_EQ(relay->wait(10s), 0) << relay->err();
    }
    std::vector<ctl::LinkRecord> links = ended_links();
    ASSERT_EQ(links.size(), 2u);
    EXPECT_EQ(links[0].end, "answered");
    EXPECT_EQ(links[1].end, "no reply");
    for (const ctl::LinkRecord &r : links) {
        EXPECT_EQ(r.kind, ctl::LinkKind::Forward);
        EXPECT_EQ(r.bytes_from_agent, 1400u);
    }
}

}  // namespace
}  // namespace e2e
