// dev_rate [--fast] [--usb] [--seconds S]: what the device alone carries,
// moved the agent's way with no agent, for the largest messages (131072
// bytes; USB: 128 slices, 57600 bytes) and for 1024-byte ones:
//   up    one write per message (USB: one 468-byte write per packet node);
//   down  one poll per message, then reads of 1024 bytes until a short one
//         (USB: reads of 2044 bytes, one unit each, until the last slice).
// Every message carries its number at both ends and a fixed pattern between,
// all checked on arrival.
// Without --fast the device is the FUSE emulator on a temp mount (root and
// /dev/fuse needed); with --fast it is a FastDevice on a socket in a temp
// directory, opened through the fast library, so run it preloaded:
//   LD_PRELOAD=build/tools/fastdev/libcdev_fastdev.so dev_rate --fast
// Prints one line per pattern:
//   alone dir=up|down size=<bytes> messages_per_s=<n> mb_per_s=<x> intact=0|1
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "tools/emulator/device_emulator.h"
#include "tools/emulator/usb_packet.h"
#include "tools/fastdev/fast_device.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
using Mode = emu::Device::Mode;

constexpr size_t NET_CDEV_READ_SIZE = 1024;
constexpr size_t USB_READ_SIZE = 2044;
constexpr size_t USB_MAX_MESSAGE = 128 * emu::PACKET_DATA_SIZE;
constexpr size_t MAX_PENDING_MESSAGES = 16;  // as the controller keeps at most
constexpr size_t STAMP = sizeof(uint64_t);

[[noreturn]] void die(const char *what) {
    perror(what);
    exit(1);
}

// Message number n: n at both ends, a fixed pattern between.
void stamp(Bytes *m, uint64_t n) {
    memcpy(m->data(), &n, STAMP);
    memcpy(m->data() + m->size() - STAMP, &n, STAMP);
}

