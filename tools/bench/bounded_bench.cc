// Cost of the bounded routines next to the plain platform calls they wrap.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "bounded/securec.h"

namespace {

constexpr size_t MAX_SIZE = 131072;

void sizes(benchmark::internal::Benchmark *b) {
    for (int n : {8, 32, 64, 450, 1024, 131072}) b->Arg(n);
}

struct Buffers {
    std::vector<char> src = std::vector<char>(MAX_SIZE, 'x');
    std::vector<char> dst = std::vector<char>(MAX_SIZE);
};

void BM_memcpy(benchmark::State &state) {
    Buffers b;
    const size_t n = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(memcpy(b.dst.data(), b.src.data(), n));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(n));
}

void BM_memcpy_s(benchmark::State &state) {
    Buffers b;
    const size_t n = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(memcpy_s(b.dst.data(), MAX_SIZE, b.src.data(), n));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(n));
}

void BM_memset(benchmark::State &state) {
    Buffers b;
    const size_t n = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(memset(b.dst.data(), 0x5a, n));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(n));
}

void BM_memset_s(benchmark::State &state) {
    Buffers b;
    const size_t n = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(memset_s(b.dst.data(), MAX_SIZE, 0x5a, n));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(n));
}

BENCHMARK(BM_memcpy)->Apply(sizes);
BENCHMARK(BM_memcpy_s)->Apply(sizes);
BENCHMARK(BM_memset)->Apply(sizes);
BENCHMARK(BM_memset_s)->Apply(sizes);

constexpr const char *NAME_FORMAT = "%s.%d";
constexpr const char *LOG_PREFIX_FORMAT = "[%lu.%lu][%lu,%lu] %s,%d -> ";

void BM_snprintf_name(benchmark::State &state) {
    char buf[64];
    int port = 20000;
    for (auto _ : state) {
        benchmark::DoNotOptimize(snprintf(buf, sizeof(buf), NAME_FORMAT, "cdev", port++));
        benchmark::ClobberMemory();
    }
}

void BM_sprintf_s_name(benchmark::State &state) {
    char buf[64];
    int port = 20000;
    for (auto _ : state) {
        benchmark::DoNotOptimize(sprintf_s(buf, sizeof(buf), NAME_FORMAT, "cdev", port++));
        benchmark::ClobberMemory();
    }
}

void BM_snprintf_log_prefix(benchmark::State &state) {
    char buf[256];
    unsigned long ns = 123456789;
    for (auto _ : state) {
        benchmark::DoNotOptimize(snprintf(buf, sizeof(buf), LOG_PREFIX_FORMAT, 1765000000ul, ns++,
                                          41234ul, 140234567890ul, "heartbeat_thread", 211));
        benchmark::ClobberMemory();
    }
}

void BM_sprintf_s_log_prefix(benchmark::State &state) {
    char buf[256];
    unsigned long ns = 123456789;
    for (auto _ : state) {
        benchmark::DoNotOptimize(sprintf_s(buf, sizeof(buf), LOG_PREFIX_FORMAT, 1765000000ul, ns++,
                                           41234ul, 140234567890ul, "heartbeat_thread", 211));
        benchmark::ClobberMemory();
    }
}

BENCHMARK(BM_snprintf_name);
BENCHMARK(BM_sprintf_s_name);
BENCHMARK(BM_snprintf_log_prefix);
BENCHMARK(BM_sprintf_s_log_prefix);

}  // namespace

BENCHMARK_MAIN();
