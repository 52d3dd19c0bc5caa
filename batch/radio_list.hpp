// The radio list file (-n): the serial numbers of the radios that discovery
// admits into the session table.
#pragma once

#include <array>

#include "base/config.hpp"

namespace orvex {

// A serial number's text is held in a buffer of this size; a longer one is refused.
constexpr int MAX_SERIAL_TEXT_LENGTH = 16;

// Reads the list and turns the list filter on. Returns 1 when the file was read
// to its end; ends the program when it cannot be opened or read.
int load_radio_list(Config& config, const char* file_name);

}  // namespace orvex
