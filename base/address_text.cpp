#include "base/address_text.hpp"

#include <cstdio>

namespace orvex {

std::string format_mac_text(const MacAddress& mac) {
  char out[18];
  std::snprintf(out, sizeof out, "%02X:%02X:%02X:%02X:%02X:%02X", mac.bytes[0], mac.bytes[1], mac.bytes[2],
                mac.bytes[3], mac.bytes[4], mac.bytes[5]);
  return out;
}

namespace {
int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

bool parse_mac_text(std::string_view text, MacAddress& out) {
  if (text.size() != 17) return false;
  int digits[12];
  int count = 0;
  for (char c : text) {
    if (c == ':') continue;
    const int v = hex_value(c);
    if (v < 0 || count == 12) return false;
    digits[count++] = v;
  }
  if (count != 12) return false;
  for (int i = 0; i < 6; ++i) {
    out.bytes[i] = static_cast<uint8_t>((digits[2 * i] << 4) | digits[2 * i + 1]);
  }
  return true;
}

std::string format_serial_text(const MacAddress& mac) {
  return std::to_string(serial_number(mac));
}

}  // namespace orvex
