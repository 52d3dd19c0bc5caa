// Process-wide settings from the command line, the station's own address and
// the program driver's run state. Each record has one owner (this module) and a
// reset used by tests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/mac_address.hpp"
#include "base/shared_field.hpp"

namespace orvex {

// Bounds of the option texts; a longer text is refused, never cut.
constexpr size_t MAX_FILE_NAME_LENGTH = 259;    // -i, -o
constexpr size_t MAX_SHORT_TEXT_LENGTH = 127;   // radio list file name, -u and -x texts
constexpr size_t MAX_MAC_OPTION_LENGTH = 67;    // -m
constexpr size_t MAX_VLAN_OPTION_LENGTH = 63;   // -v
constexpr size_t MAX_LINES_OPTION_LENGTH = 40;  // -l

constexpr int INPUT_KEYBOARD = 1;
constexpr int INPUT_FILE = 2;

constexpr int RADIO_LIST_ENTRIES = 10;
// The radio list (-n): each entry is shaped like an address, FF FF FF and then
// the 24-bit serial number. An all-zero entry ends the list when fewer than
// RADIO_LIST_ENTRIES are filled.
using RadioList = std::array<MacAddress, RADIO_LIST_ENTRIES>;

// Whether the radio's serial number (last three address bytes) is listed.
bool radio_list_contains(const RadioList& list, const MacAddress& mac);

struct ProgramOptions {
  int input_source = INPUT_KEYBOARD;
  std::string input_file_name;
  std::string output_file_name;
  bool chosen_radio_given = false;
  std::string chosen_radio_text;  // -r / -R, own copy of any length
  int adapter_number = -1;        // -c; -1 asks the operator
  SharedField<int> diagnostic_level{0};  // each -d adds 1; F2 changes it while workers run
  int confirm_without_prompt = 0;        // -f
  MacAddress local_mac_override{};       // -m; all zero means none
  int vlan_id = 0;                       // -v; 0 means untagged
  SharedField<int> list_filter_active{0};
  RadioList radio_list{};                // read from the -n file before any thread runs
  int batch_mode = 0;
  int update_all_mode = 0;
  int command_run_mode = 0;

  void reset();
};

struct RunState {
  SharedField<int> chosen_radio{-1};  // Session index of the interactive radio, -1 for none
  int rows_during_discovery = 1;
  SharedField<int> new_session_requested{0};
  SharedField<int> restore_requested{0};
  int numOfRadiosFound = 0;  // NOLINT(readability-identifier-naming)
  std::string version_text = "Unknown Program";  // 16 characters at most
  int64_t program_start_time = 0;                // wall clock, whole seconds

  void reset();
};

ProgramOptions& program_options();
RunState& run_state();

// The station's own address: the source of every frame and the destination that
// received frames must carry. Written at start-up, read by every thread.
MacAddress& local_mac_address();

// Back to the state at program start (tests).
void reset_settings();

}  // namespace orvex
