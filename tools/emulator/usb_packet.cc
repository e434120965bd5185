// Packet-node framing of the USB device, controller side.
#include "tools/emulator/usb_packet.h"

#include <algorithm>
#include <cstring>

namespace emu {
namespace {

void put_u32(uint8_t *p, uint32_t v) {
    std::memcpy(p, &v, sizeof(v));
}

uint32_t get_u32(const uint8_t *p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

}  // namespace

std::vector<uint8_t> encode_packet_node(uint32_t token, uint32_t number, const uint8_t *data,
                                        size_t len) {
    std::vector<uint8_t> node(PACKET_NODE_SIZE, 0);
    len = std::min(len, PACKET_DATA_SIZE);
    put_u32(&node[0], token);
    put_u32(&node[4], number);
    put_u32(&node[8], static_cast<uint32_t>(len));
    if (len > 0) {
        std::memcpy(&node[PACKET_DATA_OFFSET], data, len);
    }
    return node;
}

bool decode_packet_node(const uint8_t *node, size_t len, PacketNode *out) {
    if (len != PACKET_NODE_SIZE) {
        return false;
    }
    out->token = get_u32(node);
    out->number = get_u32(node + 4);
    out->cut_packet_len = get_u32(node + 8);
    out->data = node + PACKET_DATA_OFFSET;
    return out->cut_packet_len <= PACKET_DATA_SIZE;
}

std::vector<std::vector<uint8_t>> cut_message(const std::vector<uint8_t> &msg) {
    size_t count = std::max<size_t>(1, (msg.size() + PACKET_DATA_SIZE - 1) / PACKET_DATA_SIZE);
    std::vector<std::vector<uint8_t>> nodes;
    nodes.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        uint32_t token = SLICE_TOKEN_MIDDLE;
        if (count == 1) {
            token = SLICE_TOKEN_ONLY;
        } else if (i == 0) {
            token = SLICE_TOKEN_FIRST;
        } else if (i == count - 1) {
            token = SLICE_TOKEN_LAST;
        }
        size_t offset = i * PACKET_DATA_SIZE;
        size_t len = std::min(PACKET_DATA_SIZE, msg.size() - std::min(offset, msg.size()));
        nodes.push_back(
            encode_packet_node(token, static_cast<uint32_t>(i), msg.data() + offset, len));
    }
    return nodes;
}

std::vector<uint8_t> frame_unit(const std::vector<uint8_t> &node, size_t flag_offset) {
    std::vector<uint8_t> unit(flag_offset, 0);
    unit.push_back(NODE_FLAG_BYTE);
    unit.push_back(NODE_FLAG_BYTE);
    unit.insert(unit.end(), node.begin(), node.end());
    return unit;
}

Reassembler::Result Reassembler::add(const uint8_t *node, size_t len) {
    PacketNode n;
    if (!decode_packet_node(node, len, &n)) {
        reset();
        return Result::REFUSED;
    }
    bool starts = n.token == SLICE_TOKEN_ONLY || n.token == SLICE_TOKEN_FIRST;
    if (!in_message_) {
        if (!starts || n.number != 0) {
            return Result::REFUSED;
        }
        building_.clear();
    } else if (starts) {
        // A new message while one is being built: the old one is lost.
        reset();
        return add(node, len);
    } else if (n.number != prev_number_ + 1 && n.number != prev_number_) {
        reset();
        return Result::REFUSED;
    }
    bool repeated = in_message_ && n.number == prev_number_;
    if (!repeated) {
        building_.insert(building_.end(), n.data, n.data + n.cut_packet_len);
    }
    prev_number_ = n.number;
    if (n.token == SLICE_TOKEN_ONLY || n.token == SLICE_TOKEN_LAST) {
        done_ = std::move(building_);
        building_.clear();
        in_message_ = false;
        return Result::COMPLETE;
    }
    in_message_ = true;
    return Result::INCOMPLETE;
}

std::vector<uint8_t> Reassembler::take() {
    return std::move(done_);
}

void Reassembler::reset() {
    in_message_ = false;
    building_.clear();
}

}  // namespace emu
