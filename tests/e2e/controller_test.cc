// The controller with the real agent in both device modes.
#include "tools/controller/controller.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/e2e/agent_checks.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;
class ControllerLinks : public ::testing::TestWithParam<Mode> {};

// A client's link to an echo service behind controller port 7001: the response
// names both link ids, every byte comes back, and the controller's record has
// the port, bytes and checksum both ways, and the link's end by the agent.
TEST_P(ControllerLinks, ClientLinkReachesTheServiceIntact) {
    const int service = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof(addr);
    ASSERT_EQ(bind(service, reinterpret_cast<sockaddr *>(&addr), len) + listen(service, 1) +
                  getsockname(service, reinterpret_cast<sockaddr *>(&addr), &len),
              0);
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
    options.port_map[7001] = ntohs(addr.sin_port);
    ctl::Controller controller(&env.emu, options);
    std::string error;
    EXPECT_TRUE(controller.start(&error) && env.start()) << error << env.agent.log();

    const Bytes data = stream_bytes(1, GetParam() == Mode::Usb ? 200000 : 600000);
    Bytes response, back;
    const int fd = env.connect_client();
    EXPECT_TRUE(send_all(fd, client_request(7001)));
    EXPECT_TRUE(recv_exact(fd, WIRE_HEADER_SIZE, &response, 10s) && response[0] == 1 &&
                response[2] == 7001 >> 8 && response[3] == (7001 & 0xFF) &&
                get32(response, 8) != 0 && get32(response, 12) != 0);
    std::thread reader([&] { recv_exact(fd, data.size(), &back, 30s); });
    EXPECT_TRUE(send_all(fd, data));
    reader.join();
    EXPECT_TRUE(back == data);
    close(fd);
    for (int i = 0; i < 500 && controller.open_links() > 0; ++i) std::this_thread::sleep_for(20ms);
    ASSERT_EQ(controller.links().size(), 1u);
    const ctl::LinkRecord r = controller.links()[0];
    EXPECT_EQ(std::tie(r.kind, r.socket_port, r.bytes_from_agent, r.bytes_to_agent,
                       r.sum_from_agent, r.sum_to_agent, r.end),
              std::make_tuple(ctl::LinkKind::AgentOpened, ntohs(addr.sin_port), data.size(),
                              data.size(), fnv1a(data), fnv1a(data), "closed by the agent"));
    EXPECT_EQ(controller.init_count() + controller.ignored_messages(), 1u);
}

IN_BOTH_DEVICE_MODES(ControllerLinks);

}  // namespace
}  // namespace e2e
