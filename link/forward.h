// Data forwarding of an established link: one thread carries the device's
// messages to the socket, a second one the socket's bytes to the device.
#pragma once

#include "socket/stream_io.h"

struct common_io_buf;
struct conn_node;

// Thread routine, one per established link; owns and frees the node.
void *cdev_forward_one_node(void *node);
// How the socket reader's loop ended.
enum class reader_end {
    STOPPED,        // the forwarding thread ended the link
    CLIENT_CLOSED,  // the client closed or reset: the CLOSE went out
    DEVICE_FAILED,  // the device failed the client's data: the CLOSE is kept
};
reader_end cdev_forward_one_node_from_tcp(conn_node *node);
// One message from the device: 1 payload sent to the client, 0 a CLOSE,
// -1 a type that ends the link, -2 the send to the client failed (or gave
// up as `watch` says).
int cdev_check_and_forward_msg(conn_node *node, common_io_buf *msg, const send_watch &watch);
