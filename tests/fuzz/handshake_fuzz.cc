// A local client's first bytes, and the controller's answer, into the
// handshake: a request reaches the device unchanged but for the agent's id,
// nothing else reaches it, and every path frees what it took.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "common/conn_node.h"
#include "link/handshake.h"
#include "socket/state_machine.h"
#include "tests/fuzz/fuzz_device.h"
#include "tests/fuzz/fuzz_input.h"
#include "transport/device.h"

namespace {

// The client's request as it must reach the device: the agent's id in it.
bool is_passed_request(const std::string &sent, const std::vector<uint8_t> &client) {
    if (sent.size() != MSG_HEADER_SIZE || client.size() < MSG_HEADER_SIZE) {
        return false;
    }
    for (size_t i = 0; i < MSG_HEADER_SIZE; ++i) {
        if ((i < 12 || i >= 16) && static_cast<uint8_t>(sent[i]) != client[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    BUFSIZE = in.byte() & 1 ? 450 : 1024;
    g_write_iov_func = fuzz::record_write;
    fuzz::written().clear();
    std::vector<uint8_t> client = in.run(4096);
    bool answered = in.byte() & 1;
    std::vector<uint8_t> answer = in.run(300);

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
        abort();
    }
    if (!client.empty()) {
        send(sv[1], client.data(), client.size(), 0);
    }
    conn_node *node = alloc_node(sv[0], -1);
    int result = cdev_check_connection_request(node);
    bool plain_request = client.size() >= MSG_HEADER_SIZE && client[0] == MSG_TYPE_REQUEST;
    if (plain_request != (!fuzz::written().empty() && fuzz::written()[0].size() == MSG_HEADER_SIZE &&
                          is_passed_request(fuzz::written()[0], client))) {
        abort();  // a request must go out whole; nothing else looks like one
    }
    if (result == CONN_STATUS_REQUESTED) {
        if (answered) {
            msg_header h{};
            std::copy_n(answer.begin(), std::min(answer.size(), sizeof(h)),
                        reinterpret_cast<uint8_t *>(&h));
            h.local_link_id = get_msg_header(node->io_buf)->local_link_id;
            std::string bytes(reinterpret_cast<char *>(&h), sizeof(h));
            bytes.append(answer.begin() + std::min(answer.size(), sizeof(h)), answer.end());
            enqueue_msg(fuzz::device_message(bytes));
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
