// The management controller, played on top of the emulated device for the
// demo, the benchmarks and end-to-end tests:
// - links the agent opens: its request for port P is served by connecting to
//   127.0.0.1:Q from a port map (P -> Q); the answer is one 32-byte
//   response (or a CLOSE when the connect fails), then data flows both ways;
// - the agent's one-shot forward request: the payload goes to the mapped
//   service and its reply, read for a short while, comes back as one message;
//   with protocol 1 (UDP) the payload is one datagram and the reply the first
//   datagram back, or nothing when none comes; other protocols use TCP;
// - links the controller opens: each client accepted on a listening port X
//   becomes a request to the agent for host port H (X -> H);
// - single UDP datagrams for host ports;
// - the agent's init and heartbeat messages are counted.
// One poll thread carries every link; the emulator's message hook only
// queues what the agent wrote for that thread.
#ifndef CDEV_TOOLS_CONTROLLER_CONTROLLER_H
#define CDEV_TOOLS_CONTROLLER_CONTROLLER_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tools/emulator/device.h"

namespace ctl {

constexpr size_t HEADER_SIZE = 32;

// Message types and protocols as they stand in the header.
constexpr uint8_t TYPE_REQUEST = 0;
constexpr uint8_t TYPE_RESPONSE = 1;
constexpr uint8_t TYPE_CLOSE = 2;
constexpr uint8_t TYPE_FORWARD = 3;
constexpr uint8_t TYPE_HEARTBEAT = 4;
constexpr uint8_t TYPE_INIT = 5;
constexpr uint8_t PROTOCOL_TCP = 0;
constexpr uint8_t PROTOCOL_UDP = 1;
constexpr uint16_t RET_REFUSED = 1;

// Largest message the agent takes in each device mode (its io vector of 128
// slices), so the largest payload per message is this minus HEADER_SIZE.
constexpr size_t NET_CDEV_MESSAGE_LIMIT = 131072;
constexpr size_t USB_SLICE_SIZE = 450;
constexpr size_t USB_MESSAGE_LIMIT = 128 * USB_SLICE_SIZE;

// Running 64-bit FNV-1a over the bytes of one direction of a link, so both
// ends of a transfer can print comparable checksums.
constexpr uint64_t CHECKSUM_START = 0xcbf29ce484222325ULL;
uint64_t checksum_update(uint64_t sum, const uint8_t *data, size_t n);

// A link id as the agent's log prints it: the big-endian reading of the
// field's four bytes.
uint32_t printable_id(uint32_t stored);

// Header fields, read from and written into the 32 wire bytes.
uint16_t header_port(const uint8_t *h);  // host order
uint32_t header_peer_id(const uint8_t *h);
uint32_t header_local_id(const uint8_t *h);
void set_header_port(uint8_t *h, uint16_t port);
void set_header_peer_id(uint8_t *h, uint32_t id);
void set_header_local_id(uint8_t *h, uint32_t id);
void set_header_ret_code(uint8_t *h, uint16_t code);

struct Options {
    // Agent-opened links and forward requests: port P asked by the agent ->
    // service on 127.0.0.1:Q. Unmapped ports are refused.
    std::map<uint16_t, uint16_t> port_map;
    // Controller-opened links: (X, H) listens on 127.0.0.1:X (0: any free
    // port, see listen_ports) and asks the agent for host port H per client.
    std::vector<std::pair<uint16_t, uint16_t>> listens;
    // A forward request's reply is read until the service closes, until it
    // has been quiet for forward_quiet after some data, or forward_wait
    // after the connect, whichever comes first.
    std::chrono::milliseconds forward_wait{1000};
    std::chrono::milliseconds forward_quiet{50};
    // A controller-opened link the agent has not answered by then is closed.
    std::chrono::milliseconds request_timeout{30000};
    // A service that does not accept the connect by then is refused.
    std::chrono::milliseconds connect_timeout{3000};
    // Data from services is read only while fewer messages than this (full
    // messages' worth of packet nodes in USB mode) wait in the emulator for
    // the agent, which bounds what is buffered on the way.
    size_t max_pending_to_agent = 16;
    // Shown every message the agent writes, on the emulator's thread; must
    // not block. Empty: nothing is shown.
    std::function<void(const std::vector<uint8_t> &)> observe;
    // Checksums of what crosses each link (LinkRecord's sums); off for
    // benchmarks, where hashing every byte would cost the controller more
    // than the agent's whole work.
    bool sums = true;
};

enum class LinkKind { AgentOpened, ControllerOpened, Forward };
const char *link_kind_name(LinkKind kind);

// What crossed one link; payload bytes only.
struct LinkRecord {
    LinkKind kind = LinkKind::AgentOpened;
    uint16_t port = 0;         // the port asked for: on the controller side, or on the host
    uint16_t socket_port = 0;  // the service port Q, or the listening port X
    uint32_t local_id = 0;     // the agent's id, as stored; 0 until known
    uint32_t peer_id = 0;      // the controller's id, as stored
    uint64_t bytes_from_agent = 0;
    uint64_t bytes_to_agent = 0;
    uint64_t sum_from_agent = CHECKSUM_START;
    uint64_t sum_to_agent = CHECKSUM_START;
    bool open = true;
    std::string end;  // how the link ended; "" while open
};

class Controller {
  public:
    // The device must outlive the controller.
    Controller(emu::Device *device, Options options);
    ~Controller();  // stop()
    Controller(const Controller &) = delete;
    Controller &operator=(const Controller &) = delete;

