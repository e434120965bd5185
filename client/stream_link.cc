// A stream link: the agent is reached, the controller accepts the link, and
// the relay carries it until one side ends it.
#include "client/agent_connect.h"
#include "client/exit_status.h"
#include "client/link_report.h"
#include "client/link_request.h"
#include "client/modes.h"
#include "client/relay.h"

namespace {

// The status and the report's ending for how a relay ended.
int relay_outcome(const RelayResult &r, const StreamSide &side, const AgentConnection &agent,
                  std::string *end) {
    switch (r.end) {
        case RelayEnd::LinkClosed:
            if (!agent_still_there(agent)) {
                *end = "link cut: the agent went away; data may be lost";
                return STATUS_IO_ERROR;
            }
            *end = "closed by the controller";
            return STATUS_OK;
        case RelayEnd::InputEnded:
            *end = side.input_end;
            return STATUS_OK;
        case RelayEnd::Quiet:
            *end = std::string(side.input_end) + ", then the controller was quiet";
            return STATUS_OK;
        case RelayEnd::Stopped:
            *end = "stopped";
            return STATUS_OK;
        case RelayEnd::LinkFailed:
            *end = "link cut: " + r.error + "; data may be lost";
            return STATUS_IO_ERROR;
        case RelayEnd::LocalFailed:
            break;
    }
    *end = r.error;
    return STATUS_IO_ERROR;
}

}  // namespace

int run_stream_link(const ConnectOptions &options, const StreamSide &side) {
    LinkReport report;
    report.from = side.from;
    report.controller_port = options.controller_port;
    AgentConnection agent = connect_agent(options);
    if (agent.fd < 0) {
        report.end = agent.error;
        print_report(report, true, options.verbose);
        return STATUS_NO_AGENT;
    }
    if (!agent.note.empty() && options.verbose) {
        print_note(agent.note);
    }
    report.agent_port = agent.port;
    msg_header request = link_request(options.controller_port);
    LinkAnswer answer;
    if (!send_whole(agent.fd, &request, sizeof(request), &answer.error)) {
        answer.status = STATUS_IO_ERROR;
    } else {
        answer = await_answer(agent.fd, options.answer_wait, side.stop_fd);
    }
    if (answer.closed_early && !agent_still_there(agent)) {
        agent_went_away(&answer);
    }
    if (answer.status != STATUS_OK || answer.stopped) {
        close_socket(agent.fd);
        report.end = answer.error;
        print_report(report, answer.status != STATUS_OK, options.verbose);
        return answer.status;
    }
    report.has_ids = true;
    report.local_id = answer.header.local_link_id;
    report.peer_id = answer.header.peer_link_id;
    RelayEnds ends;
    ends.local_in = side.in;
    ends.local_out = side.out;
    ends.link = agent.fd;
    ends.stop_fd = side.stop_fd;
    ends.linger = side.linger;
    RelayResult result = relay(ends);
    close_socket(agent.fd);
    report.bytes_out = result.bytes_out;
    report.bytes_in = result.bytes_in;
    int status = relay_outcome(result, side, agent, &report.end);
    print_report(report, status != STATUS_OK, options.verbose);
    return status;
}
