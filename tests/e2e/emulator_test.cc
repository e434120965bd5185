// The device emulator seen through its mounted file, as the agent sees the
// devices: message boundaries, short-read delimiting, blocking reads, poll,
// injected errors, a device that goes away, and the USB packet nodes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "tools/emulator/device_emulator.h"
#include "tools/emulator/usb_packet.h"

namespace {

using namespace std::chrono_literals;
using emu::DeviceEmulator;
using Bytes = std::vector<uint8_t>;

constexpr size_t AGENT_READ_SIZE = 1024;
constexpr size_t USB_READ_SIZE = 2044;

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
    }
    return b;
}

class DeviceFile : public ::testing::Test {
  protected:
    explicit DeviceFile(DeviceEmulator::Mode mode = DeviceEmulator::Mode::NetCdev) : emu_(mode) {}

    void SetUp() override {
        ASSERT_TRUE(emu_.start());
        fd_ = open(emu_.device_file().c_str(), O_RDWR | O_EXCL | O_APPEND);
        ASSERT_GE(fd_, 0) << strerror(errno);
    }
    void TearDown() override {
        if (fd_ >= 0) {
            close(fd_);
        }
        emu_.stop();  // answers a read still held by a failed test
        for (std::thread &t : threads_) {
            t.join();
        }
    }
    // Reads of `size` bytes until a short one; returns the byte count of each read.
    std::vector<ssize_t> read_message(Bytes *msg, size_t size = AGENT_READ_SIZE) {
        std::vector<ssize_t> counts;
        Bytes buf(size);
        while (true) {
            ssize_t n = read(fd_, buf.data(), size);
            counts.push_back(n);
            if (n > 0) {
                msg->insert(msg->end(), buf.begin(), buf.begin() + n);
            }
            if (n < static_cast<ssize_t>(size)) {
                return counts;
            }
        }
    }

    DeviceEmulator emu_;
    int fd_ = -1;
    std::vector<std::thread> threads_;
};

class UsbDeviceFile : public DeviceFile {
  protected:
    UsbDeviceFile() : DeviceFile(DeviceEmulator::Mode::Usb) {}
};

TEST_F(DeviceFile, EveryWriteUpTo131072BytesIsOneMessage) {
    const size_t sizes[] = {1, 31, 32, 1023, 1024, 1025, 4096, 65536, 131071, 131072};
    for (size_t size : sizes) {
        Bytes out = pattern(size, static_cast<uint8_t>(size));
        ASSERT_EQ(write(fd_, out.data(), out.size()), static_cast<ssize_t>(size))
            << strerror(errno);
    }
    for (size_t size : sizes) {
        Bytes got;
        ASSERT_TRUE(emu_.wait_message(&got, 2s)) << size;
        EXPECT_EQ(got, pattern(size, static_cast<uint8_t>(size))) << size;
    }
    Bytes too_big(emu::NET_CDEV_MAX_MESSAGE + 1);
    EXPECT_EQ(write(fd_, too_big.data(), too_big.size()), -1);
    EXPECT_EQ(errno, E2BIG);
    EXPECT_EQ(emu_.messages_waiting(), 0u);
    EXPECT_EQ(emu_.writes_from_agent(), std::size(sizes));
}

TEST_F(DeviceFile, MessagesForTheAgentEndWithAShortRead) {
    const Bytes m100 = pattern(100, 1), m1500 = pattern(1500, 2), m2048 = pattern(2048, 3), empty;
    for (const Bytes *m : {&m100, &m1500, &m2048, &empty}) {
        emu_.inject(*m);
    }
    EXPECT_EQ(emu_.pending_for_agent(), 4u);
    struct Expect {
        const Bytes *msg;
        std::vector<ssize_t> reads;
    } expected[] = {
        {&m100, {100}}, {&m1500, {1024, 476}}, {&m2048, {1024, 1024, 0}}, {&empty, {0}}};
    for (const Expect &e : expected) {
        Bytes got;
        EXPECT_EQ(read_message(&got), e.reads);
        EXPECT_EQ(got, *e.msg);
    }
    EXPECT_EQ(emu_.pending_for_agent(), 0u);
    EXPECT_EQ(emu_.bytes_to_agent(), 100u + 1500u + 2048u);
}

