// The agent's configuration: which line of Vorlan.ini names the account it drops to, and the
// access policy beside it.
#include "frame/privilege.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "frame/policy.h"
#include "tests/test_support.h"

namespace {

TEST(VorlanUser, FirstUncommentedExactKeyWinsAndItsValueIsTakenAsItStands) {
    test_support::scratch_dir dir;
    const std::string long_line(1023, 'x');
    const struct {
        std::string content, user;
    } rows[] = {
        {"#Vorlan_user=admin\nVorlan_user=agent\n", "agent"},
        {"Vorlan_user=first\nVorlan_user=second\n", "first"},
        {"other=1\n\nno equals here\nVorlan_user=agent", "agent"},
        {" #x\nVorlan_user=ag#ent\n", "ag#ent"},  // only a leading # makes a comment
        {"Vorlan_user=\n", ""},
        {"Vorlan_user= a=b \r\n", " a=b \r"},
        {"", "root"},
        {"Vorlan_use=agent\n=agent\nVorlan_users=agent\nVorlan_user =agent\n", "root"},
        {" Vorlan_user=agent\nvorlan_user=agent\nVorlan_user\n", "root"},
        // Lines are read in 1023-character pieces: a long line's tail is a line of its own.
        {long_line + "Vorlan_user=agent\n", "agent"},
        {"Vorlan_user=" + std::string(1100, 'a') + "\n", std::string(1023 - 12, 'a')},
    };
    for (const auto &row : rows) {
        std::ofstream("Vorlan.ini", std::ios::trunc) << row.content;
        EXPECT_EQ(read_vorlan_user("Vorlan.ini"), row.user) << row.content;
    }
    EXPECT_STREQ(read_vorlan_user("absent.ini"), "root");
}

// Rules allow what they list, ports and ranges, users and groups by name (root by its group);
// a rule not given allows all; a line that cannot be taken stops the reading, named.
TEST(AccessPolicy, RulesAllowWhatTheyListAndBadLinesAreNamed) {
    test_support::scratch_dir dir;
    access_policy p;
    std::string error;
    EXPECT_TRUE(read_policy("absent.conf", &p, &error));
    std::ofstream("p.conf") << "# comment\n\n\thost_tcp_ports = 22, 443 8000-8080\r\n"
                               "host_udp_ports =\n  # indented\nclient_users=daemon,nobody\n"
                               "client_groups = root\n";
    ASSERT_TRUE(read_policy("p.conf", &p, &error)) << error;
    for (uint32_t port : {22, 443, 8000, 8080}) EXPECT_TRUE(allows(p.host_tcp_ports, port));
    for (uint32_t port : {21, 23, 444, 7999, 8081}) EXPECT_FALSE(allows(p.host_tcp_ports, port));
    EXPECT_FALSE(allows(p.host_udp_ports, 623));
    EXPECT_TRUE(allows(p.controller_tcp_ports, 1) && allows(p.controller_udp_ports, 65535));
    for (uid_t uid : {0, 1, 65534}) EXPECT_TRUE(client_uid_allowed(p, uid)) << uid;
    for (uid_t uid : {2, 4242424}) EXPECT_FALSE(client_uid_allowed(p, uid)) << uid;

    const std::string not_a_port =
        "' is not a port (1 to 65535) nor a range of ports such as 8000-8080";
    std::vector<std::pair<std::string, std::string>> rows = {
        {"host_tcp_ports 22\n", "line 1: no '=' in 'host_tcp_ports 22'"},
        {"# x\nhost_ports = 22\n", "line 2: unknown rule 'host_ports'"},
        {"client_users = root\nclient_users = daemon\n", "line 2: 'client_users' given twice"},
        {"client_users = root no-such-user\n", "line 1: no user 'no-such-user'"},
        {"client_groups = no-such-group\n", "line 1: no group 'no-such-group'"}};
    for (std::string item : {"0", "65536", "10-9", "1-2-3", "+22", "22x", "-", "8000-"}) {
        rows.push_back({"host_udp_ports = 7," + item, "line 1: '" + item + not_a_port});
    }
    for (const auto &[content, why] : rows) {
        std::ofstream("p.conf", std::ios::trunc) << content;
        EXPECT_FALSE(read_policy("p.conf", &p, &error)) << content;
        EXPECT_EQ(error, "p.conf, " + why);
    }
    EXPECT_FALSE(read_policy(".", &p, &error));
    EXPECT_EQ(error, ".: not a readable file");
    // As shipped, all commented: no rule.
    std::ofstream("p.conf", std::ios::trunc) << "#host_tcp_ports = 22\n#client_users = root\n";
    p = {};
    ASSERT_TRUE(read_policy("p.conf", &p, &error));
    EXPECT_FALSE(p.host_tcp_ports.given || policy_checks_clients(p));
}

TEST(AccessPolicy, ARepeatingRefusalIsLoggedOnceAMinuteWithTheCount) {
    refusal_tally tally;
    unsigned long unlogged = 99;
    EXPECT_TRUE(refusal_to_log(&tally, 5000, &unlogged));
    EXPECT_EQ(unlogged, 0u);
    for (int64_t ms : {5000, 30000, 64999}) EXPECT_FALSE(refusal_to_log(&tally, ms, &unlogged));
    EXPECT_TRUE(refusal_to_log(&tally, 65000, &unlogged));
    EXPECT_EQ(unlogged, 3u);
    EXPECT_TRUE(refusal_to_log(&tally, 200000, &unlogged));
    EXPECT_EQ(unlogged, 0u);
}

}  // namespace
