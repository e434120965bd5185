// Requests the controller sends on its own (local_link_id 0): TCP links to a
// local port and single UDP datagrams.
#pragma once

#include <cstdint>

struct common_io_buf;

// The thread: sleeps until the controller's requests are queued and serves
// them as they come. The local connections of TCP requests are made side by
// side, so a service slow to accept delays no other request.
void *handle_cdev_request(void *arg);
// Serves one queued request to its end, if any.
void handle_cdev_request_once();
// Serves the request `v` to its end and releases it (or hands it to a new
// link).
void serve_cdev_request(common_io_buf *v);
int cdev_handle_forward_msg(common_io_buf *v, uint8_t is_udp);
