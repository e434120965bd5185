// The agent's side of a local client's handshake with the controller; these
// are the link layer's implementations of the state machine's hooks.
#pragma once

struct common_io_buf;
struct conn_node;
struct msg_header;

int cdev_check_connection_request(conn_node *node);
int send_connection_request_to_peer(msg_header *header, common_io_buf *v, int fd);
int cdev_check_connection_status(conn_node *node, int timeout);
void cdev_connection_rejected(conn_node *node);
void cdev_connection_established(conn_node *node);
