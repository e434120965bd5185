// Reaching the agent on 127.0.0.1: its port as given, else the port of a
// running agent, found by its process name cdev.<port> (the agent moves to a
// higher port when its own is busy).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

struct RunningAgent {
    pid_t pid = 0;
    uint16_t port = 0;
};
std::vector<RunningAgent> find_running_agents();

struct AgentConnection {
    int fd = -1;  // non-blocking, no-delay; -1 when no agent was reached
    uint16_t port = 0;
    std::string error;  // why no agent was reached, and how to find it
    std::string note;   // set when an agent was found on another port
};

// Connects to the agent on `port`; unless the port was chosen by the user,
// tries the ports of running agents next.
AgentConnection connect_agent(uint16_t port, bool port_chosen);

// Shuts a socket down both ways and closes it; for the agent's socket this
// makes the agent send the link's CLOSE to the controller.
void close_socket(int fd);
