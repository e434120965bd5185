// Moving a byte stream from one loopback TCP connection to another: the
// agent's path (tcp_data_recv into 128 slices, then one scatter/gather send)
// against a plain read/write loop through one buffer.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <thread>
#include <vector>

#include "common/iov.h"
#include "common/msg_header.h"
#include "socket/stream_io.h"

namespace {

constexpr int SLICE = 1024;
constexpr size_t BURST = IOV_ARRAY_SIZE * SLICE - MSG_HEADER_SIZE;
constexpr int SOCKET_BUFFER = 4 << 20;

// A connected loopback TCP pair: `in` is the writing end, `out` the reading end.
struct tcp_pair {
    int in = -1;
    int out = -1;
};

tcp_pair connect_pair() {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    bind(listener, reinterpret_cast<sockaddr *>(&addr), len);
    listen(listener, 1);
    getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
    tcp_pair p;
    p.in = socket(AF_INET, SOCK_STREAM, 0);
    int big = SOCKET_BUFFER;
    setsockopt(p.in, SOL_SOCKET, SO_SNDBUF, &big, sizeof(big));
    connect(p.in, reinterpret_cast<sockaddr *>(&addr), len);
    p.out = accept(listener, nullptr, nullptr);
    setsockopt(p.out, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    close(listener);
    return p;
}

// A source connection kept full by a writer thread and a destination
// connection emptied by a reader thread; the benchmark moves data between.
struct relay {
    // As in the agent, a write to a closed connection is an error, not a signal.
    bool ignore_sigpipe = signal(SIGPIPE, SIG_IGN) != SIG_ERR;
    tcp_pair src = connect_pair();
    tcp_pair dst = connect_pair();
    std::thread feeder{[fd = src.in] {
        std::vector<char> data(BURST, 'x');
        while (send(fd, data.data(), data.size(), 0) > 0) {
        }
    }};
    std::thread drain{[fd = dst.out] {
        std::vector<char> sink(1 << 20);
        while (recv(fd, sink.data(), sink.size(), 0) > 0) {
        }
    }};
    ~relay() {
        // Shutting down every end wakes a thread blocked on a full or empty queue.
        for (int fd : {src.in, src.out, dst.in, dst.out}) {
            shutdown(fd, SHUT_RDWR);
        }
        feeder.join();
        drain.join();
        for (int fd : {src.in, src.out, dst.in, dst.out}) {
            close(fd);
        }
    }
};

void BM_AgentPath(benchmark::State &state) {
    BUFSIZE = SLICE;
    relay r;
    common_io_buf *v = alloc_common_io_buf(1);
    int64_t moved = 0;
    for (auto _ : state) {
        poll_one_fd(r.src.out, -1);
        int64_t n = tcp_data_recv(r.src.out, v);
        if (n <= 0) {
            state.SkipWithError("read failed");
            break;
        }
        iov_reserve_buf(v, MSG_HEADER_SIZE);
        int64_t sent = forward_message_fast(r.dst.in, v->iov, v->iov_cnt);
        iov_restore_buf(v, MSG_HEADER_SIZE);
        if (sent != n) {
            state.SkipWithError("short send");
            break;
        }
        moved += n;
    }
    state.SetBytesProcessed(moved);
    release_common_io_buf(v);
}

void BM_PlainReadWrite(benchmark::State &state) {
    relay r;
    std::vector<char> buf(BURST);
    int64_t moved = 0;
    for (auto _ : state) {
        ssize_t n = read(r.src.out, buf.data(), buf.size());
        if (n <= 0 || write(r.dst.in, buf.data(), static_cast<size_t>(n)) != n) {
            state.SkipWithError("read or write failed");
            break;
        }
        moved += n;
    }
    state.SetBytesProcessed(moved);
}

BENCHMARK(BM_AgentPath)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_PlainReadWrite)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
