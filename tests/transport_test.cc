// The character device: opening and reopening it, net_cdev and USB framing,
// the heartbeat. The device paths live on a private tmpfs over /dev (root).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "frame/util.h"
#include "tests/link_support.h"
#include "transport/capture.h"
#include "transport/device.h"
#include "transport/heartbeat.h"
#include "transport/net_cdev.h"
#include "transport/usb.h"

namespace {

using namespace test_support;

const char *const g_paths[] = {"/dev/lcd10", "/dev/net_cdev0", "/dev/net_cdev", "/dev/lcd1"};
// Before main, single-threaded still: a private mount namespace, a tmpfs over /dev.
const bool g_private_dev = getuid() == 0 && unshare(CLONE_NEWNS) == 0 &&
                           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                           mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") == 0;

std::string pattern(size_t len, int seed = 0) {
    std::string s(len, '\0');
    for (size_t i = 0; i < len; i++) s[i] = static_cast<char>(seed + i * 3 + i / 1024);
    return s;
}

// A USB packet node: token (0 middle, 1 first, 2 last, 3 only), number and
// length in host order, up to 450 payload bytes from 12, zeros up to 468.
std::string node(uint32_t token, uint32_t number, const std::string &payload) {
    uint32_t head[3] = {token, number, static_cast<uint32_t>(payload.size())};
    std::string n = std::string(reinterpret_cast<const char *>(head), 12) + payload.substr(0, 450);
    return n.append(468 - n.size(), '\0');
}

// The device: a socket pair end that never blocks a read; packets (a write or
// read unit each), or a stream for net_cdev reads. Only failures are logged.
class DeviceTest : public testing::Test {
  protected:
    void SetUp() override {
        open_process_log();
        log_at(2);
        open_device(SOCK_SEQPACKET);
    }
    void TearDown() override {
        close(g_cdev_fd.exchange(-1));
        close(sv_[1]);
        release_common_io_buf(v_);
        cdev_free_send_buf();
        BUFSIZE = 450;  // as the process starts
        g_record_log = 1;
    }
    void open_device(int type) {
        close(g_cdev_fd);
        close(sv_[1]);
        ASSERT_EQ(socketpair(AF_UNIX, type, 0, sv_), 0);
        fcntl(sv_[0], F_SETFL, O_NONBLOCK);
        int size = 1 << 20;
        for (int fd : sv_) setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
        g_cdev_fd = sv_[0];
    }
    std::vector<std::string> packets() {
        std::vector<std::string> out;
        static char buf[1 << 19];
        for (ssize_t n; (n = recv(sv_[1], buf, sizeof(buf), MSG_DONTWAIT)) >= 0;)
            out.emplace_back(buf, n);
        return out;
    }
    void send_bytes(const std::string &b) {
        ASSERT_EQ(send(sv_[1], b.data(), b.size(), 0), static_cast<ssize_t>(b.size()));
    }
    // `offset` bytes, the start flag 0xFF 0xFF, the node (its first `cut` bytes).
    static std::string unit(const std::string &node, size_t offset = 0, size_t cut = 0) {
        return std::string(offset, '\0') + "\xFF\xFF" + node.substr(0, cut ? cut : 468);
    }
    void send_unit(const std::string &node) { send_bytes(unit(node)); }

