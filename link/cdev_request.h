// Requests the controller sends on its own (local_link_id 0): TCP links to a
// local port and single UDP datagrams.
#pragma once

#include <cstdint>

struct common_io_buf;

void *handle_cdev_request(void *arg);
// Serves one queued request, if any; the thread calls it every 100 ms.
void handle_cdev_request_once();
int cdev_handle_forward_msg(common_io_buf *v, uint8_t is_udp);
