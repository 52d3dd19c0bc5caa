#include "app/keyboard_input.hpp"

#include <unistd.h>

#include <cstdio>

#include "app/session_workers.hpp"
#include "app/termination.hpp"
#include "base/clock.hpp"
#include "console/console.hpp"
#include "console/keys.hpp"
#include "engine/operator_commands.hpp"
#include "engine/session_table.hpp"
#include "os/terminal.hpp"
#include "ui/help.hpp"

namespace orvex {

namespace {

// Ctrl+C: in a batch run, the same stop as F3.
constexpr int CTRL_C = 0x03;

// F3 or Ctrl+C in a batch run: the run stops where it is and disconnects the
// radio it is at itself (only it knows whether it is connected); the session's
// workers end, and with them every wait of the run.
void stop_batch_run(SessionWorkers& w) {
  set_stopped_by_operator(true);
  run_operator_command(w.engine, OperatorCommand::STOP_BATCH);
  w.request_end();
}

// How long the radio gets, after the last line was taken, to answer it or to
// ask for a file, and how often a transfer is looked at until it has ended.
constexpr uint32_t LAST_LINE_SETTLE_MS = 1000;
constexpr uint32_t TRANSFER_LOOK_MS = 100;

// The input file has ended and nobody can type (cron, </dev/null): a session
// left open would never end. Once standard input ends too, the session ends as
// with F3, after the file's last lines and a transfer under way. Standard
// input's bytes are not for the radio: they are read and dropped.
int end_of_file_input(SessionWorkers& w) {
  Engine& e = w.engine;
  for (;;) {
    const int byte = read_terminal_byte(-1);
    if (byte == TERMINAL_STOPPED) return 0;
    if (byte == TERMINAL_END || byte == TERMINAL_ERROR) break;
  }
  const auto busy = [&e] {
    const int index = e.run.chosen_radio.load();
    return key_ring_count(e.keys) > 0 ||
           (SessionTable::valid_index(index) && e.sessions[index].state == SESSION_TRANSFER);
  };
  const auto wait_idle = [&e, &busy] {
    while (!e.events.stopping_now() && busy()) clock().sleep_ms(TRANSFER_LOOK_MS);
    return !e.events.stopping_now();
  };
  if (!wait_idle()) return 0;
  clock().sleep_ms(LAST_LINE_SETTLE_MS);
  if (!wait_idle()) return 0;
  run_operator_command(e, OperatorCommand::LEAVE);
  w.request_end();
  return 0;
}

}  // namespace

int read_keyboard_input(SessionWorkers& w, uint8_t* buffer) {
  Engine& e = w.engine;
  for (;;) {
    const int key = read_key(e.key_decoder);
    if (key == KEY_INPUT_END) return 0;
    if (key == KEY_READ_ERROR) return -1;
    // The operator was asked to press a key before the connection is set up
    // again: that key only ends the input.
    if (e.run.restore_requested.load() != 0) return 0;
    const bool batch = e.config.batch_run();
    if ((key == KEY_F3 || key == CTRL_C) && batch) {
      stop_batch_run(w);
      return 0;
    }
    if (key < KEY_ESC) {
      buffer[0] = static_cast<uint8_t>(key);
      return 1;
    }
    switch (key) {
      case KEY_ESC:
        // A batch run takes no Esc: over a slow link an arrow key comes apart
        // into an Esc and the rest, and must not end an hour's run.
        if (batch) break;
        // With the radio disconnected and no more keys read, an interactive
        // session left running could only wait for ever: it ends, and so does
        // the program.
        run_operator_command(e, OperatorCommand::LEAVE);
        w.request_end();
        return 0;
      case KEY_F1:
        print_help();
        if (const Failure failed = run_operator_command(e, OperatorCommand::PROMPT_AGAIN); failed != Failure::NONE) {
          terminate_app(failed);
        }
        break;
      case KEY_F2:
        toggle_diagnostics(e.config);
        break;
      case KEY_F3:
        run_operator_command(e, OperatorCommand::LEAVE);
        w.request_end();
        return 0;
      case KEY_F4:
        run_operator_command(e, OperatorCommand::CHOOSE_ANOTHER);
        w.request_end();
        return 0;
      case KEY_F5:
        toggle_colours(e.config);
        break;
      default:  // F6 (a larger console buffer has no meaning on a terminal) and other keys

        break;
    }
  }
}

int read_input(SessionWorkers& w, uint8_t* buffer) {
  Engine& e = w.engine;
  if (e.config.input_source == INPUT_KEYBOARD) return read_keyboard_input(w, buffer);
  const LineRead line = w.ops.read_input_line(e, w.input, buffer);
  // A file that cannot be read, or an exit line, ends the program from here.
  if (line.failure != Failure::NONE) terminate_app(line.failure);
  if (line.read_error) return -1;
  const int n = line.length;
  if (n != 0 || e.config.batch_run() || isatty(terminal_input_fd())) return n;
  return end_of_file_input(w);
}

}  // namespace orvex
