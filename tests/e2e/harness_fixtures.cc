// The end-to-end fixture that runs the agent on the FUSE device emulator.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "tests/e2e/harness.h"

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

}  // namespace e2e
