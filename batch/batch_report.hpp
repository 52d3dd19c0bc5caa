// The texts of the two batch runs: the message before a further pass and the
// closing report, as pure functions over what the run recorded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/config.hpp"
#include "base/mac_address.hpp"
#include "engine/session_table.hpp"

namespace orvex {


enum class BatchKind { UPDATE_ALL, COMMAND_RUN };

// Per-slot outcome of a batch run.
constexpr uint8_t OUTCOME_FAILED = 0;
constexpr uint8_t OUTCOME_DONE = 1;
constexpr uint8_t OUTCOME_NOT_TRIED = 2;  // the run ended before its turn

struct BatchRadioResult {
  std::string name;         // the radio's name as shown
  std::string serial_text;  // format_serial_text of its address
  uint8_t outcome = OUTCOME_NOT_TRIED;
  int slot = 0;
  MacAddress mac{};
  int tries = 0;
  int errors = 0;          // its failed tries
  std::string last_error;  // of its last try, when that one failed
};

struct BatchResult {
  int taken_part = 0;
  int failed = 0;
  int tries = 1;
  int64_t interval_ms = 0;
  std::vector<BatchRadioResult> radios;  // the radios that took part, in table order
  bool exit_line = false;                // the command file's .exit ended the run
};

// "%d radios  not updated after %d pass\n" (or the command-run form) and the
// waiting line.
std::string format_pass_message(BatchKind kind, int failed, int pass, int64_t interval_ms);

// The closing report; the radios' names shown as `console` shows 8-bit text.
std::string format_batch_report(BatchKind kind, const BatchResult& result, const ConsoleKind& console);

// The radios that take part in a run (every entry that is not empty), in table
// order, none tried yet.
std::vector<BatchRadioResult> radios_taking_part(const SessionTable& sessions);

// The report as JSON lines: one line per radio (serial, name, MAC address,
// result, tries, failed tries, last error) and a last line with the totals. `complete` is
// false while the run goes on or when it ended early.
std::string format_report_lines(BatchKind kind, const BatchResult& result, bool complete);

}  // namespace orvex
