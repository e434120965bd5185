// The privilege drop of the running agent: the account of Vorlan_user in its
// own /opt/vorlan/config/Vorlan.ini, or root when there is none.
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;
using Ids = std::vector<std::string>;

// The ids listed after `key` in /proc/PID/status.
Ids status_ids(pid_t pid, const std::string &key) {
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t from = status.find("\n" + key + ":") + key.size() + 2;
    std::istringstream fields(status.substr(from, status.find('\n', from) - from));
    return Ids(std::istream_iterator<std::string>(fields), {});
}

// What the status socket answers a process of uid:gid; "" when it may not
// connect.
std::string status_as(const std::string &socket_path, uid_t uid, gid_t gid) {
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0) {
            std::string answer = ask_status(socket_path, "status\n");
            EXPECT_EQ(write(out[1], answer.data(), answer.size()), ssize_t(answer.size()));
        }
        _exit(0);
    }
    close(out[1]);
    std::string answer;
    char buf[4096];
    for (ssize_t n; (n = read(out[0], buf, sizeof(buf))) > 0;) answer.append(buf, n);
    close(out[0]);
    waitpid(pid, nullptr, 0);
    return answer;
}

class PrivilegeTest : public ::testing::Test {
  protected:
    AgentOptions agent_with(std::optional<std::string> ini) {
        port_ = free_tcp_port();
        AgentOptions o;
        o.args = {"/dev/net_cdev", std::to_string(port_)};
        o.device_source = device_.path;
        o.vorlan_ini = std::move(ini);
        o.passwd_lines = {"cdevtest:x:4242:4242::/nonexistent:/usr/sbin/nologin"};
        o.group_lines = {"cdevtest:x:4242:", "cdevextra:x:4243:cdevtest"};
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
    for (const char *key : {"Uid", "Gid"}) EXPECT_EQ(status_ids(agent.pid(), key), Ids(4, "4242"));
    EXPECT_EQ(status_ids(agent.pid(), "Groups"), (Ids{"4242", "4243"}));
    EXPECT_EQ(agent.log().find("failed."), std::string::npos) << agent.log();
    EXPECT_EQ(agent.log().find(no_access), std::string::npos);

    // The status socket made before the drop is root's and the account
    // group's alone, and the agent still answers on it.
    const std::string socket_path = agent.workdir() + "/status.sock";
    struct stat st {};
    ASSERT_EQ(stat(socket_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 4242u);
    for (const std::string &dir : {agent.workdir() + "/..", agent.workdir()}) {
        ASSERT_EQ(chmod(dir.c_str(), 0711), 0);  // others may pass, to meet the socket's mode
    }
    EXPECT_EQ(status_as(socket_path, 4244, 4244), "");
    EXPECT_EQ(status_as(socket_path, 4245, 4242).rfind("cdev_agent ", 0), 0u);

    // The log and the socket opened as root stay usable after the drop.
    agent.send_signal(SIGTERM);
    EXPECT_EQ(agent.wait_exit(10s), 0);
    EXPECT_NE(agent.log().find("] clean_up,"), std::string::npos) << agent.log();
}

TEST_F(PrivilegeTest, KeepsRootWithoutAnAccountAndSaysWhy) {
    const struct {
        std::optional<std::string> ini;
        std::optional<std::string> logged;  // the account named in the log line, if any
    } cases[] = {{std::nullopt, std::nullopt},
                 {"Vorlan_userx=cdevtest\n", std::nullopt},
                 {"Vorlan_user=root\n", std::nullopt},
                 {"Vorlan_user=\n", ""},
                 {"Vorlan_user=nosuchcdev\n", "nosuchcdev"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ini.value_or("no Vorlan.ini"));
        AgentProcess agent(agent_with(c.ini));
        agent.start();
        ASSERT_TRUE(wait_serving(port_)) << agent.log();
        for (const char *key : {"Uid", "Gid"}) EXPECT_EQ(status_ids(agent.pid(), key), Ids(4, "0"));
        const std::string text = agent.log();
        EXPECT_EQ(text.find("change_gid_uid,") != std::string::npos, c.logged.has_value()) << text;
        if (c.logged) {
            EXPECT_NE(text.find("-> " + *c.logged + " is not exist.\n\n"), std::string::npos)
                << text;
        }
        agent.send_signal(SIGTERM);
        EXPECT_EQ(agent.wait_exit(10s), 0);
    }
}

}  // namespace
}  // namespace e2e
