// Which listener cdev-connect takes for the agent: one whose socket root or
// the agent's account created (the packaged agent binds as root, then drops
// to the service account), never an ordinary user's squatting the port.
#pragma once

#include <sys/types.h>

#include <string>

#include "client/options.h"

// Looks up options->agent_user; false with *error when a name the user gave
// does not exist. A missing default account leaves root alone trusted.
bool resolve_agent_user(ConnectOptions *options, std::string *error);

bool trusted_owner(const ConnectOptions &options, uid_t uid);

// "root or cdev-agent", for messages.
std::string trusted_owners_text(const ConnectOptions &options);
// "uid 1000 (alice)", or "uid 1000" when it has no name.
std::string owner_text(uid_t uid);

// Whether the process is the packaged service: its cgroup is the unit
// cdev-agent.service, or it runs as the agent's account.
bool run_by_service(const ConnectOptions &options, pid_t pid);
