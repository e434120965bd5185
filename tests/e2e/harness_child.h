// The agent's child process of the end-to-end harness: the plan of its
// private mount namespace, built in the parent, and the child's side that
// carries it out and execs the agent. Used by harness.cc only.
#ifndef CDEV_TESTS_E2E_HARNESS_CHILD_H
#define CDEV_TESTS_E2E_HARNESS_CHILD_H

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace e2e {

// One step of the namespace set-up. Built in the parent, so the forked child
// only issues system calls (no allocation after fork in a threaded process).
struct SetupStep {
    enum Kind { MOUNT, TOUCH } kind;
    std::string a;  // mount source / path
    std::string b;  // mount target
    std::string fstype;
    unsigned long flags = 0;
    std::string data;
    std::string what;  // description for the failure message
};

// What the child needs, all strings prepared before fork.
struct ChildPlan {
    std::string stdout_path;
    std::string stderr_path;
    std::string workdir;
    bool use_namespace = true;
    uid_t uid = 0;
    gid_t gid = 0;
    rlim_t max_files = 0;
    pid_t parent = 0;
    std::vector<SetupStep> steps;
    std::vector<std::string> argv_strings;
    std::vector<std::string> env_strings;
    std::vector<char *> argv;
    std::vector<char *> envp;
};

void add_mount(std::vector<SetupStep> *steps, const std::string &src, const std::string &dst,
               const std::string &fstype, unsigned long flags, const std::string &data);

// A tmpfs built at dev_stage holding only a few real nodes and the device
// file, then moved over /dev: the host's /dev is never written.
void plan_private_dev(const AgentOptions &o, const std::string &dev_stage,
                      std::vector<SetupStep> *steps);

// Runs in the forked child: redirects the standard streams, enters the
// namespace (or takes the test uid) and execs the agent; never returns.
[[noreturn]] void run_child(const ChildPlan &plan);

}  // namespace e2e

#endif
