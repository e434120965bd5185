// Who holds a TCP port on 127.0.0.1: the listening socket a connection there
// would reach, as the kernel's socket diagnostics (NETLINK_SOCK_DIAG, what
// `ss -e` reads) report it, with its owner and inode.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

struct PortHolder {
    uid_t uid = 0;    // who created the listening socket
    ino_t inode = 0;  // tells this socket from any later one on the port
};

enum class HolderLookup { Found, Nobody, Failed };

// The listener the kernel would hand a connection to 127.0.0.1:port; Failed,
// with *error, when the diagnostics cannot be asked.
HolderLookup find_port_holder(uint16_t port, PortHolder *holder, std::string *error);
