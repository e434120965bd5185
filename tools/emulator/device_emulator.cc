// The device emulator's FUSE session: the one file's operations, mount and
// unmount, the single-threaded request loop, opens and releases. Reads and
// polls are in emulator_to_agent.cc, writes in emulator_from_agent.cc.
#include "tools/emulator/device_emulator.h"

#include <fuse_lowlevel.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
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

void op_read(fuse_req_t req, fuse_ino_t, size_t size, off_t, fuse_file_info *fi) {
    self(req)->on_read(req, size, fi->fh);
}

void op_write(fuse_req_t req, fuse_ino_t, const char *buf, size_t size, off_t,
              fuse_file_info *fi) {
    self(req)->on_write(req, buf, size, fi->fh);
}

void op_poll(fuse_req_t req, fuse_ino_t, fuse_file_info *fi, fuse_pollhandle *ph) {
    self(req)->on_poll(req, ph, fi->fh);
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

}  // namespace

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

void DeviceEmulator::on_open(fuse_req *req) {
    int err = 0;
    OpenOut out{};
    {
        std::lock_guard lock(mu_);
        if (!present_) {
            err = ENOENT;
        } else if (!open_fault_.take(&err)) {
            // A reopened device starts clean, as the real one does: the
            // message the agent had begun to read is gone.
            if (open_count_ > 0) {
                drop_partial_message_locked();
            }
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

}  // namespace emu
