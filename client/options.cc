// Command-line parsing for cdev-connect.
#include "client/options.h"

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "common/agent_port.h"

namespace {

constexpr double MAX_SECONDS = 86400;
// -w: a shorter wait could not be told apart from none.
constexpr double MIN_ANSWER_WAIT = 0.001;
constexpr unsigned long MAX_LINKS = 65535;
// Long options with no letter of their own.
enum : int {
    AGENT_USER_OPTION = 256,
    STATUS_OPTION,
    JSON_OPTION,
    STATUS_SOCKET_OPTION,
    CAPTURE_START_OPTION,
    CAPTURE_SIZE_OPTION,
    CAPTURE_FILES_OPTION,
    CAPTURE_STOP_OPTION,
};

// What the status socket's options asked for, before they are checked
// together.
struct ControlWords {
    int commands = 0;  // --status, --capture-start and --capture-stop given
    bool json = false;
    std::string capture_path;
    std::string capture_size = "-";  // "-": not given
    std::string capture_files = "-";
    bool socket_chosen = false;
};

bool whole_number(const std::string &text) {
    return !text.empty() && text.size() <= 7 &&
           text.find_first_not_of("0123456789") == std::string::npos;
}

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

bool parse_seconds(const char *text, double minimum, std::chrono::milliseconds *out) {
    char *end = nullptr;
    errno = 0;
    double value = strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(value) || value < minimum ||
        value > MAX_SECONDS) {
        return false;
    }
    *out = std::chrono::milliseconds(static_cast<int64_t>(std::llround(value * 1000)));
    return true;
}

bool parse_count(const std::string &text, size_t *count) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    unsigned long value = strtoul(text.c_str(), nullptr, 10);
    *count = value;
    return value >= 1 && value <= MAX_LINKS;
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

// Takes one option of the status socket; false when `c` is none of them.
bool take_control_option(int c, const char *arg, ConnectOptions *o, ControlWords *w) {
    switch (c) {
        case STATUS_OPTION:
            ++w->commands;
            o->control_command = "status";
            return true;
        case CAPTURE_START_OPTION:
            ++w->commands;
            w->capture_path = arg;
            o->control_command = "capture start";
            return true;
        case CAPTURE_STOP_OPTION:
            ++w->commands;
            o->control_command = "capture stop";
            return true;
        case JSON_OPTION:
            w->json = true;
            return true;
        case CAPTURE_SIZE_OPTION:
            w->capture_size = arg;
            return true;
        case CAPTURE_FILES_OPTION:
            w->capture_files = arg;
            return true;
        case STATUS_SOCKET_OPTION:
            o->status_socket = arg;
            w->socket_chosen = true;
            return true;
        default:
            return false;
    }
}

// The status socket's command from its options, checked together.
ParseOutcome finish_control(const ControlWords &w, bool linking, ConnectOptions *o,
                            std::string *error) {
    if (w.commands > 1 || linking) {
        return fail(error, "--status, --capture-start and --capture-stop go alone");
    }
    if (w.json && o->control_command != "status") {
        return fail(error, "--json goes with --status");
    }
    bool sized = w.capture_size != "-" || w.capture_files != "-";
    if (sized && o->control_command != "capture start") {
        return fail(error, "--capture-size and --capture-files go with --capture-start");
    }
    if (o->status_socket.empty()) {
        return fail(error, "--status-socket wants a path");
    }
    if (o->control_command == "capture start") {
        if (w.capture_path.empty() || w.capture_path.find('\n') != std::string::npos) {
            return fail(error, "--capture-start wants a file name");
        }
        for (const std::string *n : {&w.capture_size, &w.capture_files}) {
            if (*n != "-" && !whole_number(*n)) {
                return fail(error,
                            "--capture-size and --capture-files want whole numbers, not " + *n);
            }
        }
        o->control_command += " " + w.capture_size + " " + w.capture_files + " " + w.capture_path;
    } else if (w.json) {
        o->control_command += " json";
    }
    o->mode = ConnectMode::Control;
    return ParseOutcome::Run;
}

}  // namespace

const char *synopsis_text() {
    return "usage: cdev-connect [OPTION]... PORT\n"
           "       cdev-connect [OPTION]... [-m COUNT] -L [ADDRESS:]LOCAL_PORT:PORT\n"
           "       cdev-connect [OPTION]... [-m COUNT] -U [ADDRESS:]LOCAL_PORT:PORT\n"
           "       cdev-connect [--status-socket PATH] --status [--json]\n"
           "       cdev-connect [--status-socket PATH] --capture-start FILE\n"
           "                    [--capture-size MB [--capture-files N]]\n"
           "       cdev-connect [--status-socket PATH] --capture-stop\n";
}

