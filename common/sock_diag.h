// One TCP socket's record from the kernel's socket diagnostics
// (NETLINK_SOCK_DIAG, what `ss -e` reads): an exact inet_diag request that
// the kernel answers with the socket its own lookup for an incoming packet
// finds. The agent asks it who owns a local client's end of a connection,
// cdev-connect who holds the agent's port.
#pragma once

#include <linux/inet_diag.h>

#include <cstdint>
#include <string>

enum class diag_lookup { FOUND, NOBODY, FAILED };

// The IPv4 TCP socket of `id` (addresses and ports in network order; the
// source is the socket's own end, no remote end asks for a listener) when it
// is in one of `states`, a mask of 1 << TCP_* state bits. FAILED, with
// *error, when the diagnostics cannot be asked.
diag_lookup find_tcp_socket(const inet_diag_sockid &id, uint32_t states, inet_diag_msg *found,
                            std::string *error);
