// Where the keyboard worker's bytes for the radio come from. app/ gives the
// keyboard or the input file; the engine's runner reads it and acts on what a
// read asks of the engine.
#pragma once

#include <cstdint>

#include "base/failure.hpp"
#include "engine/operator_commands.hpp"

namespace orvex {

// What one read of the session's input gave.
struct InputRead {
  enum Kind {
    BYTES,       // `length` bytes for the radio are in the buffer
    COMMAND,     // `command` for the engine; LEAVE, CHOOSE_ANOTHER and STOP_BATCH end the session
    OVER,        // this session's input is over
    UNREADABLE,  // the input could not be read: the program ends
    FAILED,      // `failure` ends the program (an exit line, a file that cannot be read)
  };
  Kind kind = OVER;
  int length = 0;
  OperatorCommand command = OperatorCommand::PROMPT_AGAIN;
  Failure failure = Failure::NONE;
};

class SessionInput {
 public:
  virtual ~SessionInput() = default;
  // On the main thread, before the session's workers start.
  virtual void begin() = 0;
  // On the keyboard worker: blocks until there is something; `buffer` has
  // room for KEY_RING_SIZE bytes.
  virtual InputRead read(uint8_t* buffer) = 0;
  // On the keyboard worker, on every way out of it.
  virtual void end() = 0;
  // From the stopper, any number of times: a read blocked in wait returns.
  virtual void wake() = 0;
};

}  // namespace orvex
