// The accept loop and the connection state machine. Everything specific to
// the device sits behind five hooks. The hooks are chosen when a program is
// linked: socket/default_hooks.cc holds the defaults, the link layer provides
// the agent's, and a test may define its own; the state machine itself
// depends on none of them.
#pragma once

#include <atomic>

struct conn_list;
struct conn_node;

// Limit of undecided checks; a node gets connection_check_retry_count + 1.
extern int connection_check_retry_count;

// Sleep between two passes of the state machine, in milliseconds.
constexpr unsigned int STATE_MACHINE_PASS_MS = 200;

int run_socket_server(int fd, conn_list *list);
// Accepts one client on the listening `fd` and pushes its node on `list`;
// -1 when nothing was pushed. run_socket_server calls it forever.
int accept_connection(int fd, conn_list *list);
void *handle_socket_connection(void *list);
// One walk of `list`; the state-machine thread calls it every 200 ms.
void handle_socket_connection_pass(conn_list *list);
void check_node_timeout(conn_list *list, conn_node *prev, conn_node *node, bool *freed);
void do_forward(conn_node *node);

// The hooks (see the table in state_machine.cc for when each is called).
int check_connection_request(conn_node *node);
int check_connection_status(conn_node *node, int timeout);
void connection_rejected(conn_node *node);
void connection_established(conn_node *node);
void *forward_one_node(void *node);
