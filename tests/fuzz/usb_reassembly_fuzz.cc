// A stream of device units into the USB reassembly: whatever the units, the
// reassembly never overruns the io vector, every message it delivers adds up,
// and one valid message after any junk is delivered intact.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/iov.h"
#include "tests/fuzz/fuzz_input.h"
#include "transport/device.h"
#include "transport/usb.h"

namespace {

std::vector<uint8_t> unit_of(uint32_t token, uint32_t number, const std::vector<uint8_t> &data) {
    packet_node node{token, number, static_cast<uint32_t>(data.size()), {}, {}};
    std::copy(data.begin(), data.end(), node.data);
    std::vector<uint8_t> unit = {0xFF, 0xFF};
    unit.insert(unit.end(), reinterpret_cast<uint8_t *>(&node),
                reinterpret_cast<uint8_t *>(&node + 1));
    return unit;
}

// Units as the input spells them: raw bytes, or nodes with chosen fields.
std::vector<uint8_t> next_unit(fuzz::Input &in) {
    if (in.byte() & 1) return in.run(USB_READ_SIZE);
    const uint32_t token = in.byte() % 5;
    const uint32_t number = in.byte() % 4 == 0 ? in.u32() : in.byte() % 130;
    std::vector<uint8_t> unit = unit_of(token, number, in.run(PACKET_DATA_SIZE));
    unit.resize(in.byte() % 8 == 0 ? in.u16() % unit.size() : unit.size());
    return unit;
}

void check_message(const common_io_buf *v, int64_t n) {
    if (n < 0) return;
    fuzz::check(v->iov_cnt <= IOV_ARRAY_SIZE && v->total_len == n);
    int64_t sum = 0;
    for (uint64_t i = 0; i < v->iov_cnt; ++i) {
        fuzz::check(v->iov[i].iov_len <= PACKET_DATA_SIZE);
        sum += static_cast<int64_t>(v->iov[i].iov_len);
    }
    fuzz::check(sum == n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    BUFSIZE = PACKET_DATA_SIZE;
    int sv[2];
    fuzz::check(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) == 0);
    const int big = 1 << 22;
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof(big));
    setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    fuzz::Input in(data, size);
    for (int units = 0; !in.empty() && units < 300; ++units) {
        const std::vector<uint8_t> unit = next_unit(in);
        if (!unit.empty()) send(sv[1], unit.data(), unit.size(), 0);
    }
    // A valid message always comes through after the junk.
    const std::vector<uint8_t> last(40, 0x5A), tail = unit_of(SLICE_TOKEN_ONLY, 0, last);
    send(sv[1], tail.data(), tail.size(), 0);
    common_io_buf *v = alloc_common_io_buf(0);
    do {
        iov_reset(v, IOV_ARRAY_SIZE, BUFSIZE);
        check_message(v, read_iov_from_usb(sv[0], v));
    } while (recv(sv[0], nullptr, 0, MSG_PEEK | MSG_DONTWAIT) >= 0);
    fuzz::check(v->total_len == 40 && memcmp(v->iov[0].iov_base, last.data(), 40) == 0);
    release_common_io_buf(v);
    close(sv[0]);
    close(sv[1]);
    return 0;
}
