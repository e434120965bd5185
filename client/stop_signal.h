// SIGINT and SIGTERM as a readable descriptor for the listener modes: the
// handler writes one byte into a pipe that nobody drains, so every poll loop
// that watches the read end, the listener's and each link's, sees the stop.
#pragma once

// Installs the handlers; the read end of the pipe, or -1 with errno.
int install_stop_signals();
