// Reading a fuzzer's input as a stream of small decisions and byte runs, and
// stopping on a broken invariant.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace fuzz {

class Input {
  public:
    Input(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}
    bool empty() const { return p_ == end_; }
    uint8_t byte() { return empty() ? 0 : *p_++; }
    uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
    uint32_t u32() { return u16() | static_cast<uint32_t>(u16()) << 16; }
    // Up to `max` bytes, as many as the next length field says.
    std::vector<uint8_t> run(size_t max) {
        size_t n = std::min<size_t>({u16() % (max + 1), static_cast<size_t>(end_ - p_)});
        std::vector<uint8_t> out(p_, p_ + n);
        p_ += n;
        return out;
    }

  private:
    const uint8_t *p_;
    const uint8_t *end_;
};

// Aborts, so that the fuzzer keeps the input, unless the invariant holds.
inline void check(bool holds) {
    if (!holds) abort();
}

}  // namespace fuzz
