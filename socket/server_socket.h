// The listening socket on 127.0.0.1: created, bound, moved to the next port
// while binds fail. Also the one option the agent sets on connection sockets.
#pragma once

#include <sys/socket.h>

#include <cstdint>

int init_socket_server(struct sockaddr *addr, uint16_t is_stream, int attempts, const char *device);
int create_server_socket(const char *device, uint16_t is_stream, uint16_t family);
int set_tcp_no_delay(int fd);
