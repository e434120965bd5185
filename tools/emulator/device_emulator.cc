// FUSE side of the device emulator: one file, a single-threaded request
// loop, held reads answered from the controller side.
#define FUSE_USE_VERSION FUSE_MAKE_VERSION(3, 14)
#include "tools/emulator/device_emulator.h"

#include <fuse_lowlevel.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace emu {
namespace {

constexpr fuse_ino_t FILE_INO = 2;
constexpr double ATTR_TIMEOUT_S = 3600.0;

// Open reply flags: reads return exactly what the server replies (short
// reads reach the agent), no file position, and no position lock, so a
// write is not queued behind a held read of another thread.
constexpr uint32_t FOPEN_DIRECT_IO_FLAG = 1u << 0;
constexpr uint32_t FOPEN_NONSEEKABLE_FLAG = 1u << 2;
constexpr uint32_t FOPEN_STREAM_FLAG = 1u << 4;

// The kernel's open reply; libfuse's fuse_file_info cannot express STREAM.
struct OpenOut {
    uint64_t fh;
    uint32_t open_flags;
    uint32_t padding;
};

DeviceEmulator *self(fuse_req_t req) {
    return static_cast<DeviceEmulator *>(fuse_req_userdata(req));
}

struct stat file_attr(fuse_ino_t ino) {
    struct stat st {};
    st.st_ino = ino;
    if (ino == FUSE_ROOT_ID) {
        st.st_mode = S_IFDIR | 0755;
        st.st_nlink = 2;
    } else {
        st.st_mode = S_IFREG | 0666;
        st.st_nlink = 1;
    }
    return st;
}

void op_lookup(fuse_req_t req, fuse_ino_t parent, const char *name) {
    if (parent != FUSE_ROOT_ID || self(req)->file_name() != name) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    fuse_entry_param e{};
    e.ino = FILE_INO;
    e.attr = file_attr(FILE_INO);
    e.attr_timeout = ATTR_TIMEOUT_S;
    e.entry_timeout = ATTR_TIMEOUT_S;
    fuse_reply_entry(req, &e);
}

void op_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info *) {
    if (ino != FUSE_ROOT_ID && ino != FILE_INO) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    struct stat st = file_attr(ino);
    fuse_reply_attr(req, &st, ATTR_TIMEOUT_S);
}

// The root lists ".", ".." and the device file, so the mount can be inspected.
void op_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info *) {
    if (ino != FUSE_ROOT_ID) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    const std::string names[] = {".", "..", self(req)->file_name()};
    const fuse_ino_t inos[] = {FUSE_ROOT_ID, FUSE_ROOT_ID, FILE_INO};
    std::vector<char> buf(size);
    size_t used = 0;
    for (off_t i = off; i < static_cast<off_t>(std::size(names)); ++i) {
        struct stat st = file_attr(inos[i]);
        size_t need =
            fuse_add_direntry(req, buf.data() + used, size - used, names[i].c_str(), &st, i + 1);
        if (need > size - used) {
            break;
        }
        used += need;
    }
    fuse_reply_buf(req, buf.data(), used);
}

void op_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info *) {
    if (ino != FILE_INO) {
        fuse_reply_err(req, EISDIR);
        return;
    }
    self(req)->on_open(req);
}

void op_release(fuse_req_t req, fuse_ino_t, fuse_file_info *) {
    self(req)->on_release(req);
}

void op_read(fuse_req_t req, fuse_ino_t, size_t size, off_t, fuse_file_info *) {
    self(req)->on_read(req, size);
}

void op_write(fuse_req_t req, fuse_ino_t, const char *buf, size_t size, off_t, fuse_file_info *) {
    self(req)->on_write(req, buf, size);
}

void op_poll(fuse_req_t req, fuse_ino_t, fuse_file_info *, fuse_pollhandle *ph) {
    self(req)->on_poll(req, ph);
}

void op_interrupt(fuse_req_t req, void *data) {
    static_cast<DeviceEmulator *>(data)->on_interrupt(req);
}

const fuse_lowlevel_ops *operations() {
    static const fuse_lowlevel_ops ops = [] {
        fuse_lowlevel_ops o{};
        o.lookup = op_lookup;
        o.getattr = op_getattr;
        o.readdir = op_readdir;
        o.open = op_open;
        o.release = op_release;
        o.read = op_read;
        o.write = op_write;
        o.poll = op_poll;
        return o;
    }();
    return &ops;
}

void reply_data(fuse_req_t req, const std::vector<uint8_t> &data) {
    fuse_reply_buf(req, reinterpret_cast<const char *>(data.data()), data.size());
}

}  // namespace

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

DeviceEmulator::DeviceEmulator(Mode mode) : mode_(mode) {}

DeviceEmulator::~DeviceEmulator() {
    stop();
}

std::string DeviceEmulator::file_name() const {
    return mode_ == Mode::NetCdev ? "net_cdev" : "lcd1";
}

std::string DeviceEmulator::device_file() const {
    return mount_dir_ + "/" + file_name();
}