Bytes template_message(size_t size) {
    Bytes m(size);
    for (size_t i = 0; i < size; ++i) {
        m[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    return m;
}

bool matches(const uint8_t *got, size_t len, const Bytes &tmpl, uint64_t n) {
    uint64_t head;
    uint64_t tail;
    if (len != tmpl.size()) {
        return false;
    }
    memcpy(&head, got, STAMP);
    memcpy(&tail, got + len - STAMP, STAMP);
    return head == n && tail == n && memcmp(got + STAMP, tmpl.data() + STAMP, len - 2 * STAMP) == 0;
}

void report(const char *dir, size_t size, uint64_t messages, double seconds, bool intact) {
    printf("alone dir=%s size=%zu messages_per_s=%.0f mb_per_s=%.1f intact=%d\n", dir, size,
           messages / seconds, messages * static_cast<double>(size) / seconds / 1e6, intact);
    fflush(stdout);
}

// The device under test and the descriptor the agent's side uses.
struct Rig {
    Mode mode;
    std::string dir;
    std::unique_ptr<emu::DeviceEmulator> fuse;
    std::unique_ptr<fastdev::FastDevice> fast;
    emu::Device *device = nullptr;
    int fd = -1;
};

void open_rig(Rig *rig, bool use_fast) {
    char tmpl[] = "/tmp/cdev_dev_rate_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        die("mkdtemp");
    }
    rig->dir = tmpl;
    std::string path;
    if (use_fast) {
        std::string socket_path = rig->dir + "/device.sock";
        path = rig->mode == Mode::Usb ? "/dev/lcd1" : "/dev/net_cdev";
        rig->fast = std::make_unique<fastdev::FastDevice>(rig->mode);
        if (!rig->fast->start(socket_path)) {
            die("fast device");
        }
        setenv("CDEV_FASTDEV_SOCKET", socket_path.c_str(), 1);
        setenv("CDEV_FASTDEV_DEVICE", path.c_str(), 1);
        rig->device = rig->fast.get();
    } else {
        rig->fuse = std::make_unique<emu::DeviceEmulator>(rig->mode);
        if (!rig->fuse->start(rig->dir)) {
            fprintf(stderr, "cannot mount the emulator (root and /dev/fuse needed)\n");
            exit(1);
        }
        path = rig->fuse->device_file();
        rig->device = rig->fuse.get();
    }
    rig->fd = open(path.c_str(), O_RDWR | O_APPEND);
    struct stat st;
    if (rig->fd < 0 || fstat(rig->fd, &st) != 0) {
        die(path.c_str());
    }
    if (use_fast && !S_ISSOCK(st.st_mode)) {
        fprintf(stderr, "%s is not the fast device: preload libcdev_fastdev.so\n", path.c_str());
        exit(1);
    }
}

void close_rig(Rig *rig) {
    close(rig->fd);
    if (rig->fuse) {
        rig->fuse->stop();
    }
    if (rig->fast) {
        rig->fast->stop();
    }
    rmdir(rig->dir.c_str());
}

void write_message(const Rig &rig, const Bytes &m) {
    if (rig.mode == Mode::NetCdev) {
        if (write(rig.fd, m.data(), m.size()) != static_cast<ssize_t>(m.size())) {
            die("write");
        }
        return;
    }
    for (const Bytes &node : emu::cut_message(m)) {
        if (write(rig.fd, node.data(), node.size()) != static_cast<ssize_t>(node.size())) {
            die("write");
        }
    }
}

void measure_up(const Rig &rig, size_t size, double seconds) {
    const Bytes tmpl = template_message(size);
    std::atomic<uint64_t> seen{0};
    std::atomic<bool> intact{true};
    rig.device->set_message_hook([&](const Bytes &m) {
        intact = intact && matches(m.data(), m.size(), tmpl, seen);
        ++seen;
        return true;
    });
    Bytes m = tmpl;
    uint64_t sent = 0;
    Clock::time_point start = Clock::now();
    auto end = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        stamp(&m, sent++);
        write_message(rig, m);
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    Clock::time_point give_up = Clock::now() + std::chrono::seconds(10);
    while (seen < sent && Clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    rig.device->set_message_hook(nullptr);
    report("up", size, sent, elapsed, intact && seen == sent);
}

// One message the agent's way into buf; its length, or -1.
ssize_t read_message(const Rig &rig, Bytes *buf) {
    pollfd p{rig.fd, POLLIN, 0};
    if (poll(&p, 1, -1) != 1) {
        return -1;
    }
    size_t len = 0;
    if (rig.mode == Mode::NetCdev) {
        while (true) {
            ssize_t n = read(rig.fd, buf->data() + len, NET_CDEV_READ_SIZE);
            if (n < 0) {
                return -1;
            }
            len += static_cast<size_t>(n);
            if (static_cast<size_t>(n) < NET_CDEV_READ_SIZE) {
                return static_cast<ssize_t>(len);
            }
        }
    }
    uint8_t unit[USB_READ_SIZE];
    for (uint32_t number = 0;; ++number) {
        ssize_t n = read(rig.fd, unit, sizeof(unit));
        emu::PacketNode node;
        if (n < static_cast<ssize_t>(emu::USB_UNIT_SIZE) || unit[0] != emu::NODE_FLAG_BYTE ||
            unit[1] != emu::NODE_FLAG_BYTE ||
            !emu::decode_packet_node(unit + emu::NODE_FLAG_SIZE, emu::PACKET_NODE_SIZE, &node) ||
            node.number != number || len + node.cut_packet_len > buf->size()) {
            return -1;
        }
        memcpy(buf->data() + len, node.data, node.cut_packet_len);
        len += node.cut_packet_len;
        if (node.token == emu::SLICE_TOKEN_LAST || node.token == emu::SLICE_TOKEN_ONLY) {
            return static_cast<ssize_t>(len);
        }
    }
}

void measure_down(const Rig &rig, size_t size, double seconds) {
    const Bytes tmpl = template_message(size);
    const size_t units = rig.mode == Mode::Usb ? emu::cut_message(tmpl).size() : 1;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> injected{0};
    std::thread producer([&] {
        Bytes m = tmpl;
        while (!stop) {
            if (rig.device->pending_for_agent() < MAX_PENDING_MESSAGES * units) {
                stamp(&m, injected);
                rig.device->inject(m);
                ++injected;
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
        }
    });
    Bytes buf(tmpl.size() + NET_CDEV_READ_SIZE);
    bool intact = true;
    uint64_t got = 0;
    Clock::time_point start = Clock::now();
    auto end = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        ssize_t n = read_message(rig, &buf);
        intact = intact && n >= 0 && matches(buf.data(), static_cast<size_t>(n), tmpl, got);
        ++got;
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    uint64_t counted = got;
    stop = true;
    producer.join();
    while (intact && got < injected) {  // the next pattern starts on an empty device
        ssize_t n = read_message(rig, &buf);
        intact = n >= 0 && matches(buf.data(), static_cast<size_t>(n), tmpl, got);
        ++got;
    }
    report("down", size, counted, elapsed, intact);
}

}  // namespace

int main(int argc, char **argv) {
    bool use_fast = false;
    Rig rig{Mode::NetCdev, "", nullptr, nullptr, nullptr, -1};
    double seconds = 1.0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--fast") {
            use_fast = true;
        } else if (arg == "--usb") {
            rig.mode = Mode::Usb;
        } else if (arg == "--seconds" && i + 1 < argc) {
            seconds = atof(argv[++i]);
        } else {
            fprintf(stderr, "usage: dev_rate [--fast] [--usb] [--seconds S]\n");
            return 2;
        }
    }
    open_rig(&rig, use_fast);
    size_t largest = rig.mode == Mode::Usb ? USB_MAX_MESSAGE : emu::NET_CDEV_MAX_MESSAGE;
    for (size_t size : {largest, size_t{1024}}) {
        measure_up(rig, size, seconds);
        measure_down(rig, size, seconds);
    }
    close_rig(&rig);
    return 0;
}
