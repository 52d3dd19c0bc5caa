// The texts of the two batch runs: the message before a further pass and the
// closing report, as pure functions over what the run recorded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvex {

struct Engine;

enum class BatchKind { UPDATE_ALL, COMMAND_RUN };

// Per-slot outcome of a batch run.
constexpr uint8_t OUTCOME_FAILED = 0;
constexpr uint8_t OUTCOME_DONE = 1;
constexpr uint8_t OUTCOME_EMPTY_SLOT = 255;

struct BatchRadioResult {
  std::string name;         // the radio's name as shown
  std::string serial_text;  // format_serial_text of its address
  uint8_t outcome = OUTCOME_FAILED;
};

struct BatchResult {
  int taken_part = 0;
  int failed = 0;
  int tries = 1;
  int64_t interval_ms = 0;
  std::vector<BatchRadioResult> radios;  // the radios that took part, in table order
};

// "%d radios  not updated after %d pass\n" (or the command-run form) and the
// waiting line.
std::string format_pass_message(BatchKind kind, int failed, int pass, int64_t interval_ms);

std::string format_batch_report(BatchKind kind, const BatchResult& result);

// The radios of a run from its per-slot outcomes (one for each of the
// MAX_USER_SESSIONS slots): name and serial text of every slot that took part.
std::vector<BatchRadioResult> radios_from_outcomes(const Engine& e, const uint8_t* outcomes);

}  // namespace orvex