bool DeviceEmulator::start(const std::string &mount_dir) {
    if (session_ != nullptr) {
        return false;
    }
    mount_dir_ = mount_dir;
    own_mount_dir_ = mount_dir.empty();
    if (own_mount_dir_) {
        char tmpl[] = "/tmp/cdev_emu_XXXXXX";
        if (mkdtemp(tmpl) == nullptr) {
            return false;
        }
        mount_dir_ = tmpl;
        chmod(mount_dir_.c_str(), 0755);
    }
    // allow_other: the agent may give up root while it holds the device.
    // auto_unmount: a crashed or killed test leaves no stale mount behind.
    const char *argv[] = {"cdev_emulator", "-o", "allow_other,auto_unmount", "-o",
                          "fsname=cdev_emulator,subtype=cdev"};
    fuse_args args = FUSE_ARGS_INIT(static_cast<int>(std::size(argv)), const_cast<char **>(argv));
    session_ = fuse_session_new(&args, operations(), sizeof(fuse_lowlevel_ops), this);
    fuse_opt_free_args(&args);
    wake_fd_ = eventfd(0, EFD_CLOEXEC);
    if (session_ == nullptr || wake_fd_ < 0 ||
        fuse_session_mount(session_, mount_dir_.c_str()) != 0) {
        if (session_ != nullptr) {
            fuse_session_destroy(session_);
            session_ = nullptr;
        }
        if (wake_fd_ >= 0) {
            close(wake_fd_);
            wake_fd_ = -1;
        }
        if (own_mount_dir_) {
            rmdir(mount_dir_.c_str());
        }
        return false;
    }
    {
        std::lock_guard lock(mu_);
        stopping_ = false;
    }
    loop_thread_ = std::thread([this] { loop(); });
    timer_thread_ = std::thread([this] { timer_loop(); });
    return true;
}

void DeviceEmulator::stop() {
    if (session_ == nullptr) {
        return;
    }
    std::deque<HeldRead> held;
    std::vector<fuse_pollhandle *> polls;
    {
        std::lock_guard lock(mu_);
        stopping_ = true;
        held.swap(held_reads_);
        polls.swap(poll_handles_);
    }
    for (const HeldRead &r : held) {
        fuse_reply_err(r.req, ENODEV);
    }
    for (fuse_pollhandle *ph : polls) {
        fuse_pollhandle_destroy(ph);
    }
    timer_cv_.notify_all();
    uint64_t one = 1;
    if (write(wake_fd_, &one, sizeof(one)) < 0) {
        // The loop still ends when the unmount below closes the channel.
    }
    loop_thread_.join();
    timer_thread_.join();
    fuse_session_unmount(session_);
    fuse_session_destroy(session_);
    session_ = nullptr;
    close(wake_fd_);
    wake_fd_ = -1;
    // A mount that survived (busy, or unmounted elsewhere) is detached lazily.
    umount2(mount_dir_.c_str(), MNT_DETACH);
    if (own_mount_dir_) {
        rmdir(mount_dir_.c_str());
    }
    from_agent_cv_.notify_all();
}

// fuse_session_loop, but woken by wake_fd_ so stop() never waits for a
// request that may not come.
void DeviceEmulator::loop() {
    fuse_buf buf{};
    pollfd fds[2] = {{fuse_session_fd(session_), POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    while (!fuse_session_exited(session_)) {
        int n = poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 || (fds[1].revents & POLLIN) != 0) {
            break;
        }
        int res = fuse_session_receive_buf(session_, &buf);
        if (res == -EINTR || res == -EAGAIN) {
            continue;
        }
        if (res <= 0) {
            break;
        }
        fuse_session_process_buf(session_, &buf);
    }
    free(buf.mem);
}

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

void DeviceEmulator::on_open(fuse_req *req) {
    int err = 0;
    OpenOut out{};
    {
        std::lock_guard lock(mu_);
        if (!present_) {
            err = ENOENT;
        } else if (!open_fault_.take(&err)) {
            ++open_count_;
            ++open_handles_;
            out.fh = ++next_fh_;
        }
    }
    if (err != 0) {
        fuse_reply_err(req, err);
        return;
    }
    out.open_flags = FOPEN_DIRECT_IO_FLAG | FOPEN_NONSEEKABLE_FLAG | FOPEN_STREAM_FLAG;
    iovec iov{&out, sizeof(out)};
    fuse_reply_iov(req, &iov, 1);
}

void DeviceEmulator::on_release(fuse_req *req) {
    {
        std::lock_guard lock(mu_);
        if (open_handles_ > 0) {
            --open_handles_;
        }
    }
    fuse_reply_err(req, 0);
}

void DeviceEmulator::on_read(fuse_req *req, size_t size) {
    // Registered before taking mu_: it runs at once (taking mu_) when the
    // request was interrupted already.
    fuse_req_interrupt_func(req, op_interrupt, this);
    int err = 0;
    std::vector<uint8_t> chunk;
    {
        std::lock_guard lock(mu_);
        if (!present_ || stopping_) {
            err = ENODEV;
        } else if (read_fault_.take(&err)) {
            // err set
        } else if (fails_at_offset_locked(&err)) {
            // err set
        } else if (fuse_req_interrupted(req)) {
            err = EINTR;
        } else if (size > 0 && !take_chunk_locked(size, &chunk)) {
            held_reads_.push_back({req, size});
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

void DeviceEmulator::on_write(fuse_req *req, const char *buf, size_t size) {
    int err = 0;
    std::vector<std::vector<uint8_t>> complete;
    {
        std::lock_guard lock(mu_);
        if (!present_) {
            err = ENODEV;
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

void DeviceEmulator::on_poll(fuse_req *req, fuse_pollhandle *ph) {
    unsigned revents = 0;
    fuse_pollhandle *drop = nullptr;
    {
        std::lock_guard lock(mu_);
        if (!present_ || stopping_) {
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
        while (!held_reads_.empty()) {
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