    int sv_[2] = {-1, -1};
    common_io_buf *v_ = alloc_common_io_buf(0);
    std::string header_ = pattern(32);
    struct iovec entry_ = {header_.data(), 32};
};

class DeviceOpen : public DeviceTest {
  protected:
    void SetUp() override {
        if (!g_private_dev) GTEST_SKIP() << "needs root and a private mount namespace";
        open_process_log();
        log_at(0);
    }
    void TearDown() override {
        for (const char *path : g_paths) unlink(path);
        g_connect_mode = CONNECT_MODE_USB;
        DeviceTest::TearDown();
    }
    static void make_device(const char *path) { close(open(path, O_CREAT | O_WRONLY, 0600)); }
    static std::string contents(const char *path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    int64_t write_to_bad_descriptor(write_iov_func write) {
        g_cdev_fd = dup(0);
        close(g_cdev_fd);
        return write(&entry_, 1);
    }
};

TEST_F(DeviceOpen, OnlyTheTwoDevicePathsAreOpened) {
    for (const char *path : g_paths) make_device(path);
    for (const char *path : {"/dev/lcd10", "/dev/net_cdev0", "/dev/lcd", "", "/tmp/dev/lcd1"}) {
        log_mark mark;
        EXPECT_FALSE(setup_char_device(path, 0)) << path;
        EXPECT_EQ(mark.count(std::string("Failed to open ") + path + ", error code: "), 1u);
        EXPECT_EQ(g_cdev_fd, -1);
    }
    EXPECT_EQ(level_of("Failed to open /dev/lcd10", [] { setup_char_device("/dev/lcd10", 0); }), 2);
    ASSERT_TRUE(setup_char_device("/dev/lcd1", 0));
    EXPECT_EQ(BUFSIZE, 450);
    auto open_net_cdev = [] { close(g_cdev_fd), setup_char_device("/dev/net_cdev", 0); };
    EXPECT_EQ(level_of("Open /dev/net_cdev successfully, fd: ", open_net_cdev), 1);
    EXPECT_EQ(BUFSIZE, 1024);
    EXPECT_EQ(fcntl(g_cdev_fd, F_GETFL) & (O_ACCMODE | O_APPEND | O_NONBLOCK), O_RDWR | O_APPEND);
    unlink("/dev/net_cdev");  // the mode is chosen even when the open fails
    EXPECT_FALSE(setup_char_device("/dev/net_cdev", 0));
    EXPECT_EQ(BUFSIZE, 1024);
}

// A write meeting a failed device reopens it and goes out, in both modes;
// while it stays away, one line each for write and open.
TEST_F(DeviceOpen, WriteToAFailedDeviceReopensItAndGoesOut) {
    for (int err : {EBADF, ENODEV, ENOENT, EIO, ENOTCONN, ENOSPC}) EXPECT_TRUE(cdev_failed(err));
    for (int err : {0, EAGAIN, EINTR, E2BIG}) EXPECT_FALSE(cdev_failed(err)) << err;
    const std::string write_failed = "send: Failed to write usb, ret: -1, errno: 9 ";
    const std::string open_failed = "Failed to open /dev/lcd1, error code: 2\n";
    log_mark mark;
    EXPECT_EQ(write_to_bad_descriptor(write_iov_to_usb), -1);
    EXPECT_FALSE(setup_char_device("/dev/lcd1", 0));
    EXPECT_EQ(g_cdev_fd, -1);
    EXPECT_EQ(mark.count(write_failed), 1u);
    EXPECT_EQ(mark.count(open_failed), 1u);
    make_device("/dev/lcd1");
    EXPECT_EQ(write_iov_to_usb(&entry_, 1), 32);
    EXPECT_EQ(write_to_bad_descriptor(write_iov_to_usb), 32);
    EXPECT_EQ(mark.count(write_failed), 2u);
    EXPECT_EQ(mark.count("Open /dev/lcd1 successfully"), 2u);
    EXPECT_EQ(contents("/dev/lcd1"), node(3, 0, header_) + node(3, 0, header_));
    close(g_cdev_fd);
    unlink("/dev/lcd1");
    EXPECT_FALSE(setup_char_device("/dev/lcd1", 0));
    EXPECT_EQ(mark.count(open_failed), 2u);
    make_device("/dev/net_cdev");
    ASSERT_TRUE(setup_char_device("/dev/net_cdev", 0));
    EXPECT_EQ(write_to_bad_descriptor(write_cdev_iov), 32);
    EXPECT_EQ(contents("/dev/net_cdev"), header_);
}

// A reopen keeps the device's number taken, also while the device is away,
// so no socket can take it under the reader. The message the reader had
// begun on the old device is lost (its link told, its rest never read), and
// the new device's first message arrives whole.
TEST_F(DeviceOpen, ReopenKeepsTheNumberAndTheNewDeviceStartsClean) {
    static int lost;
    lost = 0;
    g_lost_message_func = [](const common_io_buf *) { ++lost; };
    ASSERT_EQ(mkfifo("/dev/net_cdev", 0600), 0);
    ASSERT_TRUE(setup_char_device("/dev/net_cdev", 0));
    const int number = g_cdev_fd;
    int old_device = open("/dev/net_cdev", O_WRONLY);
    ASSERT_EQ(write(old_device, pattern(1024).data(), 1024), 1024);
    int64_t got = -2;
    std::thread reader([&] { got = cdev_buf_recv_iov(number, v_); });
    ASSERT_TRUE(wait_until([&] {
        int left = -1;
        return ioctl(old_device, FIONREAD, &left) == 0 && left == 0;
    }));
    unlink("/dev/net_cdev");
    reopen_cdev(g_cdev_generation);
    EXPECT_EQ(g_cdev_fd, -1);
    EXPECT_NE(fcntl(number, F_GETFD), -1) << "the number is free while the device is away";
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_NE(sock, number);
    close(sock);
    ASSERT_EQ(mkfifo("/dev/net_cdev", 0600), 0);
    reopen_cdev(g_cdev_generation);
    EXPECT_EQ(g_cdev_fd, number);
    ASSERT_EQ(write(old_device, "rest", 4), 4);  // the old message's rest
    reader.join();
    EXPECT_EQ(got, 0);
    EXPECT_EQ(lost, 1);
    int new_device = open("/dev/net_cdev", O_WRONLY);
    ASSERT_EQ(write(new_device, pattern(40, 1).data(), 40), 40);
    EXPECT_EQ(cdev_buf_recv_iov(number, v_), 40);
    EXPECT_EQ(as_string(v_), pattern(40, 1));
    close(old_device);
    close(new_device);
    g_lost_message_func = nullptr;
}

// A message goes out whole, at most 131072 bytes. The buffer is freed under the
// send lock only, as soon as the writer lets go; a writer then fails at once.
TEST_F(DeviceTest, NetCdevWritesUpTo131072BytesAtOnceUnderTheSendLock) {
    cdev_init_send_buf();
    const std::pair<std::vector<size_t>, int64_t> cases[] = {
        // the entries' sizes, the result
        {{32, 1000, 7}, 1039},           // gathered into one write
        {{32, 131040}, 131072},          // the whole buffer
        {{32, 131040, 0}, 131072},       // an empty entry behind a full buffer
        {{32, 131040, 1}, -E2BIG},       // one byte over
        {{32, ULONG_MAX - 16}, -E2BIG},  // the running total would wrap
    };
    std::string all = pattern(131073);
    for (const auto &[sizes, result] : cases) {
        SCOPED_TRACE(testing::PrintToString(sizes));
        std::vector<struct iovec> entries;
        for (size_t at = 0, i = 0; i < sizes.size(); at += sizes[i++])
            entries.push_back({all.data() + at, sizes[i]});
        EXPECT_EQ(write_cdev_iov(entries.data(), entries.size()), result);
        EXPECT_EQ(packets(), std::vector<std::string>(result > 0, all.substr(0, result)));
    }
    EXPECT_EQ(write_cdev_buf(header_.data(), 32), 32);
    auto write = [&] { write_cdev_iov(&entry_, 1); };
    EXPECT_EQ(level_of("CDEV send 32 bytes\n", write), 1);
    entry_.iov_len = 131073;
    EXPECT_EQ(level_of("too large message, current size is 131073\n", write), 2);
    EXPECT_EQ(packets(), std::vector<std::string>(3, header_));
    send_lock_acquire();
    std::thread(cdev_free_send_buf).join();  // gives up after a second
    EXPECT_NE(g_send_buf.load(), nullptr);
    auto asked = std::chrono::steady_clock::now();
    std::thread waiting(cdev_free_send_buf);
    msleep(50);
    send_lock_release();  // handed over to the waiting thread
    waiting.join();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(500));
    EXPECT_EQ(g_send_buf.load(), nullptr);
    send_lock_acquire();
    EXPECT_EQ(write_cdev_iov(&entry_, 1), -ENOMEM);
    send_lock_release();
}

// Writers that wait for the send lock bring their writes along: the holder
// runs them when it lets go, in the order they came, and each writer gets its
// own result and errno.
TEST_F(DeviceTest, TheSendLockHolderRunsTheWaitingWritesInTurn) {
    static std::vector<std::pair<int, pthread_t>> ran;  // the writes, where they ran
    auto write = [](void *arg) -> int64_t {
        int i = static_cast<int>(reinterpret_cast<intptr_t>(arg));
        ran.emplace_back(i, pthread_self());
        errno = 100 + i;
        return -i;
    };
    send_lock_acquire();
    std::vector<std::thread> writers;
    for (int i = 1; i <= 3; ++i) {
        writers.emplace_back([write, i] {
            EXPECT_EQ(send_lock_run(write, reinterpret_cast<void *>(intptr_t{i})), -i);
            EXPECT_EQ(errno, 100 + i);
        });
        msleep(20);  // in line one after the other
    }
    send_lock_release();
    for (std::thread &t : writers) t.join();
    ASSERT_EQ(ran.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ran[i].first, i + 1);
        EXPECT_TRUE(pthread_equal(ran[i].second, pthread_self())) << i;
    }
}

