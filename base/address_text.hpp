// Text forms of a radio's address and serial number.
#pragma once

#include <string>
#include <string_view>

#include "base/mac_address.hpp"

namespace orvex {

// "02:7A:42:00:2C:12".
std::string format_mac_text(const MacAddress& mac);

// Accepts exactly 17 characters of hexadecimal digits and colons with exactly
// twelve digits; the digits, two by two, give the bytes. `out` is written only
// on success.
bool parse_mac_text(std::string_view text, MacAddress& out);

// The serial number as decimal text without leading zeros ("11282").
std::string format_serial_text(const MacAddress& mac);

}  // namespace orvex
