// The controller's link table: links by the controller's id and by the
// agent's, and the records of what crossed each, which other threads read.
#include "tools/controller/controller_internal.h"

namespace ctl {

const char *link_kind_name(LinkKind kind) {
    switch (kind) {
        case LinkKind::AgentOpened:
            return "agent-opened";
        case LinkKind::ControllerOpened:
            return "controller-opened";
        case LinkKind::Forward:
            return "forward";
    }
    return "?";
}

std::vector<LinkRecord> Controller::links() const {
    std::lock_guard lock(records_mu_);
    return records_;
}

size_t Controller::open_links() const {
    std::lock_guard lock(records_mu_);
    return open_links_;
}

Controller::Link *Controller::new_link(LinkKind kind, int fd, uint16_t port, uint16_t socket_port) {
    auto link = std::make_unique<Link>();
    link->kind = kind;
    link->fd = fd;
    link->peer_id = next_peer_id_++;
    if (next_peer_id_ == 0) {
        next_peer_id_ = 1;
    }
    LinkRecord record;
    record.kind = kind;
    record.port = port;
    record.socket_port = socket_port;
    record.peer_id = link->peer_id;
    {
        std::lock_guard lock(records_mu_);
        link->record = records_.size();
        records_.push_back(record);
        ++open_links_;
    }
    Link *raw = link.get();
    links_[raw->peer_id] = std::move(link);
    return raw;
}

Controller::Link *Controller::find_by_local(uint32_t local_id) {
    auto it = peer_by_local_.find(local_id);
    return it == peer_by_local_.end() ? nullptr : find_by_peer(it->second);
}

Controller::Link *Controller::find_by_peer(uint32_t peer_id) {
    auto it = links_.find(peer_id);
    return it == links_.end() ? nullptr : it->second.get();
}

void Controller::update_record(const Link &link, bool to_agent, const uint8_t *data, size_t n) {
    std::lock_guard lock(records_mu_);
    LinkRecord &r = records_[link.record];
    r.local_id = link.local_id;
    if (to_agent) {
        r.bytes_to_agent += n;
        r.sum_to_agent = options_.sums ? checksum_update(r.sum_to_agent, data, n) : 0;
    } else {
        r.bytes_from_agent += n;
        r.sum_from_agent = options_.sums ? checksum_update(r.sum_from_agent, data, n) : 0;
    }
}

void Controller::note_local_id(const Link &link) {
    std::lock_guard lock(records_mu_);
    records_[link.record].local_id = link.local_id;
}

void Controller::remove(Link *link, const std::string &end) {
    close_socket(link->fd);
    auto local = peer_by_local_.find(link->local_id);
    if (local != peer_by_local_.end() && local->second == link->peer_id) {
        peer_by_local_.erase(local);
    }
    {
        std::lock_guard lock(records_mu_);
        LinkRecord &r = records_[link->record];
        r.local_id = link->local_id;
        r.open = false;
        r.end = end;
        --open_links_;
    }
    links_.erase(link->peer_id);
}

}  // namespace ctl
