// USB framing: cutting messages into packet nodes, writing them with retries
// and reopens, and putting received slices back together. See usb.h.
#include "transport/usb.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "bounded/securec.h"
#include "common/iov.h"
#include "frame/log.h"
#include "frame/util.h"
#include "transport/capture.h"
#include "transport/device.h"
#include "transport/net_cdev.h"

namespace {

constexpr int WRITE_ATTEMPTS = 11;
constexpr unsigned int RETRY_PAUSE_MS = 10;
constexpr unsigned int READ_PAUSE_MS = 50;
constexpr uint64_t FLAG_SEARCH_END = 10;  // the flag may start at offsets 0 to 9
constexpr uint8_t NODE_FLAG_BYTE = 0xFF;
constexpr size_t NODE_FLAG_SIZE = 2;
constexpr uint32_t NO_SLICE_YET = 0xFFFFFFFF;
constexpr size_t NODE_HEADER_SIZE = offsetof(packet_node, data);
constexpr int INVALID_NODE = EINVAL;

// The send packet node: used under the send lock only, zero whenever the
// lock is free.
packet_node g_send_node;
// The receive buffer: used by the reader thread only.
uint8_t g_recv_buf[USB_READ_SIZE];

bool ends_message(uint32_t token) {
    return token == SLICE_TOKEN_LAST || token == SLICE_TOKEN_ONLY;
}

// Cuts the message into slices and writes them; send lock held.
int64_t cut_and_write(const struct iovec *entries, uint64_t count) {
    uint64_t used = 0;
    uint64_t number = 0;
    int64_t total = 0;
    for (uint64_t i = 0; i < count; i++) {
        uint64_t len = entries[i].iov_len;
        if (len > 0) {
            int ret = memcpy_s(g_send_node.data + used, PACKET_DATA_SIZE - used,
                               entries[i].iov_base, len);
            if (ret != EOK) {
                LOG(LOG_ERROR, "Failed to copy memory, ret: %d, errno: %d\n", ret, errno);
                return -1;
            }
        }
        used += len;
        // Empty entries in front of a non-empty one share its slice.
        if (PACKET_DATA_SIZE - used >= static_cast<uint64_t>(BUFSIZE) && i != count - 1) {
            continue;
        }
        fill_packet_node_header(&g_send_node, i, count, static_cast<uint32_t>(used), number);
        int written = write_packet_retry(&g_send_node);
        if (written < 0) {
            return written;
        }
        total += written;
        number++;
        memset_s(&g_send_node, sizeof(g_send_node), 0, sizeof(g_send_node));
        used = 0;
    }
    return total;
}

// What the reassembly keeps while it puts one message together.
struct reassembly {
    int slot = 0;
    int64_t total = 0;
    uint32_t prev_token = SLICE_TOKEN_ONLY;  // a message must start first
    uint32_t prev_number = NO_SLICE_YET;
    packet_node first;  // the message's first slice, to tell a repeat of it
};

// The slices of a message too long for one io vector are dropped up to its
// last one. Used by the reader only.
bool skipping_long_message = false;

// Copies the node out of the `n` bytes read (it may sit at any offset) and
// checks that the unit holds its header and all of its payload; false when
// the unit is to be skipped.
bool take_node(int64_t n, packet_node *node) {
    const uint8_t *start = find_node_start(g_recv_buf, static_cast<uint64_t>(n));
    if (start == nullptr) {
        LOG_AS("read_iov_from_usb", LOG_ERROR, "recv: cannot find node start flag\n");
        return false;
    }
    size_t room = static_cast<size_t>(n) - static_cast<size_t>(start - g_recv_buf);
    memset(node, 0, sizeof(*node));
    memcpy(node, start, std::min(room, sizeof(*node)));
    if (room < NODE_HEADER_SIZE || (node->cut_packet_len <= PACKET_DATA_SIZE &&
                                    room < NODE_HEADER_SIZE + node->cut_packet_len)) {
        LOG_AS("read_iov_from_usb", LOG_ERROR, "recv: unit of %ld bytes is too short\n",
               static_cast<long>(n));
        return false;
    }
    return true;
}

bool under_way(const reassembly &r) {
    return !ends_message(r.prev_token);
}

// Drops the part of a message put together so far, if any: its link ends.
void drop_unfinished(reassembly *r, common_io_buf *v) {
    if (!under_way(*r)) {
        return;
    }
    if (r->slot > 0) {
        report_lost_message(v);
    }
    LOG_AS("read_iov_from_usb", LOG_ERROR, "recv: dropped %ld bytes of an unfinished message\n",
           static_cast<long>(r->total));
    *r = reassembly{};
}

bool opens_message(const packet_node &node) {
    return node.number == 0 && node.cut_packet_len <= PACKET_DATA_SIZE &&
           (node.token == SLICE_TOKEN_FIRST || node.token == SLICE_TOKEN_ONLY);
}

// A sender whose write failed writes the same slice again: a first slice
// equal to the one just taken is that repeat.
bool repeats_first(const packet_node &node, const reassembly &r) {
    return under_way(r) && r.prev_number == 0 && opens_message(node) &&
           memcmp(&node, &r.first, NODE_HEADER_SIZE + node.cut_packet_len) == 0;
}

// The slices after the 128th of a message are dropped, quietly, up to its
// last one; the next message starts with a first slice.
bool skips_long_message(const packet_node &node) {
    if (skipping_long_message && !opens_message(node)) {
        skipping_long_message = node.token != SLICE_TOKEN_LAST;
        return true;
    }
    skipping_long_message = false;
    return false;
}

// The message filled every slot without ending: it is lost, its link ends.
int64_t drop_long_message(common_io_buf *v) {
    LOG_AS("read_iov_from_usb", LOG_ERROR, "Drop too long message, length: more than %lu.\n",
           static_cast<unsigned long>(IOV_ARRAY_SIZE * PACKET_DATA_SIZE));
    report_lost_message(v);
    skipping_long_message = true;
    v->total_len = 0;
    return 0;
}

}  // namespace

