// Tests of the log file: naming, line prefix, levels, appending, mode, and
// that no line is written after close_log.
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

    test_support::scratch_dir dir_;
};

TEST_F(LogTest, NamedAfterTheProcessAppendedWithPrefixAndMode) {
    std::ofstream(log_file()) << "old line\n";
    chmod(log_file().c_str(), 0666);
    log_clock = [](clockid_t, struct timespec *ts) {
        *ts = {7, 1000};
        return 0;
    };
    ASSERT_EQ(init_log(2), 0);
    LOG(2, "value %d\n", 42);
    std::istringstream lines(dir_.text());
    std::string old, start, line;
    std::getline(lines, old);
    std::getline(lines, start);
    std::getline(lines, line);
    EXPECT_EQ(old, "old line");
    std::string pid = std::to_string(getpid());
    EXPECT_EQ(start.rfind("[7.1000][" + pid + "," + std::to_string(getpgrp()) + "] init_log,", 0),
              0u)
        << start;
    EXPECT_NE(start.find(" -> log_test is starting ..."), std::string::npos) << start;
    std::string tid = std::to_string(static_cast<unsigned long>(pthread_self()));
    EXPECT_EQ(line.rfind("[7.1000][" + pid + "," + tid + "] TestBody,", 0), 0u) << line;
    EXPECT_NE(line.find(" -> value 42"), std::string::npos) << line;
    struct stat st;
    ASSERT_EQ(stat(log_file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// Which of the levels 0, 1 and 2 reach the file, by threshold and
// DEBUG_NETWORK (present, even empty, turns every level on); without log/
// nothing is opened and a line goes nowhere.
TEST_F(LogTest, ThresholdsDebugNetworkAndNoDirectory) {
    const struct {
        int threshold;
        const char *debug_network;  // nullptr: unset
        const char *kept;
    } rows[] = {{2, nullptr, "2"}, {1, nullptr, "12"}, {3, nullptr, ""}, {2, "", "012"}};
    for (const auto &r : rows) {
        fs::remove(log_file());
        r.debug_network ? setenv("DEBUG_NETWORK", r.debug_network, 1) : unsetenv("DEBUG_NETWORK");
        ASSERT_EQ(init_log(r.threshold), 0);
        LOG(0, "level 0\n");
        LOG(1, "level 1\n");
        LOG(2, "level 2\n");
        close_log();
        std::string text = dir_.text(), kept;
        for (char level : std::string("012")) {
            if (text.find(std::string("level ") + level) != std::string::npos) kept += level;
        }
        EXPECT_EQ(kept, r.kept) << "threshold " << r.threshold;
    }
    fs::remove_all(dir_.path() / "log");
    EXPECT_EQ(init_log(2), -1);
    LOG(2, "nowhere\n");
    EXPECT_FALSE(fs::exists(log_file()));
}

// A second thread keeps writing while the log is closed: every line must be
// whole, and nothing may reach the stream after the close.
TEST_F(LogTest, NoWriteAfterCloseFromAnotherThread) {
    ASSERT_EQ(init_log(2), 0);
    std::atomic<bool> stop{false};
    std::atomic<long> written{0};
    std::thread writer([&] {
        while (!stop) {
            LOG(2, "busy line %ld\n", written.load());
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
    std::istringstream lines(dir_.text());
    for (std::string line; std::getline(lines, line);) {
        EXPECT_NE(line.find(" -> "), std::string::npos) << line;
    }
}

}  // namespace
