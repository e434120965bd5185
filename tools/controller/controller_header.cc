// The 32-byte header's fields as the controller reads and writes them, link
// ids as the agent prints them, and the running checksum. See controller.h.
#include <arpa/inet.h>

#include <cstring>

#include "tools/controller/controller_internal.h"

namespace ctl {

namespace {

uint32_t load_u32(const uint8_t *p) {
    uint32_t v;
    memcpy(&v, p, sizeof(v));
    return v;
}

void store_u32(uint8_t *p, uint32_t v) {
    memcpy(p, &v, sizeof(v));
}

}  // namespace

uint64_t checksum_update(uint64_t sum, const uint8_t *data, size_t n) {
    constexpr uint64_t PRIME = 0x100000001b3ULL;
    for (size_t i = 0; i < n; ++i) {
        sum = (sum ^ data[i]) * PRIME;
    }
    return sum;
}

uint32_t printable_id(uint32_t stored) {
    return ntohl(stored);
}

uint16_t header_port(const uint8_t *h) {
    return static_cast<uint16_t>((h[OFFSET_PORT] << 8) | h[OFFSET_PORT + 1]);
}
uint32_t header_peer_id(const uint8_t *h) {
    return load_u32(h + OFFSET_PEER_ID);
}
uint32_t header_local_id(const uint8_t *h) {
    return load_u32(h + OFFSET_LOCAL_ID);
}
void set_header_port(uint8_t *h, uint16_t port) {
    h[OFFSET_PORT] = static_cast<uint8_t>(port >> 8);
    h[OFFSET_PORT + 1] = static_cast<uint8_t>(port);
}
void set_header_peer_id(uint8_t *h, uint32_t id) {
    store_u32(h + OFFSET_PEER_ID, id);
}
void set_header_local_id(uint8_t *h, uint32_t id) {
    store_u32(h + OFFSET_LOCAL_ID, id);
}
void set_header_ret_code(uint8_t *h, uint16_t code) {
    memcpy(h + OFFSET_RET_CODE, &code, sizeof(code));
}

}  // namespace ctl
