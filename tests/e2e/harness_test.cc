// Self-tests of the agent launcher: private namespace contents, environment,
// exit statuses and signals, using the agent or /bin/sh as the program.
#include "tests/e2e/harness.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace e2e {
namespace {

using namespace std::chrono_literals;

AgentOptions shell(const std::string &script) {
    AgentOptions o;
    o.program = "/bin/sh";
    o.args = {"-c", script};
    return o;
}

TEST(AgentLauncher, PrivateDevOptAndAccountsStayInsideTheNamespace) {
    std::string source =
        std::filesystem::temp_directory_path() / ("cdev_e2e_src_" + std::to_string(getpid()));
    std::ofstream(source) << "device-bytes";
    AgentOptions o = shell(
        "cat /dev/net_cdev; echo; cat /opt/vorlan/config/Vorlan.ini; echo;"
        " grep -c '^e2euser:' /etc/passwd; grep -c '^e2egrp:' /etc/group;"
        " test -c /dev/null && echo null-ok; echo \"[$E2E_VAR]\"; pwd");
    o.device_source = source;
    o.vorlan_ini = "Vorlan_user=e2euser";
    o.passwd_lines = {"e2euser:x:4242:4242::/nonexistent:/usr/sbin/nologin"};
    o.group_lines = {"e2egrp:x:4242:"};
    o.env = {{"E2E_VAR", "value"}};
    AgentProcess p(o);
    p.start();
    EXPECT_EQ(p.wait_exit(10s), 0) << p.stderr_text();
    std::string expected =
        "device-bytes\nVorlan_user=e2euser\n1\n1\nnull-ok\n[value]\n" + p.workdir() + "\n";
    EXPECT_EQ(p.stdout_text(), expected) << p.stderr_text();
    EXPECT_FALSE(std::filesystem::exists("/dev/net_cdev"));
    EXPECT_EQ(std::filesystem::exists("/opt/vorlan/config/Vorlan.ini"), false);
    std::filesystem::remove(source);
}

TEST(AgentLauncher, WithoutSourceTheDeviceIsAbsentAndOptIsEmpty) {
    AgentProcess p(
        shell("test -e /dev/net_cdev && echo dev; ls -A /opt | wc -l; echo "
              "\"[${DEBUG_NETWORK-unset}]\""));
    p.start();
    EXPECT_EQ(p.wait_exit(10s), 0) << p.stderr_text();
    EXPECT_EQ(p.stdout_text(), "0\n[unset]\n");
}

TEST(AgentLauncher, RunsAsTestUidAndReportsStatus) {
    AgentOptions o = shell("id -u; id -g; exit 7");
    o.run_as_uid = 65534;
    o.run_as_gid = 65534;
    AgentProcess p(o);
    p.start();
    EXPECT_EQ(p.wait_exit(10s), 7);
    EXPECT_EQ(p.stdout_text(), "65534\n65534\n");
}

TEST(AgentLauncher, SignalsTimeoutsAndLogWaiting) {
    AgentProcess p(shell("mkdir -p log; echo 'line one' >> log/cdev_agent.log; exec sleep 30"));
    p.start();
    EXPECT_TRUE(p.wait_for_log("line one", 5s));
    EXPECT_FALSE(p.wait_for_log("never written", 50ms));
    EXPECT_EQ(p.wait_exit(50ms), std::nullopt);
    EXPECT_TRUE(p.running());
    p.send_signal(SIGTERM);
    EXPECT_EQ(p.wait_exit(5s), std::nullopt);  // killed by a signal
    EXPECT_FALSE(p.running());
}

TEST(AgentLauncher, DestructorKillsAndCleansUp) {
    std::string workdir;
    pid_t pid;
    {
        AgentProcess p(shell("exec sleep 30"));
        p.start();
        workdir = p.workdir();
        pid = p.pid();
        EXPECT_TRUE(std::filesystem::is_directory(workdir + "/log"));
    }
    EXPECT_FALSE(std::filesystem::exists(workdir));
    EXPECT_NE(kill(pid, 0), 0);
}

// The glue end to end in USB mode (the tunnel and heartbeat tests cover
// net_cdev): the agent opens the emulated device, announces itself and
// accepts a local client.
TEST(AgentOnEmulatorGlue, UsbAgentOpensTheDeviceAndAcceptsAClient) {
    AgentOnEmulator a(emu::DeviceEmulator::Mode::Usb);
    ASSERT_TRUE(a.start()) << a.agent.log() << a.agent.stderr_text();
    std::vector<uint8_t> init;
    ASSERT_TRUE(a.next_message(&init, 5s, false)) << a.agent.log();
    ASSERT_EQ(init.size(), 32u);
    EXPECT_EQ(init[0], 5);
    EXPECT_EQ(init[1], 1);
    EXPECT_GE(a.emu.open_count(), 1u);
    EXPECT_EQ(a.agent_port(), a.port);
    int fd = a.connect_client();
    EXPECT_GE(fd, 0);
    if (fd >= 0) {
        close(fd);
    }
    a.agent.send_signal(SIGTERM);
    EXPECT_EQ(a.agent.wait_exit(10s), 0) << a.agent.log() << a.agent.stderr_text();
}

// The helpers on one USB client link: request, response, data both ways, close.
TEST(AgentOnEmulatorGlue, UsbClientLinkCarriesDataBothWays) {
    AgentOnEmulator a(emu::DeviceEmulator::Mode::Usb);
    ASSERT_TRUE(a.start()) << a.agent.log();
    int fd = a.connect_client();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(send_all(fd, make_message({.type = 0, .source = 1, .port = 8080})));
    std::vector<uint8_t> msg;
    WireHeader req;
    ASSERT_TRUE(a.next_message(&msg, 5s)) << a.agent.log();
    ASSERT_TRUE(parse_header(msg, &req));
    EXPECT_EQ(msg.size(), WIRE_HEADER_SIZE);
    EXPECT_EQ(req.type, 0);
    EXPECT_EQ(req.port, 8080);
    EXPECT_NE(req.local_link_id, 0u);

    WireHeader resp = req;
    resp.type = 1;
    resp.peer_link_id = 0x00DB0701;
    a.emu.inject(make_message(resp));
    std::vector<uint8_t> got;
    ASSERT_TRUE(recv_exact(fd, WIRE_HEADER_SIZE, &got, 5s)) << a.agent.log();
    EXPECT_EQ(got, make_message(resp));

    const std::vector<uint8_t> up = {'p', 'i', 'n', 'g'}, down = {'p', 'o', 'n', 'g', '!'};
    ASSERT_TRUE(send_all(fd, up));
    ASSERT_TRUE(a.next_message(&msg, 5s)) << a.agent.log();
    WireHeader data;
    ASSERT_TRUE(parse_header(msg, &data));
    EXPECT_EQ(data.type, 3);
    EXPECT_EQ(data.peer_link_id, resp.peer_link_id);
    EXPECT_EQ(std::vector<uint8_t>(msg.begin() + WIRE_HEADER_SIZE, msg.end()), up);

    WireHeader back = resp;
    back.type = 3;
    a.emu.inject(make_message(back, down));
    ASSERT_TRUE(recv_exact(fd, down.size(), &got, 5s)) << a.agent.log();
    EXPECT_EQ(got, down);
    close(fd);
    ASSERT_TRUE(a.next_message(&msg, 5s)) << a.agent.log();
    ASSERT_TRUE(parse_header(msg, &data));
    EXPECT_EQ(data.type, 2);
}

}  // namespace
}  // namespace e2e
