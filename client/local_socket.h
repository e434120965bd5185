// The local end of the listener modes: a TCP or UDP socket bound to
// ADDRESS:PORT, and the text naming a peer in the link reports.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>

// A bound socket (listening, for SOCK_STREAM), non-blocking; with *error, -1
// when it cannot be bound and BAD_LOCAL_ADDRESS when the address is unknown.
constexpr int BAD_LOCAL_ADDRESS = -2;
int bind_local(const std::string &address, uint16_t port, int type, std::string *error);

// "ADDRESS:PORT", an IPv6 address in brackets.
std::string address_text(const sockaddr_storage &addr);
