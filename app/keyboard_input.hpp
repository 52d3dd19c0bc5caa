// The keyboard as the session's input: keys for the radio, with F1..F6 and
// Esc acted on or turned into the operator's commands for the engine.
#pragma once

#include <cstdint>

#include "app/termination.hpp"
#include "base/config.hpp"
#include "base/shared_field.hpp"
#include "console/keys.hpp"
#include "engine/session_input.hpp"

namespace orvex {

class KeyboardInput : public SessionInput {
 public:
  // `restore_requested`: the radio asked for a restore, and the next key only
  // ends the input. A batch run the operator stops is told to `termination`,
  // for the exit status.
  KeyboardInput(Config& config, const SharedField<int>& restore_requested, Termination& termination)
      : config_(config), restore_requested_(restore_requested), termination_(termination) {}
  // Raw mode for the session, until end().
  void begin() override;
  // One key for the radio (BYTES, 1); OVER when keyboard input for this
  // session is over (a pending restore, the end of the input or the session's
  // stop); UNREADABLE on a read error. F1 shows the help and asks the radio's
  // prompt again; F3 leaves, F4 chooses another radio, Esc leaves; F2, F5, F6
  // and other function keys are acted on here and reading goes on. In a batch
  // run F3 and Ctrl+C stop the run, and Esc is passed over.
  InputRead read(uint8_t* buffer) override;
  void end() override;
  void wake() override;

 private:
  Config& config_;
  const SharedField<int>& restore_requested_;
  Termination& termination_;
  KeyDecoder decoder_;  // the escape sequences read so far
};

}  // namespace orvex
