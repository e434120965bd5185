// Tests of the exit callback, the termination signals, the cancelling of the
// workers and clean_up.
#include "frame/signals.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>

#include "frame/log.h"
#include "frame/util.h"
#include "frame/workers.h"
#include "tests/test_support.h"
#include "transport/device.h"

namespace {

bool fd_open(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

// Detaches itself like the real workers and waits at a cancellation point.
void *blocking_worker(void *) {
    pthread_detach(pthread_self());
    for (;;) {
        msleep(5);
    }
    return nullptr;
}

void *finished_worker(void *) {
    pthread_detach(pthread_self());
    return nullptr;
}

bool wait_until_ended(const pthread_t *id) {
    for (int i = 0; i < 2000 && worker_alive(id); i++) {
        msleep(1);
    }
    return !worker_alive(id);
}

// Each test runs in a fresh directory with log/ and level 0 on, like the
// agent with DEBUG_NETWORK set. Forking tests sit in *DeathTest suites, which
// gtest runs first, while this process has no other thread that could hold a
// lock across the fork.
class ShutdownTest : public ::testing::Test {
  protected:
    void TearDown() override { clean_up(); }
    std::string log_text() const { return log_.text(); }

    test_support::scratch_log log_;
};

TEST_F(ShutdownTest, CleanUpReleasesEachResourceOnce) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    close(pipe_fds[1]);
    int server = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(server, 0);
    g_cdev_fd = pipe_fds[0];
    g_server_fd = server;

    clean_up();
    EXPECT_EQ(g_cdev_fd.load(), -1);
    EXPECT_EQ(g_server_fd.load(), -1);
    EXPECT_FALSE(fd_open(pipe_fds[0]));
    EXPECT_FALSE(fd_open(server));

    // The numbers are free again; a second run must not close their new
    // owners, nor write to the closed log.
    int reused_a = open("/dev/null", O_RDONLY);
    int reused_b = open("/dev/null", O_RDONLY);
    clean_up();
    EXPECT_TRUE(fd_open(reused_a));
    EXPECT_TRUE(fd_open(reused_b));
    close(reused_a);
    close(reused_b);

    std::string text = log_text();
    EXPECT_EQ(test_support::count_of(text, "] clean_up,"), 1u) << text;
    EXPECT_EQ(test_support::count_of(text, "Close socket " + std::to_string(server) + "\n"), 1u)
        << text;
}

TEST_F(ShutdownTest, KillAllWorkerCancelsOnlyRunningWorkers) {
    ASSERT_EQ(start_worker(&g_socket_handler_thread_id, blocking_worker, nullptr), 0);
    ASSERT_EQ(start_worker(&g_heartbeat_thread_id, finished_worker, nullptr), 0);
    ASSERT_EQ(start_worker(&g_cdev_thread_id, blocking_worker, nullptr), 0);
    ASSERT_EQ(start_worker(&g_garbage_collector_thread_id, blocking_worker, nullptr), 0);
    // A running worker cannot be started twice.
    EXPECT_NE(start_worker(&g_cdev_thread_id, blocking_worker, nullptr), 0);
    ASSERT_TRUE(wait_until_ended(&g_heartbeat_thread_id));
    int server = socket(AF_INET, SOCK_STREAM, 0);
    g_server_fd = server;

    kill_all_worker(0);

    EXPECT_TRUE(wait_until_ended(&g_socket_handler_thread_id));
    EXPECT_TRUE(wait_until_ended(&g_cdev_thread_id));
    // The garbage collector ends with the process, never cancelled.
    EXPECT_TRUE(worker_alive(&g_garbage_collector_thread_id));
    EXPECT_EQ(g_server_fd.load(), -1);

    std::string text = log_text();
    size_t socket_line = text.find("] kill_all_worker,");
    size_t first = text.find("Stopped socket connection handler (0)\n");
    size_t reader = text.find("Stopped CDEV handler (0)\n");
    size_t close_line = text.find("Close socket " + std::to_string(server) + "\n");
    ASSERT_NE(socket_line, std::string::npos) << text;
    ASSERT_NE(first, std::string::npos) << text;
    ASSERT_NE(reader, std::string::npos) << text;
    ASSERT_NE(close_line, std::string::npos) << text;
    EXPECT_LT(first, reader);
    EXPECT_LT(reader, close_line);
    EXPECT_EQ(text.find("heartbeat handler"), std::string::npos) << text;
    EXPECT_EQ(text.find("request handler"), std::string::npos) << text;

    // The collector is left to the process end; stop it here so the next test
    // starts from idle workers.
    int rc = -1;
    EXPECT_TRUE(cancel_worker(&g_garbage_collector_thread_id, &rc));
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(wait_until_ended(&g_garbage_collector_thread_id));
}

void callback_must_not_run(intptr_t) {
    _exit(3);
}

void callback_reports(intptr_t arg) {
    fprintf(stderr, "callback arg %ld\n", static_cast<long>(arg));
}

TEST(ExitCallbackDeathTest, OnlyTheLastRegistrationRuns) {
    EXPECT_EXIT(
        {
            register_exit_callback(callback_must_not_run, 1);
            register_exit_callback(callback_reports, 2);
            do_exit_after_signal(SIGTERM);
        },
        ::testing::ExitedWithCode(0), "callback arg 2\n");
    EXPECT_EXIT(do_exit_after_signal(SIGINT), ::testing::ExitedWithCode(0), "");
}

// Armed, a peer that went away is an error to the writer, not the end of the
// process. (The shutdown on each signal while serving is checked end to end
// with the real agent.)
TEST(SignalRegisterDeathTest, BrokenPipeIsAWriteError) {
    EXPECT_EXIT(
        {
            signal_register();
            int fds[2];
            if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
                _exit(4);
            }
            close(fds[1]);
            _exit(write(fds[0], "x", 1) == -1 && errno == EPIPE ? 0 : 5);
        },
        ::testing::ExitedWithCode(0), "");
}

// Armed before any worker exists: a signal then cancels nothing and still
// ends the process through clean_up with status 0.
class ArmedShutdownDeathTest : public ShutdownTest {};

TEST_F(ArmedShutdownDeathTest, SignalBeforeAnyWorkerExitsZero) {
    EXPECT_EXIT(
        {
            signal_register();
            g_server_fd = socket(AF_INET, SOCK_STREAM, 0);
            kill(getpid(), SIGTERM);
            for (;;) {
                msleep(1000);
            }
        },
        ::testing::ExitedWithCode(0), "");
    std::string text = log_text();
    EXPECT_EQ(text.find("Stopped"), std::string::npos) << text;
    EXPECT_NE(text.find("] clean_up,"), std::string::npos) << text;
}

}  // namespace
