// Data forwarding of an established link: one thread carries the device's
// messages to the socket, a second one the socket's bytes to the device.
#pragma once

struct common_io_buf;
struct conn_node;

// Thread routine, one per established link; owns and frees the node.
void *cdev_forward_one_node(void *node);
// The socket reader's loop; true when it told the controller of the link's
// end (a CLOSE sent, or kept for a device that failed it).
bool cdev_forward_one_node_from_tcp(conn_node *node);
// One message from the device: 1 payload sent to the client, 0 a CLOSE,
// -1 a type that ends the link, -2 the send to the client failed.
int cdev_check_and_forward_msg(conn_node *node, common_io_buf *msg);
