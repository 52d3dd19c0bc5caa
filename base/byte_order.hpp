// Explicit byte-order access to wire data. Wire bytes are never cast to structs:
// every multi-byte field is read and written through these helpers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace orvex {

inline void put_be16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void put_le16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
inline void put_le32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
inline uint16_t get_be16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint16_t get_le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t get_be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
inline uint32_t get_le32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// A 16- or 32-bit field in the order a session's protocol level asks for.
inline void put_u16(uint8_t* p, uint16_t v, bool big_endian) {
  big_endian ? put_be16(p, v) : put_le16(p, v);
}
inline void put_u32(uint8_t* p, uint32_t v, bool big_endian) {
  big_endian ? put_be32(p, v) : put_le32(p, v);
}

// Bounds-checked reader over received bytes: a read past the end yields
// nothing and marks the reader as failed, so a short frame is never overrun.
class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  bool ok() const { return ok_; }
  size_t remaining() const { return ok_ ? bytes_.size() - pos_ : 0; }
  size_t position() const { return pos_; }

  uint8_t u8() {
    const uint8_t* p = take(1);
    return p ? p[0] : 0;
  }
  uint16_t be16() {
    const uint8_t* p = take(2);
    return p ? get_be16(p) : 0;
  }
  uint32_t be32() {
    const uint8_t* p = take(4);
    return p ? get_be32(p) : 0;
  }
  uint16_t le16() {
    const uint8_t* p = take(2);
    return p ? get_le16(p) : 0;
  }
  uint32_t le32() {
    const uint8_t* p = take(4);
    return p ? get_le32(p) : 0;
  }
  std::span<const uint8_t> bytes(size_t n) {
    const uint8_t* p = take(n);
    return p ? std::span<const uint8_t>(p, n) : std::span<const uint8_t>();
  }
  void skip(size_t n) { take(n); }

 private:
  const uint8_t* take(size_t n) {
    if (!ok_ || bytes_.size() - pos_ < n) {
      ok_ = false;
      return nullptr;
    }
    const uint8_t* p = bytes_.data() + pos_;
    pos_ += n;
    return p;
  }

  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
  bool ok_ = true;
};

}  // namespace orvex
