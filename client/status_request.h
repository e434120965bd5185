// The control mode of cdev-connect: one command on the agent's status
// socket (the status, or a capture started or stopped) and its answer.
#pragma once

#include "client/options.h"

// Prints the agent's answer; returns the exit status (client/exit_status.h):
// 0, 1 when the agent answered with an error, 3 when the socket cannot be
// reached.
int run_control(const ConnectOptions &options);
