// The device emulator's faults (failing opens, reads and writes, an absent
// device, delayed messages) and its counters.
#include <fuse_lowlevel.h>

#include "tools/emulator/device_emulator.h"

namespace emu {

bool DeviceEmulator::Fault::take(int *err_out) {
    if (count == 0) {
        return false;
    }
    if (count > 0) {
        --count;
    }
    *err_out = err;
    return true;
}

void DeviceEmulator::fail_writes(int err, int count) {
    std::lock_guard lock(mu_);
    write_fault_ = {err, count};
}

void DeviceEmulator::fail_read_at(size_t offset, int err) {
    std::lock_guard lock(mu_);
    read_at_fault_ = {offset, err};
}

bool DeviceEmulator::fails_at_offset_locked(int *err) {
    if (read_at_fault_.second == 0 || !readable_locked() ||
        to_agent_.front().offset != read_at_fault_.first) {
        return false;
    }
    *err = read_at_fault_.second;
    read_at_fault_ = {0, 0};
    return true;
}

void DeviceEmulator::fail_reads(int err, int count) {
    std::lock_guard lock(mu_);
    read_fault_ = {err, count};
}

void DeviceEmulator::fail_opens(int err, int count) {
    std::lock_guard lock(mu_);
    open_fault_ = {err, count};
}

void DeviceEmulator::hang_reads(bool on) {
    {
        std::lock_guard lock(mu_);
        hang_reads_ = on;
    }
    deliver();
}

void DeviceEmulator::set_present(bool present) {
    {
        std::lock_guard lock(mu_);
        present_ = present;
    }
    deliver();
}

void DeviceEmulator::restart(int err) {
    std::vector<HeldRead> failed;
    std::vector<fuse_pollhandle *> wake;
    {
        std::lock_guard lock(mu_);
        first_live_fh_ = next_fh_ + 1;
        dead_err_ = err;
        failed.assign(held_reads_.begin(), held_reads_.end());
        held_reads_.clear();
        wake.swap(poll_handles_);
        drop_partial_message_locked();
    }
    for (const HeldRead &r : failed) {
        fuse_reply_err(r.req, err);
    }
    for (fuse_pollhandle *ph : wake) {
        fuse_lowlevel_notify_poll(ph);
        fuse_pollhandle_destroy(ph);
    }
}

int DeviceEmulator::dead_handle_locked(uint64_t fh) const {
    return fh < first_live_fh_ ? dead_err_ : 0;
}

void DeviceEmulator::drop_partial_message_locked() {
    if (!to_agent_.empty() && to_agent_.front().offset > 0) {
        to_agent_.pop_front();
    }
}

void DeviceEmulator::set_read_delay(std::chrono::milliseconds delay) {
    std::lock_guard lock(mu_);
    read_delay_ = delay;
}

size_t DeviceEmulator::open_count() const {
    std::lock_guard lock(mu_);
    return open_count_;
}

size_t DeviceEmulator::open_handles() const {
    std::lock_guard lock(mu_);
    return open_handles_;
}

uint64_t DeviceEmulator::bytes_from_agent() const {
    std::lock_guard lock(mu_);
    return bytes_from_agent_;
}

uint64_t DeviceEmulator::writes_from_agent() const {
    std::lock_guard lock(mu_);
    return writes_from_agent_;
}

uint64_t DeviceEmulator::bytes_to_agent() const {
    std::lock_guard lock(mu_);
    return bytes_to_agent_;
}

uint64_t DeviceEmulator::refused_units() const {
    std::lock_guard lock(mu_);
    return refused_units_;
}

}  // namespace emu
