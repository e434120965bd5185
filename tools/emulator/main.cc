// cdev_emulator [--usb] [--map P:Q]... [--listen X:H]... [--udp H:text]...
//               [--trace] [--no-sums] <mount_dir> | --fast <socket>
// Serves the emulated device file in mount_dir (or, with --fast, the fast
// stand-in's socket for an agent run with tools/fastdev's library
// preloaded), prints its path, and plays the management controller behind it:
//   --map P:Q     the agent's links to controller port P reach 127.0.0.1:Q
//   --listen X:H  each client on 127.0.0.1:X (0: any free port) becomes a
//                 link the controller opens to host port H
//   --udp H:text  once the agent has announced itself, one datagram with
//                 text for host UDP port H
//   --trace       one line on stderr per message the agent writes
//   --no-sums     no checksums of what crosses the links (benchmarks)
// Runs until SIGINT or SIGTERM, then prints what crossed each link and the
// keepalives counted.
#include <signal.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/controller/controller.h"
#include "tools/emulator/device_emulator.h"
#include "tools/fastdev/fast_device.h"

namespace {

constexpr timespec SIGNAL_POLL = {0, 100 * 1000 * 1000};

struct Datagram {
    uint16_t port;
    std::string text;
};

void usage(const char *argv0) {
    fprintf(stderr,
            "usage: %s [--usb] [--map P:Q]... [--listen X:H]... [--udp H:text]... [--trace] "
            "[--no-sums] "
            "<mount_dir> | --fast <socket>\n",
            argv0);
}

// "A:B" with two ports; B is the rest of the text when rest is given.
bool parse_pair(const char *text, uint16_t *a, uint16_t *b, std::string *rest) {
    char *end = nullptr;
    unsigned long first = strtoul(text, &end, 10);
    if (end == text || *end != ':' || first > 65535) {
        return false;
    }
    *a = static_cast<uint16_t>(first);
    if (rest != nullptr) {
        *rest = end + 1;
        return true;
    }
    const char *second_text = end + 1;
    unsigned long second = strtoul(second_text, &end, 10);
    if (end == second_text || *end != '\0' || second > 65535) {
        return false;
    }
    *b = static_cast<uint16_t>(second);
    return true;
}

// One line per message: length and the header fields (link ids as the
// agent's log prints them).
void trace_message(const std::vector<uint8_t> &m) {
    if (m.size() < ctl::HEADER_SIZE) {
        fprintf(stderr, "agent -> controller: %zu bytes (shorter than a header)\n", m.size());
        return;
    }
    fprintf(stderr,
            "agent -> controller: %zu bytes, type %u, source %u, port %u, protocol %u, link "
            "0x%08x/0x%08x\n",
            m.size(), m[0], m[1], ctl::header_port(m.data()), m[4],
            ctl::printable_id(ctl::header_local_id(m.data())),
            ctl::printable_id(ctl::header_peer_id(m.data())));
}

void print_summary(const ctl::Controller &controller, const emu::Device &device) {
    printf("controller: %" PRIu64 " init, %" PRIu64 " heartbeat messages from the agent; %" PRIu64
           " messages fit no link\n",
           controller.init_count(), controller.heartbeat_count(), controller.ignored_messages());
    printf("device: %" PRIu64 " bytes from the agent, %" PRIu64 " bytes to it\n",
           device.bytes_from_agent(), device.bytes_to_agent());
    for (const ctl::LinkRecord &r : controller.links()) {
        printf("link 0x%08x/0x%08x %s port %u via %u: agent->controller %" PRIu64
               " bytes (fnv %016" PRIx64 "), controller->agent %" PRIu64 " bytes (fnv %016" PRIx64
               "), %s\n",
               ctl::printable_id(r.local_id), ctl::printable_id(r.peer_id),
               ctl::link_kind_name(r.kind), r.port, r.socket_port, r.bytes_from_agent,
               r.sum_from_agent, r.bytes_to_agent, r.sum_to_agent, r.open ? "open" : r.end.c_str());
    }
    fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    emu::DeviceEmulator::Mode mode = emu::DeviceEmulator::Mode::NetCdev;
    ctl::Options options;
    std::vector<Datagram> datagrams;
    std::string mount_dir;
    std::string fast_socket;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        uint16_t a = 0;
        uint16_t b = 0;
        std::string text;
        if (arg == "--usb") {
            mode = emu::DeviceEmulator::Mode::Usb;
        } else if (arg == "--fast" && has_value) {
            fast_socket = argv[++i];
        } else if (arg == "--trace") {
            options.observe = trace_message;
        } else if (arg == "--no-sums") {
            options.sums = false;
        } else if (arg == "--map" && has_value && parse_pair(argv[++i], &a, &b, nullptr)) {
            options.port_map[a] = b;
        } else if (arg == "--listen" && has_value && parse_pair(argv[++i], &a, &b, nullptr)) {
            options.listens.emplace_back(a, b);
        } else if (arg == "--udp" && has_value && parse_pair(argv[++i], &a, &b, &text)) {
            datagrams.push_back({a, text});
        } else if (arg[0] != '-' && mount_dir.empty()) {
            mount_dir = arg;
        } else {
            usage(argv[0]);
            return 2;
        }
    }
    if (mount_dir.empty() == fast_socket.empty()) {
        usage(argv[0]);
        return 2;
    }
    // Blocked before any thread starts, so only sigtimedwait below sees them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    emu::DeviceEmulator emulated(mode);
    fastdev::FastDevice fast(mode);
    emu::Device &device = fast_socket.empty() ? static_cast<emu::Device &>(emulated) : fast;
    if (fast_socket.empty() ? !emulated.start(mount_dir) : !fast.start(fast_socket)) {
        fprintf(stderr, "cannot serve the device on %s\n",
                fast_socket.empty() ? mount_dir.c_str() : fast_socket.c_str());
        return 1;
    }
    ctl::Controller controller(&device, options);
    std::string error;
    if (!controller.start(&error)) {
        fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    printf("%s\n", fast_socket.empty() ? emulated.device_file().c_str() : fast_socket.c_str());
    std::vector<uint16_t> ports = controller.listen_ports();
    for (size_t i = 0; i < ports.size(); ++i) {
        printf("listening on 127.0.0.1:%u for host port %u\n", ports[i], options.listens[i].second);
    }
    fflush(stdout);
    while (sigtimedwait(&stop_signals, nullptr, &SIGNAL_POLL) < 0) {
        if (!datagrams.empty() && controller.init_count() > 0) {
            for (const Datagram &d : datagrams) {
                controller.send_udp(d.port, std::vector<uint8_t>(d.text.begin(), d.text.end()));
                printf("sent a %zu-byte datagram for host UDP port %u\n", d.text.size(), d.port);
            }
            fflush(stdout);
            datagrams.clear();
        }
    }
    controller.stop();
    print_summary(controller, device);
    emulated.stop();
    fast.stop();
    return 0;
}