// A message ends at the first short read, or at its 128th slice (131072 bytes).
// A longer one, or one whose read failed after a whole slice, is lost: its link
// is told, its rest skipped to the device's end of message, never read alone.
TEST_F(DeviceTest, NetCdevMessageEndsAtTheFirstShortReadOrIsSkippedWhole) {
    BUFSIZE = 1024;
    static int lost;
    auto read_message = [this] { return iov_reset(v_, 128, 1024), cdev_buf_recv_iov(sv_[0], v_); };
    g_lost_message_func = [](const common_io_buf *) { ++lost; };
    const std::tuple<std::vector<size_t>, std::vector<long>, std::vector<std::string>> cases[] = {
        // the bytes sent before each read, the reads' results, the lines logged
        {{1500}, {1500}, {}},
        {{2048}, {2048}, {}},  // whole slices end with the device's empty read
        {{131072}, {131072}, {}},
        {{131072 + 100}, {0}, {"Drop too long message, length: more than 131072.\n"}},
        // the read after the first slice fails
        {{1024, 100}, {-1, -1}, {"Skipped 100 bytes to the end of a broken message\n"}},
    };
    for (const auto &[sent, results, lines] : cases) {
        SCOPED_TRACE(testing::PrintToString(sent));
        open_device(SOCK_STREAM);
        lost = 0;
        log_mark mark;
        for (size_t i = 0; i < sent.size(); i++) {
            send_bytes(pattern(sent[i]));
            if (results[i] > 0 && sent[i] % 1024 == 0) shutdown(sv_[1], SHUT_WR);
            EXPECT_EQ(read_message(), results[i]) << i;
        }
        for (const std::string &line : lines) EXPECT_EQ(mark.count(line), 1u) << line;
        EXPECT_EQ(lost, results.back() > 0 ? 0 : 1);
        size_t len = sent[0], seed = 0;
        if (results.back() <= 0) {  // the next message is read whole
            send_bytes(pattern(len = 40, seed = 1));
            EXPECT_EQ(read_message(), 40);
        }
        EXPECT_EQ(v_->iov_cnt, len / 1024 + (len < 131072));  // and the last read's, if any
        EXPECT_EQ(as_string(v_), pattern(len, seed));
    }
    g_lost_message_func = nullptr;
}

