// Termination signals, the exit callback and the release of the process's
// resources.
#pragma once

#include <atomic>
#include <cstdint>

// Listening socket on 127.0.0.1, opened by the start-up; -1 when not open.
// Here because clean_up releases it, possibly on another thread than the
// start-up.
extern std::atomic<int> g_server_fd;

using exit_callback = void (*)(intptr_t arg);

int signal_register();
int register_exit_callback(exit_callback callback, intptr_t arg);
[[noreturn]] void do_exit_after_signal(int signum);
void kill_all_worker(intptr_t arg);
void clean_up();
// True once a termination signal is being handled: the process is about to
// end with status 0, and nothing else may end it first.
bool exit_in_progress();
