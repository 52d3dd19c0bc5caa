// What the operator's keys ask of the engine. app/ reads the keys and turns
// them into commands; ui/ shows what a key shows (help, the diagnostics state).
#pragma once

#include "base/failure.hpp"
#include "engine/engine.hpp"

namespace orvex {

enum class OperatorCommand {
  PROMPT_AGAIN,    // after the help screen: the radio shows its prompt again
  LEAVE,           // the chosen radio is disconnected
  CHOOSE_ANOTHER,  // disconnected, and another radio is to be chosen
  STOP_BATCH,      // a batch run stops between its steps; only disconnects still leave
};

// PROMPT_AGAIN sends one carriage return to a radio connected from the
// keyboard (a radio fed from an input file must not get keys nobody typed);
// UNABLE_TO_SEND when the radio never acknowledges it.
Failure run_operator_command(Engine& e, OperatorCommand command);

}  // namespace orvex