TEST_F(DeviceFile, HeldReadWakesOnInjectAndWritesPassIt) {
    std::atomic<bool> done{false};
    Bytes got;
    threads_.emplace_back([&] {
        read_message(&got);
        done = true;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(done);
    // A write on the same descriptor is not queued behind the held read.
    Bytes out = pattern(64, 9);
    EXPECT_EQ(write(fd_, out.data(), out.size()), 64);
    EXPECT_FALSE(done);
    emu_.inject(pattern(300, 4));
    threads_.back().join();
    threads_.pop_back();
    EXPECT_TRUE(done);
    EXPECT_EQ(got, pattern(300, 4));
}

TEST_F(DeviceFile, PollReportsReadabilityAndIsWokenOnArrival) {
    pollfd p{fd_, POLLIN | POLLOUT, 0};
    ASSERT_EQ(poll(&p, 1, 0), 1);  // always writable
    EXPECT_EQ(p.revents & POLLIN, 0);
    std::atomic<short> woken{0};
    threads_.emplace_back([&] {
        pollfd q{fd_, POLLIN | POLLERR | POLLHUP, 0};
        if (poll(&q, 1, 10000) == 1) {
            woken = q.revents;
        }
    });
    std::this_thread::sleep_for(50ms);
    emu_.inject(pattern(10, 5));
    threads_.back().join();
    threads_.pop_back();
    EXPECT_NE(woken & POLLIN, 0);
    Bytes got;
    read_message(&got);
    p.revents = 0;
    ASSERT_EQ(poll(&p, 1, 0), 1);
    EXPECT_EQ(p.revents & POLLIN, 0) << "readable after the message was read";
}

TEST_F(DeviceFile, InjectedFaultsReachTheCaller) {
    Bytes out = pattern(32, 6);
    for (int err : {ENODEV, EBADF, ENOENT, EIO}) {
        emu_.fail_writes(err, 1);
        EXPECT_EQ(write(fd_, out.data(), out.size()), -1);
        EXPECT_EQ(errno, err);
        EXPECT_EQ(write(fd_, out.data(), out.size()), 32) << "one failure only";
    }
    emu_.fail_writes(EIO, -1);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(write(fd_, out.data(), out.size()), -1);
    }
    emu_.fail_writes(0, 0);
    EXPECT_EQ(write(fd_, out.data(), out.size()), 32);
    EXPECT_EQ(emu_.writes_from_agent(), 5u);

    emu_.inject(pattern(10, 1));
    emu_.fail_reads(EIO, 1);
    Bytes buf(AGENT_READ_SIZE);
    EXPECT_EQ(read(fd_, buf.data(), buf.size()), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(read(fd_, buf.data(), buf.size()), 10);

    emu_.fail_opens(EACCES, 1);
    EXPECT_EQ(open(emu_.device_file().c_str(), O_RDWR), -1);
    EXPECT_EQ(errno, EACCES);
    int second = open(emu_.device_file().c_str(), O_RDWR);
    EXPECT_GE(second, 0);
    close(second);
    EXPECT_EQ(emu_.open_count(), 2u);
}

TEST_F(DeviceFile, DeviceGoesAwayAndComesBack) {
    std::atomic<ssize_t> result{1};
    std::atomic<int> read_errno{0};
    threads_.emplace_back([&] {
        char buf[AGENT_READ_SIZE];
        result = read(fd_, buf, sizeof(buf));
        read_errno = errno;
    });
    std::this_thread::sleep_for(50ms);
    emu_.set_present(false);
    threads_.back().join();
    threads_.pop_back();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(read_errno, ENODEV);
    Bytes out = pattern(32, 7);
    EXPECT_EQ(write(fd_, out.data(), out.size()), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(open(emu_.device_file().c_str(), O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    pollfd p{fd_, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 0), 1);
    EXPECT_NE(p.revents & POLLERR, 0);

    emu_.set_present(true);
    int again = open(emu_.device_file().c_str(), O_RDWR | O_APPEND);
    ASSERT_GE(again, 0);
    EXPECT_EQ(write(again, out.data(), out.size()), 32);
    close(again);
    Bytes got;
    EXPECT_TRUE(emu_.wait_message(&got, 2s));
    EXPECT_EQ(got, out);
}

TEST_F(DeviceFile, KilledReaderDoesNotHang) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char buf[AGENT_READ_SIZE];
        _exit(read(fd_, buf, sizeof(buf)) < 0 ? 1 : 0);
    }
    std::this_thread::sleep_for(100ms);  // let the child block in read
    kill(child, SIGKILL);
    int status = 0;
    pid_t reaped = 0;
    for (int i = 0; i < 500 && reaped == 0; ++i) {
        reaped = waitpid(child, &status, WNOHANG);
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(reaped, child) << "the killed reader is stuck in its read";
    EXPECT_TRUE(WIFSIGNALED(status));
    emu_.inject(pattern(5, 1));
    Bytes got;
    read_message(&got);
    EXPECT_EQ(got, pattern(5, 1)) << "the interrupted read consumed nothing";
}

void ignore_signal(int) {}

TEST_F(DeviceFile, SignalledReaderGetsEintr) {
    struct sigaction sa {
    }, old{};
    sa.sa_handler = ignore_signal;  // no SA_RESTART: the read must end
    sigaction(SIGUSR1, &sa, &old);
    std::atomic<ssize_t> result{1};
    std::atomic<int> read_errno{0};
    threads_.emplace_back([&] {
        char buf[AGENT_READ_SIZE];
        result = read(fd_, buf, sizeof(buf));
        read_errno = errno;
    });
    std::this_thread::sleep_for(100ms);  // let the read be held
    pthread_kill(threads_.back().native_handle(), SIGUSR1);
    threads_.back().join();
    threads_.pop_back();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(read_errno, EINTR);
    emu_.inject(pattern(3, 1));
    Bytes got;
    read_message(&got);
    EXPECT_EQ(got, pattern(3, 1));
}

TEST_F(DeviceFile, HookSeesMessagesAndMayAnswer) {
    emu_.set_message_hook([this](const Bytes &msg) {
        if (msg.size() == 1) {
            return false;  // recorded as usual
        }
        Bytes reply = msg;
        reply.push_back(0xAA);
        emu_.inject(reply);
        return true;
    });
    Bytes out = pattern(40, 8);
    ASSERT_EQ(write(fd_, out.data(), out.size()), 40);
    Bytes got;
    read_message(&got);
    out.push_back(0xAA);
    EXPECT_EQ(got, out);
    EXPECT_EQ(emu_.messages_waiting(), 0u);
    ASSERT_EQ(write(fd_, "x", 1), 1);
    EXPECT_EQ(emu_.messages_waiting(), 1u);
}

TEST_F(DeviceFile, DelayedMessagesBecomeReadableLater) {
    emu_.set_read_delay(150ms);
    emu_.inject(pattern(20, 3));
    pollfd p{fd_, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0);
    Bytes got;
    EXPECT_EQ(read_message(&got), std::vector<ssize_t>{20});
    EXPECT_EQ(got, pattern(20, 3));
}

TEST_F(UsbDeviceFile, NodesAreReassembledAndDeliveredBehindTheFlag) {
    emu_.record_units(true);
    Bytes msg = pattern(1000, 11);
    for (const Bytes &node : emu::cut_message(msg)) {
        ASSERT_EQ(write(fd_, node.data(), node.size()),
                  static_cast<ssize_t>(emu::PACKET_NODE_SIZE));
    }
    Bytes got;
    ASSERT_TRUE(emu_.wait_message(&got, 2s));
    EXPECT_EQ(got, msg);
    Bytes unit;
    EXPECT_TRUE(emu_.wait_unit(&unit, 1s));
    EXPECT_EQ(unit, emu::cut_message(msg)[0]);
    EXPECT_EQ(write(fd_, msg.data(), 100), -1);
    EXPECT_EQ(errno, EINVAL);

    emu_.inject(msg);
    ASSERT_EQ(emu_.pending_for_agent(), 3u);
    emu::Reassembler r;
    Bytes buf(USB_READ_SIZE);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(read(fd_, buf.data(), buf.size()), static_cast<ssize_t>(emu::USB_UNIT_SIZE));
        EXPECT_EQ(buf[0], 0xFF);
        EXPECT_EQ(buf[1], 0xFF);
        EXPECT_EQ(
            r.add(buf.data() + 2, emu::PACKET_NODE_SIZE),
            i < 2 ? emu::Reassembler::Result::INCOMPLETE : emu::Reassembler::Result::COMPLETE);
    }
    EXPECT_EQ(r.take(), msg);

    Bytes raw =
        emu::frame_unit(emu::encode_packet_node(emu::SLICE_TOKEN_ONLY, 0, msg.data(), 32), 9);
    emu_.inject_unit(raw);
    EXPECT_EQ(read(fd_, buf.data(), buf.size()), static_cast<ssize_t>(raw.size()));
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), buf.begin()));
}

