// Data forwarding of an established link: one thread carries the device's
// messages to the socket, a second one the socket's bytes to the device.
#pragma once

struct common_io_buf;
struct conn_node;

constexpr unsigned int READ_FROM_CDEV_SLEEP_TIME_MS = 5;

void *cdev_forward_one_node(void *node);
void *cdev_forward_one_node_from_tcp(void *node);
int cdev_check_and_forward_msg(conn_node *node, common_io_buf *msg);
