// The capture: every message that crosses the device, both ways, written to
// a pcap file for Wireshark and tshark (dissector: dist/cdev.lua). Link type
// USER0; each record is a 4-byte prefix of our own followed by the whole
// message, header first:
//   byte 0     direction: 1 host to controller, 2 controller to host
//   byte 1     device mode: 0 net_cdev, 1 USB
//   bytes 2-3  0
// Timestamps have nanoseconds. Files are bounded and rotated as tcpdump's -C
// and -W do.
#pragma once

#include <sys/uio.h>

#include <atomic>
#include <cstdint>
#include <string>

enum capture_direction : uint8_t {
    CAPTURE_TO_CONTROLLER = 1,
    CAPTURE_FROM_CONTROLLER = 2,
};

// Set while a capture runs; read on every message, so it is all a message
// costs when none does.
extern std::atomic<bool> g_capture_on;

// Starts a capture into `path`. With file_size_bytes 0 everything goes to
// that one file. Otherwise a record that would take the current file past
// file_size_bytes goes to a new file (a file takes its first record whatever
// its size), named as tcpdump names them: path, path1, path2... or, with
// file_count > 0, path0 to path<file_count - 1>, zero-padded to the width of
// file_count and reused in turn. An existing file of that name is replaced.
// False, with *error telling why, when a capture runs already or the file
// cannot be opened. Any thread; files are opened with the process's
// credentials at the time (root at start-up, the service account later).
bool capture_start(const char *path, uint64_t file_size_bytes, int file_count, std::string *error);
// Ends the capture and closes its file; nothing when none runs. Any thread.
void capture_stop();
bool capture_active();

// What capture_message does while a capture runs.
void capture_record(capture_direction dir, const struct iovec *entries, uint64_t count);

// One message as the entries of its io vector, header first. Writers call it
// under the send lock as they hand the message to the device, as tcpdump
// records outgoing packets (a write that then fails still shows; the log
// tells of the failure); the reader calls it for every message it reads,
// before anyone acts on it. So the file's order is the device's order, and
// an answer never comes ahead of its question. A failure to write the file is
// logged once and ends the capture: the links never notice.
inline void capture_message(capture_direction dir, const struct iovec *entries, uint64_t count) {
    if (g_capture_on.load(std::memory_order_relaxed)) {
        capture_record(dir, entries, count);
    }
}

inline void capture_buffer(capture_direction dir, const void *buf, uint64_t len) {
    if (g_capture_on.load(std::memory_order_relaxed)) {
        struct iovec entry = {const_cast<void *>(buf), len};
        capture_record(dir, &entry, 1);
    }
}
