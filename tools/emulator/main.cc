// cdev_emulator [--usb] <mount_dir>: serves the emulated device file in
// mount_dir, prints its path, logs every message the agent writes, and runs
// until SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tools/emulator/device_emulator.h"

namespace {

void usage(const char *argv0) {
    fprintf(stderr, "usage: %s [--usb] <mount_dir>\n", argv0);
}

uint32_t load_u32(const std::vector<uint8_t> &m, size_t at) {
    uint32_t v = 0;
    memcpy(&v, m.data() + at, sizeof(v));
    return v;
}

// One line per message: length and the header fields (link ids as stored).
bool log_message(const std::vector<uint8_t> &m) {
    if (m.size() < 32) {
        fprintf(stderr, "agent -> controller: %zu bytes (shorter than a header)\n", m.size());
        return false;
    }
    unsigned port = (static_cast<unsigned>(m[2]) << 8) | m[3];
    fprintf(stderr,
            "agent -> controller: %zu bytes, type %u, source %u, port %u, protocol %u, link "
            "0x%08x/0x%08x\n",
            m.size(), m[0], m[1], port, m[4], load_u32(m, 12), load_u32(m, 8));
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    emu::DeviceEmulator::Mode mode = emu::DeviceEmulator::Mode::NetCdev;
    int arg = 1;
    if (arg < argc && strcmp(argv[arg], "--usb") == 0) {
        mode = emu::DeviceEmulator::Mode::Usb;
        ++arg;
    }
    if (arg + 1 != argc) {
        usage(argv[0]);
        return 2;
    }
    // Blocked before any thread starts, so only sigwait below sees them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    emu::DeviceEmulator device(mode);
    device.set_message_hook(log_message);
    if (!device.start(argv[arg])) {
        fprintf(stderr, "cannot mount the emulated device on %s\n", argv[arg]);
        return 1;
    }
    printf("%s\n", device.device_file().c_str());
    fflush(stdout);
    int sig = 0;
    sigwait(&stop_signals, &sig);
    fprintf(stderr, "signal %d: stopping, %llu bytes from the agent, %llu bytes to it\n", sig,
            static_cast<unsigned long long>(device.bytes_from_agent()),
            static_cast<unsigned long long>(device.bytes_to_agent()));
    device.stop();
    return 0;
}
