// Tests of the log file: naming, prefix, levels, appending, mode, and that no
// line is written after close_log.
#include "frame/log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "tests/test_support.h"

namespace fs = std::filesystem;

namespace {

// Each test runs in a fresh directory holding log/, as the agent runs in its
// working directory.
class LogTest : public ::testing::Test {
  protected:
    void SetUp() override { unsetenv("DEBUG_NETWORK"); }
    void TearDown() override {
        close_log();
        log_clock = clock_gettime;
    }
    fs::path log_file() const { return dir_.path() / "log" / "log_test.log"; }
    std::string contents() const { return dir_.text(); }
    void write_all_levels() {
        LOG(LOG_DETAIL, "level zero\n");
        LOG(LOG_INFO, "level one\n");
        LOG(LOG_ERROR, "level two %d\n", 2);
    }

    test_support::scratch_dir dir_;
};

int fixed_clock(clockid_t, struct timespec *ts) {
    ts->tv_sec = 7;
    ts->tv_nsec = 1000;
    return 0;
}

TEST_F(LogTest, NamedAfterTheProcessWithStartLineAndPrefix) {
    log_clock = fixed_clock;
    ASSERT_EQ(init_log(LOG_ERROR), 0);
    LOG(LOG_ERROR, "value %d\n", 42);
    std::string text = contents();
    std::string pid = std::to_string(getpid());
    std::string pgid = std::to_string(getpgrp());
    std::string tid = std::to_string(static_cast<unsigned long>(pthread_self()));
    std::istringstream lines(text);
    std::string start, line;
    std::getline(lines, start);
    std::getline(lines, line);
    EXPECT_EQ(start.rfind("[7.1000][" + pid + "," + pgid + "] init_log,", 0), 0u) << start;
    EXPECT_NE(start.find(" -> log_test is starting ..."), std::string::npos) << start;
    std::string expected = "[7.1000][" + pid + "," + tid + "] TestBody,";
    EXPECT_EQ(line.rfind(expected, 0), 0u) << line;
    EXPECT_NE(line.find(" -> value 42"), std::string::npos) << line;
}

TEST_F(LogTest, ThresholdsAndDebugNetwork) {
    ASSERT_EQ(init_log(LOG_ERROR), 0);
    write_all_levels();
    close_log();
    std::string text = contents();
    EXPECT_EQ(text.find("level zero"), std::string::npos);
    EXPECT_EQ(text.find("level one"), std::string::npos);
    EXPECT_NE(text.find("level two 2"), std::string::npos);

    setenv("DEBUG_NETWORK", "", 1);  // present but empty still turns everything on
    ASSERT_EQ(init_log(LOG_ERROR), 0);
    write_all_levels();
    close_log();
    text = contents();
    EXPECT_NE(text.find("level zero"), std::string::npos);
    EXPECT_NE(text.find("level one"), std::string::npos);
}

TEST_F(LogTest, LevelAboveTwoOpensSilently) {
    ASSERT_EQ(init_log(3), 0);
    write_all_levels();
    close_log();
    EXPECT_TRUE(fs::exists(log_file()));
    EXPECT_EQ(contents(), "");
}

TEST_F(LogTest, AppendsToExistingFileAndSetsMode) {
    {
        std::ofstream out(log_file());
        out << "old line\n";
    }
    chmod(log_file().c_str(), 0666);
    ASSERT_EQ(init_log(LOG_ERROR), 0);
    LOG(LOG_ERROR, "new line\n");
    close_log();
    std::string text = contents();
    EXPECT_EQ(text.rfind("old line\n", 0), 0u);
    EXPECT_NE(text.find("new line"), std::string::npos);
    struct stat st;
    ASSERT_EQ(stat(log_file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(LogTest, FailsWithoutLogDirectoryAndStaysSilent) {
    fs::remove_all(dir_.path() / "log");
    EXPECT_EQ(init_log(LOG_ERROR), -1);
    LOG(LOG_ERROR, "nowhere\n");  // must not crash
    EXPECT_FALSE(fs::exists(log_file()));
}

TEST_F(LogTest, ReadCommCutsNewlineOrLength) {
    fs::path f = dir_.path() / "comm";
    {
        std::ofstream out(f);
        out << "abcdef\n";
    }
    char buf[20] = {};
    ASSERT_EQ(read_comm_from_file(f.c_str(), buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "abcdef");
    char small[4] = {};
    ASSERT_EQ(read_comm_from_file(f.c_str(), small, sizeof(small)), 0);
    EXPECT_STREQ(small, "abc");
    EXPECT_EQ(read_comm_from_file((dir_.path() / "missing").c_str(), buf, sizeof(buf)), -1);
}

// A second thread keeps writing while the log is closed: every line must be
// whole, and nothing may reach the stream after the close.
TEST_F(LogTest, NoWriteAfterCloseFromAnotherThread) {
    ASSERT_EQ(init_log(LOG_ERROR), 0);
    std::atomic<bool> stop{false};
    std::atomic<long> written{0};
    std::thread writer([&] {
        while (!stop) {
            LOG(LOG_ERROR, "busy line %ld\n", written.load());
            ++written;
        }
    });
    while (written < 100) std::this_thread::yield();
    close_log();
    uintmax_t size_after_close = fs::file_size(log_file());
    while (written < 200) std::this_thread::yield();
    stop = true;
    writer.join();
    EXPECT_EQ(fs::file_size(log_file()), size_after_close);
    std::istringstream lines(contents());
    std::string line;
    while (std::getline(lines, line)) {
        EXPECT_NE(line.find(" -> "), std::string::npos) << line;
    }
}

}  // namespace
