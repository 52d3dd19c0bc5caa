#include "console/json_text.hpp"

#include <cstdio>

#include "console/cp437.hpp"

namespace orvex {

std::string utf8_from_cp437(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  char bytes[4];
  for (const char c : text) out.append(bytes, cp437_to_utf8(static_cast<uint8_t>(c), bytes));
  return out;
}

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (const char c : utf8_from_cp437(text)) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7F) {  // DEL too: no control byte reaches a terminal
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

}  // namespace orvex
