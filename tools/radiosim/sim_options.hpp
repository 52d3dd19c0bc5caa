// The simulator's command line: the interface, where downloads go, the log, and
// the radios with their faults.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/mac_address.hpp"

namespace orvex::sim {

// Misbehaviour asked for on the command line; all off by default.
struct RadioFaults {
  bool silent = false;                 // answers nothing at all
  uint32_t drop_every = 0;             // every N-th frame addressed to the radio is lost
  bool no_empty_ack = false;           // the empty last file block is not acknowledged
  uint32_t refuse_connects = 0;        // the first N connection set-ups (cids) get no answer
  uint32_t refuse_downloads = 0;       // the first N downloads are refused with an error PDU
  uint32_t fail_stores = 0;            // the first N downloads fail at their last block with an error PDU
  uint32_t fail_command = 0;           // the N-th command line is never acknowledged
  uint32_t restore_at = 0;             // the N-th command line is answered with a restore
  uint32_t error_at = 0;               // the N-th command line is answered with an error PDU
  bool escapes = false;                // answers begin with cursor and erase sequences
  bool print_during_transfer = false;  // prints while a file is being received
  uint32_t block_delay_ms = 0;         // each file block is acknowledged this much later
  uint32_t hold_last_ack_ms = 0;       // the last bytes of a file are acknowledged this much later
  // The radio's wire, in percent of the frames (see link_faults.hpp).
  uint32_t loss_in = 0;    // frames to the radio lost, identify requests included
  uint32_t loss_out = 0;   // frames from the radio lost, identify responses included
  uint32_t duplicate = 0;  // frames arriving twice, either way
  uint32_t reorder = 0;    // frames held back behind the next one, either way
};

struct RadioConfig {
  MacAddress mac{};
  std::string name;
  uint8_t level = 2;
  std::string firmware;
  RadioFaults faults;
};

struct SimOptions {
  std::string interface_name;
  std::string store_dir = ".";
  std::string log_file;  // empty: no frame log; "-": standard output
  bool quiet = false;
  uint16_t vlan_id = 0;  // 0: untagged frames
  uint32_t seed = 1;     // of the radios' wires: the same seed, the same faults
  bool burst = false;    // the answers to one frame leave back to back, logged after
  std::vector<RadioConfig> radios;
};

struct ParseResult {
  bool ok = false;
  bool help = false;  // --help was asked for: print usage_text() and exit 0
  bool version = false;  // --version was asked for: print the version line and exit 0
  std::string error;  // when !ok && !help: one line, no trailing newline
  SimOptions options;
};

constexpr size_t MAX_RADIOS = 1000;  // more than the program's table holds (599)
constexpr size_t MAX_RADIO_NAME = 46;
constexpr size_t MAX_FIRMWARE_TEXT = 16;

ParseResult parse_sim_options(int argc, const char* const* argv);

// Parses one --radio value into `radio`, which holds the defaults on entry.
// Returns an error text, empty on success.
std::string parse_radio_items(const std::string& items, RadioConfig& radio);

// The defaults of the index-th radio (from 1): 02:7A:41:00:HH:LL with the index
// in the last two bytes, "Radio-N", level 2, firmware "SIM-1.0".
RadioConfig default_radio(size_t index);

const char* usage_text();

}  // namespace orvex::sim
