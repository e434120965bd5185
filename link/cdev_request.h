// Requests the controller sends on its own (local_link_id 0): TCP links to a
// local port and single UDP datagrams.
#pragma once

#include <cstdint>

struct common_io_buf;

// The thread: sleeps until the controller's requests are queued, serves
// them in order.
void *handle_cdev_request(void *arg);
// Serves one queued request, if any.
void handle_cdev_request_once();
// Serves the request `v` and releases it (or hands it to a new link).
void serve_cdev_request(common_io_buf *v);
int cdev_handle_forward_msg(common_io_buf *v, uint8_t is_udp);
