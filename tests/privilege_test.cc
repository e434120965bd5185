// Tests of the agent configuration file rules: which line names the account
// the agent drops to.
#include "frame/privilege.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/test_support.h"

namespace {

class VorlanUserTest : public ::testing::Test {
  protected:
    std::string user_of(const std::string &content) {
        std::ofstream("Vorlan.ini", std::ios::trunc) << content;
        return read_vorlan_user("Vorlan.ini");
    }

    test_support::scratch_dir dir_;
};

TEST_F(VorlanUserTest, FirstUncommentedExactKeyWins) {
    EXPECT_EQ(user_of("#Vorlan_user=admin\nVorlan_user=agent\n"), "agent");
    EXPECT_EQ(user_of("Vorlan_user=first\nVorlan_user=second\n"), "first");
    EXPECT_EQ(user_of("other=1\n\nno equals here\nVorlan_user=agent\n"), "agent");
    // Only a leading # makes a comment.
    EXPECT_EQ(user_of(" #x\nVorlan_user=ag#ent\n"), "ag#ent");
}

TEST_F(VorlanUserTest, ValueIsTakenAsItStands) {
    EXPECT_EQ(user_of("Vorlan_user=agent"), "agent");
    EXPECT_EQ(user_of("Vorlan_user=\n"), "");
    EXPECT_EQ(user_of("Vorlan_user= agent \n"), " agent ");
    EXPECT_EQ(user_of("Vorlan_user=a=b\n"), "a=b");
    EXPECT_EQ(user_of("Vorlan_user=agent\r\n"), "agent\r");
}

TEST_F(VorlanUserTest, KeyMustMatchExactly) {
    const char *not_matching[] = {"Vorlan_use=agent\n",   "=agent\n",
                                  "Vorlan_users=agent\n", "Vorlan_user =agent\n",
                                  " Vorlan_user=agent\n", "vorlan_user=agent\n",
                                  "Vorlan_user\n"};
    for (const char *line : not_matching) {
        EXPECT_EQ(user_of(line), "root") << line;
    }
}

TEST_F(VorlanUserTest, MissingOrEmptyFileMeansRoot) {
    EXPECT_STREQ(read_vorlan_user("absent.ini"), "root");
    EXPECT_EQ(user_of(""), "root");
}

// Lines are read in 1023-character pieces, so the tail of a long line is read
// as a line of its own.
TEST_F(VorlanUserTest, LongLinesAreSplitIntoPieces) {
    std::string filler(1023, 'x');
    EXPECT_EQ(user_of(filler + "Vorlan_user=agent\n"), "agent");
    std::string long_value(1100, 'a');
    EXPECT_EQ(user_of("Vorlan_user=" + long_value + "\n"), std::string(1023 - 12, 'a'));
}

}  // namespace
