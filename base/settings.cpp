#include "base/settings.hpp"

namespace orvex {

namespace {
ProgramOptions g_options;
RunState g_run_state;
MacAddress g_local_mac;
}  // namespace

void ProgramOptions::reset() {
  input_source = INPUT_KEYBOARD;
  input_file_name.clear();
  output_file_name.clear();
  chosen_radio_given = false;
  chosen_radio_text.clear();
  adapter_number = -1;
  diagnostic_level = 0;
  confirm_without_prompt = 0;
  local_mac_override = MacAddress{};
  vlan_id = 0;
  list_filter_active = 0;
  radio_list = RadioList{};
  batch_mode = 0;
  update_all_mode = 0;
  command_run_mode = 0;
}

void RunState::reset() {
  chosen_radio = -1;
  rows_during_discovery = 1;
  new_session_requested = 0;
  restore_requested = 0;
  numOfRadiosFound = 0;
  version_text = "Unknown Program";
  program_start_time = 0;
}

bool radio_list_contains(const RadioList& list, const MacAddress& mac) {
  for (const MacAddress& entry : list) {
    // The comparison comes first, so serial number 0 matches the end entry.
    if (entry.bytes[3] == mac.bytes[3] && entry.bytes[4] == mac.bytes[4] && entry.bytes[5] == mac.bytes[5]) {
      return true;
    }
    if (entry.is_zero()) return false;
  }
  return false;
}

ProgramOptions& program_options() { return g_options; }
RunState& run_state() { return g_run_state; }
MacAddress& local_mac_address() { return g_local_mac; }

void reset_settings() {
  g_options.reset();
  g_run_state.reset();
  g_local_mac = MacAddress{};
}

}  // namespace orvex
