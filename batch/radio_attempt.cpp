#include "batch/radio_attempt.hpp"

#include <utility>

namespace orvex {

void record_attempt(BatchRadioResult& radio, RadioAttempt attempt, BatchResult& result) {
  ++radio.tries;
  radio.outcome = attempt.done ? OUTCOME_DONE : OUTCOME_FAILED;
  // An error a later try overcame is no longer the radio's state: counted only.
  if (attempt.done) {
    radio.last_error.clear();
  } else {
    ++radio.errors;
    radio.last_error = std::move(attempt.error);
  }
  result.exit_line = result.exit_line || attempt.exit_line;
}

}  // namespace orvex
