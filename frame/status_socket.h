// The status socket: a Unix stream socket on which the agent answers one
// command per connection. Root makes it before the privilege drop, owned by
// root and the service account's group with mode 0660, so that only they
// can connect; the agent serves it as the account afterwards.
//
// Commands, one line each, and their answers:
//   status                              the report for people
//   status json                         the same as one JSON object
//   capture start SIZE_MB FILES PATH    starts a capture as --capture PATH
//                                       --capture-size SIZE_MB --capture-files
//                                       FILES would ("-": not given)
//   capture stop                        stops it
// A command that fails is answered "error: <why>".
#pragma once

#include <sys/types.h>

#include <string>

// Where the socket goes unless --status-socket says otherwise: the service's
// runtime directory ($RUNTIME_DIRECTORY) under systemd, else the working
// directory.
std::string default_status_socket_path();
// Makes the listening socket at `path` for root and `group`: its descriptor,
// or -1 with *error set. A socket file left by an agent that ended is
// replaced; one that a running agent answers on is not.
int open_status_socket(const std::string &path, gid_t group, std::string *error);
// The answer to one command line (without its newline).
std::string answer_status_command(const std::string &line);
// Accepts one client on `listen_fd`, reads its command and answers it. The
// client has a second for each, so a silent one holds nothing up for long.
void serve_status_client(int listen_fd);
