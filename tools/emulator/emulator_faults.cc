// The device emulator's faults (failing opens, reads and writes, an absent
// device, delayed messages) and its counters.
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

void DeviceEmulator::set_present(bool present) {
    {
        std::lock_guard lock(mu_);
        present_ = present;
    }
    deliver();
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
