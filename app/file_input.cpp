#include "app/file_input.hpp"

#include <unistd.h>

#include "base/clock.hpp"
#include "engine/key_ring.hpp"
#include "engine/session_table.hpp"
#include "os/terminal.hpp"

namespace orvex {

namespace {

// How long the radio gets, after the last line was taken, to answer it or to
// ask for a file, and how often a transfer is looked at until it has ended.
constexpr uint32_t LAST_LINE_SETTLE_MS = 1000;
constexpr uint32_t TRANSFER_LOOK_MS = 100;

}  // namespace

void FileInput::begin() { clear_terminal_wake(); }

void FileInput::wake() { wake_terminal_reader(); }

InputRead FileInput::read(uint8_t* buffer) {
  const LineRead line = read_input_line({conn_.link.view, conn_.events}, conn_.link.config, lines_, buffer);
  if (line.failure != Failure::NONE) return {.kind = InputRead::FAILED, .failure = line.failure};
  if (line.read_error) return {.kind = InputRead::UNREADABLE};
  const int n = line.length;
  if (n == 0 && !conn_.link.config.batch_run() && !isatty(terminal_input_fd())) return end_of_file();
  if (n == 0) return {.kind = InputRead::OVER};
  return {.kind = InputRead::BYTES, .length = n};
}

// The input file has ended and nobody can type (cron, </dev/null): a session
// left open would never end. Once standard input ends too, the session ends as
// with F3, after the file's last lines and a transfer under way. Standard
// input's bytes are not for the radio: they are read and dropped.
InputRead FileInput::end_of_file() {
  Connection& c = conn_;
  for (;;) {
    const int byte = read_terminal_byte(-1);
    if (byte == TERMINAL_STOPPED) return {.kind = InputRead::OVER};
    if (byte == TERMINAL_END || byte == TERMINAL_ERROR) break;
  }
  const auto busy = [&c] {
    const int index = c.radio.load();
    return key_ring_count(c.keys) > 0 || (SessionTable::valid_index(index) && c.sessions[index].state == SESSION_TRANSFER);
  };
  const auto wait_idle = [&c, &busy] {
    while (!c.events.stopping_now() && busy()) c.link.clock.sleep_ms(TRANSFER_LOOK_MS);
    return !c.events.stopping_now();
  };
  if (!wait_idle()) return {.kind = InputRead::OVER};
  c.link.clock.sleep_ms(LAST_LINE_SETTLE_MS);
  if (!wait_idle()) return {.kind = InputRead::OVER};
  return {.kind = InputRead::COMMAND, .command = OperatorCommand::LEAVE};
}

}  // namespace orvex
