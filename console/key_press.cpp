#include "console/key_press.hpp"

#include <unistd.h>

#include <cstdio>

#include "os/terminal.hpp"

namespace orvex {

void wait_for_key_press() {
  std::fflush(stdout);
  const int fd = terminal_input_fd();
  if (isatty(fd) == 0) return;
  // Through the terminal guard, so that a signal during the wait restores too.
  const RawModeScope raw;
  int byte;
  do {
    byte = read_terminal_byte(-1);
  } while (byte == TERMINAL_TIMEOUT);
}

}  // namespace orvex