TEST(Reassembler, FollowsTheSliceRules) {
    using R = emu::Reassembler::Result;
    Bytes header = pattern(32, 1), body = pattern(450, 2);
    emu::Reassembler r;
    auto add = [&r](uint32_t token, uint32_t number, const Bytes &data) {
        return r.add(emu::encode_packet_node(token, number, data.data(), data.size()).data(),
                     emu::PACKET_NODE_SIZE);
    };
    // Header slice followed by an empty last slice.
    EXPECT_EQ(add(1, 0, header), R::INCOMPLETE);
    EXPECT_EQ(add(2, 1, {}), R::COMPLETE);
    EXPECT_EQ(r.take(), header);
    // A repeated middle slice adds nothing; a gap is refused.
    EXPECT_EQ(add(1, 0, header), R::INCOMPLETE);
    EXPECT_EQ(add(0, 1, body), R::INCOMPLETE);
    EXPECT_EQ(add(0, 1, body), R::INCOMPLETE);
    EXPECT_EQ(add(2, 2, header), R::COMPLETE);
    Bytes expected = header;
    expected.insert(expected.end(), body.begin(), body.end());
    expected.insert(expected.end(), header.begin(), header.end());
    EXPECT_EQ(r.take(), expected);
    EXPECT_EQ(add(1, 0, header), R::INCOMPLETE);
    EXPECT_EQ(add(2, 3, header), R::REFUSED);
    // Not a start: refused; wrong size or cut_packet_len: refused.
    EXPECT_EQ(add(0, 0, header), R::REFUSED);
    Bytes bad = emu::encode_packet_node(3, 0, header.data(), 32);
    bad[8] = 0xC3;  // cut_packet_len 451
    bad[9] = 0x01;
    EXPECT_EQ(r.add(bad.data(), bad.size()), R::REFUSED);
    EXPECT_EQ(r.add(header.data(), header.size()), R::REFUSED);
    // cut_message: tokens and numbers of a three-slice message.
    auto nodes = emu::cut_message(pattern(901, 3));
    ASSERT_EQ(nodes.size(), 3u);
    emu::PacketNode n;
    const uint32_t tokens[] = {1, 0, 2}, lens[] = {450, 450, 1};
    for (uint32_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(emu::decode_packet_node(nodes[i].data(), nodes[i].size(), &n));
        EXPECT_EQ(n.token, tokens[i]);
        EXPECT_EQ(n.number, i);
        EXPECT_EQ(n.cut_packet_len, lens[i]);
    }
}

}  // namespace
