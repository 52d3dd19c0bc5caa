// Decimal numbers in option texts, read the lenient way: leading white space
// and a sign allowed, reading stops at the first non-digit, no digits read as 0.
#pragma once

#include <cstdint>
#include <string_view>

namespace orvex {

// Never overflows: a value beyond the range of int64_t is held at its limit.
int64_t read_decimal(std::string_view text);

// The same, held within the range of int.
int read_decimal_int(std::string_view text);

}  // namespace orvex
