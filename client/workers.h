// The threads of a listener's links, one per client or datagram: started on
// demand, joined once finished, all joined when the listener stops.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <thread>

class Workers {
  public:
    Workers() = default;
    ~Workers() { join_all(); }
    Workers(const Workers &) = delete;
    Workers &operator=(const Workers &) = delete;

    // False when no thread could be started; body did not run then.
    bool start(std::function<void()> body);
    void reap();                                     // joins the finished ones
    size_t size() const { return workers_.size(); }  // running, or finished and not reaped
    void join_all();

  private:
    struct Worker {
        std::thread thread;
        std::atomic<bool> done{false};  // thread liveness cannot be probed reliably
    };
    std::list<std::unique_ptr<Worker>> workers_;
};
