// The device emulator through its mounted file, and the controller with the real agent:
// where a fault of the tools would pass the agent's tests or be blamed on the agent.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>

#include "tests/e2e/agent_checks.h"
#include "tools/controller/controller.h"

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

class ControllerLinks : public ::testing::TestWithParam<Mode> {};

// A link to an echo service behind controller port 7001: the response names both ids, every byte
// comes back, the controller records port, bytes and checksums both ways and the agent's end.
TEST_P(ControllerLinks, ClientLinkReachesTheServiceIntact) {
    const int port = free_tcp_port(), service = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in addr{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(bind(service, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(service, 1), 0);
    std::thread echo([service] {
        const int c = accept(service, nullptr, nullptr);
        Bytes buf(65536);
        for (ssize_t n; (n = recv(c, buf.data(), buf.size(), 0)) > 0;)
            send_all(c, Bytes(buf.begin(), buf.begin() + n));
        close(c);
    });
    echo.detach();  // ends with the connection, at the latest with the test's process
    AgentOnEmulator env(GetParam());
    ctl::Options options;
    options.port_map[7001] = port;
    ctl::Controller controller(&env.emu, options);
    std::string error;
    EXPECT_TRUE(controller.start(&error) && env.start()) << error << env.agent.log();
    const Bytes data = stream_bytes(1, GetParam() == Mode::Usb ? 200000 : 600000);
    Bytes head, back;
    const int fd = env.connect_client();
    EXPECT_TRUE(send_all(fd, client_request(7001)));
    EXPECT_TRUE(recv_exact(fd, WIRE_HEADER_SIZE, &head, 10s) && head[0] == 1 &&
                head[2] * 256 + head[3] == 7001 && get32(head, 8) != 0 && get32(head, 12) != 0);
    auto rx =
        std::async(std::launch::async, [&] { return recv_exact(fd, data.size(), &back, 30s); });
    EXPECT_TRUE(send_all(fd, data));
    EXPECT_TRUE(rx.get() && back == data);
    close(fd);
    for (int i = 0; i < 500 && controller.open_links() > 0; ++i) std::this_thread::sleep_for(20ms);
    ASSERT_EQ(controller.links().size(), 1u);
    const ctl::LinkRecord r = controller.links()[0];
    EXPECT_EQ(std::tie(r.kind, r.socket_port, r.bytes_from_agent, r.bytes_to_agent,
                       r.sum_from_agent, r.sum_to_agent, r.end),
              std::make_tuple(ctl::LinkKind::AgentOpened, port, data.size(), data.size(),
                              fnv1a(data), fnv1a(data), "closed by the agent"));
    EXPECT_EQ(controller.init_count() + controller.ignored_messages(), 1u);
}

IN_BOTH_DEVICE_MODES(ControllerLinks);

}  // namespace
}  // namespace e2e
