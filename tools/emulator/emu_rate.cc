// emu_rate [seconds]: how many messages per second (and MB/s) the emulated
// net_cdev device carries, agent to controller (one write per message) and
// controller to agent (poll before every read of 1024 bytes, as the agent's
// reader does), for 1024- and 131072-byte messages.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "tools/emulator/device_emulator.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t READ_SIZE = 1024;
constexpr size_t MAX_PENDING = 16;

void report(const char *what, size_t size, uint64_t messages, double seconds) {
    printf("%-28s %7zu bytes: %9.0f messages/s %9.1f MB/s\n", what, size, messages / seconds,
           messages * static_cast<double>(size) / seconds / 1e6);
}

void measure_writes(emu::DeviceEmulator &device, int fd, size_t size, double seconds) {
    std::vector<uint8_t> msg(size, 0x5A);
    uint64_t count = 0;
    auto start = Clock::now();
    auto end = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        for (int i = 0; i < 64; ++i) {
            if (write(fd, msg.data(), size) != static_cast<ssize_t>(size)) {
                perror("write");
                exit(1);
            }
        }
        count += 64;
    }
    report("agent -> controller (write)", size, count,
           std::chrono::duration<double>(Clock::now() - start).count());
    if (device.writes_from_agent() < count) {
        fprintf(stderr, "lost writes\n");
        exit(1);
    }
}

// Reads one message the way the agent does; false on a read failure.
bool read_one(int fd, std::vector<uint8_t> *buf) {
    while (true) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, -1) != 1) {
            return false;
        }
        ssize_t n = read(fd, buf->data(), READ_SIZE);
        if (n < 0) {
            return false;
        }
        if (static_cast<size_t>(n) < READ_SIZE) {
            return true;
        }
    }
}

void measure_reads(emu::DeviceEmulator &device, int fd, size_t size, double seconds) {
    std::vector<uint8_t> msg(size, 0xA5);
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        while (!stop) {
            if (device.pending_for_agent() < MAX_PENDING) {
                device.inject(msg);
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
        }
    });
    std::vector<uint8_t> buf(READ_SIZE);
    uint64_t count = 0;
    auto start = Clock::now();
    auto end = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        if (!read_one(fd, &buf)) {
            perror("read");
            exit(1);
        }
        ++count;
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    stop = true;
    producer.join();
    // Drain what the producer queued, so the next run starts empty.
    while (device.pending_for_agent() > 0) {
        read_one(fd, &buf);
    }
    report("controller -> agent (poll+read)", size, count, elapsed);
}

}  // namespace

int main(int argc, char **argv) {
    double seconds = argc > 1 ? atof(argv[1]) : 2.0;
    emu::DeviceEmulator device(emu::DeviceEmulator::Mode::NetCdev);
    device.set_message_hook([](const std::vector<uint8_t> &) { return true; });  // count only
    if (!device.start()) {
        fprintf(stderr, "cannot mount the emulator (root and /dev/fuse needed)\n");
        return 1;
    }
    int fd = open(device.device_file().c_str(), O_RDWR | O_APPEND);
    if (fd < 0) {
        perror("open");
        return 1;
    }
    for (size_t size : {size_t{1024}, emu::NET_CDEV_MAX_MESSAGE}) {
        measure_writes(device, fd, size, seconds);
        measure_reads(device, fd, size, seconds);
    }
    close(fd);
    device.stop();
    return 0;
}