// Up to 450 bytes a node; a message that cannot go out is tried 11 times and
// leaves nothing behind for the next.
TEST_F(DeviceTest, UsbWritesEachNonEmptyEntryAsANodeOfAtMost450Bytes) {
    BUFSIZE = 450;
    using nodes = std::vector<std::tuple<uint32_t, uint32_t, int>>;  // token, number, entry of each
    const std::tuple<std::vector<size_t>, nodes, int64_t> cases[] = {
        // the entries' sizes, the nodes written, the result
        {{450}, {{3, 0, 0}}, 450},
        {{32, 450, 100}, {{1, 0, 0}, {0, 1, 1}, {2, 2, 2}}, 582},
        {{32, 0}, {{1, 0, 0}, {2, 1, 1}}, 32},  // an empty last slice
        {{0, 32}, {{3, 0, 1}}, 32},             // empty entries share the next slice
        {{32, 451}, {{1, 0, 0}}, -1},           // fails after the slices before it
    };
    for (const auto &[sizes, written, result] : cases) {
        SCOPED_TRACE(testing::PrintToString(sizes));
        std::vector<std::string> parts, expected;
        std::vector<struct iovec> entries;
        for (size_t len : sizes) parts.push_back(pattern(len, parts.size() + 1));
        for (std::string &p : parts) entries.push_back({p.data(), p.size()});
        EXPECT_EQ(write_iov_to_usb(entries.data(), entries.size()), result);
        for (auto [token, number, i] : written) expected.push_back(node(token, number, parts[i]));
        EXPECT_EQ(packets(), expected);
    }
    // A full socket fails every write with EAGAIN: the device stays open.
    while (send(sv_[0], "full", 4, 0) > 0) continue;
    std::string big = pattern(400, 7);
    struct iovec entry = {big.data(), big.size()};
    log_mark mark;
    EXPECT_EQ(write_iov_to_usb(&entry, 1), -1);
    EXPECT_EQ(mark.count("send: Failed to write usb, ret: -1, errno: " + std::to_string(EAGAIN) +
                         " g_cdev_fd\xEF\xBC\x9A" + std::to_string(sv_[0]) + "\n"),
              11u);
    EXPECT_EQ(g_cdev_fd, sv_[0]);
    packets();
    EXPECT_EQ(write_iov_to_usb(&entry_, 1), 32);
    EXPECT_EQ(packets(), std::vector<std::string>{node(3, 0, header_)});
}

