// Tests of the strict command-line integer parser and the millisecond sleep.
#include "frame/util.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <string>
#include <thread>

#include "tests/test_support.h"

namespace {

constexpr int PORT_MIN = 1024;
constexpr int PORT_MAX = 65535;

int parse_port(const char *text) {
    return parse_int_in_range(text, PORT_MIN, PORT_MAX, -1);
}

TEST(ParseIntInRange, RejectsAnythingButAWholeNumberInRange) {
    const char *rejected[] = {"1023",
                              "65536",
                              "80x",
                              "",
                              "1024 ",
                              "1024\n",
                              "x1024",
                              "-1024",
                              "++1024",
                              "0x400",
                              " ",
                              "99999999999999999999",
                              "-99999999999999999999",
                              "4294968320"};
    for (const char *text : rejected) {
        EXPECT_EQ(parse_port(text), -1) << '"' << text << '"';
    }
    EXPECT_EQ(parse_port(nullptr), -1);
    EXPECT_EQ(parse_int_in_range("abc", 0, 10, 7), 7);
}

TEST(ParseIntInRange, AcceptsOneSignAndLeadingSpace) {
    EXPECT_EQ(parse_port("1024"), 1024);
    EXPECT_EQ(parse_port("+1024"), 1024);
    EXPECT_EQ(parse_port(" 1024"), 1024);
    EXPECT_EQ(parse_port("\t01024"), 1024);
    EXPECT_EQ(parse_port("65535"), 65535);
    EXPECT_EQ(parse_int_in_range("0", 0, 65535, -1), 0);
    EXPECT_EQ(parse_int_in_range("-5", -10, 10, 99), -5);
    EXPECT_EQ(parse_int_in_range("2147483647", 0, INT_MAX, -1), INT_MAX);
}

// The parsing trace is written at level 0 with the converted value, before
// the checks, and carries the process-group id where other lines have the
// thread id.
TEST(ParseIntInRange, TracesTheConvertedValueWhenDetailIsOn) {
    test_support::scratch_log log;
    EXPECT_EQ(parse_port("80x"), -1);
    EXPECT_EQ(parse_port("junk"), -1);
    std::string text = log.text();
    std::string ids = "][" + std::to_string(getpid()) + "," + std::to_string(getpgrp()) + "] ";
    EXPECT_NE(text.find(ids + "parse_int_in_range,"), std::string::npos) << text;
    EXPECT_NE(text.find("r_min: 1024, r_max: 65535, val: 80, dflt: -1\n"), std::string::npos);
    EXPECT_NE(text.find("r_min: 1024, r_max: 65535, val: 0, dflt: -1\n"), std::string::npos);
}

double seconds_of(void (*sleep)(unsigned int), unsigned int ms) {
    auto start = std::chrono::steady_clock::now();
    sleep(ms);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// 1500 ms must be split into 1 s and 500,000,000 ns: a whole-seconds-only or
// an out-of-range nanosecond field would sleep too short.
TEST(Msleep, SleepsWholeSecondsAndTheRemainder) {
    double slept = seconds_of(msleep, 1500);
    EXPECT_GE(slept, 1.5);
    EXPECT_LT(slept, 2.5);
    slept = seconds_of(msleep, 999);
    EXPECT_GE(slept, 0.999);
    EXPECT_LT(slept, 1.9);
    EXPECT_LT(seconds_of(msleep, 0), 0.5);
}

void ignore_signal(int) {}

// A signal that lands in the sleeping thread (as the set-id broadcast of the
// privilege drop does) must not cut the sleep short.
TEST(Msleep, SleepsOnThroughSignals) {
    struct sigaction sa = {};
    sa.sa_handler = ignore_signal;  // no SA_RESTART: nanosleep returns EINTR
    struct sigaction old;
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    double slept = 0;
    std::thread sleeper([&] { slept = seconds_of(msleep, 300); });
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pthread_kill(sleeper.native_handle(), SIGUSR1);
    }
    sleeper.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_GE(slept, 0.3);
}

}  // namespace
