// The access policy's checks of requests, and the client's uid. See
// policy_gate.h.
#include "link/policy_gate.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <string>

#include "common/msg_header.h"
#include "common/sock_diag.h"
#include "frame/log.h"
#include "frame/policy.h"
#include "frame/util.h"

namespace {

// A client's socket in these states is a full socket with its creator's
// uid; a closed one lingering in TIME_WAIT reports uid 0.
constexpr uint32_t CLIENT_SOCKET_STATES = 1u << TCP_ESTABLISHED | 1u << TCP_FIN_WAIT1 |
                                          1u << TCP_FIN_WAIT2 | 1u << TCP_CLOSE_WAIT |
                                          1u << TCP_CLOSING | 1u << TCP_LAST_ACK;

// One tally per rule, each used by one thread only.
refusal_tally host_tcp_refusals, host_udp_refusals;
refusal_tally client_tcp_refusals, client_udp_refusals, client_user_refusals;

void log_refusal(refusal_tally *tally, const char *func, const std::string &what) {
    unsigned long unlogged = 0;
    if (!refusal_to_log(tally, monotonic_ms(), &unlogged)) {
        return;
    }
    if (unlogged == 0) {
        LOG_AS(func, LOG_ERROR, "Policy refused %s.\n", what.c_str());
    } else {
        LOG_AS(func, LOG_ERROR,
               "Policy refused %s (and %lu more by this rule since its last line).\n", what.c_str(),
               unlogged);
    }
}

// Who created the client's end of the loopback connection accepted on fd:
// the socket from the client's address and port to the agent's.
bool client_uid(int fd, uid_t *uid) {
    sockaddr_in agent{}, client{};
    socklen_t agent_len = sizeof(agent), client_len = sizeof(client);
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&agent), &agent_len) != 0 ||
        getpeername(fd, reinterpret_cast<sockaddr *>(&client), &client_len) != 0 ||
        client.sin_family != AF_INET) {
        return false;
    }
    inet_diag_sockid id{};
    id.idiag_src[0] = client.sin_addr.s_addr;
    id.idiag_sport = client.sin_port;
    id.idiag_dst[0] = agent.sin_addr.s_addr;
    id.idiag_dport = agent.sin_port;
    inet_diag_msg found;
    std::string error;
    if (find_tcp_socket(id, CLIENT_SOCKET_STATES, &found, &error) != diag_lookup::FOUND) {
        return false;
    }
    *uid = found.idiag_uid;
    return true;
}

}  // namespace

bool controller_request_allowed(const msg_header *h) {
    const bool tcp = h->protocol == MSG_PROTOCOL_TCP;
    const int port = ntohs(h->port);
    if (allows(tcp ? g_policy.host_tcp_ports : g_policy.host_udp_ports, port)) {
        return true;
    }
    log_refusal(tcp ? &host_tcp_refusals : &host_udp_refusals, "cdev_handle_conn_request",
                std::string("the controller's ") + (tcp ? "TCP request" : "UDP datagram") +
                    " for host port " + std::to_string(port));
    return false;
}

bool client_request_allowed(int fd, const msg_header *h) {
    const bool tcp = h->protocol == MSG_PROTOCOL_TCP;
    const int port = ntohs(h->port);
    const bool port_allowed =
        allows(tcp ? g_policy.controller_tcp_ports : g_policy.controller_udp_ports, port);
    // The uid costs a lookup: only asked when a rule needs it or a refusal names it.
    if (port_allowed && !policy_checks_clients(g_policy)) {
        return true;
    }
    uid_t uid = 0;
    const bool uid_known = client_uid(fd, &uid);
    if (port_allowed && uid_known && client_uid_allowed(g_policy, uid)) {
        return true;
    }
    refusal_tally *port_refusals = tcp ? &client_tcp_refusals : &client_udp_refusals;
    log_refusal(port_allowed ? &client_user_refusals : port_refusals,
                "cdev_check_connection_request",
                std::string("a link to controller ") + (tcp ? "TCP" : "UDP") + " port " +
                    std::to_string(port) + " for " +
                    (uid_known ? "uid " + std::to_string(uid) : "an unknown uid") +
                    (port_allowed ? ": user not allowed" : ": port not allowed"));
    return false;
}