    // Opens the listening ports, installs the message hook and starts the
    // I/O thread. False (with a reason in *error) when a port cannot be bound.
    bool start(std::string *error);
    // Removes the hook, closes every socket and joins. Idempotent.
    void stop();

    // Ports actually listened on, in the order of Options::listens.
    std::vector<uint16_t> listen_ports() const { return listen_ports_; }
    // Sends one datagram for 127.0.0.1:host_port on the host; false when the
    // payload does not fit into one message.
    bool send_udp(uint16_t host_port, const std::vector<uint8_t> &payload);

    uint64_t init_count() const;
    uint64_t heartbeat_count() const;
    uint64_t ignored_messages() const;      // messages from the agent that fit no link
    std::vector<LinkRecord> links() const;  // every link so far, in creation order
    size_t open_links() const;

  private:
    struct Link;
    struct Inbox;

    size_t max_payload() const;
    void loop();
    void process(const std::vector<uint8_t> &msg);
    void open_agent_link(const uint8_t *request);
    void start_forward(const std::vector<uint8_t> &msg);
    void agent_data(Link *link, const uint8_t *payload, size_t n);
    void agent_close(Link *link);
    void agent_answer(const uint8_t *answer);
    void accept_clients(int listen_fd, uint16_t host_port, uint16_t listen_port);
    void connected(Link *link);
    bool flush(Link *link);
    void read_service(Link *link);
    void finish_forward(Link *link);
    void send_header(const uint8_t *header, uint8_t type, uint16_t ret_code = 0);
    void remove(Link *link, const std::string &end);
    void expire();
    Link *new_link(LinkKind kind, int fd, uint16_t port, uint16_t socket_port);
    Link *find_by_local(uint32_t local_id);
    Link *find_by_peer(uint32_t peer_id);
    void update_record(const Link &link, bool to_agent, const uint8_t *data, size_t n);
    void note_local_id(const Link &link);

    emu::Device *const device_;
    const Options options_;
    std::shared_ptr<Inbox> inbox_;
    std::vector<int> listen_fds_;
    std::vector<uint16_t> listen_ports_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    bool started_ = false;

    // Owned by the I/O thread.
    std::unordered_map<uint32_t, std::unique_ptr<Link>> links_;  // by peer id
    std::unordered_map<uint32_t, uint32_t> peer_by_local_;
    uint32_t next_peer_id_ = 1;
    std::vector<uint8_t> read_buf_;  // header and payload of the next message to the agent
    size_t round_ = 0;

    mutable std::mutex records_mu_;
    std::vector<LinkRecord> records_;
    size_t open_links_ = 0;
};

}  // namespace ctl

#endif
