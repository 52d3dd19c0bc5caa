// The table of radios found, and the operator's choice of one.
#pragma once

#include <cstdio>

#include "base/config.hpp"
#include "base/failure.hpp"

namespace orvex {

struct Session;
struct SessionTable;

// The top border and the title row.
void print_device_table_header(const ConsoleKind& console);
// The row of one entry: node, name, MAC address, serial number, firmware.
void print_device_row(const ConsoleKind& console, const Session& s, int index);
// The header and the row of every entry that holds a radio.
void print_device_table(const ConsoleKind& console, const SessionTable& table);

// The entry of the chosen radio (1..radios_found): the only radio found,
// the -r preselection, or the operator's answer to the prompt, read from
// `input`. An answer that names no radio is Failure::INVALID_CHOICE.
struct DeviceChoice {
  int index = 0;
  Failure failure = Failure::NONE;
};
DeviceChoice choose_device(const SessionTable& table, int radios_found, const Config& options,
                           std::FILE* input = stdin);

}  // namespace orvex
