// Outbound sockets to 127.0.0.1: a TCP connection or a connected UDP socket.
#pragma once

#include <cstdint>

// `port` is in network byte order; is_stream non-zero asks for TCP.
int connect_to_local_port(uint16_t port, uint16_t is_stream);
