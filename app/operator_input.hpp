// The session's input as the -i option chose it: the keyboard, or the input
// file. The choice is looked at anew for each session.
#pragma once

#include "app/file_input.hpp"
#include "app/keyboard_input.hpp"

namespace orvex {

class OperatorInput : public SessionInput {
 public:
  OperatorInput(Connection& conn, Termination& termination)
      : config_(conn.link.config), keys_(conn.link.config, conn.restore_requested, termination), file_(conn) {}
  void begin() override { chosen().begin(); }
  InputRead read(uint8_t* buffer) override { return chosen().read(buffer); }
  void end() override { chosen().end(); }
  void wake() override { chosen().wake(); }

 private:
  SessionInput& chosen() { return config_.input_source == INPUT_KEYBOARD ? keys_ : static_cast<SessionInput&>(file_); }

  const Config& config_;
  KeyboardInput keys_;
  FileInput file_;
};

}  // namespace orvex
