// The command line of cdev-connect: which of its three modes runs, the ports
// and addresses involved, and the time limits.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

enum class ConnectMode { Stdio, TcpListener, UdpRelay };

struct ConnectOptions {
    ConnectMode mode = ConnectMode::Stdio;
    uint16_t controller_port = 0;
    // -L and -U: where the local clients come from.
    std::string local_address = "127.0.0.1";
    uint16_t local_port = 0;
    uint16_t agent_port = 0;
    // Set by -a or CDEV_AGENT_PORT: then no other agent is looked for.
    bool agent_port_chosen = false;
    // How long the controller's answer is awaited (-w): a little longer than
    // the agent's own wait, 26 checks 200 ms apart.
    std::chrono::milliseconds answer_wait{6000};
    // After the local input ended, how long the link stays up while nothing
    // comes from the controller (-q); nullopt: until the controller closes.
    std::optional<std::chrono::milliseconds> linger;
    bool verbose = false;
};

enum class ParseOutcome { Run, Help, Version, Error };

// Parses argv; env_agent_port is the value of CDEV_AGENT_PORT or null. On
// Error, *error says what is wrong.
ParseOutcome parse_options(int argc, char **argv, const char *env_agent_port,
                           ConnectOptions *options, std::string *error);

// The synopsis, shown after a usage error, and the whole --help text.
const char *synopsis_text();
const char *help_text();