int64_t write_iov_to_usb_locked(const struct iovec *entries, uint64_t count) {
    if (count == 0) {
        return 0;
    }
    capture_message(CAPTURE_TO_CONTROLLER, entries, count);
    int64_t result = cut_and_write(entries, count);
    // A failed message must not leave its bytes behind for the next one.
    memset_s(&g_send_node, sizeof(g_send_node), 0, sizeof(g_send_node));
    return result;
}

namespace {

struct usb_write {
    const struct iovec *entries;
    uint64_t count;
};

int64_t write_under_send_lock(void *arg) {
    auto *w = static_cast<usb_write *>(arg);
    if (g_cdev_writes_over.load()) {
        errno = ESHUTDOWN;
        return -1;
    }
    return write_iov_to_usb_locked(w->entries, w->count);
}

}  // namespace

int64_t write_iov_to_usb(const struct iovec *entries, uint64_t count) {
    usb_write w{entries, count};
    return send_lock_run(write_under_send_lock, &w, is_control_message(entries, count));
}

int write_usb_buf(const packet_node *node) {
    send_lock_guard lock;
    if (g_cdev_writes_over.load()) {
        errno = ESHUTDOWN;
        return -1;
    }
    capture_buffer(CAPTURE_TO_CONTROLLER, node->data, node->cut_packet_len);
    return write_packet_to_usb(node);
}

int write_packet_retry(const packet_node *node) {
    int result = -1;
    for (int attempt = 0; attempt < WRITE_ATTEMPTS; attempt++) {
        result = write_packet_to_usb(node);
        if (result >= 0 || g_cdev_stopping.load()) {
            return result;
        }
        msleep(RETRY_PAUSE_MS);
    }
    return result;
}

int write_packet_to_usb(const packet_node *node) {
    int fd = g_cdev_fd.load();
    if (fd >= 0 && write(fd, node, PACKET_NODE_SIZE) >= 0) {
        return static_cast<int>(node->cut_packet_len);
    }
    int err = fd < 0 ? EBADF : errno;
    constexpr int result = -1;
    if (g_record_log.load() != 0) {
        LOG(LOG_ERROR, "send: Failed to write usb, ret: %d, errno: %d g_cdev_fd：%d\n", result, err,
            fd);
    }
    if (cdev_failed(err)) {
        reopen_cdev_locked();
    }
    return result;
}

void fill_packet_node_header(packet_node *node, uint64_t index, uint64_t count, uint32_t len,
                             uint64_t number) {
    node->cut_packet_len = len;
    node->number = static_cast<uint32_t>(number);
    bool last = index + 1 >= count;
    // A first slice that also ends the message is a message of its own.
    if (count <= 1 || (number == 0 && last)) {
        node->token = SLICE_TOKEN_ONLY;
    } else if (number == 0) {
        node->token = SLICE_TOKEN_FIRST;
    } else if (last) {
        node->token = SLICE_TOKEN_LAST;
    } else {
        node->token = SLICE_TOKEN_MIDDLE;
    }
}

