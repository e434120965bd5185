// The command line of cdev-connect: which of its modes runs (three that
// link, one that asks the agent over its status socket), the ports and
// addresses involved, and the time limits.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

enum class ConnectMode { Stdio, TcpListener, UdpRelay, Control };

struct ConnectOptions {
    ConnectMode mode = ConnectMode::Stdio;
    uint16_t controller_port = 0;
    // -L and -U: where the local clients come from.
    std::string local_address = "127.0.0.1";
    uint16_t local_port = 0;
    uint16_t agent_port = 0;
    // Set by -a or CDEV_AGENT_PORT: then no other agent is looked for.
    bool agent_port_chosen = false;
    // The account the agent may run as besides root (--agent-user or
    // CDEV_AGENT_USER, else the service account); its uid once looked up,
    // none when the default account does not exist on this host.
    std::string agent_user = CDEV_SERVICE_ACCOUNT;
    bool agent_user_chosen = false;
    std::optional<uid_t> agent_uid;
    // How long the controller's answer is awaited (-w): a little longer than
    // the agent's own wait, 26 checks 200 ms apart.
    std::chrono::milliseconds answer_wait{6000};
    // After the local input ended, how long the link stays up while nothing
    // comes from the controller (-q); nullopt: until the controller closes.
    std::optional<std::chrono::milliseconds> linger;
    // -m: links (-L) or requests (-U) at once; past it clients are refused.
    size_t max_links = 64;
    bool verbose = false;
    // Control: the command line sent on the agent's status socket.
    std::string control_command;
    std::string status_socket = CDEV_STATUS_SOCKET;
};

enum class ParseOutcome { Run, Help, Version, Error };

// The environment variables read; null when unset.
struct ConnectEnv {
    const char *agent_port = nullptr;     // CDEV_AGENT_PORT
    const char *agent_user = nullptr;     // CDEV_AGENT_USER
    const char *status_socket = nullptr;  // CDEV_STATUS_SOCKET
};

// Parses argv and the environment, which only a run reads. On Error, *error
// says what is wrong.
ParseOutcome parse_options(int argc, char **argv, const ConnectEnv &env, ConnectOptions *options,
                           std::string *error);

// The synopsis, shown after a usage error, and the whole --help text.
const char *synopsis_text();
const char *help_text();
