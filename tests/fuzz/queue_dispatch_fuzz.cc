// Device messages of every kind into the receive queue and the dispatch of
// the controller's requests: whatever arrives, a link gets its own messages
// in order, nothing leaks, and requests are answered only as they may be.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <map>

#include "link/cdev_request.h"
#include "tests/fuzz/fuzz_device.h"
#include "tests/fuzz/fuzz_input.h"
#include "transport/device.h"

namespace {

time_t g_now = 1000;
time_t fake_clock() {
    return g_now;
}

// A UDP socket the datagrams go to, and a TCP port nobody listens on.
struct local_ports {
    int udp = -1;
    uint16_t udp_port = 0;
    uint16_t refused_port = 0;
    int holder = -1;  // keeps the refused port bound, not listening
};

uint16_t bind_loopback(int fd) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    return ntohs(addr.sin_port);
}

local_ports &ports() {
    static local_ports p = [] {
        local_ports lp;
        lp.udp = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        lp.udp_port = bind_loopback(lp.udp);
        lp.holder = socket(AF_INET, SOCK_STREAM, 0);
        lp.refused_port = bind_loopback(lp.holder);
        return lp;
    }();
    return p;
}

constexpr uint32_t LINK_A = 0x00DB0701;
constexpr uint32_t LINK_B = 0x00DB0702;

uint32_t pick_id(fuzz::Input &in) {
    switch (in.byte() % 4) {
        case 0:
            return 0;
        case 1:
            return LINK_A;
        case 2:
            return LINK_B;
        default:
            return in.u32();
    }
}

std::string message(fuzz::Input &in, uint32_t id, uint32_t seq) {
    msg_header h{};
    h.type = in.byte() % 7;
    h.protocol = in.byte() % 3;
    h.local_link_id = id;
    h.peer_link_id = in.u32();
    // Requests reach only the test's own ports.
    h.port = htons(h.type == MSG_TYPE_FORWARD ? ports().udp_port : ports().refused_port);
    memcpy(h.reserved2, &seq, sizeof(seq));
    std::vector<uint8_t> payload = in.run(600);
    return std::string(reinterpret_cast<char *>(&h), sizeof(h)) +
           std::string(payload.begin(), payload.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    BUFSIZE = 1024;
    g_queue_clock = fake_clock;
    g_write_iov_func = fuzz::record_write;
    fuzz::written().clear();
    fuzz::Input in(data, size);
    std::map<uint32_t, uint32_t> last_taken;
    uint32_t seq = 0;
    for (int op = 0; op < 64 && !in.empty(); ++op) {
        uint8_t kind = in.byte() % 6;
        uint32_t id = pick_id(in);
        if (kind == 0) {
            bool split = in.byte() % 8 == 0;
            std::string bytes = message(in, id, ++seq);
            enqueue_msg(fuzz::device_message(bytes, split ? in.byte() % 32 : SIZE_MAX));
        } else if (kind == 1) {
            common_io_buf *v = read_cdev_iov(id);
            if (v != nullptr) {
                uint32_t got;
                memcpy(&got, get_msg_header(v)->reserved2, sizeof(got));
                if (get_msg_header(v)->local_link_id != id || got <= last_taken[id]) {
                    abort();  // another link's message, or out of order
                }
                last_taken[id] = got;
                release_common_io_buf(v);
            }
        } else if (kind == 2) {
            queue_open_link(id, {});
        } else if (kind == 3) {
            queue_close_link(id);
        } else if (kind == 4) {
            handle_cdev_request_once();
        } else {
            g_now += in.byte();
            garbage_collector_pass(g_now);
        }
    }
    // Answers are header-only, and the agent never opens a link here.
    for (const std::string &m : fuzz::written()) {
        if (m.size() != MSG_HEADER_SIZE || (m[0] != MSG_TYPE_CLOSE && m[0] != MSG_TYPE_RESPONSE)) {
            abort();
        }
    }
    for (uint32_t id : {LINK_A, LINK_B}) {
        queue_close_link(id);
    }
    fuzz::empty_queue();
    char drain[2048];
    while (recv(ports().udp, drain, sizeof(drain), 0) >= 0) {
    }
    return 0;
}
