// The session's input as the -i option chose it: the keyboard, or the input
// file. The choice is looked at anew for each session.
#pragma once

#include "app/file_input.hpp"
#include "app/keyboard_input.hpp"

namespace orvex {

class OperatorInput : public SessionInput {
 public:
  explicit OperatorInput(Engine& engine) : e_(engine), keys_(engine), file_(engine) {}
  void begin() override { chosen().begin(); }
  InputRead read(uint8_t* buffer) override { return chosen().read(buffer); }
  void end() override { chosen().end(); }
  void wake() override { chosen().wake(); }

 private:
  SessionInput& chosen() { return e_.config.input_source == INPUT_KEYBOARD ? keys_ : static_cast<SessionInput&>(file_); }

  Engine& e_;
  KeyboardInput keys_;
  FileInput file_;
};

}  // namespace orvex
