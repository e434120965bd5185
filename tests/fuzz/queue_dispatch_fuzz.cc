// Device messages of every kind into the receive queue and the dispatch of
// the controller's requests: whatever arrives, a link gets its own messages
// in order, nothing leaks, and requests are answered only as they may be.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>

#include "link/cdev_request.h"
#include "tests/fuzz/fuzz_device.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

time_t g_now = 1000;

uint16_t bind_loopback(int fd) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    return ntohs(addr.sin_port);
}

// A UDP socket the datagrams go to, and a TCP port bound but not listening.
const int g_udp = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
const uint16_t g_udp_port = bind_loopback(g_udp);
const uint16_t g_refused_port = bind_loopback(socket(AF_INET, SOCK_STREAM, 0));

constexpr uint32_t LINK_A = 0x00DB0701, LINK_B = 0x00DB0702;

uint32_t pick_id(fuzz::Input &in) {
    const uint32_t ids[] = {0, LINK_A, LINK_B};
    const uint8_t k = in.byte() % 4;
    return k < 3 ? ids[k] : in.u32();
}

// A message for link `id` numbered `seq`; when split, slice 0 holds fewer
// bytes than the header.
common_io_buf *message(fuzz::Input &in, uint32_t id, uint32_t seq, bool split) {
    msg_header h{};
    h.type = in.byte() % 7;
    h.protocol = in.byte() % 3;
    h.local_link_id = id;
    h.peer_link_id = in.u32();
    h.port = htons(h.type == MSG_TYPE_FORWARD ? g_udp_port : g_refused_port);  // only ours
    memcpy(h.reserved2, &seq, sizeof(seq));
    const std::vector<uint8_t> payload = in.run(600);
    return fuzz::device_message(h, payload, split ? in.byte() % 32 : SIZE_MAX);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    BUFSIZE = 1024;
    g_queue_clock = [] { return g_now; };
    fuzz::record_writes();
    fuzz::Input in(data, size);
    std::map<uint32_t, uint32_t> last_taken;
    uint32_t seq = 0;
    for (int op = 0; op < 64 && !in.empty(); ++op) {
        const uint8_t kind = in.byte() % 6;
        const uint32_t id = pick_id(in);
        if (kind == 0) enqueue_msg(message(in, id, ++seq, in.byte() % 8 == 0));
        if (kind == 1) {
            if (common_io_buf *v = read_cdev_iov(id)) {
                uint32_t got;
                memcpy(&got, get_msg_header(v)->reserved2, sizeof(got));
                // Its own link's message, in order.
                fuzz::check(get_msg_header(v)->local_link_id == id && got > last_taken[id]);
                last_taken[id] = got;
                release_common_io_buf(v);
            }
        }
        if (kind == 2) queue_open_link(id, {});
        if (kind == 3) queue_close_link(id);
        if (kind == 4) handle_cdev_request_once();
        if (kind == 5) garbage_collector_pass(g_now += in.byte());
    }
    // Answers are header-only, and the agent never opens a link here.
    for (const std::string &m : fuzz::written())
        fuzz::check(m.size() == MSG_HEADER_SIZE &&
                    (m[0] == MSG_TYPE_CLOSE || m[0] == MSG_TYPE_RESPONSE));
    for (uint32_t id : {LINK_A, LINK_B}) queue_close_link(id);
    fuzz::empty_queue();
    char drain[2048];
    while (recv(g_udp, drain, sizeof(drain), 0) >= 0) continue;
    return 0;
}
