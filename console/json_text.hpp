// JSON text for the outputs scripts read (the scan's lines, the run report):
// any 8-bit text gives a valid JSON string.
#pragma once

#include <string>
#include <string_view>

namespace orvex {

// `text` (code page 437, as radios and files give it) as a quoted JSON string
// in UTF-8: quotes, backslashes and control bytes (below 0x20, and 0x7F) escaped.
std::string json_string(std::string_view text);

// `text` (code page 437) in UTF-8, nothing escaped.
std::string utf8_from_cp437(std::string_view text);

}  // namespace orvex
