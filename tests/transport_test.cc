// The character device in both modes: the paths that open, the reopen after
// the device went away, net_cdev and USB framing, and the heartbeat sequence.
// The open tests need root: the device paths exist on a private tmpfs over
// /dev in a mount namespace of the test's own, never on the real /dev.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <climits>
#include <fstream>
#include <sstream>
#include <thread>
#include <tuple>

#include "frame/util.h"
#include "tests/link_support.h"
#include "transport/device.h"
#include "transport/heartbeat.h"
#include "transport/net_cdev.h"
#include "transport/usb.h"

namespace {

using namespace test_support;

const int g_usb_slice = BUFSIZE;  // as the process starts
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

std::string pattern(size_t len, int seed = 0) {
    std::string s(len, '\0');
    for (size_t i = 0; i < len; i++) s[i] = static_cast<char>(seed + i * 3 + i / 1024);
    return s;
}

// A USB packet node: at offsets 0, 4 and 8 the token (0 middle, 1 first,
// 2 last, 3 only slice), number and payload length in host order, up to 450
// payload bytes from 12, zeros up to 468.
std::string node(uint32_t token, uint32_t number, const std::string &payload) {
    uint32_t head[3] = {token, number, static_cast<uint32_t>(payload.size())};
    std::string n = std::string(reinterpret_cast<const char *>(head), 12) + payload.substr(0, 450);
    return n.append(468 - n.size(), '\0');
}

// The device is one end of a socket pair, its reads never blocking: packets,
// where every write and every unit handed to a read is one, or a stream for
// the net_cdev reads. The log keeps failures only (level 2).
class DeviceTest : public testing::Test {
  protected:
    void SetUp() override {
        log_at(2);
        open_device(SOCK_SEQPACKET);
    }
    void TearDown() override {
        close(g_cdev_fd.exchange(-1));
        close(sv_[1]);
        release_common_io_buf(v_);
        cdev_free_send_buf();
        BUFSIZE = g_usb_slice;
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
    // What the agent wrote, a packet each.
    std::vector<std::string> packets() {
        std::vector<std::string> out;
        static char buf[1 << 19];
        for (ssize_t n; (n = recv(sv_[1], buf, sizeof(buf), MSG_DONTWAIT)) >= 0;) {
            out.emplace_back(buf, n);
        }
        return out;
    }
    void send_bytes(const std::string &b) {
        ASSERT_EQ(send(sv_[1], b.data(), b.size(), 0), static_cast<ssize_t>(b.size()));
    }
    // `offset` bytes, the start flag 0xFF 0xFF, the node (its first `cut`
    // bytes when not 0).
    void send_unit(const std::string &node, size_t offset = 0, size_t cut = 0) {
        send_bytes(std::string(offset, '\0') + "\xFF\xFF" + node.substr(0, cut ? cut : 468));
    }
    std::string received() const { return as_string(v_); }

    int sv_[2] = {-1, -1};
    common_io_buf *v_ = alloc_common_io_buf(0);
    std::string header_ = pattern(32);
    struct iovec entry_ = {header_.data(), 32};
};

class DeviceOpen : public DeviceTest {
  protected:
    void SetUp() override {
        if (!g_private_dev) GTEST_SKIP() << "needs root and a private mount namespace";
        log_at(0);
    }
    void TearDown() override {
        for (const char *path : {"/dev/lcd10", "/dev/net_cdev0", "/dev/net_cdev", "/dev/lcd1"}) {
            unlink(path);
        }
        g_connect_mode = CONNECT_MODE_USB;
        DeviceTest::TearDown();
    }
    static void make_device(const char *path) { close(open(path, O_CREAT | O_WRONLY, 0600)); }
    static std::string contents(const char *path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // A write of the 32 header bytes to a descriptor that is not open.
    int64_t write_to_bad_descriptor(write_iov_func write) {
        g_cdev_fd = dup(0);
        close(g_cdev_fd);
        return write(&entry_, 1);
    }
};

TEST_F(DeviceOpen, OnlyTheTwoDevicePathsAreOpened) {
    for (const char *path : {"/dev/lcd10", "/dev/net_cdev0", "/dev/net_cdev", "/dev/lcd1"}) {
        make_device(path);
    }
    for (const char *path : {"/dev/lcd10", "/dev/net_cdev0", "/dev/lcd", "", "/tmp/dev/lcd1"}) {
        log_mark mark;
        EXPECT_FALSE(setup_char_device(path, 0)) << path;
        EXPECT_EQ(mark.count(std::string("Failed to open ") + path + ", error code: "), 1u);
        EXPECT_EQ(g_cdev_fd, -1);
        EXPECT_EQ(g_write_iov_func, write_iov_to_usb);
    }
    EXPECT_EQ(level_of("Failed to open /dev/lcd10", [] { setup_char_device("/dev/lcd10", 0); }), 2);

    ASSERT_TRUE(setup_char_device("/dev/lcd1", 0));
    EXPECT_EQ(BUFSIZE, 450);
    EXPECT_EQ(g_send_buf.load(), nullptr);

    auto open_net_cdev = [] { close(g_cdev_fd), setup_char_device("/dev/net_cdev", 0); };
    EXPECT_EQ(level_of("Open /dev/net_cdev successfully, fd: ", open_net_cdev), 1);
    EXPECT_EQ(BUFSIZE, 1024);
    EXPECT_EQ(g_connect_mode, CONNECT_MODE_NET_CDEV);
    EXPECT_EQ(g_write_iov_func, write_cdev_iov);
    EXPECT_EQ(g_read_iov_func, cdev_buf_recv_iov);
    EXPECT_NE(g_send_buf.load(), nullptr);
    EXPECT_EQ(fcntl(g_cdev_fd, F_GETFL) & (O_ACCMODE | O_APPEND | O_NONBLOCK), O_RDWR | O_APPEND);
    unlink("/dev/net_cdev");  // the mode is chosen even when the open fails
    EXPECT_FALSE(setup_char_device("/dev/net_cdev", 0));
    EXPECT_EQ(BUFSIZE, 1024);
}

// A write that met a device gone away (EBADF, ENODEV, ENOENT) reopens it and
// goes out on the new descriptor, in both modes. While the device stays away,
// one line tells of the failed write and one of the failed open; after the
// next success a new failure is told again.
TEST_F(DeviceOpen, WriteToAGoneDeviceReopensItAndGoesOut) {
    for (int err : {EBADF, ENODEV, ENOENT}) EXPECT_TRUE(cdev_gone(err)) << err;
    for (int err : {0, EIO, EAGAIN, EINTR, ENOSPC}) EXPECT_FALSE(cdev_gone(err)) << err;
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

TEST_F(DeviceTest, NetCdevWritesAWholeMessageOfUpTo131072BytesAtOnce) {
    cdev_init_send_buf();
    const std::pair<std::vector<size_t>, int64_t> cases[] = {
        // the entries' sizes, the result
        {{32}, 32},
        {{32, 1000, 7}, 1039},
        {{32, 131040}, 131072},
        {{32, 131040, 0}, 131072},  // an empty entry behind a full buffer
        {{32, 131040, 1}, -E2BIG},
        {{131073}, -E2BIG},
    };
    std::string all = pattern(131073);
    for (const auto &[sizes, result] : cases) {
        SCOPED_TRACE(testing::PrintToString(sizes));
        std::vector<struct iovec> entries;
        for (size_t at = 0, i = 0; i < sizes.size(); at += sizes[i++]) {
            entries.push_back({all.data() + at, sizes[i]});
        }
        EXPECT_EQ(write_cdev_iov(entries.data(), entries.size()), result);
        EXPECT_EQ(packets(), std::vector<std::string>(result > 0, all.substr(0, result)));
    }
    // A length that would wrap the running total is refused as well.
    struct iovec wrap[2] = {entry_, {all.data(), ULONG_MAX - 16}};
    EXPECT_EQ(write_cdev_iov(wrap, 2), -E2BIG);
    EXPECT_EQ(write_cdev_buf(header_.data(), 32), 32);
    EXPECT_EQ(level_of("CDEV send 32 bytes\n", [&] { write_cdev_iov(&entry_, 1); }), 1);
    entry_.iov_len = 131073;
    EXPECT_EQ(level_of("too large message, current size is 131073\n",
                       [&] { write_cdev_iov(&entry_, 1); }),
              2);
    EXPECT_EQ(packets(), std::vector<std::string>(3, header_));
}

// At shutdown the buffer goes only under the send lock: not while a writer
// holds it, and as soon as the writer lets go. A writer that finds it gone
// fails at once, without the lock.
TEST_F(DeviceTest, NetCdevSendBufferIsFreedOnlyUnderTheSendLock) {
    cdev_init_send_buf();
    send_lock_acquire();
    std::thread([] { cdev_free_send_buf(); }).join();  // gives up after a second
    EXPECT_NE(g_send_buf.load(), nullptr);
    auto asked = std::chrono::steady_clock::now();
    std::thread waiting([] { cdev_free_send_buf(); });
    msleep(50);
    send_lock_release();  // handed over to the waiting thread
    waiting.join();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(500));
    EXPECT_EQ(g_send_buf.load(), nullptr);
    send_lock_acquire();
    EXPECT_EQ(write_cdev_iov(&entry_, 1), -ENOMEM);
    send_lock_release();
}

// Whole slices end with the device's empty read: after 128 of them it is the
// end of a message of exactly 131072 bytes.
TEST_F(DeviceTest, NetCdevMessageEndsAtTheFirstShortRead) {
    BUFSIZE = 1024;
    for (size_t len : {100, 1500, 2048, 131072}) {
        SCOPED_TRACE(len);
        open_device(SOCK_STREAM);
        send_bytes(pattern(len));
        if (len % 1024 == 0) shutdown(sv_[1], SHUT_WR);  // the next read gives 0 bytes
        EXPECT_EQ(cdev_buf_recv_iov(sv_[0], v_), static_cast<int64_t>(len));
        std::vector<size_t> expected(len / 1024, 1024), got;
        if (len < 131072) expected.push_back(len % 1024);
        for (uint64_t i = 0; i < v_->iov_cnt; i++) got.push_back(v_->iov[i].iov_len);
        EXPECT_EQ(got, expected);
        EXPECT_EQ(received(), pattern(len));
        iov_reset(v_, 128, 1024);  // as the reader does before each message
    }
}

int g_lost = 0;  // messages reported lost part way

// A message longer than 131072 bytes, or one whose read failed after a full
// slice, is lost: its link is told, and its rest is skipped up to the
// device's end of message, never read as a message of its own.
TEST_F(DeviceTest, NetCdevSkipsABrokenMessageToItsEnd) {
    BUFSIZE = 1024;
    open_device(SOCK_STREAM);
    g_lost_message_func = [](const common_io_buf *) { ++g_lost; };
    const std::string too_long = "Drop too long message, length: more than 131072.\n";
    const std::string skipped = "Skipped 100 bytes to the end of a broken message\n";
    struct broken_case {
        std::vector<size_t> sent;  // before each read
        std::vector<int64_t> results;
        std::vector<std::string> lines;
    } const cases[] = {
        {{131072 + 100}, {0}, {too_long}},
        {{131072 + 1024 + 100, 0}, {0, -1}, {too_long, skipped}},
        {{1024, 100}, {-1, -1}, {skipped}},  // the read after the first slice fails
    };
    for (const broken_case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.sent));
        g_lost = 0;
        log_mark mark;
        for (size_t i = 0; i < c.sent.size(); i++) {
            send_bytes(pattern(c.sent[i]));
            iov_reset(v_, 128, 1024);
            EXPECT_EQ(cdev_buf_recv_iov(sv_[0], v_), c.results[i]) << i;
        }
        EXPECT_EQ(g_lost, 1);
        for (const std::string &line : c.lines) EXPECT_EQ(mark.count(line), 1u) << line;
        send_bytes(pattern(40, 1));
        iov_reset(v_, 128, 1024);
        EXPECT_EQ(cdev_buf_recv_iov(sv_[0], v_), 40);
        EXPECT_EQ(received(), pattern(40, 1));
    }
    g_lost_message_func = nullptr;
}

TEST_F(DeviceTest, UsbWritesEachNonEmptyEntryAsANodeOfAtMost450Bytes) {
    BUFSIZE = 450;
    using nodes = std::vector<std::array<uint32_t, 3>>;  // token, number, entry of each
    const std::tuple<std::vector<size_t>, nodes, int64_t> cases[] = {
        // the entries' sizes, the nodes written, the result
        {{32}, {{3, 0, 0}}, 32},
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
}

TEST_F(DeviceTest, UsbWriteIsTriedElevenTimesAndLeavesNothingBehind) {
    // A full socket fails every write with EAGAIN: the device stays open.
    while (send(sv_[0], "full", 4, 0) > 0) {
    }
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
// F(irst) L(ast) O(nly). The payloads of the units marked + make the message.
TEST_F(DeviceTest, UsbSlicesArePutBackTogether) {
    BUFSIZE = 450;
    const std::pair<const char *, std::vector<std::string>> cases[] = {
        // units, then the lines logged once each after "recv: "
        {"+O0:32", {}},
        {"+F0:450 +M1:450 +L2:10", {}},
        {"+F0:32 L1:0", {}},                   // an empty last slice
        {"+F0:450 +M1:450 M1:450 +L2:5", {}},  // a repeated slice is taken once
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
        for (std::string u; in >> u;) {
            bool kept = u[0] == '+';
            char token, sep = 0;
            uint32_t number;
            size_t len, n = 0;
            sscanf(u.c_str() + kept, "%c%u:%zu%c%zu", &token, &number, &len, &sep, &n);
            std::string payload = pattern(len, u.size() + slots);
            send_unit(node(std::string("MFLO").find(token), number, payload), sep == '@' ? n : 0,
                      sep == '/' ? n : 0);
            expected += kept ? payload : "";
            slots += kept && len > 0;
        }
        log_mark mark;
        EXPECT_EQ(read_iov_from_usb(sv_[0], v_), static_cast<int64_t>(expected.size()));
        EXPECT_EQ(v_->iov_cnt, slots);
        EXPECT_EQ(received(), expected);
        for (const std::string &line : lines) EXPECT_EQ(mark.count("recv: " + line), 1u) << line;
    }
}

// 128 slices fill the vector and end the message; the rest of it is refused.
// A reopened device (often under the same descriptor number) ends an
// unfinished message: its rest is never spliced onto it.
TEST_F(DeviceTest, UsbFullVectorOrAReopenEndsTheMessage) {
    BUFSIZE = 450;
    std::string expected;
    for (uint32_t n = 0; n < 128; n++) {
        expected += pattern(450, n);
        send_unit(node(n == 0 ? 1 : 0, n, pattern(450, n)));
    }
    send_unit(node(2, 128, "!"));
    EXPECT_EQ(read_iov_from_usb(sv_[0], v_), 128 * 450);
    EXPECT_EQ(v_->iov_cnt, 128u);
    EXPECT_EQ(received(), expected);

    log_mark mark;
    send_unit(node(1, 0, pattern(450, 1)));
    std::thread reopen([this] {
        msleep(20);
        ++g_cdev_generation;  // as the write path's reopen does
        send_unit(node(2, 1, "rest"));
        send_unit(node(3, 0, "next"));
    });
    EXPECT_EQ(read_iov_from_usb(sv_[0], v_), 4);
    reopen.join();
    EXPECT_EQ(received(), "next");
    EXPECT_EQ(mark.count("recv: dropped 450 bytes of an unfinished message\n"), 1u);
    // The rest of the full message, and of the one cut by the reopen.
    EXPECT_EQ(mark.count("recv: first slice: token 2 is wrong\n"), 2u);
}

std::vector<std::string> g_events;  // "write <unit>" and "sleep <ms>", in order
int g_failures = 0;                 // of the writes to come

void run_heartbeat(int mode) {
    g_events.clear();
    g_failures = 2;
    auto write = [](const void *unit, uint64_t len) -> int64_t {
        g_events.push_back("write " + std::string(static_cast<const char *>(unit), len));
        return g_failures-- > 0 ? -1 : 32;
    };
    heartbeat_run(
        {mode, write, [](unsigned ms) { g_events.push_back("sleep " + std::to_string(ms)); }}, 2);
}

// The init message (type 5) is retried every 100 ms until written, then a
// heartbeat (type 4) follows every 10 s; both from source 1, the host. A USB
// unit is the header in a node of its own.
TEST(Heartbeat, InitRetriedThenAHeartbeatEveryTenSecondsInBothModes) {
    log_at(0);
    for (int mode : {CONNECT_MODE_NET_CDEV, CONNECT_MODE_USB}) {
        SCOPED_TRACE(mode);
        auto unit = [mode](char type) {
            std::string header = std::string(1, type) + '\1' + std::string(30, '\0');
            return "write " + (mode == CONNECT_MODE_USB ? node(3, 0, header) : header);
        };
        log_mark mark;
        run_heartbeat(mode);
        std::string init = unit(5), beat = unit(4);
        EXPECT_EQ(g_events, std::vector<std::string>({init, "sleep 100", init, "sleep 100", init,
                                                      "sleep 10000", beat, "sleep 10000", beat}));
        std::string log = mark.text();
        EXPECT_EQ(count_of(log, "Failed to send 'init' msg to Tavix\n"), 2u);
        EXPECT_EQ(count_of(log, "Send 'init' msg to Tavix successfully\n"), 1u);
        auto again = [mode] { run_heartbeat(mode); };
        EXPECT_EQ(level_of("Failed to send 'init' msg to Tavix\n", again), 0);
        EXPECT_EQ(level_of("Send 'init' msg to Tavix successfully\n", again), 1);
    }
}

}  // namespace
