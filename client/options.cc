// Command-line parsing for cdev-connect.
#include "client/options.h"

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "common/agent_port.h"

namespace {

constexpr double MAX_SECONDS = 86400;

bool parse_port(const std::string &text, uint16_t *port) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 5) {
        return false;
    }
    long value = strtol(text.c_str(), nullptr, 10);
    if (value < 1 || value > 65535) {
        return false;
    }
    *port = static_cast<uint16_t>(value);
    return true;
}

bool parse_seconds(const char *text, bool zero_allowed, std::chrono::milliseconds *out) {
    char *end = nullptr;
    errno = 0;
    double value = strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(value) || value < 0 ||
        value > MAX_SECONDS || (value == 0 && !zero_allowed)) {
        return false;
    }
    *out = std::chrono::milliseconds(static_cast<int64_t>(std::llround(value * 1000)));
    return true;
}

// [ADDRESS:]LOCAL_PORT:PORT, the address possibly an IPv6 one in brackets.
bool parse_forward(const std::string &text, ConnectOptions *o) {
    size_t last = text.rfind(':');
    if (last == std::string::npos || last == 0) {
        return false;
    }
    size_t middle = text.rfind(':', last - 1);
    std::string local_port = text.substr(middle == std::string::npos ? 0 : middle + 1,
                                         last - (middle == std::string::npos ? 0 : middle + 1));
    if (!parse_port(local_port, &o->local_port) ||
        !parse_port(text.substr(last + 1), &o->controller_port)) {
        return false;
    }
    if (middle != std::string::npos) {
        std::string address = text.substr(0, middle);
        if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
            address = address.substr(1, address.size() - 2);
        }
        if (address.empty()) {
            return false;
        }
        o->local_address = address;
    }
    return true;
}

ParseOutcome fail(std::string *error, const std::string &why) {
    *error = why;
    return ParseOutcome::Error;
}

}  // namespace

const char *synopsis_text() {
    return "usage: cdev-connect [-v] [-a AGENT_PORT] [-w SECONDS] [-q SECONDS] PORT\n"
           "       cdev-connect [-v] [-a AGENT_PORT] [-w SECONDS] [-q SECONDS] "
           "-L [ADDRESS:]LOCAL_PORT:PORT\n"
           "       cdev-connect [-v] [-a AGENT_PORT] [-w SECONDS] -U [ADDRESS:]LOCAL_PORT:PORT\n";
}

const char *help_text() {
    return "Reaches port PORT on the management controller through the CDEV agent.\n"
           "  PORT         relay standard input and output over one link (ssh ProxyCommand)\n"
           "  -L FORWARD   accept TCP clients on ADDRESS:LOCAL_PORT, one link each\n"
           "  -U FORWARD   send each datagram on ADDRESS:LOCAL_PORT as a one-shot request,\n"
           "               the reply back to its sender (ADDRESS defaults to 127.0.0.1)\n"
           "  -a PORT      the agent's port (else CDEV_AGENT_PORT, else 7350, else a\n"
           "               running agent's port, from its process name cdev.<port>)\n"
           "  -w SECONDS   wait this long for the controller's answer (default 6)\n"
           "  -q SECONDS   after the input ended, end the link once the controller has\n"
           "               been quiet this long (default: stdio waits for the controller\n"
           "               to close; -L ends a link when its client closes)\n"
           "  -v           one line per link on standard error\n"
           "  -h, --help   this text\n"
           "  -V, --version\n"
           "\n"
           "Exit status: 0 success, 1 I/O error, 2 usage error, 3 agent not reachable,\n"
           "4 the controller refused the link, 5 no answer in time.\n";
}

ParseOutcome parse_options(int argc, char **argv, const char *env_agent_port, ConnectOptions *o,
                           std::string *error) {
    static const option long_options[] = {{"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, 'V'},
                                          {nullptr, 0, nullptr, 0}};
    *o = ConnectOptions{};
    o->agent_port = CDEV_DEFAULT_AGENT_PORT;
    if (env_agent_port != nullptr && *env_agent_port != '\0') {
        if (!parse_port(env_agent_port, &o->agent_port)) {
            return fail(error, std::string("CDEV_AGENT_PORT is not a port: ") + env_agent_port);
        }
        o->agent_port_chosen = true;
    }
    bool mode_given = false;
    optind = 1;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "+a:w:q:L:U:vhV", long_options, nullptr)) != -1) {
        switch (c) {
            case 'a':
                if (!parse_port(optarg, &o->agent_port)) {
                    return fail(error, std::string("-a wants a port, not ") + optarg);
                }
                o->agent_port_chosen = true;
                break;
            case 'w':
                if (!parse_seconds(optarg, false, &o->answer_wait)) {
                    return fail(error, std::string("-w wants seconds above 0, not ") + optarg);
                }
                break;
            case 'q': {
                std::chrono::milliseconds linger;
                if (!parse_seconds(optarg, true, &linger)) {
                    return fail(error, std::string("-q wants seconds, not ") + optarg);
                }
                o->linger = linger;
                break;
            }
            case 'L':
            case 'U':
                if (mode_given) {
                    return fail(error, "-L and -U are given once, and not together");
                }
                mode_given = true;
                o->mode = c == 'L' ? ConnectMode::TcpListener : ConnectMode::UdpRelay;
                if (!parse_forward(optarg, o)) {
                    return fail(error, std::string("-") + static_cast<char>(c) +
                                           " wants [ADDRESS:]LOCAL_PORT:PORT, not " + optarg);
                }
                break;
            case 'v':
                o->verbose = true;
                break;
            case 'h':
                return ParseOutcome::Help;
            case 'V':
                return ParseOutcome::Version;
            default:
                return fail(error, std::string("unknown option or missing value: ") +
                                       (optind > 1 ? argv[optind - 1] : "?"));
        }
    }
    int rest = argc - optind;
    if (o->mode == ConnectMode::UdpRelay && o->linger) {
        return fail(error, "-q has no meaning with -U: a request ends with its reply");
    }
    if (mode_given) {
        return rest == 0 ? ParseOutcome::Run : fail(error, "unexpected argument with -L or -U");
    }
    if (rest != 1) {
        return fail(error, "give one controller PORT, or -L or -U");
    }
    if (!parse_port(argv[optind], &o->controller_port)) {
        return fail(error, std::string("not a port: ") + argv[optind]);
    }
    return ParseOutcome::Run;
}
