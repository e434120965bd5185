// Which line of the agent's configuration file names the account it drops to.
#include "frame/privilege.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

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

}  // namespace
