// --help and --version of the agent. See about.h.
#include "frame/about.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "cdev_version.h"

namespace {

constexpr const char *HELP_TEXT =
    "Links programs on this host with the management controller through a\n"
    "character device.\n"
    "\n"
    "Arguments:\n"
    "  device            /dev/net_cdev (whole messages) or /dev/lcd1 (USB packet nodes)\n"
    "  listen_port       TCP port on 127.0.0.1 for local clients, 1024 to 65535;\n"
    "                    the next free port above it is taken when it is busy\n"
    "  bind_retry_count  ports tried before giving up, 0 to 65535 (default 65535)\n"
    "  --help            this text;  --version  the version\n"
    "\n"
    "Options, ahead of the arguments:\n"
    "  --capture FILE     write every message that crosses the device, both ways,\n"
    "                     to FILE in pcap format (Wireshark: the cdev dissector)\n"
    "  --capture-size MB  a new file whenever FILE would pass MB million bytes:\n"
    "                     FILE, FILE1, FILE2...\n"
    "  --capture-files N  with --capture-size: only N files, FILE0 to FILE<N-1>,\n"
    "                     reused in turn\n"
    "  --status-socket PATH\n"
    "                     the status socket (default: status.sock in\n"
    "                     $RUNTIME_DIRECTORY, else in the working directory)\n"
    "  --metrics FILE     write metrics in the Prometheus text format to FILE\n"
    "  --metrics-interval SECONDS\n"
    "                     rewrite FILE this often, 1 to 3600 (default 10)\n"
    "\n"
    "Environment:\n"
    "  DEBUG_NETWORK     when set (any value, even empty), every log level is written\n"
    "  NOTIFY_SOCKET, WATCHDOG_USEC  systemd's: READY, STATUS and the watchdog\n"
    "\n"
    "Files:\n"
    "  ./log/cdev_agent.log           the log, below the working directory at start;\n"
    "                                 the directory must exist, the file is appended to\n"
    "  /opt/vorlan/config/Vorlan.ini  Vorlan_user=<account>: the account the agent\n"
    "                                 runs as once started (default: stays root)\n"
    "  /opt/vorlan/config/cdev-policy.conf\n"
    "                                 the access policy: host ports the controller\n"
    "                                 may reach, controller ports local clients may\n"
    "                                 link to, and who may (no file: all allowed)\n"
    "\n"
    "Signals:\n"
    "  SIGHUP, SIGINT, SIGTERM  stop the agent (exit status 0)\n"
    "  SIGPIPE, SIGCHLD         ignored\n"
    "\n"
    "Must be started as root (exit status 127 otherwise); every other end,\n"
    "failed start-ups included, has exit status 0.\n";

}  // namespace

const char *version_text() {
    static const std::string text =
        CDEV_GIT_DESCRIBE[0] != '\0'
            ? std::string(CDEV_VERSION) + " (git " + CDEV_GIT_DESCRIBE + ")"
            : std::string(CDEV_VERSION);
    return text.c_str();
}

bool answer_about_option(int argc, char **argv) {
    if (argc < 2) {
        return false;
    }
    if (strcmp(argv[1], "--help") == 0) {
        printf("usage: %s <device> <listen_port> [bind_retry_count]\n\n%s", argv[0], HELP_TEXT);
        return true;
    }
    if (strcmp(argv[1], "--version") == 0) {
        printf("cdev_agent %s\n", version_text());
        return true;
    }
    return false;
}
