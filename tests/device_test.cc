// Device open: the two accepted paths and what each mode sets up, a failed
// open logged once per episode, and the reopen after a write failed because
// the device went away.
//
// The device paths are made to exist on a private tmpfs over /dev in a mount
// namespace of the test's own, so the real /dev is never touched. Needs root.
#include "transport/device.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "tests/link_support.h"
#include "transport/net_cdev.h"
#include "transport/usb.h"

namespace {

using namespace test_support;

bool g_private_dev = false;

// Single-threaded still: a private mount namespace with a tmpfs over /dev.
class device_environment : public testing::Environment {
  public:
    void SetUp() override {
        g_private_dev = getuid() == 0 && unshare(CLONE_NEWNS) == 0 &&
                        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                        mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") == 0;
        open_process_log();
    }
};
const auto *const g_env = testing::AddGlobalTestEnvironment(new device_environment);

void make_device(const char *path) {
    close(open(path, O_CREAT | O_WRONLY, 0600));
}

std::string contents(const char *path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A descriptor number that is not open: writes to it fail with EBADF.
int closed_descriptor() {
    int fd = dup(STDERR_FILENO);
    close(fd);
    return fd;
}

class DeviceTest : public testing::Test {
  protected:
    void SetUp() override {
        if (!g_private_dev) GTEST_SKIP() << "needs root and a private mount namespace";
        reset_transport();
    }
    void TearDown() override {
        reset_transport();
        for (const char *path : {"/dev/net_cdev", "/dev/net_cdev0", "/dev/lcd1", "/dev/lcd10"})
            unlink(path);
    }
    static void reset_transport() {
        if (g_cdev_fd >= 0) close(g_cdev_fd);
        g_cdev_fd = -1;
        cdev_free_send_buf();
        BUFSIZE = 450;
        g_connect_mode = CONNECT_MODE_USB;
        g_write_iov_func = write_iov_to_usb;
        g_read_iov_func = read_iov_from_usb;
        g_record_log = 1;
    }
};

TEST_F(DeviceTest, OnlyTheTwoDevicePathsAreOpened) {
    make_device("/dev/lcd10");
    make_device("/dev/net_cdev0");
    make_device("/dev/net_cdev");
    make_device("/dev/lcd1");
    for (const char *path : {"/dev/lcd10", "/dev/net_cdev0", "/dev/lcd", "", "/tmp/dev/lcd1"}) {
        log_mark mark;
        EXPECT_FALSE(setup_char_device(path, 0)) << path;
        EXPECT_EQ(mark.count(std::string("Failed to open ") + path + ", error code: "), 1u);
        EXPECT_EQ(g_cdev_fd, -1) << path;
        EXPECT_EQ(BUFSIZE, 450);
        EXPECT_EQ(g_write_iov_func, write_iov_to_usb);
    }
    EXPECT_FALSE(setup_char_device(nullptr, 0));
    EXPECT_EQ(level_of("Failed to open /dev/lcd10, error code: ",
                       [] { setup_char_device("/dev/lcd10", 0); }),
              2);

    ASSERT_TRUE(setup_char_device("/dev/lcd1", 0));
    EXPECT_EQ(BUFSIZE, 450);
    EXPECT_EQ(g_read_iov_func, read_iov_from_usb);
    EXPECT_EQ(g_send_buf.load(), nullptr);
    close(g_cdev_fd);

    log_mark mark;
    ASSERT_TRUE(setup_char_device("/dev/net_cdev", 0));
    EXPECT_EQ(BUFSIZE, 1024);
    EXPECT_EQ(g_connect_mode, CONNECT_MODE_NET_CDEV);
    EXPECT_EQ(g_write_iov_func, write_cdev_iov);
    EXPECT_EQ(g_read_iov_func, cdev_buf_recv_iov);
    EXPECT_NE(g_send_buf.load(), nullptr);
    EXPECT_EQ(fcntl(g_cdev_fd, F_GETFL) & (O_ACCMODE | O_APPEND | O_NONBLOCK), O_RDWR | O_APPEND);
    EXPECT_EQ(mark.count("Open /dev/net_cdev successfully, fd: " + std::to_string(g_cdev_fd)), 1u);
    EXPECT_EQ(level_of("Open /dev/net_cdev successfully, fd: ",
                       [] { close(g_cdev_fd), setup_char_device("/dev/net_cdev", 0); }),
              1);
    // The mode is chosen before the open: a failed one keeps it all the same.
    reset_transport();
    unlink("/dev/net_cdev");
    EXPECT_FALSE(setup_char_device("/dev/net_cdev", 0));
    EXPECT_EQ(BUFSIZE, 1024);
    EXPECT_EQ(g_connect_mode, CONNECT_MODE_NET_CDEV);
}

TEST_F(DeviceTest, OnlyAGoneDeviceIsReopened) {
    for (int err : {EBADF, ENODEV, ENOENT}) EXPECT_TRUE(cdev_gone(err)) << err;
    for (int err : {0, EIO, EAGAIN, EINTR, ENOSPC}) EXPECT_FALSE(cdev_gone(err)) << err;
}

// A write that met a descriptor gone bad reopens the device and goes out on
// the new one, in both modes.
TEST_F(DeviceTest, FailedWriteReopensTheDeviceAndIsRepeated) {
    std::string header(32, 'h');
    struct iovec entry = {header.data(), header.size()};
    make_device("/dev/lcd1");
    g_cdev_fd = closed_descriptor();
    log_mark mark;
    EXPECT_EQ(write_iov_to_usb(&entry, 1), 32);
    EXPECT_EQ(mark.count("send: Failed to write usb, ret: -1, errno: 9 "), 1u);
    EXPECT_EQ(mark.count("Open /dev/lcd1 successfully"), 1u);
    std::string node(468, '\0');
    node[0] = 3;   // token: the only slice
    node[8] = 32;  // its length
    node.replace(12, 32, header);
    EXPECT_EQ(contents("/dev/lcd1"), node);

    close(g_cdev_fd);
    make_device("/dev/net_cdev");
    ASSERT_TRUE(setup_char_device("/dev/net_cdev", 0));
    close(g_cdev_fd);
    EXPECT_EQ(write_cdev_iov(&entry, 1), 32);
    EXPECT_EQ(mark.count("Open /dev/net_cdev successfully"), 2u);
    EXPECT_EQ(contents("/dev/net_cdev"), header);
    EXPECT_FALSE(send_lock_held());
}

// While the device stays away, one line tells of the failed write and one of
// the failed open; after the next success a new failure is told again.
TEST_F(DeviceTest, AbsentDeviceIsLoggedOncePerEpisode) {
    const std::string open_failed = "Failed to open /dev/lcd1, error code: 2\n";
    std::string header(32, 'h');
    struct iovec entry = {header.data(), header.size()};
    g_cdev_fd = closed_descriptor();
    log_mark mark;
    EXPECT_EQ(write_iov_to_usb(&entry, 1), -1);
    EXPECT_FALSE(setup_char_device("/dev/lcd1", 0));
    EXPECT_EQ(g_cdev_fd, -1);
    EXPECT_EQ(mark.count("send: Failed to write usb"), 1u);
    EXPECT_EQ(mark.count(open_failed), 1u);
    EXPECT_FALSE(send_lock_held());

    make_device("/dev/lcd1");
    EXPECT_EQ(write_iov_to_usb(&entry, 1), 32);
    EXPECT_EQ(contents("/dev/lcd1").size(), 468u);
    close(g_cdev_fd);
    unlink("/dev/lcd1");
    EXPECT_FALSE(setup_char_device("/dev/lcd1", 0));
    EXPECT_EQ(mark.count(open_failed), 2u);
    EXPECT_EQ(mark.count("send: Failed to write usb"), 1u);
}

}  // namespace
