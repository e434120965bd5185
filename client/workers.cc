// Starting and reaping link threads.
#include "client/workers.h"

#include <system_error>

bool Workers::start(std::function<void()> body) {
    auto worker = std::make_unique<Worker>();
    Worker *w = worker.get();
    try {
        w->thread = std::thread([w, body = std::move(body)] {
            body();
            w->done = true;
        });
    } catch (const std::system_error &) {
        return false;
    }
    workers_.push_back(std::move(worker));
    return true;
}

void Workers::reap() {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if ((*it)->done) {
            (*it)->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

void Workers::join_all() {
    for (auto &w : workers_) {
        w->thread.join();
    }
    workers_.clear();
}
