#include "app/keyboard_input.hpp"

#include <cstdio>

#include "app/session_operations.hpp"
#include "base/settings.hpp"
#include "console/console.hpp"
#include "console/keys.hpp"
#include "engine/session_table.hpp"

namespace orvex {

namespace {

void disconnect_chosen_radio() {
  const int index = run_state().chosen_radio.load();
  if (SessionTable::valid_index(index)) session_operations().disconnect(index);
}

void toggle_diagnostics() {
  SharedField<int>& level = program_options().diagnostic_level;
  if (level.load() != 0) {
    std::printf("[Show Diagnostic Messages = OFF]\n");
    level.store(level.load() - 1);  // one step down, not to zero
  } else {
    std::printf("[Show Diagnostic Messages = ON]\n");
    level.store(level.load() + 1);
  }
  std::fflush(stdout);
}

}  // namespace

int read_keyboard_input(uint8_t* buffer) {
  for (;;) {
    const int key = read_key();
    if (key == KEY_INPUT_END) return 0;
    if (key == KEY_READ_ERROR) return -1;
    // The operator was asked to press a key before the connection is set up
    // again: that key only ends the input.
    if (run_state().restore_requested.load() != 0) return 0;
    if (key < KEY_ESC) {
      buffer[0] = static_cast<uint8_t>(key);
      return 1;
    }
    switch (key) {
      case KEY_ESC:
        // With the radio disconnected and no more keys read, an interactive
        // session left running could only wait for ever: it ends, and so does
        // the program. A batch run goes on by itself.
        disconnect_chosen_radio();
        if (program_options().batch_mode == 0) session_operations().request_end();
        return 0;
      case KEY_F1:
        session_operations().print_help(run_state().chosen_radio.load());
        break;
      case KEY_F2:
        toggle_diagnostics();
        break;
      case KEY_F3:
        disconnect_chosen_radio();
        session_operations().request_end();
        return 0;
      case KEY_F4:
        disconnect_chosen_radio();
        run_state().new_session_requested.store(1);
        session_operations().request_end();
        return 0;
      case KEY_F5:
        toggle_colours();
        break;
      case KEY_F6:
        enlarge_console_buffer();
        break;
      default:  // KEY_OTHER_FUNCTION
        break;
    }
  }
}

int read_input(uint8_t* buffer, int /*size*/) {
  if (program_options().input_source == INPUT_KEYBOARD) return read_keyboard_input(buffer);
  return session_operations().read_input_line(buffer);
}

}  // namespace orvex
