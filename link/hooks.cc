// The agent's state-machine hooks: the link layer's handshake and forwarding.
#include "link/forward.h"
#include "link/handshake.h"
#include "socket/state_machine.h"

int check_connection_request(conn_node *node) {
    return cdev_check_connection_request(node);
}

int check_connection_status(conn_node *node, int timeout) {
    return cdev_check_connection_status(node, timeout);
}

void connection_rejected(conn_node *node) {
    cdev_connection_rejected(node);
}

void connection_established(conn_node *node) {
    cdev_connection_established(node);
}

void *forward_one_node(void *node) {
    return cdev_forward_one_node(node);
}
