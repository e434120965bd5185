// A local client's first bytes, and the controller's answer, into the
// handshake: a request reaches the device unchanged but for the agent's id,
// nothing else reaches it, and every path frees what it took.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "common/conn_node.h"
#include "link/handshake.h"
#include "socket/state_machine.h"
#include "tests/fuzz/fuzz_device.h"
#include "tests/fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    BUFSIZE = in.byte() & 1 ? 450 : 1024;
    fuzz::record_writes();
    const std::vector<uint8_t> client = in.run(4096);
    const bool answered = in.byte() & 1;
    const std::vector<uint8_t> answer = in.run(300);

    int sv[2];
    fuzz::check(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0);
    if (!client.empty()) send(sv[1], client.data(), client.size(), 0);
    conn_node *node = alloc_node(sv[0], -1);
    int result = cdev_check_connection_request(node);
    // A request goes out whole, but for the agent's id in bytes 12 to 15;
    // nothing else looks like one.
    const std::string sent = fuzz::written().empty() ? "" : fuzz::written()[0];
    const bool passed = sent.size() == MSG_HEADER_SIZE && client.size() >= MSG_HEADER_SIZE &&
                        memcmp(sent.data(), client.data(), 12) == 0 &&
                        memcmp(sent.data() + 16, client.data() + 16, MSG_HEADER_SIZE - 16) == 0;
    fuzz::check(passed == (client.size() >= MSG_HEADER_SIZE && client[0] == MSG_TYPE_REQUEST));
    if (result == CONN_STATUS_REQUESTED) {
        if (answered) {  // the answer's header from the input, for this link
            msg_header h{};
            const size_t head = std::min(answer.size(), sizeof(h));
            std::copy_n(answer.begin(), head, reinterpret_cast<uint8_t *>(&h));
            h.local_link_id = get_msg_header(node->io_buf)->local_link_id;
            enqueue_msg(fuzz::device_message(h, {answer.begin() + head, answer.end()}));
        }
        result = cdev_check_connection_status(node, 100);
    }
    if (result == CONN_STATUS_CONNECTED) {
        cdev_connection_established(node);
    } else {
        cdev_connection_rejected(node);  // a rejection, or the handshake ran out
    }
    free_node(node);
    close(sv[1]);
    fuzz::empty_queue();
    return 0;
}
