// The device emulator's way from the agent: its writes, checked and turned
// into messages (reassembled from packet nodes in USB mode), handed to the
// message hook or queued for the controller side.
#include <fuse_lowlevel.h>

#include <cerrno>

#include "tools/emulator/device_emulator.h"

namespace emu {

void DeviceEmulator::on_write(fuse_req *req, const char *buf, size_t size, uint64_t fh) {
    int err = 0;
    std::vector<std::vector<uint8_t>> complete;
    {
        std::lock_guard lock(mu_);
        if (!present_) {
            err = ENODEV;
        } else if ((err = dead_handle_locked(fh)) != 0) {
            // err set
        } else if (write_fault_.take(&err)) {
            // err set
        } else if (mode_ == Mode::NetCdev && size > NET_CDEV_MAX_MESSAGE) {
            err = E2BIG;
        } else if (mode_ == Mode::Usb && size != PACKET_NODE_SIZE) {
            err = EINVAL;
        } else {
            bytes_from_agent_ += size;
            ++writes_from_agent_;
            const uint8_t *bytes = reinterpret_cast<const uint8_t *>(buf);
            if (mode_ == Mode::NetCdev) {
                complete.emplace_back(bytes, bytes + size);
            } else {
                if (record_units_) {
                    units_from_agent_.emplace_back(bytes, bytes + size);
                }
                Reassembler::Result r = reassembler_.add(bytes, size);
                if (r == Reassembler::Result::COMPLETE) {
                    complete.push_back(reassembler_.take());
                } else if (r == Reassembler::Result::REFUSED) {
                    ++refused_units_;
                }
            }
        }
    }
    if (err != 0) {
        fuse_reply_err(req, err);
        return;
    }
    for (std::vector<uint8_t> &msg : complete) {
        accept_message(std::move(msg));
    }
    if (mode_ == Mode::Usb) {
        from_agent_cv_.notify_all();  // raw units may be waited for
    }
    fuse_reply_write(req, size);
}

void DeviceEmulator::accept_message(std::vector<uint8_t> msg) {
    MessageHook hook;
    {
        std::lock_guard lock(mu_);
        hook = hook_;
    }
    if (hook && hook(msg)) {
        return;
    }
    {
        std::lock_guard lock(mu_);
        from_agent_.push_back(std::move(msg));
    }
    from_agent_cv_.notify_all();
}

bool DeviceEmulator::wait_message(std::vector<uint8_t> *msg, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mu_);
    if (!from_agent_cv_.wait_for(lock, timeout, [this] { return !from_agent_.empty(); })) {
        return false;
    }
    *msg = std::move(from_agent_.front());
    from_agent_.pop_front();
    return true;
}

size_t DeviceEmulator::messages_waiting() const {
    std::lock_guard lock(mu_);
    return from_agent_.size();
}

void DeviceEmulator::set_message_hook(MessageHook hook) {
    std::lock_guard lock(mu_);
    hook_ = std::move(hook);
}

void DeviceEmulator::record_units(bool on) {
    std::lock_guard lock(mu_);
    record_units_ = on;
    if (!on) {
        units_from_agent_.clear();
    }
}

bool DeviceEmulator::wait_unit(std::vector<uint8_t> *unit, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mu_);
    if (!from_agent_cv_.wait_for(lock, timeout, [this] { return !units_from_agent_.empty(); })) {
        return false;
    }
    *unit = std::move(units_from_agent_.front());
    units_from_agent_.pop_front();
    return true;
}

}  // namespace emu
