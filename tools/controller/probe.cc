// cdev_probe: the small clients and services the demo and the benchmark
// script drive tunnels with.
//   cdev_probe echo-server <port>
//       echoes every connection on 127.0.0.1:<port> until killed
//   cdev_probe bench-server <port>
//       per connection, the commands of probe.h: echo, sink and check, send
//   cdev_probe talk <port> [--header P] <text> <bytes>
//       connects to 127.0.0.1:<port> (through the agent with --header: the
//       32-byte request for controller port P first, the 32-byte response
//       back), sends <text> and pattern bytes up to <bytes> in all, reads the
//       echo, prints bytes and checksums each way; status 0 when they match
//   cdev_probe bench <port> [--header P] <measure>, against a bench-server:
//     upload|download <bytes> [chunk]   one link, writes of chunk bytes
//                                       (default 131072)
//     latency <rounds> <size>           lockstep echoes on one link
//     parallel <links> <bytes>          links at once, each <bytes> both ways
//     setup <count>                     links one after the other, until
//                                       each can carry data
//     idle <links> <seconds> <pid>      links held idle while the CPU and
//                                       memory of <pid> (and its children)
//                                       are watched; then each is checked
//       each prints one line of key=value figures; status 0 when every byte
//       arrived intact (compared with the pattern, or count and check
//       answered by the service)
#include "tools/controller/probe.h"

#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr size_t DEFAULT_CHUNK = 131072;

int usage() {
    fprintf(stderr,
            "usage: cdev_probe echo-server <port>\n"
            "       cdev_probe bench-server <port>\n"
            "       cdev_probe talk <port> [--header P] <text> <bytes>\n"
            "       cdev_probe bench <port> [--header P] upload|download <bytes> [chunk]\n"
            "       cdev_probe bench <port> [--header P] latency <rounds> <size>\n"
            "       cdev_probe bench <port> [--header P] parallel <links> <bytes>\n"
            "       cdev_probe bench <port> [--header P] setup <count>\n"
            "       cdev_probe bench <port> [--header P] idle <links> <seconds> <pid>\n");
    return 2;
}

// A thousand links need as many descriptors; the hard limit is the caller's.
void raise_descriptor_limit() {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

uint64_t number(const std::string &s) {
    return strtoull(s.c_str(), nullptr, 0);
}

int bench(const probe::Target &t, const std::vector<std::string> &a) {
    const std::string &what = a.empty() ? "" : a[0];
    if ((what == "upload" || what == "download") && (a.size() == 2 || a.size() == 3)) {
        size_t chunk = a.size() == 3 ? number(a[2]) : DEFAULT_CHUNK;
        return probe::bench_bulk(t, what == "upload", number(a[1]), chunk == 0 ? 1 : chunk);
    }
    if (what == "latency" && a.size() == 3) {
        return probe::bench_latency(t, static_cast<int>(number(a[1])), number(a[2]));
    }
    if (what == "parallel" && a.size() == 3) {
        return probe::bench_parallel(t, static_cast<int>(number(a[1])), number(a[2]));
    }
    if (what == "setup" && a.size() == 2) {
        return probe::bench_setup(t, static_cast<int>(number(a[1])));
    }
    if (what == "idle" && a.size() == 4) {
        return probe::bench_idle(t, static_cast<int>(number(a[1])), atof(a[2].c_str()),
                                 static_cast<pid_t>(number(a[3])));
    }
    return usage();
}

}  // namespace

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    raise_descriptor_limit();
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() < 2) {
        return usage();
    }
    probe::Target target;
    target.port = static_cast<uint16_t>(atoi(args[1].c_str()));
    if (args[0] == "echo-server") {
        probe::serve_echo(target.port);
    }
    if (args[0] == "bench-server") {
        probe::serve_bench(target.port);
    }
    size_t next = 2;
    if (args.size() > next + 1 && args[next] == "--header") {
        target.controller_port = atoi(args[next + 1].c_str());
        next += 2;
    }
    std::vector<std::string> rest(args.begin() + static_cast<ptrdiff_t>(next), args.end());
    if (args[0] == "talk" && rest.size() == 2) {
        return probe::talk(target, rest[0], number(rest[1]));
    }
    if (args[0] == "bench") {
        return bench(target, rest);
    }
    return usage();
}
