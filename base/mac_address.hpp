// A station's six-byte Ethernet address.
#pragma once

#include <array>
#include <cstdint>

namespace orvex {

struct MacAddress {
  std::array<uint8_t, 6> bytes{};

  bool operator==(const MacAddress&) const = default;
  bool is_zero() const {
    for (uint8_t b : bytes) {
      if (b != 0) return false;
    }
    return true;
  }
  bool is_broadcast() const {
    for (uint8_t b : bytes) {
      if (b != 0xFF) return false;
    }
    return true;
  }
  static MacAddress broadcast() { return MacAddress{{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}; }
  static MacAddress from(const uint8_t* p) {
    MacAddress m;
    for (int i = 0; i < 6; ++i) m.bytes[i] = p[i];
    return m;
  }
};

// A radio's serial number: the 24-bit number in the last three address bytes.
inline uint32_t serial_number(const MacAddress& mac) {
  return (uint32_t{mac.bytes[3]} << 16) | (uint32_t{mac.bytes[4]} << 8) | uint32_t{mac.bytes[5]};
}

}  // namespace orvex
