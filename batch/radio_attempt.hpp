// One try at one radio in a batch run, as the passes count it, whether they
// take one radio at a time or several.
#pragma once

#include <string>

#include "batch/batch_report.hpp"

namespace orvex {

struct Connection;

// One try at one radio: done when it counts as updated / every command was
// delivered; otherwise what failed. An exit line ends the whole run after it.
struct RadioAttempt {
  bool done = false;
  std::string error;
  bool exit_line = false;  // the command file's .exit ended the run here
  bool not_tried = false;  // the operator's stop came before the radio was asked to connect
};
using OneRadio = RadioAttempt (*)(Connection& conn, int slot, const void* context);

// Counts a try that was made (not a stop before it) in the radio's result and
// the run's (an exit line ends the run).
void record_attempt(BatchRadioResult& radio, RadioAttempt attempt, BatchResult& result);

}  // namespace orvex
