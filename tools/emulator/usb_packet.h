// Packet nodes of the USB device (/dev/lcd1), seen from the controller's
// side: cutting a message into nodes, framing a node as the device delivers
// it, and putting the agent's nodes back together into messages.
#ifndef CDEV_TOOLS_EMULATOR_USB_PACKET_H
#define CDEV_TOOLS_EMULATOR_USB_PACKET_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace emu {

constexpr size_t PACKET_NODE_SIZE = 468;
constexpr size_t PACKET_DATA_SIZE = 450;
constexpr size_t PACKET_DATA_OFFSET = 12;
constexpr uint32_t SLICE_TOKEN_MIDDLE = 0;
constexpr uint32_t SLICE_TOKEN_FIRST = 1;
constexpr uint32_t SLICE_TOKEN_LAST = 2;
constexpr uint32_t SLICE_TOKEN_ONLY = 3;
// The device puts 0xFF 0xFF in front of every node it delivers.
constexpr uint8_t NODE_FLAG_BYTE = 0xFF;
constexpr size_t NODE_FLAG_SIZE = 2;
constexpr size_t USB_UNIT_SIZE = NODE_FLAG_SIZE + PACKET_NODE_SIZE;

struct PacketNode {
    uint32_t token = 0;
    uint32_t number = 0;
    uint32_t cut_packet_len = 0;
    const uint8_t *data = nullptr;  // cut_packet_len bytes
};

// A 468-byte node; len must not exceed PACKET_DATA_SIZE.
std::vector<uint8_t> encode_packet_node(uint32_t token, uint32_t number, const uint8_t *data,
                                        size_t len);

// Reads the fields of a 468-byte node; false when the size is wrong or
// cut_packet_len is above PACKET_DATA_SIZE.
bool decode_packet_node(const uint8_t *node, size_t len, PacketNode *out);

// The nodes of one message: token 3 for a single slice, else 1, 0..., 2.
// An empty message is one node with token 3 and no data.
std::vector<std::vector<uint8_t>> cut_message(const std::vector<uint8_t> &msg);

// A node as the device delivers it: flag_offset filler bytes, 0xFF 0xFF,
// then the node.
std::vector<uint8_t> frame_unit(const std::vector<uint8_t> &node, size_t flag_offset = 0);

// Rebuilds messages from the agent's nodes, in order. A node that cannot
// follow the previous one drops the message being built and is refused; a
// node repeating the previous number (a rewrite after a failed write) adds
// no data a second time.
class Reassembler {
  public:
    enum class Result { INCOMPLETE, COMPLETE, REFUSED };
    Result add(const uint8_t *node, size_t len);
    std::vector<uint8_t> take();  // the completed message
    void reset();

  private:
    bool in_message_ = false;
    uint32_t prev_number_ = 0;
    std::vector<uint8_t> building_;
    std::vector<uint8_t> done_;
};

}  // namespace emu

#endif
