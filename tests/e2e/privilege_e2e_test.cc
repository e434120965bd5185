// The privilege drop of the running agent: the account of Vorlan_user in its
// own /opt/vorlan/config/Vorlan.ini, or root when there is none.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/harness.h"

namespace fs = std::filesystem;

namespace e2e {
namespace {

using namespace std::chrono_literals;

const char TEST_ACCOUNT[] = "cdevtest:x:4242:4242::/nonexistent:/usr/sbin/nologin";
const char TEST_GROUP[] = "cdevtest:x:4242:";
const char EXTRA_GROUP[] = "cdevextra:x:4243:cdevtest";

// The ids listed after `key` in /proc/PID/status.
std::vector<std::string> status_ids(pid_t pid, const std::string &key) {
    std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key + ":", 0) == 0) {
            std::istringstream fields(line.substr(key.size() + 1));
            std::vector<std::string> ids;
            for (std::string id; fields >> id;) {
                ids.push_back(id);
            }
            return ids;
        }
    }
    return {};
}

class PrivilegeTest : public ::testing::Test {
  protected:
    AgentOptions agent_with(std::optional<std::string> ini) {
        port_ = free_tcp_port();
        AgentOptions o;
        o.args = {"/dev/net_cdev", std::to_string(port_)};
        o.device_source = device_.path;
        o.vorlan_ini = std::move(ini);
        o.passwd_lines = {TEST_ACCOUNT};
        o.group_lines = {TEST_GROUP, EXTRA_GROUP};
        o.env = {{"DEBUG_NETWORK", ""}};
        return o;
    }

    TempFile device_;
    int port_ = -1;
};

TEST_F(PrivilegeTest, DropsToTheConfiguredAccountWithItsGroupsOnly) {
    // The device may be reopened after the drop: the account must be able to.
    const std::string no_access =
        "cdevtest cannot open /dev/net_cdev, error code: 13; a lost device will not be reopened.\n";
    {
        AgentProcess root_only(agent_with("Vorlan_user=cdevtest\n"));  // the device is 0600
        root_only.start();
        ASSERT_TRUE(root_only.wait_for_log(no_access, 5s)) << root_only.log();
    }
    ASSERT_EQ(chmod(device_.path.c_str(), 0666), 0);
    AgentProcess agent(agent_with("# agent account\nVorlan_user=cdevtest\n"));
    agent.start();
    ASSERT_TRUE(wait_serving(port_)) << agent.log();
    const std::vector<std::string> user(4, "4242");
    EXPECT_EQ(status_ids(agent.pid(), "Uid"), user);
    EXPECT_EQ(status_ids(agent.pid(), "Gid"), user);
    EXPECT_EQ(status_ids(agent.pid(), "Groups"), (std::vector<std::string>{"4242", "4243"}));
    EXPECT_EQ(agent.log().find("failed."), std::string::npos) << agent.log();
    EXPECT_EQ(agent.log().find(no_access), std::string::npos);

    // The log and the socket opened as root stay usable after the drop.
    agent.send_signal(SIGTERM);
    EXPECT_EQ(agent.wait_exit(10s), 0);
    EXPECT_NE(agent.log().find("] clean_up,"), std::string::npos) << agent.log();
}

struct StaysRootCase {
    const char *name;
    std::optional<std::string> ini;
    std::optional<std::string> logged;  // the account named in the log line, if any
};

class StaysRootTest : public PrivilegeTest, public ::testing::WithParamInterface<StaysRootCase> {};

TEST_P(StaysRootTest, KeepsRootAndSaysWhy) {
    const StaysRootCase &c = GetParam();
    AgentProcess agent(agent_with(c.ini));
    agent.start();
    ASSERT_TRUE(wait_serving(port_)) << agent.log();
    const std::vector<std::string> root(4, "0");
    EXPECT_EQ(status_ids(agent.pid(), "Uid"), root);
    EXPECT_EQ(status_ids(agent.pid(), "Gid"), root);
    std::string text = agent.log();
    if (c.logged) {
        EXPECT_NE(text.find("change_gid_uid,"), std::string::npos) << text;
        EXPECT_NE(text.find("-> " + *c.logged + " is not exist.\n\n"), std::string::npos) << text;
    } else {
        EXPECT_EQ(text.find("change_gid_uid,"), std::string::npos) << text;
    }
    agent.send_signal(SIGTERM);
    EXPECT_EQ(agent.wait_exit(10s), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StaysRootTest,
    ::testing::Values(StaysRootCase{"MissingFile", std::nullopt, std::nullopt},
                      StaysRootCase{"NoKey", "Vorlan_userx=cdevtest\n", std::nullopt},
                      StaysRootCase{"Root", "Vorlan_user=root\n", std::nullopt},
                      StaysRootCase{"EmptyValue", "Vorlan_user=\n", ""},
                      StaysRootCase{"UnknownAccount", "Vorlan_user=nosuchcdev\n", "nosuchcdev"}),
    [](const ::testing::TestParamInfo<StaysRootCase> &info) { return info.param.name; });

}  // namespace
}  // namespace e2e