// Each unit is "<token><number>:<length>", then "@<n>" for n bytes in front
// of the start flag or "/<n>" for only n node bytes sent; tokens M(iddle)
// F(irst) L(ast) O(nly); "=" sends the unit before it again. The payloads of
// the units marked + make the message.
TEST_F(DeviceTest, UsbSlicesArePutBackTogether) {
    BUFSIZE = 450;
    const std::pair<const char *, std::vector<std::string>> cases[] = {
        // units, then the lines logged once each after "recv: "
        {"+F0:32 L1:0", {}},                   // an empty last slice
        {"+F0:450 +M1:450 M1:450 +L2:5", {}},  // a repeated slice is taken once
        {"+F0:450 = +L1:5", {}},               // a repeated first slice too
        {"O0:32@10 +O0:32@9", {"cannot find node start flag\n"}},
        {"M0:100 L0:100 F1:100 F0:451 +O0:20",
         {"first slice: token 0 is wrong\n", "first slice: token 2 is wrong\n",
          "first slice: wrong number\n", "wrong cut_packet_len\n"}},
        {"+F0:100 L2:20 F1:20 +L1:20",
         {"middle slice: wrong number\n", "middle slice: token 1 is wrong\n"}},
        {"F0:450 +F0:450 +L1:7", {"dropped 450 bytes of an unfinished message\n"}},
        {"F0:450 +O0:32", {"dropped 450 bytes of an unfinished message\n"}},
        {"O0:100/111 O0:100/11 +O0:40",
         {"unit of 113 bytes is too short\n", "unit of 13 bytes is too short\n"}},
    };
    for (const auto &[units, lines] : cases) {
        SCOPED_TRACE(units);
        std::string expected;
        uint64_t slots = 0;
        std::istringstream in(units);
        std::string last;
        for (std::string u; in >> u;) {
            if (u == "=") {
                send_bytes(last);
                continue;
            }
            bool kept = u[0] == '+';
            char token, sep = 0;
            unsigned number, len, n = 0;
            sscanf(u.c_str() + kept, "%c%u:%u%c%u", &token, &number, &len, &sep, &n);
            std::string payload = pattern(len, u.size() + slots);
            last = unit(node(std::string("MFLO").find(token), number, payload), sep == '@' ? n : 0,
                        sep == '/' ? n : 0);
            send_bytes(last);
            expected += kept ? payload : "";
            slots += kept && len > 0;
        }
        log_mark mark;
        EXPECT_EQ(read_iov_from_usb(sv_[0], v_), static_cast<int64_t>(expected.size()));
        EXPECT_EQ(v_->iov_cnt, slots);
        EXPECT_EQ(as_string(v_), expected);
        for (const std::string &line : lines) EXPECT_EQ(mark.count("recv: " + line), 1u) << line;
        EXPECT_EQ(mark.count("recv: "), lines.size()) << mark.text();
    }
}