int64_t read_iov_from_usb(int fd, common_io_buf *v) {
    uint32_t generation = g_cdev_generation.load();
    v->iov_cnt = IOV_ARRAY_SIZE;
    reassembly r;
    while (static_cast<uint64_t>(r.slot) < v->iov_cnt) {
        cdev_read_result read = read_cdev_between_reopens(fd, g_recv_buf, sizeof(g_recv_buf));
        int64_t n = read.n;
        int err = read.err;
        // A reopened device starts a new message; a unit whose device cannot
        // be told goes, with what was put together so far.
        if (read.generation != generation || read.unsure) {
            drop_unfinished(&r, v);
            generation = read.generation;
            if (read.unsure) {
                continue;
            }
        }
        if (n <= 0) {
            // A failed device is reopened by the keeper; the reader starts over.
            if (n < 0 && cdev_failed(err)) {
                drop_unfinished(&r, v);
                v->total_len = -1;
                errno = err;
                return -1;
            }
            msleep(READ_PAUSE_MS);
            continue;
        }
        packet_node node;
        if (!take_node(n, &node) || skips_long_message(node) || repeats_first(node, r)) {
            continue;
        }
        if (opens_message(node)) {
            // The sender gave up the message under way: it is lost.
            drop_unfinished(&r, v);
        }
        if (check_valid_node(&node, r.slot, r.prev_token, r.prev_number) != 0) {
            continue;
        }
        int placed = fill_slice_into_iov(v, &r.slot, &node, r.prev_number);
        if (placed < 0) {
            return placed;
        }
        if (node.number == 0) {
            r.first = node;
        }
        r.prev_token = node.token;
        r.total += placed;
        if (ends_message(r.prev_token)) {
            v->iov_cnt = static_cast<uint64_t>(r.slot);
            v->total_len = r.total;
            return r.total;
        }
        r.prev_number = node.number;
    }
    return drop_long_message(v);
}

const uint8_t *find_node_start(const uint8_t *buf, uint64_t len) {
    for (uint64_t k = 0; k < FLAG_SEARCH_END && k + 1 < len; k++) {
        if (buf[k] == NODE_FLAG_BYTE && buf[k + 1] == NODE_FLAG_BYTE) {
            return buf + k + NODE_FLAG_SIZE;
        }
    }
    return nullptr;
}

int check_valid_node(const packet_node *node, [[maybe_unused]] int slot, uint32_t prev_token,
                     uint32_t prev_number) {
    if (node->cut_packet_len > PACKET_DATA_SIZE) {
        LOG(LOG_ERROR, "recv: wrong cut_packet_len\n");
        return INVALID_NODE;
    }
    if (ends_message(prev_token)) {
        if (node->token != SLICE_TOKEN_ONLY && node->token != SLICE_TOKEN_FIRST) {
            LOG(LOG_ERROR, "recv: first slice: token %d is wrong\n", static_cast<int>(node->token));
            return INVALID_NODE;
        }
        if (node->number != 0) {
            LOG(LOG_ERROR, "recv: first slice: wrong number\n");
            return INVALID_NODE;
        }
        return 0;
    }
    if (node->token != SLICE_TOKEN_LAST && node->token != SLICE_TOKEN_MIDDLE) {
        LOG(LOG_ERROR, "recv: middle slice: token %d is wrong\n", static_cast<int>(node->token));
        return INVALID_NODE;
    }
    if (node->number != prev_number + 1 && node->number != prev_number) {
        LOG(LOG_ERROR, "recv: middle slice: wrong number\n");
        return INVALID_NODE;
    }
    return 0;
}

int fill_slice_into_iov(common_io_buf *v, int *slot, const packet_node *node,
                        uint32_t prev_number) {
    uint32_t len = node->cut_packet_len;
    // A repeated slice was resent after a failed write: its payload is
    // already in place.
    if (static_cast<uint64_t>(*slot) >= v->iov_cnt || len == 0 || node->number == prev_number) {
        return 0;
    }
    uint32_t placed = 0;
    do {
        struct iovec &entry = v->iov[*slot];
        if (entry.iov_base == nullptr) {
            entry.iov_base = alloc_slice();
            if (entry.iov_base == nullptr) {
                LOG(LOG_ERROR, "fail to alloc iov_base\n");
                return -1;
            }
        }
        entry.iov_len = std::min<uint64_t>(len - placed, BUFSIZE);
        if (memcpy_s(entry.iov_base, BUFSIZE, node->data + placed, entry.iov_len) != EOK) {
            LOG(LOG_ERROR, "Memory copy failed\n");
            return -1;
        }
        ++*slot;
        placed += entry.iov_len;
    } while (static_cast<uint64_t>(*slot) < v->iov_cnt && placed < len);
    return static_cast<int>(placed);
}
