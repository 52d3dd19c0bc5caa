// The program's configuration: made at start-up from the options and what the
// start-up finds (the adapter's address, the host's name), and changed later
// only by the function keys (diagnostic level, colours).
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

// -u: load a file into every radio found.
struct UpdateAllRequest {
  std::string source;
  std::string destination;
  int action = 0;  // 1 stay connected, 2 also set default program, 3 disconnect
  int extra_passes = 0;
  uint32_t interval_ms = 0;
};

// -x: run a command file on every radio found.
struct CommandRunRequest {
  std::string command_file;
  int extra_passes = 0;
  int interval_ms = 0;
};

// What the program does with the radios it finds: a session with one chosen
// radio, or a batch run over all of them.
enum class RunMode { INTERACTIVE, UPDATE_ALL, COMMAND_RUN };

// What standard output is: looked at once at start-up (console_of_process in
// console/console.hpp), the same for the whole run.
struct ConsoleKind {
  bool terminal = false;  // a terminal: cursor, colour and title sequences take effect
  bool utf8 = false;      // its locale is UTF-8: code page 437 bytes are shown as their characters
};

struct Config {
  // From the command line.
  int input_source = INPUT_KEYBOARD;
  std::string input_file_name;
  std::string output_file_name;
  bool chosen_radio_given = false;
  std::string chosen_radio_text;  // -r / -R, own copy of any length
  int adapter_number = -1;        // -c with a number; -1 asks the operator
  std::string adapter_name;       // -c with an interface name
  SharedField<int> diagnostic_level{0};  // each -d adds 1; F2 changes it while workers run
  int confirm_without_prompt = 0;        // -f
  MacAddress local_mac_override{};       // -m; all zero means none
  int vlan_id = 0;                       // -v; 0 means untagged
  int list_filter_active = 0;            // -n
  RadioList radio_list{};
  RunMode run_mode = RunMode::INTERACTIVE;  // -u, -x
  bool batch_run() const { return run_mode != RunMode::INTERACTIVE; }
  bool dry_run = false;  // --dry-run: -u or -x lists the radios it would reach, connects to none
  int parallel = 1;      // --parallel / -P: how many radios a -u or -x run works on at once
  UpdateAllRequest update;
  CommandRunRequest command_run;
  std::string report_file;  // --report: the run report also as JSON lines here
  int report_pipe = -1;     // that file when it is a pipe: opened once at start, kept for every report

  // Found at start-up.
  MacAddress local_mac{};               // the source of every frame sent
  std::string local_host_name;          // carried by connect requests and identify responses
  std::string version_text = "Unknown Program";  // 16 characters at most
  int64_t program_start_time = 0;       // wall clock, whole seconds
  ConsoleKind console;                  // standard output

  // Changed by the function keys.
  SharedField<int> colour_toggle{1};
  SharedField<uint8_t> attribute{0};
};

}  // namespace orvex
