// A running hash of a byte stream that the benchmark's minimal radio keeps
// instead of storing what it receives, so the benchmark can still compare the
// file: cheap (eight bytes a step), and the same whatever the block borders.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvex::bench {

class ContentHash {
 public:
  void add(const uint8_t* bytes, size_t n) {
    size_t i = 0;
    for (; filled_ == 0 && i + 8 <= n; i += 8) {  // whole words while aligned to the stream
      for (unsigned b = 0; b < 8; ++b) word_ |= uint64_t{bytes[i + b]} << (8 * b);
      filled_ = 8;
      mix();
    }
    for (; i < n; ++i) {
      word_ |= uint64_t{bytes[i]} << (8 * filled_);
      if (++filled_ == 8) mix();
    }
  }
  uint64_t value() const {
    ContentHash copy = *this;
    if (copy.filled_ != 0) copy.mix();
    return (copy.state_ ^ copy.length_) * PRIME;
  }

 private:
  static constexpr uint64_t PRIME = 0x100000001B3ULL;
  void mix() {
    state_ = (state_ ^ word_) * PRIME;
    state_ ^= state_ >> 29;
    length_ += filled_;
    word_ = 0;
    filled_ = 0;
  }
  uint64_t state_ = 0xCBF29CE484222325ULL;
  uint64_t word_ = 0;
  uint64_t length_ = 0;
  unsigned filled_ = 0;
};

}  // namespace orvex::bench
