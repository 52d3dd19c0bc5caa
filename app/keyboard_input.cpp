#include "app/keyboard_input.hpp"

#include "app/termination.hpp"
#include "console/console.hpp"
#include "console/keys.hpp"
#include "os/terminal.hpp"
#include "ui/help.hpp"

namespace orvex {

namespace {

// Ctrl+C: in a batch run, the same stop as F3.
constexpr int CTRL_C = 0x03;

InputRead command(OperatorCommand c) { return {.kind = InputRead::COMMAND, .command = c}; }

}  // namespace

void KeyboardInput::begin() {
  clear_terminal_wake();
  enter_raw_mode();
}

void KeyboardInput::end() { leave_raw_mode(); }

void KeyboardInput::wake() { wake_terminal_reader(); }

InputRead KeyboardInput::read(uint8_t* buffer) {
  for (;;) {
    const int key = read_key(decoder_);
    if (key == KEY_INPUT_END) return {.kind = InputRead::OVER};
    if (key == KEY_READ_ERROR) return {.kind = InputRead::UNREADABLE};
    // The operator was asked to press a key before the connection is set up
    // again: that key only ends the input.
    if (restore_requested_.load() != 0) return {.kind = InputRead::OVER};
    const bool batch = config_.batch_run();
    if ((key == KEY_F3 || key == CTRL_C) && batch) {
      // The run stops where it is and disconnects the radio it is at itself
      // (only it knows whether it is connected); the session's workers end,
      // and with them every wait of the run.
      termination_.set_stopped_by_operator(true);
      return command(OperatorCommand::STOP_BATCH);
    }
    if (key < KEY_ESC) {
      buffer[0] = static_cast<uint8_t>(key);
      return {.kind = InputRead::BYTES, .length = 1};
    }
    switch (key) {
      case KEY_ESC:
        // A batch run takes no Esc: over a slow link an arrow key comes apart
        // into an Esc and the rest, and must not end an hour's run.
        if (batch) break;
        // With the radio disconnected and no more keys read, an interactive
        // session left running could only wait for ever: it ends, and so does
        // the program.
        return command(OperatorCommand::LEAVE);
      case KEY_F1:
        // The carriage return after the help, never acknowledged, ends the program.
        print_help(config_);
        return command(OperatorCommand::PROMPT_AGAIN);
      case KEY_F2:
        toggle_diagnostics(config_);
        break;
      case KEY_F3:
        return command(OperatorCommand::LEAVE);
      case KEY_F4:
        return command(OperatorCommand::CHOOSE_ANOTHER);
      case KEY_F5:
        toggle_colours(config_);
        break;
      default:  // F6 (a larger console buffer has no meaning on a terminal) and other keys
        break;
    }
  }
}

}  // namespace orvex
