// The child side of the end-to-end harness. See harness_child.h.
#include "tests/e2e/harness_child.h"

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace e2e {
namespace {

constexpr int SETUP_FAILED_STATUS = 126;

// Real device nodes the agent's private /dev keeps.
constexpr const char *KEPT_DEV_NODES[] = {"null", "zero", "urandom"};

void write_all(int fd, const char *text) {
    size_t len = strlen(text);
    while (len > 0) {
        ssize_t n = write(fd, text, len);
        if (n <= 0) {
            return;
        }
        text += n;
        len -= static_cast<size_t>(n);
    }
}

// Async-signal-safe failure report of the child: "<what>: errno <n>".
[[noreturn]] void child_fail(const char *what) {
    int err = errno;
    char digits[16];
    int i = sizeof(digits) - 1;
    digits[i] = '\0';
    do {
        digits[--i] = static_cast<char>('0' + err % 10);
        err /= 10;
    } while (err > 0 && i > 0);
    write_all(2, "e2e harness: ");
    write_all(2, what);
    write_all(2, " failed: errno ");
    write_all(2, digits + i);
    write_all(2, "\n");
    _exit(SETUP_FAILED_STATUS);
}

void run_step(const SetupStep &s) {
    int rc = 0;
    switch (s.kind) {
        case SetupStep::MOUNT:
            rc = mount(s.a.empty() ? nullptr : s.a.c_str(), s.b.c_str(),
                       s.fstype.empty() ? nullptr : s.fstype.c_str(), s.flags,
                       s.data.empty() ? nullptr : s.data.c_str());
            break;
        case SetupStep::TOUCH: {
            int fd = open(s.a.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            rc = fd < 0 ? -1 : close(fd);
            break;
        }
    }
    if (rc != 0) {
        child_fail(s.what.c_str());
    }
}

void add_touch(std::vector<SetupStep> *steps, const std::string &path) {
    steps->push_back({SetupStep::TOUCH, path, "", "", 0, "", "create " + path});
}

}  // namespace

[[noreturn]] void run_child(const ChildPlan &plan) {
    int null_fd = open("/dev/null", O_RDONLY);
    int out_fd = open(plan.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err_fd = open(plan.stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (null_fd < 0 || out_fd < 0 || err_fd < 0 || dup2(null_fd, 0) < 0 || dup2(out_fd, 1) < 0 ||
        dup2(err_fd, 2) < 0) {
        _exit(SETUP_FAILED_STATUS);
    }
    // The test process holds FUSE and socket descriptors the agent must not inherit.
    close_range(3, ~0U, 0);
    if (chdir(plan.workdir.c_str()) != 0) {
        child_fail("chdir to the working directory");
    }
    if (plan.use_namespace) {
        if (unshare(CLONE_NEWNS) != 0) {
            child_fail("unshare(CLONE_NEWNS)");
        }
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            child_fail("making / private");
        }
        for (const SetupStep &s : plan.steps) {
            run_step(s);
        }
    } else {
        if (setgroups(0, nullptr) != 0 || setgid(plan.gid) != 0 || setuid(plan.uid) != 0) {
            child_fail("changing to the test uid");
        }
    }
    // A crashed test takes its agent along (until the agent changes its
    // credentials, which clears this). Set after our own uid change for the
    // same reason; the getppid check closes the race with an early death.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != plan.parent) {
        child_fail("setting the parent-death signal");
    }
    struct rlimit files = {plan.max_files, plan.max_files};
    if (plan.max_files > 0 && setrlimit(RLIMIT_NOFILE, &files) != 0) {
        child_fail("limiting descriptors");
    }
    execve(plan.argv[0], plan.argv.data(), plan.envp.data());
    child_fail("execve");
}

void add_mount(std::vector<SetupStep> *steps, const std::string &src, const std::string &dst,
               const std::string &fstype, unsigned long flags, const std::string &data) {
    steps->push_back(
        {SetupStep::MOUNT, src, dst, fstype, flags, data, "mount " + src + " on " + dst});
}

void plan_private_dev(const AgentOptions &o, const std::string &dev_stage,
                      std::vector<SetupStep> *steps) {
    add_mount(steps, "cdev_e2e_dev", dev_stage, "tmpfs", 0, "mode=0755");
    for (const char *node : KEPT_DEV_NODES) {
        add_touch(steps, dev_stage + "/" + node);
        add_mount(steps, std::string("/dev/") + node, dev_stage + "/" + node, "", MS_BIND, "");
    }
    // The device file sits directly under /dev, as the agent's device paths do.
    if (!o.device_source.empty()) {
        std::string target = dev_stage + o.device_path.substr(std::string("/dev").size());
        add_touch(steps, target);
        add_mount(steps, o.device_source, target, "", MS_BIND, "");
    }
    add_mount(steps, dev_stage, "/dev", "", MS_MOVE, "");
}

}  // namespace e2e
