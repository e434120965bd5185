// Device open: which paths are accepted, what each mode sets up, the
// logging of failed opens, and the reopen after a failed USB write.
//
// The device paths are made to exist on a private tmpfs over /dev in a mount
// namespace of the test's own, so the real /dev is never touched. Needs root.
#include "transport/device.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "common/iov.h"
#include "tests/test_support.h"
#include "transport/net_cdev.h"
#include "transport/usb.h"

namespace {

bool g_private_dev = false;

// Single-threaded still: a private mount namespace with a tmpfs over /dev,
// then a scratch directory with its own log, every level on.
class device_environment : public testing::Environment {
  public:
    void SetUp() override {
        if (getuid() == 0 && unshare(CLONE_NEWNS) == 0 &&
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") == 0) {
            g_private_dev = true;
        }
        test_support::open_process_log();
    }
};
const auto *const g_env = testing::AddGlobalTestEnvironment(new device_environment);

using test_support::log_mark;

void make_device(const char *path) {
    int fd = open(path, O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0) << path;
    close(fd);
}

off_t file_size(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 ? st.st_size : -1;
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
        if (!g_private_dev) {
            GTEST_SKIP() << "needs root and a private mount namespace";
        }
        reset_transport();
    }
    void TearDown() override {
        reset_transport();
        for (const char *path : {NET_CDEV_PATH, USB_CDEV_PATH, "/dev/lcd10"}) unlink(path);
    }
    static void reset_transport() {
        if (g_cdev_fd >= 0) close(g_cdev_fd);
        g_cdev_fd = -1;
        cdev_free_send_buf();
        BUFSIZE = PACKET_DATA_SIZE;
        g_connect_mode = CONNECT_MODE_USB;
        g_write_iov_func = write_iov_to_usb;
        g_read_iov_func = read_iov_from_usb;
        g_record_log = 1;
    }
    static void expect_usb_defaults() {
        EXPECT_EQ(BUFSIZE, static_cast<int>(PACKET_DATA_SIZE));
        EXPECT_EQ(g_connect_mode, CONNECT_MODE_USB);
        EXPECT_EQ(g_write_iov_func, write_iov_to_usb);
        EXPECT_EQ(g_read_iov_func, read_iov_from_usb);
        EXPECT_EQ(g_send_buf.load(), nullptr);
    }
};

TEST_F(DeviceTest, OnlyTheTwoDevicePathsAreOpened) {
    make_device("/dev/lcd10");
    ASSERT_EQ(mkdir(NET_CDEV_PATH, 0755), 0);
    make_device("/dev/net_cdev/x");
    for (const char *path :
         {"/dev/lcd10", "/dev/net_cdev/", "/dev/net_cdev/x", "/dev/lcd", "", "/tmp/dev/lcd1"}) {
        log_mark mark;
        EXPECT_FALSE(setup_char_device(path, 0)) << path;
        EXPECT_EQ(mark.count(std::string("Failed to open ") + path + ", error code: "), 1u);
        EXPECT_EQ(g_cdev_fd, -1) << path;
        expect_usb_defaults();
    }
    EXPECT_FALSE(setup_char_device(nullptr, 0));
    unlink("/dev/net_cdev/x");
    rmdir(NET_CDEV_PATH);
}

TEST_F(DeviceTest, NetCdevModeIsSetBeforeTheOpen) {
    // Even a failed open leaves the mode chosen.
    EXPECT_FALSE(setup_char_device(NET_CDEV_PATH, 0));
    EXPECT_EQ(BUFSIZE, NET_CDEV_BUFSIZE);
    EXPECT_EQ(g_connect_mode, CONNECT_MODE_NET_CDEV);

    make_device(NET_CDEV_PATH);
    log_mark mark;
    ASSERT_TRUE(setup_char_device(NET_CDEV_PATH, 0));
    EXPECT_EQ(BUFSIZE, NET_CDEV_BUFSIZE);
    EXPECT_EQ(g_write_iov_func, write_cdev_iov);
    EXPECT_EQ(g_read_iov_func, cdev_buf_recv_iov);
    EXPECT_NE(g_send_buf.load(), nullptr);
    ASSERT_GE(g_cdev_fd, 0);
    EXPECT_EQ(fcntl(g_cdev_fd, F_GETFL) & (O_ACCMODE | O_APPEND | O_NONBLOCK), O_RDWR | O_APPEND);
    EXPECT_EQ(
        mark.count("Open /dev/net_cdev successfully, fd: " + std::to_string(g_cdev_fd) + "\n"), 1u);
}

