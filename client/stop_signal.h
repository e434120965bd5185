// SIGINT, SIGTERM and SIGHUP as a readable descriptor: the handler writes the
// signal's number into a pipe that nobody else reads, so every poll loop that
// watches the read end, the listener's and each link's, sees the stop.
#pragma once

// Installs the handlers; the read end of the pipe, or -1 with errno.
int install_stop_signals();

// The first signal that arrived, or 0; takes it out of the pipe, so call it
// only once every loop has ended.
int take_stop_signal(int stop_fd);
