// The device emulator through its mounted file: where a fault of the emulator would pass the
// agent's tests or be blamed on the agent. (The controller's records of links are checked in
// the client's test, through the real agent in both modes.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/e2e/agent_checks.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;

// The emulator mounted, its file opened as the agent opens it; a read the
// emulator never answers ends after 30 s with ENODEV instead of hanging.
struct Device {
    explicit Device(Mode mode) : emu(mode) {}
    ~Device() { close(fd); }
    emu::DeviceEmulator emu;
    int fd = emu.start() ? open(emu.device_file().c_str(), O_RDWR | O_EXCL | O_APPEND) : -1;
    std::jthread watchdog{[this](std::stop_token stop) {
        for (int i = 0; i < 300 && !stop.stop_requested(); ++i) std::this_thread::sleep_for(100ms);
        if (!stop.stop_requested()) emu.stop();
    }};
};

// A write up to 131072 bytes is one message, a larger one fails (E2BIG); 1024-byte reads end a
// message short (with 0 after a full one). Failed writes fail once (count 1) or always (-1), not
// counted; a read failing at an offset leaves the rest; an absent device: ENODEV and ENOENT.
TEST(NetCdev, WholeMessagesAndInjectedFaults) {
    Device d(Mode::NetCdev);
    Bytes got, buf(3000);
    for (size_t size : {1, 1025, 131072, 131073}) {
        const Bytes m = stream_bytes(1, size);
        EXPECT_EQ(write(d.fd, m.data(), size), size > 131072 ? -1 : static_cast<ssize_t>(size));
        EXPECT_TRUE(size > 131072 ? errno == E2BIG : d.emu.wait_message(&got, 2s) && got == m);
    }
    const std::pair<uint32_t, std::vector<ssize_t>> rows[] = {
        {100, {100}}, {1500, {1024, 476}}, {2048, {1024, 1024, 0}}, {0, {0}}};
    for (const auto &[size, reads] : rows) d.emu.inject(stream_bytes(size, size));
    for (const auto &[size, reads] : rows) {
        got.clear();
        for (ssize_t n : reads) {
            EXPECT_EQ(read(d.fd, buf.data(), 1024), n);
            got.insert(got.end(), buf.begin(), buf.begin() + n);
        }
        EXPECT_EQ(got, stream_bytes(size, size));
    }
    const std::pair<int, int> faults[] = {{ENODEV, 1}, {EBADF, 1}, {ENOENT, 1}, {EIO, -1}};
    for (auto [err, count] : faults) {
        d.emu.fail_writes(err, count);
        EXPECT_TRUE(write(d.fd, "x", 1) == -1 && errno == err) << err;
        EXPECT_EQ(write(d.fd, "x", 1), count == 1 ? 1 : -1);
    }
    EXPECT_EQ(std::pair(d.emu.writes_from_agent(), d.emu.messages_waiting()), std::pair(6ul, 3ul));
    d.emu.inject(stream_bytes(3, 3000));
    d.emu.fail_read_at(1024, EIO);
    EXPECT_EQ(read(d.fd, buf.data(), 1024), 1024);
    EXPECT_TRUE(read(d.fd, buf.data() + 1024, 1024) == -1 && errno == EIO);
    EXPECT_EQ(read(d.fd, buf.data() + 1024, 2000), 1976);
    EXPECT_EQ(buf, stream_bytes(3, 3000));
    d.emu.set_present(false);
    EXPECT_TRUE(write(d.fd, "x", 1) == -1 && errno == ENODEV);
    EXPECT_TRUE(open(d.emu.device_file().c_str(), O_RDWR) == -1 && errno == ENOENT);
    d.emu.set_present(true);
    EXPECT_EQ(close(open(d.emu.device_file().c_str(), O_RDWR)), 0);
}

// Writes are single 468-byte nodes (else EINVAL); each read delivers 0xFF
// 0xFF and one node: little-endian token, number and cut_packet_len, then
// the data, up to 450 bytes.
TEST(Usb, PacketNodeLayout) {
    Device d(Mode::Usb);
    const Bytes m = stream_bytes(4, 1000);
    Bytes got, buf(2044);
    for (const Bytes &node : emu::cut_message(m)) EXPECT_EQ(write(d.fd, node.data(), 468), 468);
    EXPECT_TRUE(d.emu.wait_message(&got, 2s) && got == m);
    EXPECT_TRUE(write(d.fd, m.data(), 467) == -1 && errno == EINVAL);
    d.emu.inject(m);
    const Bytes heads[] = {{0xFF, 0xFF, 1, 0, 0, 0, 0, 0, 0, 0, 0xC2, 1, 0, 0},
                           {0xFF, 0xFF, 0, 0, 0, 0, 1, 0, 0, 0, 0xC2, 1, 0, 0},
                           {0xFF, 0xFF, 2, 0, 0, 0, 2, 0, 0, 0, 100, 0, 0, 0}};
    for (size_t i = 0; i < 3; ++i) {
        Bytes want = heads[i];
        want.insert(want.end(), m.begin() + i * 450,
                    m.begin() + std::min<size_t>(1000, i * 450 + 450));
        want.resize(470);
        EXPECT_EQ(read(d.fd, buf.data(), buf.size()), 470);
        EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 470), want) << i;
    }
}

}  // namespace
}  // namespace e2e
