// The device as the controller side sees it, whatever serves it: the FUSE
// emulator for tests and the demo, or the fast socket stand-in for
// benchmarks (tools/fastdev). Methods are thread-safe.
#ifndef CDEV_TOOLS_EMULATOR_DEVICE_H
#define CDEV_TOOLS_EMULATOR_DEVICE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace emu {

class Device {
  public:
    // NetCdev: "/dev/net_cdev", whole messages. Usb: "/dev/lcd1", packet nodes.
    enum class Mode { NetCdev, Usb };
    // Called for every whole message the agent wrote, on the device's own
    // thread. Return true when the message is handled. Must not block.
    using MessageHook = std::function<bool(const std::vector<uint8_t> &msg)>;

    virtual ~Device() = default;
    virtual Mode mode() const = 0;
    // A message for the agent; Usb: cut into packet nodes behind the flag.
    virtual void inject(const std::vector<uint8_t> &msg) = 0;
    // Units the agent has not yet taken (Usb: nodes; NetCdev: messages).
    virtual size_t pending_for_agent() const = 0;
    virtual void set_message_hook(MessageHook hook) = 0;
    virtual uint64_t bytes_from_agent() const = 0;
    virtual uint64_t bytes_to_agent() const = 0;
};

}  // namespace emu

#endif
