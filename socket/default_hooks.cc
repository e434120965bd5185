// The state machine's default hooks: every connection is accepted at once and
// then closed, since there is nothing to forward it to.
#include <pthread.h>

#include "common/conn_node.h"
#include "frame/log.h"
#include "socket/state_machine.h"

int check_connection_request(conn_node *) {
    LOG(LOG_INFO, "Default action: connect to peer successfully.\n");
    return CONN_STATUS_CONNECTED;
}

int check_connection_status(conn_node *node, int) {
    LOG(LOG_INFO, "Default action: connection status: %d.\n", node->status.load());
    return CONN_STATUS_CONNECTED;
}

void connection_rejected(conn_node *) {
    LOG(LOG_INFO, "Default action: reject connection for node.\n");
}

void connection_established(conn_node *) {
    LOG(LOG_INFO, "Default action: connection established for node.\n");
}

// The thread owns the node: freeing it closes the client's socket, which would
// otherwise stay open for the life of the process.
void *forward_one_node(void *node) {
    pthread_detach(pthread_self());
    LOG(LOG_INFO, "Default action: no forward, stop thread.\n");
    free_node(static_cast<conn_node *>(node));
    return nullptr;
}
