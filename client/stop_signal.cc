// The stop pipe and its signal handler.
#include "client/stop_signal.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <initializer_list>

namespace {

int g_stop_write_fd = -1;

void on_stop_signal(int sig) {
    char number = static_cast<char>(sig);
    if (write(g_stop_write_fd, &number, 1) < 0) {
        // The pipe is full: a stop is there already.
    }
}

}  // namespace

int install_stop_signals() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return -1;
    }
    g_stop_write_fd = fds[1];
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        if (sigaction(sig, &sa, nullptr) != 0) {
            return -1;
        }
    }
    return fds[0];
}

int take_stop_signal(int stop_fd) {
    char number = 0;
    return read(stop_fd, &number, 1) == 1 ? number : 0;
}
