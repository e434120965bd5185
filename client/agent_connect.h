// Reaching the agent on 127.0.0.1: its port as given, else the port of a
// running agent, found by its process name cdev.<port> (the agent moves to a
// higher port when its own is busy). Only a listener of root or the agent's
// account is taken for the agent, and nothing is sent before that is sure.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "client/options.h"

struct RunningAgent {
    pid_t pid = 0;
    uint16_t port = 0;
};
std::vector<RunningAgent> find_running_agents();

struct AgentConnection {
    int fd = -1;  // non-blocking, no-delay; -1 when no agent was reached
    uint16_t port = 0;
    ino_t listener = 0;  // the agent's listening socket
    std::string error;   // why no agent was reached, and how to find it
    std::string note;    // set when an agent was found on another port
};

AgentConnection connect_agent(const ConnectOptions &options);

// False once the agent's listening socket is gone: a link the agent closed
// then was cut by the agent stopping, not ended by the controller.
bool agent_still_there(const AgentConnection &agent);

// Shuts a socket down both ways and closes it; for the agent's socket this
// makes the agent send the link's CLOSE to the controller.
void close_socket(int fd);
