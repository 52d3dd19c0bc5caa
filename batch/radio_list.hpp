// The radio list file (-n): the serial numbers of the radios that discovery
// admits into the session table.
#pragma once

#include <array>

#include "base/config.hpp"
#include "base/failure.hpp"
#include "base/view.hpp"

namespace orvex {

// A serial number's text is held in a buffer of this size; a longer one is refused.
constexpr int MAX_SERIAL_TEXT_LENGTH = 16;

// Reads the list and turns the list filter on, warning through `view` of the
// lines it skips. FILE_NOT_READ when the file cannot be opened or read, or is
// too long to be a radio list.
Failure load_radio_list(Config& config, View& view, const char* file_name);

}  // namespace orvex