TEST_F(DeviceTest, UsbModeKeepsTheDefaults) {
    make_device(USB_CDEV_PATH);
    ASSERT_TRUE(setup_char_device(USB_CDEV_PATH, 0));
    EXPECT_GE(g_cdev_fd, 0);
    expect_usb_defaults();
}

TEST_F(DeviceTest, FailedOpensAreLoggedOnceUntilTheNextSuccess) {
    std::string failure = "Failed to open /dev/lcd1, error code: " + std::to_string(ENOENT) + "\n";
    log_mark mark;
    EXPECT_FALSE(setup_char_device(USB_CDEV_PATH, 0));
    EXPECT_EQ(g_cdev_fd, -1);
    EXPECT_EQ(g_record_log, 0);
    EXPECT_FALSE(setup_char_device(USB_CDEV_PATH, 0));
    EXPECT_EQ(mark.count(failure), 1u);

    make_device(USB_CDEV_PATH);
    ASSERT_TRUE(setup_char_device(USB_CDEV_PATH, 0));
    EXPECT_EQ(g_record_log, 1);
    EXPECT_EQ(mark.count("Open /dev/lcd1 successfully, fd: "), 1u);

    close(g_cdev_fd);
    unlink(USB_CDEV_PATH);
    EXPECT_FALSE(setup_char_device(USB_CDEV_PATH, 0));
    EXPECT_EQ(mark.count(failure), 2u);
}

TEST_F(DeviceTest, FailedUsbWriteReopensTheDevice) {
    make_device(USB_CDEV_PATH);
    g_cdev_fd = closed_descriptor();
    std::vector<uint8_t> header(32, 0x5A);
    struct iovec entry = {header.data(), header.size()};
    log_mark mark;
    EXPECT_EQ(write_iov_to_usb(&entry, 1), 32);
    EXPECT_EQ(mark.count("send: Failed to write usb, ret: -1, errno: " + std::to_string(EBADF)),
              1u);
    EXPECT_EQ(mark.count("Open /dev/lcd1 successfully"), 1u);
    ASSERT_GE(g_cdev_fd, 0);
    // The slice went to the reopened device on the retry.
    ASSERT_EQ(file_size(USB_CDEV_PATH), static_cast<off_t>(PACKET_NODE_SIZE));
    packet_node node;
    std::ifstream in(USB_CDEV_PATH, std::ios::binary);
    in.read(reinterpret_cast<char *>(&node), sizeof(node));
    EXPECT_EQ(node.token, SLICE_TOKEN_ONLY);
    EXPECT_EQ(node.cut_packet_len, 32u);
    EXPECT_EQ(memcmp(node.data, header.data(), header.size()), 0);
}

TEST_F(DeviceTest, AbsentDeviceIsReportedOnce) {
    g_cdev_fd = closed_descriptor();
    std::vector<uint8_t> header(32, 0x5A);
    struct iovec entry = {header.data(), header.size()};
    log_mark mark;
    EXPECT_LT(write_iov_to_usb(&entry, 1), 0);
    EXPECT_EQ(g_cdev_fd, -1);
    EXPECT_EQ(mark.count("send: Failed to write usb"), 1u);
    EXPECT_EQ(mark.count("Failed to open /dev/lcd1"), 1u);
    EXPECT_FALSE(send_lock_held());

    // The next write after the device came back finds it again.
    make_device(USB_CDEV_PATH);
    EXPECT_EQ(write_iov_to_usb(&entry, 1), 32);
    EXPECT_EQ(file_size(USB_CDEV_PATH), static_cast<off_t>(PACKET_NODE_SIZE));
}

}  // namespace
