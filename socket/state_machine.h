// The accept loop and the connection state machine. Everything specific to
// the device sits behind five hooks. The hooks are chosen when a program is
// linked: socket/default_hooks.cc holds the defaults, the link layer provides
// the agent's, and a test may define its own; the state machine itself
// depends on none of them.
//
// The state machine sleeps until something happens: a client is accepted or
// sends its first bytes, an answer may have arrived (wake_state_machine), or
// the next 200 ms pass is due while handshakes are open. Undecided checks
// are counted on the 200 ms passes only, so a handshake without an answer
// still ends after connection_check_retry_count + 1 of them.
#pragma once

#include <cstdint>

struct conn_list;
struct conn_node;

// Limit of undecided checks; a node gets connection_check_retry_count + 1.
extern int connection_check_retry_count;

// Interval of the passes that count undecided checks, in milliseconds.
constexpr unsigned int STATE_MACHINE_PASS_MS = 200;
// How long a new client has to send its first bytes, in milliseconds.
constexpr int64_t FIRST_BYTES_WAIT_MS = 100;

// Called once the accept loop listens (the agent is ready for clients); may
// be null.
extern void (*g_listening_func)();

// Returns -1 when `fd` cannot listen, 0 once it has been closed (shutdown).
int run_socket_server(int fd, conn_list *list);
// Accepts one client on the listening `fd` and pushes its node on `list`:
// 0, the accept's errno, or -1 when no node could be made.
int accept_connection(int fd, conn_list *list);
void *handle_socket_connection(void *list);
// One walk of `list`. A counting pass (every 200 ms) checks every node and
// counts undecided checks; other passes check only nodes with news.
void handle_socket_connection_pass(conn_list *list, bool counting = true);
// Sleeps until a node of `list` may have news or `next_pass_ms` (monotonic)
// is reached; -1: no pass is due.
void wait_for_news(conn_list *list, int64_t next_pass_ms);
// Lets the state machine look at its nodes now. Safe from any thread.
void wake_state_machine();
// Tells the state machine that `node` has news (an answer may be waiting).
void node_has_news(conn_node *node);
void check_node_timeout(conn_list *list, conn_node *prev, conn_node *node, bool *freed);
void do_forward(conn_node *node);

// The hooks (see the table in state_machine.cc for when each is called).
int check_connection_request(conn_node *node);
int check_connection_status(conn_node *node, int timeout);
void connection_rejected(conn_node *node);
void connection_established(conn_node *node);
void *forward_one_node(void *node);
