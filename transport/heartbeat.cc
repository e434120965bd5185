// The init message and the periodic heartbeat. See heartbeat.h.
#include "transport/heartbeat.h"

#include <pthread.h>

#include <ctime>

#include "bounded/securec.h"
#include "common/msg_header.h"
#include "common/progress.h"
#include "frame/log.h"
#include "frame/util.h"
#include "transport/device.h"
#include "transport/net_cdev.h"

namespace {

constexpr unsigned int MS_PER_SECOND = 1000;
constexpr long FOREVER = -1;

int64_t write_usb_unit(const void *unit, uint64_t) {
    return write_usb_buf(static_cast<const packet_node *>(unit));
}

// The thread is also the device's keeper: it reopens the device while it
// sleeps, when the reader finds it away.
heartbeat_io device_io(int mode) {
    return {mode, mode == CONNECT_MODE_USB ? write_usb_unit : write_cdev_buf, cdev_keeper_sleep_ms};
}

// Retries without limit: the controller must hear of the agent before any
// heartbeat.
void send_init(const heartbeat_io &io, const void *unit, uint64_t len) {
    for (;;) {
        mark_progress(g_progress.heartbeat_ms);
        if (io.write(unit, len) >= 0) {
            break;
        }
        LOG_AS("heartbeat_thread", LOG_DETAIL, "Failed to send 'init' msg to Tavix\n");
        io.sleep_ms(INIT_RETRY_MS);
    }
    LOG_AS("heartbeat_thread", LOG_INFO, "Send 'init' msg to Tavix successfully\n");
}

// Write failures are left to the writers to report; the next beat follows anyway.
void repeat_heartbeat(const heartbeat_io &io, const void *unit, uint64_t len,
                      unsigned int interval_s, long heartbeats) {
    for (long n = 0; heartbeats < 0 || n < heartbeats; n++) {
        io.sleep_ms(interval_s * MS_PER_SECOND);
        mark_progress(g_progress.heartbeat_ms);
        if (io.write(unit, len) >= 0) {
            g_progress.heartbeat_sent_s.store(time(nullptr), std::memory_order_relaxed);
        }
    }
}

void usb_heartbeats(const heartbeat_io &io, unsigned int interval_s, packet_node node,
                    long heartbeats) {
    node.data[0] = MSG_TYPE_HEARTBEAT;  // the header's type
    repeat_heartbeat(io, &node, sizeof(node), interval_s, heartbeats);
}

}  // namespace

void *heartbeat_thread(void *) {
    pthread_detach(pthread_self());
    heartbeat_run(device_io(g_connect_mode), FOREVER);
    return nullptr;
}

void heartbeat_run(const heartbeat_io &io, long heartbeats) {
    msg_header header{};
    header.type = MSG_TYPE_INIT;
    header.source = MSG_SOURCE_HOST;
    if (io.mode == CONNECT_MODE_USB) {
        packet_node node{};
        fill_packet_node_header(&node, 0, 1, MSG_HEADER_SIZE, 0);
        if (memcpy_s(node.data, PACKET_DATA_SIZE, &header, sizeof(header)) != EOK) {
            LOG_AS("heartbeat_thread", LOG_ERROR, "Failed to create 'init' msg\n");
        }
        send_init(io, &node, sizeof(node));
        usb_heartbeats(io, HEARTBEAT_INTERVAL, node, heartbeats);
        return;
    }
    send_init(io, &header, sizeof(header));
    header.type = MSG_TYPE_HEARTBEAT;
    repeat_heartbeat(io, &header, sizeof(header), HEARTBEAT_INTERVAL, heartbeats);
}
