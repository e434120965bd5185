// cdev-connect: lets everyday programs reach services on the management
// controller through the CDEV agent, which only speaks to clients that send
// its 32-byte request header first. Three modes: standard input and output
// over one link (ssh ProxyCommand), a TCP listener with a link per client
// (ssh -L), and a UDP relay sending each datagram as a one-shot request; and
// a fourth that asks the agent over its status socket.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "cdev_version.h"
#include "client/agent_trust.h"
#include "client/exit_status.h"
#include "client/modes.h"
#include "client/options.h"
#include "client/status_request.h"
#include "client/stop_signal.h"

namespace {

void print_version() {
    if (CDEV_GIT_DESCRIBE[0] != '\0') {
        printf("cdev-connect %s (%s)\n", CDEV_VERSION, CDEV_GIT_DESCRIBE);
    } else {
        printf("cdev-connect %s\n", CDEV_VERSION);
    }
}

// A stopping signal ends the link cleanly (its line still printed), then
// ends the process as the signal would have.
int run_stdio(const ConnectOptions &options) {
    StreamSide side;
    side.from = "stdio";
    side.in = STDIN_FILENO;
    side.out = STDOUT_FILENO;
    side.stop_fd = install_stop_signals();
    side.linger = options.linger;
    int status = run_stream_link(options, side);
    if (int sig = side.stop_fd >= 0 ? take_stop_signal(side.stop_fd) : 0; sig != 0) {
        signal(sig, SIG_DFL);
        raise(sig);
    }
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    ConnectOptions options;
    std::string error;
    ConnectEnv env;
    env.agent_port = getenv("CDEV_AGENT_PORT");
    env.agent_user = getenv("CDEV_AGENT_USER");
    env.status_socket = getenv("CDEV_STATUS_SOCKET");
    ParseOutcome outcome = parse_options(argc, argv, env, &options, &error);
    if (outcome == ParseOutcome::Run && options.mode != ConnectMode::Control &&
        !resolve_agent_user(&options, &error)) {
        outcome = ParseOutcome::Error;
    }
    switch (outcome) {
        case ParseOutcome::Help:
            printf("%s\n%s", synopsis_text(), help_text());
            return STATUS_OK;
        case ParseOutcome::Version:
            print_version();
            return STATUS_OK;
        case ParseOutcome::Error:
            fprintf(stderr, "cdev-connect: %s\n%s", error.c_str(), synopsis_text());
            return STATUS_USAGE;
        case ParseOutcome::Run:
            break;
    }
    // A peer that went away shows as a failed write, not as a signal.
    signal(SIGPIPE, SIG_IGN);
    switch (options.mode) {
        case ConnectMode::TcpListener:
            return run_tcp_listener(options);
        case ConnectMode::UdpRelay:
            return run_udp_relay(options);
        case ConnectMode::Control:
            return run_control(options);
        case ConnectMode::Stdio:
            break;
    }
    return run_stdio(options);
}
