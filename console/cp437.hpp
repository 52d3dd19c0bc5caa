// Text with code page 437 box-drawing bytes: written raw, or as UTF-8 when the
// terminal's locale asks for UTF-8, so boxes look right either way.
#pragma once

#include <string>
#include <string_view>

namespace orvex {

// Whether LC_ALL / LC_CTYPE / LANG (the first one set) names UTF-8. Decided once.
bool console_wants_utf8();
// Tests choose, or make the next call look at the environment again.
void set_console_wants_utf8(bool utf8);
void forget_console_encoding();

// The UTF-8 form of CP437 text (bytes below 0x80 unchanged).
std::string cp437_to_utf8(std::string_view text);

// Writes CP437 text to standard output in the console's encoding.
void print_cp437(std::string_view text);

}  // namespace orvex