// 128 slices fill the vector: a message that goes on is too long. It is lost
// (its link told), its rest dropped quietly, and the next message arrives.
// A reopened device (often under the same descriptor) ends an unfinished
// message.
TEST_F(DeviceTest, UsbTooLongMessageOrAReopenEndsTheMessage) {
    BUFSIZE = 450;
    static int lost;
    lost = 0;
    g_lost_message_func = [](const common_io_buf *) { ++lost; };
    log_mark mark;
    for (uint32_t n = 0; n < 129; n++) send_unit(node(n == 0, n, pattern(450, n)));
    send_unit(node(2, 129, "!"));
    send_unit(node(3, 0, "after"));
    EXPECT_EQ(read_iov_from_usb(sv_[0], v_), 0);
    EXPECT_EQ(lost, 1);
    EXPECT_EQ(mark.count("Drop too long message, length: more than 57600.\n"), 1u);
    EXPECT_EQ(read_iov_from_usb(sv_[0], v_), 5);
    EXPECT_EQ(as_string(v_), "after");
    EXPECT_EQ(mark.count("recv: "), 0u) << mark.text();
    send_unit(node(1, 0, pattern(450, 1)));
    std::thread reopen([this] {
        msleep(20);
        g_cdev_generation += 2;  // as a reopen does, once it is over
        send_unit(node(2, 1, "rest"));
        send_unit(node(3, 0, "next"));
    });
    EXPECT_EQ(read_iov_from_usb(sv_[0], v_), 4);
    reopen.join();
    EXPECT_EQ(as_string(v_), "next");
    EXPECT_EQ(lost, 2);
    EXPECT_EQ(mark.count("recv: dropped 450 bytes of an unfinished message\n"), 1u);
    // The rest of the message cut by the reopen.
    EXPECT_EQ(mark.count("recv: first slice: token 2 is wrong\n"), 1u);
    g_lost_message_func = nullptr;
}

// The init message (type 5) is retried every 100 ms until written, then a
// heartbeat (type 4) every 10 s; both from the host (source 1).
TEST_F(DeviceTest, HeartbeatInitRetriedThenOneEveryTenSecondsInBothModes) {
    static std::vector<std::string> events;  // the units written and the sleeps, in order
    static int failures;                     // of the writes to come
    for (int mode : {CONNECT_MODE_NET_CDEV, CONNECT_MODE_USB}) {
        SCOPED_TRACE(mode);
        auto run = [mode] {
            events.clear();
            failures = 2;
            auto write = [](const void *unit, uint64_t len) -> int64_t {
                events.emplace_back(static_cast<const char *>(unit), len);
                return failures-- > 0 ? -1 : 32;
            };
            heartbeat_run({mode, write, [](unsigned ms) { events.push_back(std::to_string(ms)); }},
                          2);
        };
        EXPECT_EQ(level_of("Failed to send 'init' msg to Tavix\n", run), 0);
        EXPECT_EQ(level_of("Send 'init' msg to Tavix successfully\n", run), 1);
        log_mark mark;
        run();
        EXPECT_EQ(mark.count("Failed to send 'init' msg to Tavix\n"), 2u);
        EXPECT_EQ(mark.count("Send 'init' msg to Tavix successfully\n"), 1u);
        std::string init = "\5\1" + std::string(30, '\0'), beat = "\4\1" + std::string(30, '\0');
        if (mode == CONNECT_MODE_USB) init = node(3, 0, init), beat = node(3, 0, beat);  // alone
        EXPECT_EQ(events, std::vector<std::string>(
                              {init, "100", init, "100", init, "10000", beat, "10000", beat}));
    }
}

// Files named as tcpdump names them: FILE, FILE1, FILE2... without a count;
// with 10, FILE00 to FILE09 reused in turn. Here a file holds one record (the
// first always fits: 24 + 16 + 68 bytes > 100). A second capture is refused.
TEST(Capture, FilesAreNamedAndReusedAsTcpdumpDoes) {
    scratch_dir dir;
    std::string message(64, 'm'), error;
    struct iovec entry = {message.data(), message.size()};
    std::set<std::string> expected;
    for (int count : {0, 10}) {
        ASSERT_TRUE(capture_start("c", 100, count, &error)) << error;
        EXPECT_FALSE(capture_start("d", 0, 0, &error));
        for (int i = 0; i < 12; i++) {
            capture_message(CAPTURE_FROM_CONTROLLER, &entry, 1);
            expected.insert(count == 0 ? (i == 0 ? "c" : "c" + std::to_string(i))
                                       : "c0" + std::to_string(i % 10));
        }
        capture_stop();
        EXPECT_FALSE(capture_active());
    }
    std::set<std::string> names;
    for (const auto &file : std::filesystem::directory_iterator(dir.path())) {
        EXPECT_EQ(file.is_regular_file() ? file.file_size() : 108, 108u) << file.path();
        names.insert(file.path().filename());
    }
    names.erase("log");
    EXPECT_EQ(names, expected);
}

}  // namespace
