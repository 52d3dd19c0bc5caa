// The radio list file (-n): the serial numbers of the radios that discovery
// admits into the session table.
#pragma once

#include <array>

#include "cmdline/mac_address.hpp"

namespace orvex {

constexpr int RADIO_LIST_ENTRIES = 10;
// A serial number's text is held in a buffer of this size; a longer one is refused.
constexpr int MAX_SERIAL_TEXT_LENGTH = 16;

// Each entry is shaped like an address: FF FF FF, then the 24-bit serial number.
// An all-zero entry ends the list when fewer than RADIO_LIST_ENTRIES are filled.
using RadioList = std::array<MacAddress, RADIO_LIST_ENTRIES>;

// Reads the list and turns the list filter on. Returns 1 when the file was read
// to its end; ends the program when it cannot be opened or read.
int load_radio_list(const char* file_name);

// Whether the radio's serial number (last three address bytes) is listed.
bool radio_list_contains(const MacAddress& mac);

const RadioList& radio_list();

// Back to the empty list (tests).
void reset_radio_list();

}  // namespace orvex
