// Outbound sockets to 127.0.0.1: a TCP connection or a connected UDP socket.
#pragma once

#include <cstdint>

// A local service that does not take the connection by then is refused, so
// that it costs the controller's other requests nothing.
constexpr int CONNECT_TIMEOUT_MS = 3000;

// `port` is in network byte order; is_stream non-zero asks for TCP. Waits
// for the connection at most CONNECT_TIMEOUT_MS.
int connect_to_local_port(uint16_t port, uint16_t is_stream);
// Starts the same connection without waiting: 0 when it is made at once,
// EINPROGRESS when it is under way (its socket in *fd, to be finished with
// finish_local_connect once writable), or the error (nothing left open).
int start_local_connect(uint16_t port, uint16_t is_stream, int *fd);
// Ends a connection that start_local_connect began: `err` 0 when it was
// made, else why not. The socket (blocking again), or -1 (closed).
int finish_local_connect(int fd, uint16_t port, int err);
// The outcome of a connection under way whose socket became writable.
int pending_connect_error(int fd);