const char *help_text() {
    return "Reaches port PORT on the management controller through the CDEV agent.\n"
           "  PORT         relay standard input and output over one link (ssh ProxyCommand)\n"
           "  -L FORWARD   accept TCP clients on ADDRESS:LOCAL_PORT, one link each\n"
           "  -U FORWARD   send each datagram on ADDRESS:LOCAL_PORT as a one-shot request,\n"
           "               the reply back to its sender (ADDRESS defaults to 127.0.0.1)\n"
           "  -m COUNT     at most COUNT links (-L) or requests (-U) at once (default 64);\n"
           "               more clients are refused, datagrams dropped\n"
           "  -a PORT      the agent's port (else CDEV_AGENT_PORT, else 7350, else a\n"
           "               running agent's port, from its process name cdev.<port>)\n"
           "  --agent-user NAME\n"
           "               the account the agent runs as besides root (else CDEV_AGENT_USER,\n"
           "               else " CDEV_SERVICE_ACCOUNT
           "); a port held by anyone else is refused\n"
           "  -w SECONDS   wait this long for the controller's answer (default 6, at least\n"
           "               0.001)\n"
           "  -q SECONDS   after the input ended, end the link once the controller has\n"
           "               been quiet this long (default: stdio waits for the controller\n"
           "               to close; -L ends a link when its client closes)\n"
           "  -v           one line per link on standard error\n"
           "  --status     the agent's status: device, queue, links, counters (--json: as\n"
           "               JSON)\n"
           "  --capture-start FILE [--capture-size MB [--capture-files N]]\n"
           "               the agent captures what crosses its device into FILE (relative\n"
           "               to its working directory), as its --capture option would\n"
           "  --capture-stop\n"
           "               ends the agent's capture\n"
           "  --status-socket PATH\n"
           "               the agent's status socket (else CDEV_STATUS_SOCKET, else\n"
           "               " CDEV_STATUS_SOCKET
           ")\n"
           "  -h, --help   this text\n"
           "  -V, --version\n"
           "\n"
           "Exit status: 0 success, 1 I/O error or a link cut (or the agent refused a\n"
           "status socket command), 2 usage error, 3 no trusted agent reachable (or no\n"
           "status socket), 4 the controller refused the link, 5 no answer (in time, or\n"
           "the device is away or the controller not running).\n";
}

ParseOutcome parse_options(int argc, char **argv, const ConnectEnv &env, ConnectOptions *o,
                           std::string *error) {
    static const option long_options[] = {
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {"max-links", required_argument, nullptr, 'm'},
        {"agent-user", required_argument, nullptr, AGENT_USER_OPTION},
        {"status", no_argument, nullptr, STATUS_OPTION},
        {"json", no_argument, nullptr, JSON_OPTION},
        {"status-socket", required_argument, nullptr, STATUS_SOCKET_OPTION},
        {"capture-start", required_argument, nullptr, CAPTURE_START_OPTION},
        {"capture-size", required_argument, nullptr, CAPTURE_SIZE_OPTION},
        {"capture-files", required_argument, nullptr, CAPTURE_FILES_OPTION},
        {"capture-stop", no_argument, nullptr, CAPTURE_STOP_OPTION},
        {nullptr, 0, nullptr, 0}};
    ControlWords control;
    *o = ConnectOptions{};
    o->agent_port = CDEV_DEFAULT_AGENT_PORT;
    bool mode_given = false;
    bool max_given = false;
    optind = 1;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "+a:w:q:L:U:m:vhV", long_options, nullptr)) != -1) {
        if (take_control_option(c, optarg, o, &control)) {
            continue;
        }
        switch (c) {
            case 'a':
                if (!parse_port(optarg, &o->agent_port)) {
                    return fail(error, std::string("-a wants a port, not ") + optarg);
                }
                o->agent_port_chosen = true;
                break;
            case AGENT_USER_OPTION:
                if (*optarg == '\0') {
                    return fail(error, "--agent-user wants an account name");
                }
                o->agent_user = optarg;
                o->agent_user_chosen = true;
                break;
            case 'w':
                if (!parse_seconds(optarg, MIN_ANSWER_WAIT, &o->answer_wait)) {
                    return fail(error,
                                std::string("-w wants seconds, at least 0.001, not ") + optarg);
                }
                break;
            case 'q': {
                std::chrono::milliseconds linger;
                if (!parse_seconds(optarg, 0, &linger)) {
                    return fail(error, std::string("-q wants seconds, not ") + optarg);
                }
                o->linger = linger;
                break;
            }
            case 'm':
                if (!parse_count(optarg, &o->max_links)) {
                    return fail(error,
                                std::string("-m wants a count from 1 to 65535, not ") + optarg);
                }
                max_given = true;
                break;
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
    // The command line wins over the environment.
    if (!o->agent_port_chosen && env.agent_port != nullptr && *env.agent_port != '\0') {
        if (!parse_port(env.agent_port, &o->agent_port)) {
            return fail(error, std::string("CDEV_AGENT_PORT is not a port: ") + env.agent_port);
        }
        o->agent_port_chosen = true;
    }
    if (!o->agent_user_chosen && env.agent_user != nullptr && *env.agent_user != '\0') {
        o->agent_user = env.agent_user;
        o->agent_user_chosen = true;
    }
    if (env.status_socket != nullptr && *env.status_socket != '\0' && !control.socket_chosen) {
        o->status_socket = env.status_socket;
    }
    int rest = argc - optind;
    if (control.commands > 0 || control.json || control.capture_size != "-" ||
        control.capture_files != "-") {
        return finish_control(control, mode_given || max_given || rest > 0, o, error);
    }
    if (o->mode == ConnectMode::UdpRelay && o->linger) {
        return fail(error, "-q has no meaning with -U: a request ends with its reply");
    }
    if (mode_given) {
        return rest == 0 ? ParseOutcome::Run : fail(error, "unexpected argument with -L or -U");
    }
    if (max_given) {
        return fail(error, "-m goes with -L or -U: standard input and output make one link");
    }
    if (rest != 1) {
        return fail(error, "give one controller PORT, or -L or -U");
    }
    if (!parse_port(argv[optind], &o->controller_port)) {
        return fail(error, std::string("not a port: ") + argv[optind]);
    }
    return ParseOutcome::Run;
}
