// The device emulator's way to the agent: messages queued for it, reads
// answered at once or held until data comes, interrupted held reads, polls
// and their wake-ups, and the timer behind delayed messages.
#include <fuse_lowlevel.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "tools/emulator/device_emulator.h"

namespace emu {
namespace {

void op_interrupt(fuse_req_t req, void *data) {
    static_cast<DeviceEmulator *>(data)->on_interrupt(req);
}

void reply_data(fuse_req_t req, const std::vector<uint8_t> &data) {
    fuse_reply_buf(req, reinterpret_cast<const char *>(data.data()), data.size());
}

}  // namespace

void DeviceEmulator::timer_loop() {
    std::unique_lock lock(mu_);
    while (!stopping_) {
        if (!to_agent_.empty() && to_agent_.front().ready_at > Clock::now()) {
            timer_cv_.wait_until(lock, to_agent_.front().ready_at);
        } else {
            timer_cv_.wait(lock);
        }
        if (stopping_) {
            break;
        }
        lock.unlock();
        deliver();
        lock.lock();
    }
}

void DeviceEmulator::on_read(fuse_req *req, size_t size, uint64_t fh) {
    // Registered before taking mu_: it runs at once (taking mu_) when the
    // request was interrupted already.
    fuse_req_interrupt_func(req, op_interrupt, this);
    int err = 0;
    std::vector<uint8_t> chunk;
    {
        std::lock_guard lock(mu_);
        if (!present_ || stopping_) {
            err = ENODEV;
        } else if ((err = dead_handle_locked(fh)) != 0) {
            // err set
        } else if (read_fault_.take(&err)) {
            // err set
        } else if (fails_at_offset_locked(&err)) {
            // err set
        } else if (fuse_req_interrupted(req)) {
            err = EINTR;
        } else if (hang_reads_ || (size > 0 && !take_chunk_locked(size, &chunk))) {
            held_reads_.push_back({req, size, fh});
            return;
        }
    }
    if (err != 0) {
        fuse_reply_err(req, err);
    } else {
        reply_data(req, chunk);
    }
}

void DeviceEmulator::on_interrupt(fuse_req *req) {
    {
        std::lock_guard lock(mu_);
        auto it = held_reads_.begin();
        while (it != held_reads_.end() && it->req != req) {
            ++it;
        }
        if (it == held_reads_.end()) {
            return;  // answered already, or not held yet (checked there)
        }
        held_reads_.erase(it);
    }
    fuse_reply_err(req, EINTR);
}

void DeviceEmulator::on_poll(fuse_req *req, fuse_pollhandle *ph, uint64_t fh) {
    unsigned revents = 0;
    fuse_pollhandle *drop = nullptr;
    {
        std::lock_guard lock(mu_);
        if (!present_ || stopping_ || dead_handle_locked(fh) != 0) {
            revents = POLLERR | POLLHUP;
        } else {
            revents = POLLOUT | POLLWRNORM;
            if (readable_locked()) {
                revents |= POLLIN | POLLRDNORM;
            }
        }
        // Keep the handle only while the reader would still block.
        if (ph != nullptr) {
            if ((revents & (POLLIN | POLLERR)) != 0) {
                drop = ph;
            } else {
                poll_handles_.push_back(ph);
            }
        }
    }
    if (drop != nullptr) {
        fuse_pollhandle_destroy(drop);
    }
    fuse_reply_poll(req, revents);
}

bool DeviceEmulator::readable_locked() const {
    return !to_agent_.empty() && to_agent_.front().ready_at <= Clock::now();
}

bool DeviceEmulator::take_chunk_locked(size_t size, std::vector<uint8_t> *out) {
    if (!readable_locked()) {
        return false;
    }
    Outgoing &m = to_agent_.front();
    size_t left = m.data.size() - m.offset;
    size_t n = std::min(size, left);
    out->assign(m.data.begin() + static_cast<ptrdiff_t>(m.offset),
                m.data.begin() + static_cast<ptrdiff_t>(m.offset + n));
    m.offset += n;
    bytes_to_agent_ += n;
    // A unit of the USB device goes in one read; a net_cdev message stays
    // until a short read (0 included) has ended it.
    if (mode_ == Mode::Usb || n < size) {
        to_agent_.pop_front();
    }
    return true;
}

void DeviceEmulator::deliver() {
    std::vector<std::pair<fuse_req *, std::vector<uint8_t>>> replies;
    std::vector<HeldRead> failed;
    std::vector<fuse_pollhandle *> wake;
    {
        std::lock_guard lock(mu_);
        if (stopping_) {
            return;
        }
        if (!present_) {
            failed.assign(held_reads_.begin(), held_reads_.end());
            held_reads_.clear();
        }
        while (!hang_reads_ && !held_reads_.empty()) {
            std::vector<uint8_t> chunk;
            if (!take_chunk_locked(held_reads_.front().size, &chunk)) {
                break;
            }
            replies.emplace_back(held_reads_.front().req, std::move(chunk));
            held_reads_.pop_front();
        }
        if (!present_ || readable_locked()) {
            wake.swap(poll_handles_);
        }
    }
    for (const HeldRead &r : failed) {
        fuse_reply_err(r.req, ENODEV);
    }
    for (const auto &[req, data] : replies) {
        reply_data(req, data);
    }
    for (fuse_pollhandle *ph : wake) {
        fuse_lowlevel_notify_poll(ph);
        fuse_pollhandle_destroy(ph);
    }
}

void DeviceEmulator::enqueue_locked(std::vector<uint8_t> unit) {
    to_agent_.push_back({std::move(unit), 0, Clock::now() + read_delay_});
}

void DeviceEmulator::inject(const std::vector<uint8_t> &msg) {
    bool delayed;
    {
        std::lock_guard lock(mu_);
        if (mode_ == Mode::NetCdev) {
            enqueue_locked(msg);
        } else {
            for (const std::vector<uint8_t> &node : cut_message(msg)) {
                enqueue_locked(frame_unit(node));
            }
        }
        delayed = read_delay_.count() > 0;
    }
    if (delayed) {
        timer_cv_.notify_all();
    } else {
        deliver();
    }
}

void DeviceEmulator::inject_unit(std::vector<uint8_t> unit) {
    bool delayed;
    {
        std::lock_guard lock(mu_);
        enqueue_locked(std::move(unit));
        delayed = read_delay_.count() > 0;
    }
    if (delayed) {
        timer_cv_.notify_all();
    } else {
        deliver();
    }
}

size_t DeviceEmulator::pending_for_agent() const {
    std::lock_guard lock(mu_);
    return to_agent_.size();
}

}  // namespace emu
