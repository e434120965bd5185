// The controller's end of the fast device stand-in: serves the SOCK_SEQPACKET
// socket that the preloaded library (preload.cc) connects the agent's device
// descriptor to, at kernel speed where the FUSE emulator costs a round trip
// through a daemon per read and poll. Benchmarks only: no fault injection.
//
// One message of the socket is one device unit: NetCdev, a whole message
// each way; Usb, the agent's 468-byte packet nodes one way (put back together
// here) and, the other way, one node behind 0xFF 0xFF per message.
// One thread accepts connections, hands every whole message the agent wrote
// to the message hook (a message the hook does not take is dropped), and
// sends what could not be sent at once. The newest connection is the device:
// after a reopen (USB mode) it gets what is still queued.
#ifndef CDEV_TOOLS_FASTDEV_FAST_DEVICE_H
#define CDEV_TOOLS_FASTDEV_FAST_DEVICE_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/emulator/device.h"
#include "tools/emulator/usb_packet.h"

namespace fastdev {

class FastDevice : public emu::Device {
  public:
    explicit FastDevice(Mode mode);
    ~FastDevice() override;  // stop()
    FastDevice(const FastDevice &) = delete;
    FastDevice &operator=(const FastDevice &) = delete;

    // Listens on socket_path (a leading '@': abstract name) and starts the
    // thread. False when the socket cannot be made.
    bool start(const std::string &socket_path);
    // Closes every connection, removes the socket file and joins. Idempotent.
    void stop();

    Mode mode() const override { return mode_; }
    void inject(const std::vector<uint8_t> &msg) override;
    // Units not yet handed to the socket; the socket's own buffer holds more.
    size_t pending_for_agent() const override;
    void set_message_hook(MessageHook hook) override;
    uint64_t bytes_from_agent() const override { return bytes_from_agent_; }
    uint64_t bytes_to_agent() const override { return bytes_to_agent_; }
    uint64_t messages_from_agent() const { return messages_from_agent_; }
    uint64_t refused_units() const { return refused_units_; }  // Usb: nodes out of order

  private:
    struct Connection {
        int fd;
        emu::Reassembler reassembler;
    };

    void loop();
    void accept_connection();
    bool receive(Connection *c);  // false: the agent closed it
    void deliver(std::vector<uint8_t> msg);
    bool send_locked(const std::vector<uint8_t> &unit);
    void flush_locked();
    void wake();

    const Mode mode_;
    std::string path_;
    int listen_fd_ = -1;
    int wake_fd_ = -1;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::vector<Connection> connections_;  // the thread's own
    std::vector<uint8_t> recv_buf_;

    mutable std::mutex mu_;
    int current_ = -1;  // the connection messages go to
    std::deque<std::vector<uint8_t>> out_;
    MessageHook hook_;

    std::atomic<uint64_t> bytes_from_agent_{0};
    std::atomic<uint64_t> bytes_to_agent_{0};
    std::atomic<uint64_t> messages_from_agent_{0};
    std::atomic<uint64_t> refused_units_{0};
};

}  // namespace fastdev

#endif
