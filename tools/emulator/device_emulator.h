// Emulated character device of the management controller, served as one
// regular file through FUSE so that a test (or the demo) can bind-mount it
// at /dev/net_cdev or /dev/lcd1 in the agent's mount namespace.
//
// Device semantics:
// - NetCdev ("net_cdev"): each write of up to 131072 bytes is one message;
//   larger writes fail with E2BIG (nothing recorded). A message for the agent
//   is delivered as reads of min(requested, left) bytes; the read after an
//   exactly full last chunk returns 0, so every message ends with a short read.
// - Usb ("lcd1"): each write must be one 468-byte packet node (else EINVAL);
//   the nodes are reassembled into messages. Each read delivers one unit
//   (by default 0xFF 0xFF followed by a node, 470 bytes), cut to the size
//   asked for; what does not fit is dropped.
// - Reads block until a message is there; interrupted held reads fail with
//   EINTR. poll reports POLLIN when a read would not block, POLLOUT always,
//   and POLLERR|POLLHUP while the device is absent.
// - Several opens at once are allowed (the kernel hides O_EXCL from FUSE,
//   and the agent's close-and-reopen would race with the asynchronous
//   release); all open handles share one device. A reopen starts clean: a
//   message the agent had begun to read is dropped.
//
// The controller side (tests, the demo's controller) uses the methods below;
// they are thread-safe and may be called from the message hook.
#ifndef CDEV_TOOLS_EMULATOR_DEVICE_EMULATOR_H
#define CDEV_TOOLS_EMULATOR_DEVICE_EMULATOR_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tools/emulator/device.h"
#include "tools/emulator/usb_packet.h"

struct fuse_session;
struct fuse_pollhandle;
struct fuse_req;

namespace emu {

constexpr size_t NET_CDEV_MAX_MESSAGE = 131072;

class DeviceEmulator : public Device {
  public:
    using Clock = std::chrono::steady_clock;

    explicit DeviceEmulator(Mode mode);
    ~DeviceEmulator() override;  // stop()
    DeviceEmulator(const DeviceEmulator &) = delete;
    DeviceEmulator &operator=(const DeviceEmulator &) = delete;

    // Mounts on mount_dir (an existing empty directory; empty: a fresh temp
    // dir removed again by stop()) and starts serving. False on failure.
    bool start(const std::string &mount_dir = "");
    // Answers held reads with ENODEV, unmounts and joins. Idempotent.
    void stop();
    Mode mode() const override { return mode_; }
    std::string file_name() const;    // "net_cdev" or "lcd1"
    std::string device_file() const;  // mount dir + "/" + file_name()

    // Controller to agent.
    void inject(const std::vector<uint8_t> &msg) override;
    // Bytes delivered as they are: Usb: by one read; NetCdev: as one message.
    void inject_unit(std::vector<uint8_t> unit);
    // Units not yet read completely (Usb: nodes; NetCdev: messages).
    size_t pending_for_agent() const override;

    // Agent to controller, in the order written.
    bool wait_message(std::vector<uint8_t> *msg, std::chrono::milliseconds timeout);
    size_t messages_waiting() const;
    // The hook runs on the FUSE thread before the agent's write returns; a
    // message it does not handle is queued for wait_message.
    void set_message_hook(MessageHook hook) override;
    // Usb: also keep every raw node the agent wrote, for wait_unit.
    void record_units(bool on);
    bool wait_unit(std::vector<uint8_t> *unit, std::chrono::milliseconds timeout);

    // Faults. count -1: until cleared with count 0.
    void fail_writes(int err, int count);
    void fail_reads(int err, int count);
    // The next read that starts at byte `offset` of a message fails with err.
    void fail_read_at(size_t offset, int err);

    void fail_opens(int err, int count);
    // Absent: open fails with ENOENT, read and write with ENODEV, held reads
    // end with ENODEV, poll reports POLLERR|POLLHUP. Queued data is kept.
    void set_present(bool present);
    // As if the device's server died and came back: every handle open now
    // fails its reads and writes with err for good (a dead server's handles
    // give ENOTCONN), poll reports POLLERR|POLLHUP on it; new opens work and
    // start clean. Queued whole messages are kept.
    void restart(int err);
    // Each message injected from now on becomes readable only after delay.
    void set_read_delay(std::chrono::milliseconds delay);
    // While on, reads are held unanswered even when a message waits (poll
    // still reports it): a device whose reads hang. Off answers them.
    void hang_reads(bool on);

    // Counters.
    size_t open_count() const;    // successful opens so far
    size_t open_handles() const;  // currently open
    uint64_t bytes_from_agent() const override;
    uint64_t writes_from_agent() const;  // accepted writes
    uint64_t bytes_to_agent() const override;
    uint64_t refused_units() const;  // Usb: nodes the reassembly refused

    // FUSE handlers; public only for the C callbacks.
    void on_open(fuse_req *req);
    void on_release(fuse_req *req);
    void on_read(fuse_req *req, size_t size, uint64_t fh);
    void on_write(fuse_req *req, const char *buf, size_t size, uint64_t fh);
    void on_poll(fuse_req *req, fuse_pollhandle *ph, uint64_t fh);
    void on_interrupt(fuse_req *req);

  private:
    struct Fault {
        int err = 0;
        int count = 0;
        bool take(int *err_out);  // consumes one failure
    };
    struct Outgoing {
        std::vector<uint8_t> data;
        size_t offset = 0;
        Clock::time_point ready_at;
    };
    struct HeldRead {
        fuse_req *req;
        size_t size;
        uint64_t fh;
    };

    void enqueue_locked(std::vector<uint8_t> unit);
    // The error of a handle a restart left behind, else 0.
    int dead_handle_locked(uint64_t fh) const;
    void drop_partial_message_locked();
    bool readable_locked() const;
    bool take_chunk_locked(size_t size, std::vector<uint8_t> *out);
    bool fails_at_offset_locked(int *err);
    void deliver();  // serves held reads and poll waiters
    void accept_message(std::vector<uint8_t> msg);
    void loop();
    void timer_loop();

    const Mode mode_;
    std::string mount_dir_;
    bool own_mount_dir_ = false;
    fuse_session *session_ = nullptr;
    int wake_fd_ = -1;
    std::thread loop_thread_;
    std::thread timer_thread_;

    mutable std::mutex mu_;
    std::condition_variable from_agent_cv_;
    std::condition_variable timer_cv_;
    bool stopping_ = false;
    bool present_ = true;
    std::chrono::milliseconds read_delay_{0};
    bool hang_reads_ = false;
    std::deque<Outgoing> to_agent_;
    std::deque<HeldRead> held_reads_;
    std::vector<fuse_pollhandle *> poll_handles_;
    std::deque<std::vector<uint8_t>> from_agent_;
    std::deque<std::vector<uint8_t>> units_from_agent_;
    bool record_units_ = false;
    Reassembler reassembler_;
    MessageHook hook_;
    Fault write_fault_, read_fault_, open_fault_;
    std::pair<size_t, int> read_at_fault_{0, 0};  // offset, errno
    uint64_t next_fh_ = 0;
    uint64_t first_live_fh_ = 0;  // handles below it died with a restart
    int dead_err_ = 0;
    size_t open_count_ = 0;
    size_t open_handles_ = 0;
    uint64_t bytes_from_agent_ = 0;
    uint64_t writes_from_agent_ = 0;
    uint64_t bytes_to_agent_ = 0;
    uint64_t refused_units_ = 0;
};

}  // namespace emu

#endif
